#!/usr/bin/env bash
# Builds the release program for Linux and for Windows, packs each with CPack
# and checks each package end to end (tests/package_test.py: unpack, run the
# program, under Wine for Windows, with and without a rules.json beside it).
#
# The packages land in build/packages/:
#   oskra-cli-<version>-linux-x86_64.tar.gz
#   oskra-cli-<version>-windows-x86_64.zip
# Each unpacks to one folder, oskra-cli/, holding the program, SKILL.md,
# references/, oskra-view.html, rules.example.json, README.txt and
# SHA256SUMS.
#
# OSKRA_PACKAGE_BUILD (default build/package) is where the two release builds
# are made; they are kept apart from the builds of ./test.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/install-deps.sh

root=$(realpath -m "${OSKRA_PACKAGE_BUILD:-build/package}")
out=$PWD/build/packages
jobs=$(nproc)
mkdir -p "$out"

pack() {
  local name=$1 dir=$root/$1
  shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSKRA_TESTS=OFF -DOSKRA_VIEWER=ON "$@" >/dev/null
  cmake --build "$dir" --target oskra-cli viewer -j "$jobs"
  rm -rf "$dir/cpack"
  cpack --config "$dir/CPackConfig.cmake" -B "$dir/cpack" >/dev/null
  local archive
  archive=$(find "$dir/cpack" -maxdepth 1 -type f \( -name '*.zip' -o -name '*.tar.gz' \))
  cp "$archive" "$out/"
  echo "$name: $out/$(basename "$archive")"
}

pack linux
pack win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

version=$(sed -n 's/^project(oskra-cli VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
python3 tests/package_test.py --cmake cmake --source-dir . \
  --package "$out/oskra-cli-$version-linux-x86_64.tar.gz" --exe oskra-cli
python3 tests/package_test.py --cmake cmake --source-dir . \
  --package "$out/oskra-cli-$version-windows-x86_64.zip" --exe oskra-cli.exe \
  --runner tools/wine-run --windows
