#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the
# machine does not have yet. Debian 12 packages only.
set -euo pipefail
packages=(
  cmake ninja-build g++ python3          # the Linux build and the end-to-end tests
  libgtest-dev nlohmann-json3-dev         # GoogleTest sources, the rules file parser
  g++-mingw-w64-x86-64-posix wine wine64  # the Windows build, run under Wine
  clang libclang-rt-14-dev                # the fuzz targets (libFuzzer)
  strace                                  # the test that no link is ever followed
)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
