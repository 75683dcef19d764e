#!/usr/bin/env python3
"""Checks that two builds of oskra-cli write the same reports, byte for byte.

    compare_builds.py OLD NEW [--trees 30] [--dir DIR] [--keep]

OLD and NEW are two oskra-cli binaries (say, one built from main and one from
a branch). The script makes --trees random trees with tools/bench/gen_tree.py
(one to six thousand files each, a different seed each), adds to
every tree the shapes generated homes lack (names with control characters,
quotes and backslashes, an empty folder, a chain a few hundred folders deep),
and runs both binaries on each tree at depths 0, 1, 3 and 100, as text and as
JSON, and once on a single file. The scan time is the only thing masked.
Exit status 0 when every pair of outputs is the same, 1 otherwise (the first
differences are printed).
"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
GEN_TREE = os.path.join(HERE, "bench", "gen_tree.py")
DEPTHS = ["0", "1", "3", "100"]
MASKS = [
    (re.compile(rb"\xe6\x89\xab\xe6\x8f\x8f \d+ms"), b"SCAN ?ms"),  # "扫描 NNNms"
    (re.compile(rb'"elapsed_ms": \d+'), b'"elapsed_ms": ?'),
]


def masked(output):
    for pattern, replacement in MASKS:
        output = pattern.sub(replacement, output)
    return output


def add_odd_shapes(root, rng):
    odd = os.path.join(root, "odd")
    os.makedirs(os.path.join(odd, "empty"))
    for name in ["new\nline", "tab\there", "esc\x1b[31m", 'quote"d', "back\\slash", "del\x7f"]:
        with open(os.path.join(odd, name), "wb") as f:
            f.truncate(rng.randrange(0, 5000))
    chain = os.path.join(root, "chain")
    for _ in range(rng.randrange(100, 400)):
        chain = os.path.join(chain, "c")
    os.makedirs(chain)
    with open(os.path.join(chain, "bottom.tmp"), "wb") as f:
        f.truncate(77)


def run(binary, args):
    done = subprocess.run([binary] + args, capture_output=True, timeout=600)
    return done.returncode, masked(done.stdout), done.stderr


def compare(old, new, args, failures):
    a = run(old, args)
    b = run(new, args)
    if a != b:
        failures.append((args, a, b))
    return a == b


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("old")
    ap.add_argument("new")
    ap.add_argument("--trees", type=int, default=30)
    ap.add_argument("--dir", help="where to make the trees (default: a temporary folder)")
    ap.add_argument("--keep", action="store_true", help="keep the trees afterwards")
    opts = ap.parse_args()

    base = opts.dir or tempfile.mkdtemp(prefix="oskra-compare-")
    os.makedirs(base, exist_ok=True)
    failures = []
    runs = 0
    try:
        for i in range(opts.trees):
            rng = random.Random(i)
            tree = os.path.join(base, "tree%d" % i)
            files = rng.randrange(1100, 6000)
            subprocess.run([sys.executable, GEN_TREE, tree, "--files", str(files),
                            "--seed", str(1000 + i)], check=True, capture_output=True)
            add_odd_shapes(tree, rng)
            for depth in DEPTHS:
                for form in ([], ["--json"]):
                    runs += 1
                    compare(opts.old, opts.new, [tree, "--depth", depth, "--top", "50"] + form,
                            failures)
            single = os.path.join(tree, "odd", "quote\"d")
            for form in ([], ["--json"]):
                runs += 1
                compare(opts.old, opts.new, [single] + form, failures)
            print("tree %d (%d files): %d differences so far" % (i, files, len(failures)))
    finally:
        if not opts.keep and not opts.dir:
            shutil.rmtree(base, ignore_errors=True)
    for args, a, b in failures[:5]:
        print("DIFFERENT:", args)
        print("  old: status %d, %d bytes out, stderr %r" % (a[0], len(a[1]), a[2][:200]))
        print("  new: status %d, %d bytes out, stderr %r" % (b[0], len(b[1]), b[2][:200]))
    print("%d runs compared, %d different" % (runs, len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
