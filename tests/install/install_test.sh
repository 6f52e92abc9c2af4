#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed tool from
# another directory: it must find its compression library from its own real
# path, in the directory it is installed into and in ../lib, also when it is
# started through a link.
#   install_test.sh <cmake> <build dir> <demo image>
set -euo pipefail
cmake_command=$1 build=$2 demo=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/xipsaw-install-XXXXXX")
trap 'rm -rf "$work"' EXIT

"$cmake_command" --install "$build" --prefix "$work/prefix" >/dev/null

# Runs the tool in the current directory and prints what it printed. A
# complete run waits 30 seconds after flushing its output; the output
# arriving means the run is over, so the wait is cut short.
run() {
  rm -f out.txt
  "$@" >out.txt &
  local pid=$! i
  for ((i = 0; i < 200; i++)); do
    [[ -s out.txt ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  cat out.txt
}

fail() { echo "FAIL: $*" >&2; exit 1; }

check_tree() {  # <xipsaw to run> <label>
  local tool=$1 label=$2
  rm -rf "$work/cwd" && mkdir "$work/cwd" && cd "$work/cwd"
  cp "$demo" nk.bin
  [[ "$(run "$tool" nk.bin list)" == *"logo.bmp (ROM 0x"* ]] || fail "$label: list"
  run "$tool" nk.bin extract >/dev/null
  [[ -s nk/nk.exe && -s nk/initdb.ini ]] || fail "$label: extract found no library"
  printf 'new content' >new.txt
  [[ "$(run "$tool" nk.bin update readme.txt new.txt)" == "Updating readme.txt ..." ]] || fail "$label: update"
  run "$tool" nk.bin extract readme.txt >/dev/null
  [[ "$(cat nk/readme.txt)" == "new content" ]] || fail "$label: update did not land"
  cd "$work"
}

[[ -x "$work/prefix/bin/xipsaw" ]] || fail "no bin/xipsaw in the prefix"
[[ -n "$(find "$work/prefix/lib" -name 'libCECompressv4.so')" ]] || fail "no library in the prefix"
check_tree "$work/prefix/bin/xipsaw" "installed tree"

mkdir -p "$work/links"
ln -s "$work/prefix/bin/xipsaw" "$work/links/xipsaw"
check_tree "$work/links/xipsaw" "through a link"

mkdir -p "$work/plain/bin" "$work/plain/lib"
cp "$work/prefix/bin/xipsaw" "$work/plain/bin/"
cp "$(find "$work/prefix/lib" -name 'libCECompressv4.so')" "$work/plain/lib/"
check_tree "$work/plain/bin/xipsaw" "library in ../lib"
echo "install tree: ok"
