#!/usr/bin/env bash
# Builds the Linux program (release and sanitizer builds), the Windows
# program and the viewer page, then runs every test: natively, under
# ASan/UBSan, and under Wine; the release build's tests include the viewer's
# in headless chromium (its screenshot lands in build/release/viewer/).
# Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")"
tools/install-deps.sh

jobs=$(nproc)
configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}
configure_and_build build/release -DCMAKE_BUILD_TYPE=Release
configure_and_build build/asan -DCMAKE_BUILD_TYPE=Debug -DOSKRA_SANITIZE=ON
configure_and_build build/win64 -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake

# A fresh Wine prefix for this run, removed afterwards (tools/wine-run
# makes it once, on first use).
scratch=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
export WINEPREFIX="$scratch/wine"

failed=()
for dir in build/release build/asan build/win64; do
  echo "== tests: $dir"
  # Every Windows test runs through tools/wine-run, which retries the one
  # known Wine hiccup (status 1, no output) and says so; nothing else is
  # run twice.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" || failed+=("$dir")
done

echo "== ThreadSanitizer: the walk and the listing on several threads"
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DOSKRA_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target cli_test
TSAN_OPTIONS=halt_on_error=1 build/tsan/cli/cli_test --gtest_filter='Walk*:OrderedListing*' ||
  failed+=(tsan)

echo "== ThreadSanitizer: the NTFS table reader's reading thread"
cmake --build build/tsan -j "$jobs" --target ntfs_dump
truncate -s 64M "$scratch/tsan.img"
PATH="$PATH:/usr/sbin:/sbin" mkntfs -F -f -q "$scratch/tsan.img" >/dev/null 2>&1
TSAN_OPTIONS=halt_on_error=1 build/tsan/src/ntfs/ntfs_dump "$scratch/tsan.img" >/dev/null ||
  failed+=(tsan-ntfs)

echo "== fuzz: the rules file loader, the wildcard matcher and the NTFS table reader"
FUZZ_SECONDS="${FUZZ_SECONDS:-30}" tools/fuzz/run.sh || failed+=(fuzz)

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED in: ${failed[*]}"
  exit 1
fi
echo "all tests passed"
