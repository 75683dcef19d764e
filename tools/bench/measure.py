#!/usr/bin/env python3
"""Times commands the way the benchmark needs: interleaved, on a warm cache
or on a cold one, with wall time, CPU time and peak resident memory of every run, all shown as
ratios to the floor program measured in the same session.

    measure.py time --runner RUNNER --save FILE --title TEXT [--runs N] [--warmup N]
                    [--timeout SECONDS] [--drop-caches] [--priority NICE]
                    --case NAME CMDLINE [--case NAME CMDLINE ...]
    measure.py check FLOOR OSKRA TREE [--parallel-floor PFLOOR --threads N...]
    measure.py summary [--main FILE] [--cold FILE [--cold-note TEXT]] [--big FILE]
                       [--small FILE] [--big-nodes N] [--evaluate FILE] [--writer FILE]

`time`: the first case is the reference (the floor). Each round runs every
case once, starting one case later than the round before, so no command
always follows the same neighbour. Standard output goes to /dev/null. Each
run goes through RUNNER (runner.c), which reads the monotonic clock around
the command and takes CPU time (user + system) and peak RSS from wait4's
rusage, the same figures /usr/bin/time -v prints. Each figure in the table
is the median over the runs. With --drop-caches (root only), every timed run
of every command starts after `sync` and `echo 3 > /proc/sys/vm/drop_caches`,
so it reads the tree from the disk; it stops with an error where the caches
cannot be dropped rather than print warm figures as cold ones. The load
average at the start and the end of the session is printed with the table.
With --priority (root only, for a machine others are using), the commands run
in a scheduling group of their own at that nice value, so that other work
disturbs the figures less; without it, a program with more threads gets a
larger share of a busy machine, which flatters it against one thread.

`check`: runs the floor and `oskra-cli --json --depth 0` once (and the
parallel floor on each thread count, if given) and compares their totals, so a ratio is never taken between programs that counted
different trees.

`summary`: reads saved results and says, target by target, whether the
figures of this session meet it.
"""

import argparse
import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1024 * 1024


def drop_caches():
    """Empties the page cache, dentries and inodes; raises OSError if not allowed."""
    os.sync()
    with open("/proc/sys/vm/drop_caches", "w", encoding="ascii") as f:
        f.write("3\n")


def raise_priority(nice):
    """Runs this process and its children in an autogroup of their own at `nice`."""
    try:
        os.setsid()
    except OSError:
        pass  # already a session leader: its group is ours
    done = []
    try:
        with open("/proc/self/autogroup", "w", encoding="ascii") as f:
            f.write("%d\n" % nice)
        done.append("autogroup")
    except OSError:
        pass
    try:
        os.setpriority(os.PRIO_PROCESS, 0, nice)
        done.append("process")
    except OSError:
        pass
    return "nice %d (%s)" % (nice, ", ".join(done)) if done else "priority unchanged (not root)"


def load_average():
    with open("/proc/loadavg", encoding="ascii") as f:
        return " ".join(f.read().split()[:3])


def run_once(runner, timeout, argv):
    """Returns (wall seconds, cpu seconds, peak rss KiB, exit code, stderr)."""
    # stderr goes to a file, not a pipe, so a chatty command cannot block.
    with tempfile.TemporaryFile() as err_file, \
            tempfile.NamedTemporaryFile(mode="r", prefix="oskra-bench-") as result:
        actions = [(os.POSIX_SPAWN_OPEN, 0, "/dev/null", os.O_RDONLY, 0),
                   (os.POSIX_SPAWN_OPEN, 1, "/dev/null", os.O_WRONLY, 0),
                   (os.POSIX_SPAWN_DUP2, err_file.fileno(), 2)]
        pid = os.posix_spawn(runner, [runner, result.name, str(timeout)] + argv, os.environ,
                             file_actions=actions)
        _, status = os.waitpid(pid, 0)
        err_file.seek(0)
        err = err_file.read(4096).decode("utf-8", "replace")
        if os.waitstatus_to_exitcode(status) != 0:
            sys.exit("measure: runner failed: " + err)
        wall_ns, user_us, sys_us, rss_kib, code = (int(x) for x in result.read().split())
    return wall_ns / 1e9, (user_us + sys_us) / 1e6, rss_kib, code, err


def failure(code, err):
    if code == 124:
        return "timed out"
    lines = err.strip().splitlines()
    return "exit %d%s" % (code, ": " + lines[-1][:200] if lines else "")


def fmt_ratio(value, ref):
    return "%.2fx" % (value / ref) if ref > 0 else "-"


def table(result):
    cases = result["cases"]
    ref = cases[0]
    rows = [("command", "median wall", "x floor", "CPU (user+sys)", "x floor", "peak RSS",
             "x floor", "wall min..max")]
    ref_wall = statistics.median(ref["wall"])
    ref_cpu = statistics.median(ref["cpu"])
    ref_rss = statistics.median(ref["rss_kib"])
    for c in cases:
        if c.get("failed"):
            rows.append((c["name"], "FAILED: " + c["failed"], "", "", "", "", "", ""))
            continue
        wall = statistics.median(c["wall"])
        cpu = statistics.median(c["cpu"])
        rss = statistics.median(c["rss_kib"])
        rows.append((c["name"], "%.3f s" % wall, fmt_ratio(wall, ref_wall), "%.3f s" % cpu,
                     fmt_ratio(cpu, ref_cpu), "%.1f MiB" % (rss / 1024), fmt_ratio(rss, ref_rss),
                     "%.3f..%.3f" % (min(c["wall"]), max(c["wall"]))))
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    lines = ["| " + " | ".join(r[i].ljust(widths[i]) for i in range(len(r))) + " |" for r in rows]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def cmd_time(args):
    cases = [{"name": name, "cmd": cmdline, "argv": shlex.split(cmdline), "wall": [], "cpu": [],
              "rss_kib": []} for name, cmdline in args.case]
    if not cases:
        sys.exit("measure: no cases")
    priority = raise_priority(args.priority) if args.priority is not None else None
    if args.drop_caches:
        try:
            drop_caches()
        except OSError as e:
            sys.exit("measure: cannot drop the caches (%s); run as root for cold figures" % e)
    print("%s: warming up (%d round%s)" % (args.title, args.warmup,
                                            "" if args.warmup == 1 else "s"), flush=True)
    for _ in range(args.warmup):
        for c in cases:
            if c.get("failed"):
                continue
            _, _, _, code, err = run_once(args.runner, args.timeout, c["argv"])
            if code != 0:
                c["failed"] = failure(code, err)
    if cases[0].get("failed"):
        sys.exit("measure: the reference %s failed: %s" % (cases[0]["name"], cases[0]["failed"]))
    load_start = load_average()
    for r in range(args.runs):
        order = cases[r % len(cases):] + cases[:r % len(cases)]
        for c in order:
            if c.get("failed"):
                continue
            if args.drop_caches:
                drop_caches()
            wall, cpu, rss, code, err = run_once(args.runner, args.timeout, c["argv"])
            if code != 0:
                c["failed"] = failure(code, err)
                continue
            c["wall"].append(wall)
            c["cpu"].append(cpu)
            c["rss_kib"].append(rss)
        print("  round %d/%d done" % (r + 1, args.runs), flush=True)
    result = {"title": args.title, "runs": args.runs, "warmup": args.warmup,
              "cold": args.drop_caches, "load": [load_start, load_average()],
              "priority": priority,
              "cases": [{k: v for k, v in c.items() if k != "argv"} for c in cases]}
    with open(args.save, "w", encoding="utf-8") as f:
        json.dump(result, f, indent=1)
    print()
    print("### " + args.title)
    print()
    print("%s; load average %s at the start, %s at the end%s." %
          ("Cold cache: caches dropped before every run" if args.drop_caches
           else "Warm cache", result["load"][0], result["load"][1],
           "; commands run at " + priority if priority else ""))
    print()
    print(table(result))
    print()


def cmd_check(args):
    floor = subprocess.run([args.floor, args.tree], check=True, capture_output=True, timeout=600,
                           text=True).stdout.split()
    # "<bytes> bytes <files> files <dirs> dirs <denied> denied"
    f = {floor[i + 1]: int(floor[i]) for i in range(0, len(floor), 2)}
    out = subprocess.run([args.oskra, args.tree, "--json", "--depth", "0"], check=True,
                         capture_output=True).stdout
    o = json.loads(out)
    mine = {"bytes": o["total_bytes"], "files": o["files"], "dirs": o["dirs"],
            "denied": o["denied"]}
    if mine != f:
        print("totals DIFFER: floor %s, %s %s" % (f, args.oskra, mine))
        return 1
    for n in args.threads if args.parallel_floor else []:
        out = subprocess.run([args.parallel_floor, str(n), args.tree], check=True,
                             capture_output=True, timeout=600, text=True).stdout.split()
        p = {out[i + 1]: int(out[i]) for i in range(0, len(out), 2)}
        if p != f:
            print("totals DIFFER: floor %s, floor on %d threads %s" % (f, n, p))
            return 1
    print("totals agree: %d files, %d dirs, %.1f GiB" % (f["files"], f["dirs"],
                                                           f["bytes"] / 1024 / MIB))
    return 0


def load(path):
    if not path or not os.path.exists(path):
        return None
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def median_of(result, name, key):
    for c in result["cases"]:
        if c["name"] == name and not c.get("failed") and c[key]:
            return statistics.median(c[key])
    return None


ONE_THREAD = "oskra-cli (1 thread)"
JSON_CASE = "oskra-cli --json --depth 100"
PEERS = ("du -sb", "ncdu", "gdu")


def cmd_summary(args):
    lines = []

    def verdict(ok):
        return "met" if ok else "NOT met"

    def session(result, label, default_target):
        floor = median_of(result, "floor", "wall")
        default = median_of(result, "oskra-cli", "wall")
        if not floor or not default:
            return
        ratio = default / floor
        best = min(((median_of(result, c["name"], "wall") or float("inf"), c["name"])
                    for c in result["cases"] if c["name"].startswith("floor, ")),
                   default=(float("inf"), ""))
        ceiling = " (the parallel floor's best: %.2fx, %s)" % (best[0] / floor, best[1]) \
            if best[0] != float("inf") else ""
        lines.append("- %s, default run: %.2fx the floor%s (target <= %.2fx): %s" %
                     (label, ratio, ceiling, default_target, verdict(ratio <= default_target)))
        one = median_of(result, ONE_THREAD, "wall")
        if one:
            lines.append("- %s, one-thread run: %.2fx the floor" % (label, one / floor))
        cpu, one_cpu = median_of(result, "oskra-cli", "cpu"), median_of(result, ONE_THREAD, "cpu")
        if cpu and one_cpu:
            lines.append("- %s, CPU of the default run: %.3f s, %.2fx the one-thread run's "
                         "(target <= 1.30x): %s" % (label, cpu, cpu / one_cpu,
                                                   verdict(cpu / one_cpu <= 1.3)))
        for peer in PEERS:
            p = median_of(result, peer, "wall")
            if p:
                lines.append("- %s, default run vs %s: %.3f s vs %.3f s (target: faster): %s" %
                             (label, peer, default, p, verdict(default < p)))
        full = median_of(result, JSON_CASE, "wall")
        if full and not result.get("cold"):
            lines.append("- %s, --json --depth 100: %.2fx the floor (target <= 0.90x): %s" %
                         (label, full / floor, verdict(full / floor <= 0.9)))

    main = load(args.main)
    if main:
        session(main, "warm", 0.65)
    cold = load(args.cold)
    if cold:
        session(cold, "cold", 0.45)
    elif args.cold is not None:
        lines.append("- cold: no figures (%s)" % (args.cold_note or "not measured"))
    big, small = load(args.big), load(args.small)
    if big and small:
        a = median_of(small, "oskra-cli", "rss_kib")
        b = median_of(big, "oskra-cli", "rss_kib")
        if a and b:
            growth = (b - a) / 1024
            lines.append("- peak RSS of the default run: %.1f MiB -> %.1f MiB, growth %.1f MiB "
                         "(target < 16 MiB): %s" % (a / 1024, b / 1024, growth,
                                                   verdict(growth < 16)))
    if big and args.big_nodes:
        full = median_of(big, JSON_CASE, "rss_kib")
        if full:
            per_node = full * 1024 / args.big_nodes
            lines.append("- peak RSS of --json --depth 100 on the large tree: %.1f MiB for %d "
                         "nodes, %.0f bytes per node (target <= 150): %s" %
                         (full / 1024, args.big_nodes, per_node, verdict(per_node <= 150)))
    writer = load(args.writer)
    if writer:
        for b in writer["benchmarks"]:
            if b.get("aggregate_name") == "median":
                rate = b["bytes_per_second"] / 1e9
                lines.append("- JSON writer into /dev/null: %.2f GB/s of CPU time "
                             "(target >= 1 GB/s): %s" % (rate, verdict(rate >= 1)))
    ev = load(args.evaluate)
    if ev:
        for b in ev["benchmarks"]:
            if b.get("aggregate_name") != "median":
                continue
            name = b["run_name"].split("/", 1)[-1]
            typical = name in ("pip_cache", "node_modules")
            cpu_us = b["cpu_time"] / 1000.0 if b["time_unit"] == "ns" else b["cpu_time"]
            wall_us = b["real_time"] / 1000.0 if b["time_unit"] == "ns" else b["real_time"]
            line = "- evaluate %s: %.3f us CPU, %.3f us wall per call" % (name, cpu_us, wall_us)
            if typical:
                line += " (target <= 0.5 us): %s" % verdict(cpu_us <= 0.5)
            lines.append(line)
    print("### Targets")
    print()
    print("\n".join(lines) if lines else "(no results)")
    print()


def main():
    ap = argparse.ArgumentParser()
    sub = ap.add_subparsers(dest="what", required=True)
    t = sub.add_parser("time")
    t.add_argument("--runner", required=True, help="the compiled runner.c")
    t.add_argument("--save", required=True)
    t.add_argument("--title", required=True)
    t.add_argument("--runs", type=int, default=10)
    t.add_argument("--warmup", type=int, default=1)
    t.add_argument("--timeout", type=int, default=600, help="seconds per run (0: none)")
    t.add_argument("--priority", type=int, help="nice value for the commands (root)")
    t.add_argument("--drop-caches", action="store_true",
                   help="sync and drop the page cache before every timed run (root)")
    t.add_argument("--case", nargs=2, action="append", default=[], metavar=("NAME", "CMDLINE"))
    c = sub.add_parser("check")
    c.add_argument("floor")
    c.add_argument("oskra")
    c.add_argument("tree")
    c.add_argument("--parallel-floor", help="floor_parallel, checked on each of --threads")
    c.add_argument("--threads", type=int, nargs="*", default=[])
    s = sub.add_parser("summary")
    s.add_argument("--main")
    s.add_argument("--cold")
    s.add_argument("--cold-note", help="why there are no cold figures")
    s.add_argument("--big")
    s.add_argument("--small")
    s.add_argument("--evaluate")
    s.add_argument("--writer", help="bench_json's Google Benchmark output (JSON)")
    s.add_argument("--big-nodes", type=int, help="nodes of the large tree at --depth 100")
    args = ap.parse_args()
    if args.what == "time":
        cmd_time(args)
    elif args.what == "check":
        sys.exit(cmd_check(args))
    else:
        cmd_summary(args)


if __name__ == "__main__":
    main()
