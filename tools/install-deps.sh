#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and the
# machine does not have yet. Debian 12 packages only.
#
#   tools/install-deps.sh           everything: the build, the tests, the
#                                   Windows build under Wine, the fuzzers,
#                                   the viewer page and its browser tests
#   tools/install-deps.sh --build   only what building the program needs
set -euo pipefail
build=(cmake ninja-build g++ nlohmann-json3-dev)   # the program and its rules file parser
packages=("${build[@]}")
if [ "${1:-}" != --build ]; then
  packages+=(
    python3 libgtest-dev                     # the tests
    g++-mingw-w64-x86-64-posix wine wine64   # the Windows build, run under Wine
    clang libclang-rt-14-dev                 # the fuzz targets (libFuzzer)
    strace                                   # the test that no link is ever followed
    ntfs-3g ntfs-3g-dev                      # NTFS images for the table reader's tests
    jq                                       # SKILL.md's jq snippet, run against a scan
    chromium fonts-wqy-microhei              # the viewer's browser tests (Chinese text)
  )
  # The viewer page is built by node with npm. A node that came from
  # elsewhere (it may carry its own npm) is used as it is.
  command -v node >/dev/null || packages+=(nodejs)
fi
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
if [ "${1:-}" != --build ] && ! command -v npm >/dev/null; then
  echo "installing: npm"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq npm >/dev/null
fi
