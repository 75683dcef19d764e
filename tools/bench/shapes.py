#!/usr/bin/env python3
"""The listing under hostile shapes: time, peak memory and openat calls of
`oskra-cli <tree>` on trees that once made it slow, each beside a plain tree
of as many folders, so every figure reads as "about the time of that many
folders anywhere else" or not.

    shapes.py OSKRA [--dir DIR] [--runs N] [--quick]

Shapes (made once under DIR, default /tmp/oskra-shapes, and reused):
  chain-N      N nested folders "b", each also holding a file and an empty
               folder "d" that comes only after all below its "b" (one handle
               wanted per level); N = 5,000 10,000 20,000 40,000
  flat-N       N folders "b<i>" side by side, each with a file and an empty
               "d": the same counts, no depth
  chain+big    a 4,000-level chain beside one folder of 130,000 files
  wide-N       one folder of N empty subfolders; N = 50,000 100,000 200,000
  chain-N@L    chain-N again under `ulimit -n L` (few descriptors)

Times are medians of --runs runs (default 3) on a warm cache; openat is
counted in one more run under `strace -f -c`. Figures from one session only;
the machine may be shared, so compare rows with each other, not with other
days.
"""

import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "cli",
                                "tests"))
import e2e_common  # noqa: E402  (the tests' tree makers)


def make(path, build):
    stamp = path + ".stamp"
    if os.path.exists(stamp):
        return
    subprocess.run(["rm", "-rf", path], check=True)
    os.makedirs(path)
    build(path)
    open(stamp, "w").close()


def flat(path, n):
    for i in range(n):
        b = os.path.join(path, f"b{i}")
        os.makedirs(os.path.join(b, "d"))
        with open(os.path.join(b, "f"), "wb") as f:
            f.truncate(10)


def chain_and_big(path):
    chain = os.path.join(path, "chain")
    os.mkdir(chain)
    e2e_common.make_chain_with_siblings(chain, 4000)
    big = os.path.join(path, "big")
    os.mkdir(big)
    fd = os.open(big, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for i in range(130000):
            os.close(os.open(f"f{i}", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd))
    finally:
        os.close(fd)


def wide(path, n):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for i in range(n):
            os.mkdir(f"s{i}", dir_fd=fd)
    finally:
        os.close(fd)


def measure(oskra, tree, runs, nofile=None):
    def limit():
        if nofile:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

    times, rss = [], []
    for _ in range(runs):
        start = time.monotonic()
        p = subprocess.Popen([oskra, tree], stdout=subprocess.DEVNULL, preexec_fn=limit)
        _, status, usage = os.wait4(p.pid, 0)
        times.append(time.monotonic() - start)
        rss.append(usage.ru_maxrss / 1024)
        if status != 0:
            sys.exit(f"{oskra} {tree}: status {status}")
    traced = subprocess.run(["strace", "-f", "-c", "-e", "trace=openat", oskra, tree],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=limit,
                            text=True).stderr
    found = re.search(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)(?:\s+\d+)?\s+openat$", traced, re.M)
    return statistics.median(times), max(rss), int(found.group(1)) if found else -1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("oskra")
    parser.add_argument("--dir", default="/tmp/oskra-shapes")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="the smaller shapes only")
    args = parser.parse_args()
    oskra = os.path.abspath(args.oskra)
    os.makedirs(args.dir, exist_ok=True)
    at = lambda name: os.path.join(args.dir, name)

    chains = [5000, 10000] if args.quick else [5000, 10000, 20000, 40000]
    widths = [50000, 100000] if args.quick else [50000, 100000, 200000]
    cases = []  # (label, tree, folders, ulimit -n)
    for n in chains:
        make(at(f"chain-{n}"), lambda p, n=n: e2e_common.make_chain_with_siblings(p, n))
        make(at(f"flat-{n}"), lambda p, n=n: flat(p, n))
        cases += [(f"chain-{n}", at(f"chain-{n}"), 2 * n + 1, None),
                  (f"flat-{n}", at(f"flat-{n}"), 2 * n + 1, None)]
    if not args.quick:
        make(at("chain+big"), chain_and_big)
        cases.append(("chain-4000 + 130,000 files", at("chain+big"), 8003, None))
    for n in widths:
        make(at(f"wide-{n}"), lambda p, n=n: wide(p, n))
        cases.append((f"wide-{n}", at(f"wide-{n}"), n + 1, None))
    for nofile in (8, 16):
        cases.append((f"chain-{chains[-1]} @ ulimit -n {nofile}", at(f"chain-{chains[-1]}"),
                      2 * chains[-1] + 1, nofile))

    print(f"| shape | folders | time (s) | µs per folder | peak RSS (MiB) | openat | "
          f"openat per folder |")
    print("|---|---|---|---|---|---|---|")
    for label, tree, folders, nofile in cases:
        seconds, rss, opens = measure(oskra, tree, args.runs, nofile)
        print(f"| {label} | {folders:,} | {seconds:.2f} | {1e6 * seconds / folders:.1f} | "
              f"{rss:.1f} | {opens:,} | {opens / folders:.2f} |", flush=True)
    print(f"\nload average at the end: {os.getloadavg()[0]:.1f}")


if __name__ == "__main__":
    main()
