#!/usr/bin/env bash
# Cross-builds xipsaw for 32-bit Windows with mingw-w64 and checks it under
# wine: the two files import only Windows system DLLs and the library exports
# exactly its two entry points; the whole test suite passes; and xipsaw.exe
# lists, extracts and updates the demo image exactly as the Linux build does,
# in a folder named in Cyrillic, Chinese and beyond the Basic Multilingual
# Plane; and the zip of the two files with the README is built.
# Installs nothing: needs g++-mingw-w64-i686-posix, wine and wine32, and what
# tests/run.sh needs for the Linux build it compares with.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)
build=$root/build-windows
linux_build=$root/build   # the optimised build of tests/run.sh, reused when present

fail() { echo "run-windows.sh: $*" >&2; exit 1; }
for tool in i686-w64-mingw32-g++-posix i686-w64-mingw32-objdump wine wineserver cmake; do
  command -v "$tool" >/dev/null || fail "$tool not found (see README.md, Building for Windows)"
done
[ -f /usr/src/googletest/CMakeLists.txt ] || fail "GoogleTest sources not found (package googletest)"
step_start=$SECONDS
step() { echo "== $* ($((SECONDS - step_start)) s so far)"; }

# ---- Cross-build ---------------------------------------------------------
step "cross-build"
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake -DCMAKE_BUILD_TYPE=Release \
  -DXIPSAW_BENCH=OFF
cmake --build "$build" -j"$jobs" 2>&1 | tee "$build/build.log"
! grep -q 'warning:' "$build/build.log" || fail "the cross-build printed warnings"

# ---- What the two files are, import and export ---------------------------
step "imports and exports"
check_pe() {  # a 32-bit console program or library that imports only system DLLs
  local dump imports
  dump=$(i686-w64-mingw32-objdump -p "$1")
  grep -q 'file format pei-i386' <<<"$dump" || fail "$1 is not a 32-bit i386 PE file"
  grep -qE '^Magic[[:space:]]+010b' <<<"$dump" || fail "$1 is not PE32"
  grep -qE '^Subsystem[[:space:]]+00000003' <<<"$dump" || fail "$1 is not a console program"
  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$dump" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
  [ "$imports" = "kernel32.dll msvcrt.dll " ] || fail "$1 imports $imports(only KERNEL32.dll and msvcrt.dll allowed)"
  echo "$1: imports $imports"
}
check_pe "$build/xipsaw.exe"
check_pe "$build/CECompressv4.dll"
exports=$(i686-w64-mingw32-objdump -p "$build/CECompressv4.dll" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[ *[0-9]*\] //p' | tr '\n' ' ')
[ "$exports" = "CECompress CEDecompress " ] || fail "CECompressv4.dll exports '$exports', not CECompress CEDecompress"
echo "CECompressv4.dll: exports $exports"

# ---- What a Windows user downloads --------------------------------------
step "zip"
(cd "$build" && rm -f xipsaw-*.zip && cpack -G ZIP >/dev/null)
zip_file=$(ls "$build"/xipsaw-*-win32.zip)
contents=$(python3 -c 'import sys, zipfile; print(" ".join(sorted(zipfile.ZipFile(sys.argv[1]).namelist())))' "$zip_file")
[ "$contents" = "CECompressv4.dll README.md xipsaw.exe" ] || fail "$zip_file holds $contents"
echo "$zip_file: $contents"

# ---- The test suite under wine, in a prefix of this build's own ----------
export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
# wine names the Unix files in the locale's character set: the tests and the
# demo check name files in several scripts.
export LC_ALL=C.UTF-8
trap 'wineserver -k 2>/dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  step "wine prefix"
  wineboot -i >/dev/null 2>&1 || fail "wine cannot create a prefix in $WINEPREFIX"
fi
step "tests under wine"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j"$jobs"

# ---- The demo image, Linux build against Windows build -------------------
step "demo image: Linux build"
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$linux_build" -j"$jobs" --target xipsaw CECompressv4

step "demo image: list, extract and update on both builds"
# In a folder whose name the system's code page cannot hold.
demo="$build/demo-check/Юрий 資料 😀"
rm -rf "$demo"
# Input for the updates: a short plain text, and text that compresses well.
mkdir -p "$demo/input"
printf 'Replaced by tests/run-windows.sh\n' >"$demo/input/readme.txt"
for i in $(seq 1 30); do printf '[HKEY_LOCAL_MACHINE\\init]\r\n"Launch%02d"="shell.exe"\r\n' "$i"; done \
  >"$demo/input/initdb.ini"
runs="list extract update-raw update-compressed"
pids=()
for system in linux windows; do
  for run in $runs; do
    dir=$demo/$system/$run
    mkdir -p "$dir"
    cp demo/nk.bin "$dir/nk.bin"
    case $run in
      list) args=(list) ;;
      extract) args=(extract) ;;
      update-raw) args=(update readme.txt "$demo/input/readme.txt") ;;
      update-compressed) args=(update initdb.ini "$demo/input/initdb.ini") ;;
    esac
    # Every complete run waits 30 seconds before it exits: all run at once.
    if [ $system = linux ]; then
      (cd "$dir" && exec "$linux_build/xipsaw" nk.bin "${args[@]}" >"$dir/output" 2>&1) &
    else
      (cd "$dir" && exec wine "$build/xipsaw.exe" nk.bin "${args[@]}" >"$dir/output.crlf" 2>"$dir/wine.err") &
    fi
    pids+=($!)
  done
done
for pid in "${pids[@]}"; do wait "$pid" || fail "a run of xipsaw exited with code $?"; done

for run in $runs; do
  linux=$demo/linux/$run windows=$demo/windows/$run
  [ -s "$windows/output.crlf" ] || fail "xipsaw.exe printed nothing for $run: $(cat "$windows/wine.err")"
  sed 's/\r$//' "$windows/output.crlf" >"$windows/output"
  diff -u "$linux/output" "$windows/output" || fail "$run: xipsaw.exe printed other lines than the Linux build"
  cmp "$linux/nk.bin" "$windows/nk.bin" || fail "$run: the BIN files differ"
  case $run in
    extract)
      diff -r "$linux/nk" "$windows/nk" || fail "extract: the extracted files differ"
      echo "extract: $(find "$windows/nk" -type f | wc -l) files identical" ;;
    update-*)
      ! cmp -s demo/nk.bin "$windows/nk.bin" || fail "$run: the BIN file was not changed"
      echo "$run: updated BIN files identical" ;;
    *) echo "$run: $(wc -l <"$windows/output") lines identical" ;;
  esac
done
step "done"
