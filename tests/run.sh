#!/usr/bin/env bash
# Builds xipsaw and runs the whole test suite twice: in an optimised build,
# and in a build with AddressSanitizer and UndefinedBehaviorSanitizer.
# On Debian or Ubuntu it first installs what the build and the tests need
# and the machine lacks: as root with apt-get, otherwise through sudo;
# without either it stops at once and names the packages to install.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

needed=(build-essential cmake libgtest-dev cabextract python3 python3-pefile)
if command -v dpkg-query >/dev/null 2>&1; then
  missing=()
  for package in "${needed[@]}"; do
    dpkg-query -W -f='${Status}\n' "$package" 2>/dev/null | grep -q '^install ok installed$' ||
      missing+=("$package")
  done
  if ((${#missing[@]} > 0)); then
    echo "tests/run.sh: installing ${missing[*]}"
    if [[ $(id -u) -eq 0 ]]; then
      apt_get=(apt-get)
    elif command -v sudo >/dev/null 2>&1; then
      apt_get=(sudo apt-get)
    else
      echo "tests/run.sh: these packages are missing: ${missing[*]}" >&2
      echo "install them as root with: apt-get install ${missing[*]}" >&2
      exit 1
    fi
    if ! { DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" update -qq &&
           DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y -qq "${missing[@]}"; }; then
      echo "tests/run.sh: could not install ${missing[*]}; install them as root and run again" >&2
      exit 1
    fi
  fi
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DXIPSAW_SANITIZE=ON -DXIPSAW_BENCH=OFF
cmake --build build-sanitize -j"$jobs"
ctest --test-dir build-sanitize --output-on-failure -j"$jobs"
