#!/usr/bin/env python3
"""Folder opens per folder of a whole run at several descriptor limits, on a
chain of folders with a sibling at each level (the shape that wants one kept
handle per level). A figure, not a pass or fail.

Usage: opens_per_folder.py <oskra-cli> [--levels N] [--limits 5,6,8,16,default]
       [--timeout SECONDS]

Each run is traced with strace (every openat with O_DIRECTORY counts), under
`prlimit --nofile=N:N`; a run past the timeout prints "> x" with the opens
counted so far.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "cli", "tests"))
import e2e_common as e2e  # noqa: E402


def opens(binary, tree, limit, timeout):
    with tempfile.NamedTemporaryFile(prefix="oskra-opens-") as log:
        command = ["strace", "-f", "-qq", "-e", "trace=openat", "-o", log.name,
                   binary, tree, "--json", "--depth", "0"]
        if limit != "default":
            command = ["prlimit", f"--nofile={limit}:{limit}"] + command
        try:
            done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                  timeout=timeout).returncode == 0
        except subprocess.TimeoutExpired:
            done = False
        with open(log.name, "rb") as f:
            # The root's own opens and the folder opens below it.
            count = sum(1 for line in f if b"O_DIRECTORY" in line and tree.encode() in line
                        or b"O_DIRECTORY" in line and b"openat(AT_FDCWD" not in line)
        return count, done


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("binary")
    parser.add_argument("--levels", type=int, default=2000)
    parser.add_argument("--limits", default="5,6,8,16,default")
    parser.add_argument("--timeout", type=float, default=120)
    args = parser.parse_args()
    with e2e.TempDir() as d:
        _, _, folders = e2e.make_chain_with_siblings(d, args.levels)
        print(f"{args.levels} levels, {folders} folders")
        for limit in args.limits.split(","):
            count, done = opens(args.binary, d, limit, args.timeout)
            shown = f"{count / folders:.2f}" if done else f"> {count / folders:.2f} (timed out)"
            print(f"nofile={limit:>7}: {count} opens, {shown} per folder")


if __name__ == "__main__":
    main()
