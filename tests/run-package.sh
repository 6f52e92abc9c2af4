#!/usr/bin/env bash
# Checks what a user without the test tools gets: the tool configures and
# builds without GoogleTest, its Debian package is clean under lintian, and
# the tool runs from the unpacked package on the demo image. Installs
# nothing; needs cmake, g++, dpkg-dev, file and lintian.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
build=build-package
work=$(mktemp -d "${TMPDIR:-/tmp}/xipsaw-package-XXXXXX")
trap 'rm -rf "$work"' EXIT

fail() { echo "run-package.sh: FAIL: $*" >&2; exit 1; }

# Runs the tool and prints its output, cutting the final 30-second wait
# short: the output arrives, flushed, only once the run is complete.
run() {
  rm -f "$work/out.txt"
  "$@" >"$work/out.txt" &
  local pid=$! i
  for ((i = 0; i < 200; i++)); do
    [[ -s "$work/out.txt" ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  cat "$work/out.txt"
}

# Without GoogleTest the build says once that the tests are off and builds
# the tool and its library.
configure_log=$(cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
[[ $(grep -c "the tests are off" <<<"$configure_log") -eq 1 ]] || fail "configure without GoogleTest"
cmake --build "$build" -j"$jobs"
[[ "$(run "$build/xipsaw" demo/nk.bin list)" == *"logo.bmp (ROM 0x"* ]] || fail "list with the plain build"

(cd "$build" && rm -f ./*.deb && cpack -G DEB >/dev/null)
deb=$(ls "$build"/xipsaw_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends
dpkg-deb --contents "$deb"
# Errors and warnings fail. What remains are informational tags only: the
# .comment section (the compiler's version string) that strip keeps.
lintian --fail-on error,warning "$deb"

# The tool from the unpacked package, run from elsewhere on the demo image.
dpkg-deb -x "$deb" "$work/root"
mkdir "$work/cwd" && cp demo/nk.bin "$work/cwd/"
cd "$work/cwd"
[[ "$(run "$work/root/usr/bin/xipsaw" nk.bin list)" == *"logo.bmp (ROM 0x"* ]] || fail "list from the package"
run "$work/root/usr/bin/xipsaw" nk.bin extract >/dev/null
[[ -s nk/nk.exe && -s nk/initdb.ini ]] || fail "extract from the package"
zcat "$work/root/usr/share/man/man1/xipsaw.1.gz" | grep -q "xipsaw $(sed -n 's/^project(xipsaw VERSION \([0-9.]*\).*/\1/p' "$OLDPWD/CMakeLists.txt")" ||
  fail "manual page version"
echo "run-package.sh: ok"
