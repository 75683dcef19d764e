#!/usr/bin/env bash
# Builds the program on first use (and again when sources change) and runs it.
# Usage: ./run.sh <path> [--json] [--depth N] [--top N]
# Only the build's own needs are installed (CMake, Ninja, g++, nlohmann/json);
# the tests, Wine, the fuzzers and the viewer page (node) are ./test.sh's
# business. Its own build
# folder, without tests, keeps it apart from the builds of ./test.sh.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
dir="$here/build/run"
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null \
   || ! command -v g++ >/dev/null || [ ! -e /usr/include/nlohmann/json.hpp ]; then
  "$here/tools/install-deps.sh" --build >&2
fi
if [ ! -x "$dir/oskra-cli" ]; then
  echo "run.sh: building oskra-cli in build/run (first use, about half a minute)..." >&2
fi
# Build quietly; show the build's output only when it fails.
if ! log=$({
  cmake -S "$here" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DOSKRA_TESTS=OFF -DOSKRA_VIEWER=OFF &&
    cmake --build "$dir" --target oskra-cli
} 2>&1); then
  printf '%s\n' "$log" >&2
  exit 2
fi
exec "$dir/oskra-cli" "$@"
