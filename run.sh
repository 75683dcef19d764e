#!/usr/bin/env bash
# Builds the Release binary on first use (or when sources changed) and runs it.
# Usage: ./run.sh <path> [--json] [--depth N] [--top N]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
if ! command -v cmake >/dev/null || ! command -v ninja >/dev/null \
   || [ ! -e /usr/include/nlohmann/json.hpp ]; then
  "$here/tools/install-deps.sh" >&2
fi
# Build quietly; show the build's output only when it fails.
if ! log=$({
  cmake -S "$here" -B "$here/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release &&
    cmake --build "$here/build/release" --target oskra-cli
} 2>&1); then
  printf '%s\n' "$log" >&2
  exit 2
fi
exec "$here/build/release/oskra-cli" "$@"
