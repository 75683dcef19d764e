#!/usr/bin/env bash
# The whole-run benchmark: oskra-cli against the floor (the least work any
# scanner must do) and against du, ncdu and gdu, on a synthetic home folder.
# See tools/bench/README.md for what each figure means.
#
# Usage: tools/bench/run.sh [--quick] [--runs N] [--cases LIST]
#   --quick       small trees and few runs, for trying it out (or QUICK=1)
#   --runs N      timed runs per command on a warm cache (default 10; quick 3)
#   --cases LIST  comma-separated, from: default,one,json,pfloor,du,ncdu,gdu,
#                 cold,big,evaluate,writer (default: all of them; the floor always runs)
# Environment: BENCH_DIR (default /tmp/oskra-bench) holds the trees and the
# results; FILES and BIG_FILES override the tree sizes; COLD_RUNS the runs of
# the cold session (default 5; quick 2); HYPERFINE=1 adds a hyperfine run of
# the same warm commands as a second opinion; BENCH_NICE=-10 (root) runs the
# timed commands at that priority, in a scheduling group of their own, on a
# machine others are using.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
repo="$(cd "$here/../.." && pwd)"

quick=${QUICK:-0}
runs=""
cases="default,one,json,pfloor,du,ncdu,gdu,cold,big,evaluate,writer"
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick=1 ;;
    --runs) runs=$2; shift ;;
    --cases) cases=$2; shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
  shift
done
if [ "$quick" = 1 ]; then
  files=${FILES:-30000}; big_files=${BIG_FILES:-300000}
  runs=${runs:-3}; big_runs=${runs}; warmup=1; cold_runs=${COLD_RUNS:-2}
else
  files=${FILES:-300000}; big_files=${BIG_FILES:-3000000}
  runs=${runs:-10}; big_runs=$(( runs < 5 ? runs : 5 )); warmup=2; cold_runs=${COLD_RUNS:-5}
fi
want() { [[ ",$cases," == *",$1,"* ]]; }

bench_dir=${BENCH_DIR:-/tmp/oskra-bench}
case "$bench_dir/" in
  "$repo"/*) echo "BENCH_DIR must be outside the repository" >&2; exit 2 ;;
esac
mkdir -p "$bench_dir"

# --- tools ------------------------------------------------------------------
packages=(cmake ninja-build g++ gcc python3 libgtest-dev nlohmann-json3-dev
          libbenchmark-dev coreutils ncdu gdu hyperfine time)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# --- builds -------------------------------------------------------------------
# The Release binary exactly as ./run.sh builds it.
quiet() {
  local log
  if ! log=$("$@" 2>&1); then printf '%s\n' "$log" >&2; exit 2; fi
}
echo "building build/release/oskra-cli"
quiet cmake -S "$repo" -B "$repo/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release
quiet cmake --build "$repo/build/release" --target oskra-cli -j 2
oskra="$repo/build/release/oskra-cli"

mkdir -p "$repo/build/bench"
floor="$repo/build/bench/floor"
quiet cc -O2 -std=c11 -Wall -Wextra -Werror -o "$floor" "$here/floor.c"
pfloor="$repo/build/bench/floor_parallel"
quiet cc -O2 -std=c11 -Wall -Wextra -Werror -pthread -o "$pfloor" "$here/floor_parallel.c"
# Static, so its own few hundred KiB are all a command inherits in peak RSS.
runner="$repo/build/bench/runner"
quiet cc -O2 -std=c11 -Wall -Wextra -Werror -static -o "$runner" "$here/runner.c"

# The benchmark build: bench_evaluate, and oskra-cli listing on one thread
# (the walk's own), the comparison for the default run's CPU time. The cap
# is a build setting of this build only; the program has no such option.
if want evaluate || want one || want writer; then
  quiet cmake -S "$repo" -B "$repo/build/bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DOSKRA_TESTS=OFF -DOSKRA_BENCH=ON -DOSKRA_LISTING_WORKERS_CAP=0
fi
if want evaluate; then
  echo "building build/bench/tools/bench/bench_evaluate"
  quiet cmake --build "$repo/build/bench" --target bench_evaluate -j 2
fi
if want writer; then
  echo "building build/bench/tools/bench/bench_json"
  quiet cmake --build "$repo/build/bench" --target bench_json -j 2
fi
one="$repo/build/bench/oskra-cli"
if want one; then
  echo "building build/bench/oskra-cli (one listing thread)"
  quiet cmake --build "$repo/build/bench" --target oskra-cli -j 2
fi

# --- trees --------------------------------------------------------------------
tree="$bench_dir/tree-$files"
python3 "$here/gen_tree.py" "$tree" --files "$files"
if want big; then
  big_tree="$bench_dir/tree-$big_files"
  python3 "$here/gen_tree.py" "$big_tree" --files "$big_files"
fi

# --- timing -------------------------------------------------------------------
stamp=$(date +%Y%m%d-%H%M%S)
out="$bench_dir/results-$stamp"
mkdir -p "$out"
q() { printf '%q' "$1"; }
describe() {  # what a generated tree holds, from its stamp
  python3 -c 'import json, sys; s = json.load(open(sys.argv[1]))
print("%d files, %d dirs, %d entries in default detail" % (s["files"], s["dirs"],
      s["detail_entries"]))' "$1.stamp"
}

threads=(2 4 8 16)
python3 "$here/measure.py" check "$floor" "$oskra" "$tree" --parallel-floor "$pfloor" \
  --threads "${threads[@]}"
if want one; then python3 "$here/measure.py" check "$floor" "$one" "$tree"; fi

# The cases of a session on the main tree; $1 = cold leaves out the JSON run
# (its target is a warm one).
cases_for() {
  session_cases=(--case floor "$(q "$floor") $(q "$tree")")
  if want pfloor; then
    for n in "${threads[@]}"; do
      session_cases+=(--case "floor, $n threads" "$(q "$pfloor") $n $(q "$tree")")
    done
  fi
  want default && session_cases+=(--case oskra-cli "$(q "$oskra") $(q "$tree")")
  want one && session_cases+=(--case "oskra-cli (1 thread)" "$(q "$one") $(q "$tree")")
  want json && [ "$1" != cold ] && session_cases+=(--case "oskra-cli --json --depth 100" \
    "$(q "$oskra") $(q "$tree") --json --depth 100")
  want du && session_cases+=(--case "du -sb" "du -sb $(q "$tree")")
  want ncdu && session_cases+=(--case ncdu "ncdu -0 -x -o /dev/null $(q "$tree")")
  want gdu && session_cases+=(--case gdu "gdu -n -p -x $(q "$tree")")
  return 0
}
cases_for warm
main_cases=("${session_cases[@]}")

{
  echo "# oskra-cli benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo
  dirty=$(git -C "$repo" diff --quiet HEAD -- src cli || echo ' (with uncommitted changes)')
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)
  echo "Machine: ${cpu:-unknown CPU}, $(nproc) cores," \
    "$(awk '/^MemTotal/ {printf "%.0f GiB", $2 / 1048576}' /proc/meminfo) RAM," \
    "Linux $(uname -r), trees on $(stat -f -c %T "$bench_dir");" \
    "load average $(cut -d' ' -f1-3 /proc/loadavg); commit $(git -C "$repo" rev-parse --short HEAD)$dirty"
  echo
} > "$out/report.md"

python3 "$here/measure.py" time ${BENCH_NICE:+--priority "$BENCH_NICE"} --runner "$runner" --save "$out/main.json" \
  --runs "$runs" --warmup "$warmup" \
  --title "Tree of $(describe "$tree"), $runs runs" \
  "${main_cases[@]}" | tee -a "$out/report.md"

summary_args=(--main "$out/main.json")
if want cold; then
  if [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; then
    cases_for cold
    python3 "$here/measure.py" time ${BENCH_NICE:+--priority "$BENCH_NICE"} --runner "$runner" --save "$out/cold.json" \
      --runs "$cold_runs" --warmup 1 --drop-caches \
      --title "Tree of $(describe "$tree"), cold cache, $cold_runs runs" \
      "${session_cases[@]}" | tee -a "$out/report.md"
    summary_args+=(--cold "$out/cold.json")
  else
    note="not run as root, so the caches cannot be dropped"
    printf '### Cold cache\n\nNo cold figures: %s.\n\n' "$note" | tee -a "$out/report.md"
    summary_args+=(--cold "" --cold-note "$note")
  fi
fi
if want big; then
  # With `json`, also the whole detail tree of the large tree: its peak RSS
  # per node (every entry is a node at depth 100).
  big_json=()
  if want json; then
    big_json=(--case "oskra-cli --json --depth 100" "$(q "$oskra") $(q "$big_tree") --json --depth 100")
    summary_args+=(--big-nodes "$(python3 -c 'import json, sys; s = json.load(open(sys.argv[1]))
print(s["files"] + s["dirs"] + s["symlinks"])' "$big_tree.stamp")")
  fi
  python3 "$here/measure.py" time ${BENCH_NICE:+--priority "$BENCH_NICE"} --runner "$runner" --save "$out/big.json" \
    --runs "$big_runs" --warmup 1 \
    --title "Tree of $(describe "$big_tree") (memory growth), $big_runs runs" \
    --case floor "$(q "$floor") $(q "$big_tree")" \
    --case oskra-cli "$(q "$oskra") $(q "$big_tree")" "${big_json[@]}" | tee -a "$out/report.md"
  # The small side of the growth: the default run on the main tree.
  summary_args+=(--big "$out/big.json" --small "$out/main.json")
fi

if want evaluate; then
  echo "timing RuleEngine::evaluate"
  "$repo/build/bench/tools/bench/bench_evaluate" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_min_time=0.2 \
    --benchmark_out="$out/evaluate.json" --benchmark_out_format=json >"$out/evaluate.txt" 2>&1
  { echo "### RuleEngine::evaluate (Google Benchmark, median of 5)"; echo; echo '```'
    grep -E '^(Benchmark|evaluate.*_median)' "$out/evaluate.txt"; echo '```'; echo
  } | tee -a "$out/report.md"
  summary_args+=(--evaluate "$out/evaluate.json")
fi

if want writer; then
  echo "timing the JSON writer"
  "$repo/build/bench/tools/bench/bench_json" --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/writer.json" --benchmark_out_format=json >"$out/writer.txt" 2>&1
  { echo "### JSON writer into /dev/null (Google Benchmark, median of 5)"; echo; echo '```'
    grep -E '^(Benchmark|BM_.*_median)' "$out/writer.txt"; echo '```'; echo
  } | tee -a "$out/report.md"
  summary_args+=(--writer "$out/writer.json")
fi

python3 "$here/measure.py" summary "${summary_args[@]}" | tee -a "$out/report.md"

if [ "${HYPERFINE:-0}" = 1 ]; then
  hf=()
  for ((i = 1; i < ${#main_cases[@]}; i += 3)); do
    hf+=(-n "${main_cases[i]}" "${main_cases[i + 1]}")
  done
  hyperfine -N --warmup "$warmup" --runs "$runs" --export-markdown "$out/hyperfine.md" "${hf[@]}"
  cat "$out/hyperfine.md" >> "$out/report.md"
fi
echo "report: $out/report.md"
