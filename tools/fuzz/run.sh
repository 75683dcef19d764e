#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30). Fails on any crash or disagreement.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${FUZZ_SECONDS:-30}"
build="$here/build/fuzz"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ \
  -DOSKRA_TESTS=OFF -DOSKRA_FUZZ=ON >/dev/null
targets=(fuzz_rules_json fuzz_wildcard fuzz_ntfs)
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}"
# The NTFS reader's seed is a real volume, made afresh with mkntfs.
mkdir -p "$build/seeds-fuzz_ntfs"
python3 "$here/tools/fuzz/make_ntfs_seed.py" "$build/seeds-fuzz_ntfs/volume"
for target in "${targets[@]}"; do
  corpus="$build/corpus-$target"
  mkdir -p "$corpus"
  seeds="$here/tools/fuzz/seeds/$target"
  [ -d "$seeds" ] || seeds="$build/seeds-$target"
  echo "== fuzz: $target for ${seconds}s"
  "$build/tools/fuzz/$target" -max_total_time="$seconds" -timeout=10 -artifact_prefix="$build/" -print_final_stats=1 \
    "$corpus" ${seeds:+$([ -d "$seeds" ] && echo "$seeds")} 2>&1 | tail -n 12
done
