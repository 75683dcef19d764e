#!/usr/bin/env python3
"""Checks a release package end to end.

The archive (made here with CPack, or given with --package) must unpack to
exactly one folder, oskra-cli/ (the skill's name), holding the program,
SKILL.md with its references/, oskra-view.html, rules.example.json,
README.txt and SHA256SUMS: the documents as they are in the source tree, the
README in Chinese and English, and SHA256SUMS naming every other file with
its right hash, as `sha256sum -c` checks it. The program in that folder must
run (under Wine for Windows), judge a small tree with its built-in rules, and
pick up a rules.json placed beside it; a rules.json it cannot use (here: one
saved with a byte-order mark) must be ignored without a word.
"""

import argparse
import glob
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

# Name in the package -> place in the source tree.
DOCUMENTS = {
    "SKILL.md": "SKILL.md",
    "rules.example.json": "rules.example.json",
    "README.txt": os.path.join("packaging", "README.txt"),
    "references/rules.md": os.path.join("references", "rules.md"),
    "references/rules-json.md": os.path.join("references", "rules-json.md"),
    "references/sources.md": os.path.join("references", "sources.md"),
    "references/wording.md": os.path.join("references", "wording.md"),
    "references/questions.md": os.path.join("references", "questions.md"),
}
# Built, so checked by what it must be rather than against a source.
VIEWER = "oskra-view.html"
SUMS = "SHA256SUMS"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def make_package(args, scratch):
    out = os.path.join(scratch, "cpack")
    result = subprocess.run(
        [args.cpack, "--config", args.config, "-B", out],
        capture_output=True, text=True)
    if result.returncode != 0:
        fail("cpack failed:\n" + result.stdout + result.stderr)
    archives = [p for p in glob.glob(os.path.join(out, "*"))
                if p.endswith((".zip", ".tar.gz"))]
    if len(archives) != 1:
        fail("expected one archive from cpack, found %r" % archives)
    return archives[0]


def unpack(args, archive, scratch):
    dest = os.path.join(scratch, "unpacked")
    os.makedirs(dest)
    result = subprocess.run([args.cmake, "-E", "tar", "xf", os.path.abspath(archive)],
                            cwd=dest, capture_output=True, text=True)
    if result.returncode != 0:
        fail("cannot unpack %s:\n%s" % (archive, result.stderr))
    top = os.listdir(dest)
    if top != ["oskra-cli"] or not os.path.isdir(os.path.join(dest, top[0])):
        fail("%s should unpack to one folder, oskra-cli/, found %r" % (archive, top))
    folder = os.path.join(dest, top[0])
    expected = sorted([args.exe, VIEWER, SUMS] + list(DOCUMENTS))
    found = sorted(os.path.relpath(os.path.join(base, name), folder).replace(os.sep, "/")
                   for base, _, names in os.walk(folder) for name in names)
    if found != expected:
        fail("%s/ holds %r, expected %r" % (top[0], found, expected))
    for name, source_name in DOCUMENTS.items():
        with open(os.path.join(folder, name), "rb") as shipped, \
                open(os.path.join(args.source_dir, source_name), "rb") as source:
            if shipped.read() != source.read():
                fail("the packed %s differs from the source tree's" % name)
    check_readme(os.path.join(folder, "README.txt"))
    check_viewer(os.path.join(folder, VIEWER))
    check_sums(folder, [name for name in expected if name != SUMS])
    return folder


def check_viewer(path):
    # One page with everything inside and a policy that forbids fetching.
    with open(path, encoding="utf-8") as f:
        page = f.read()
    if "Content-Security-Policy" not in page or "default-src 'none'" not in page:
        fail("%s has no policy forbidding requests" % VIEWER)
    for outside in (r"<script[^>]*\ssrc\s*=", r"<link\s", r"(src|href)\s*=\s*[\"']?\w+:",
                    r"url\(\s*[\"']?\w+:", r"@import"):
        if re.search(outside, page, re.IGNORECASE):
            fail("%s refers to something outside itself: %r" % (VIEWER, outside))


def check_sums(folder, names):
    # `sha256sum -c SHA256SUMS` on Linux and Get-FileHash on Windows read
    # "<hash>  <name>" lines; every other file must be listed, rightly.
    with open(os.path.join(folder, SUMS), encoding="ascii") as f:
        lines = f.read().splitlines()
    listed = {}
    for line in lines:
        digest, sep, name = line.partition("  ")
        if not sep or len(digest) != 64:
            fail("%s line %r is not in sha256sum's form" % (SUMS, line))
        listed[name] = digest
    if sorted(listed) != sorted(names):
        fail("%s lists %r, expected %r" % (SUMS, sorted(listed), sorted(names)))
    for name, digest in listed.items():
        with open(os.path.join(folder, name), "rb") as f:
            if hashlib.sha256(f.read()).hexdigest() != digest:
                fail("%s has the wrong hash for %s" % (SUMS, name))
    if shutil.which("sha256sum"):
        result = subprocess.run(["sha256sum", "--check", "--strict", SUMS], cwd=folder,
                                capture_output=True, text=True)
        if result.returncode != 0:
            fail("sha256sum -c %s failed:\n%s%s" % (SUMS, result.stdout, result.stderr))


def check_readme(path):
    # A person opening the package reads this first: in both languages it
    # must say how to run the program, where rules.json goes and where the
    # rules are described.
    with open(path, encoding="utf-8") as f:
        text = f.read()
    halves = text.split("==== English ====")
    if len(halves) != 2 or "==== 中文 ====" not in halves[0]:
        fail("README.txt has no Chinese part followed by an English part")
    for language, half in zip(("Chinese", "English"), halves):
        for needed in ("oskra-cli.exe C:\\", "PowerShell", "rules.json", "SKILL.md", VIEWER, SUMS,
                       "Get-FileHash", "SmartScreen"):
            if needed not in half:
                fail("the %s part of README.txt does not mention %r" % (language, needed))


def program_path(args, path):
    # Wine maps drive Z: to the Unix root.
    if args.windows:
        return "Z:" + os.path.abspath(path).replace("/", "\\")
    return os.path.abspath(path)


def run(args, folder, *arguments):
    command = list(args.runner) + [os.path.join(folder, args.exe)] + list(arguments)
    return subprocess.run(command, capture_output=True, timeout=600)


def scan(args, folder, tree):
    result = run(args, folder, program_path(args, tree), "--json")
    if result.returncode != 0:
        fail("the packed program exited with %d:\n%s" %
             (result.returncode, result.stderr.decode("utf-8", "replace")))
    if result.stderr:
        fail("the packed program wrote to standard error:\n" +
             result.stderr.decode("utf-8", "replace"))
    try:
        report = json.loads(result.stdout.decode("utf-8"))
    except ValueError as error:
        fail("the packed program's --json output is not JSON (%s):\n%s" %
             (error, result.stdout[:2000]))
    children = {child["name"]: child for child in report["tree"].get("children", [])}
    for name in ("photos", "cache"):
        if name not in children:
            fail("no node for %r in %r" % (name, sorted(children)))
    return children


def mark(node):
    m = node.get("mark")
    return None if m is None else (m["state"], m["source"], m["pattern"], m["reason"])


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--package", help="an existing archive to check")
    parser.add_argument("--cpack", help="cpack, to make the archive")
    parser.add_argument("--config", help="the build's CPackConfig.cmake")
    parser.add_argument("--cmake", required=True, help="cmake, to unpack")
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--exe", required=True, help="the program's file name")
    parser.add_argument("--runner", action="append", default=[],
                        help="command to run the program through (repeatable)")
    parser.add_argument("--windows", action="store_true",
                        help="the program is a Windows executable run under Wine")
    args = parser.parse_args()
    if not args.package and not (args.cpack and args.config):
        parser.error("give --package, or --cpack and --config")

    scratch = tempfile.mkdtemp(prefix="oskra-package-")
    try:
        archive = args.package or make_package(args, scratch)
        folder = unpack(args, archive, scratch)

        usage = run(args, folder, "--help")
        first = usage.stdout.decode("utf-8", "replace").split("\n")[0]
        if usage.returncode != 0 or not first.startswith("Morvane CLI v"):
            fail("--help gave status %d, %r and on stderr %r"
                 % (usage.returncode, first, usage.stderr.decode("utf-8", "replace")))

        tree = os.path.join(scratch, "tree")
        for sub, name, size in (("photos", "a.jpg", 100), ("cache", "b.bin", 50)):
            os.makedirs(os.path.join(tree, sub))
            with open(os.path.join(tree, sub, name), "wb") as f:
                f.write(b"x" * size)

        # Built-in rules alone.
        children = scan(args, folder, tree)
        if mark(children["cache"]) != ("green", "builtin", "cache", "rule.reason.cacheDir"):
            fail("without rules.json, cache has %r" % (children["cache"].get("mark"),))
        if "mark" in children["photos"]:
            fail("without rules.json, photos has %r" % (children["photos"]["mark"],))

        # A rules.json beside the program takes part, before the built-in rules.
        rules = [
            {"comment": "kept", "pattern": "photos", "state": "red",
             "reason": "family photos", "action": "keep"},
            ["cache", "red", "a user's cache", "keep"],
        ]
        rules_path = os.path.join(folder, "rules.json")
        with open(rules_path, "w", encoding="utf-8") as f:
            json.dump(rules, f)
        children = scan(args, folder, tree)
        if mark(children["photos"]) != ("red", "user", "photos", "family photos"):
            fail("with rules.json, photos has %r" % (children["photos"].get("mark"),))
        if mark(children["cache"]) != ("red", "user", "cache", "a user's cache"):
            fail("with rules.json, cache has %r" % (children["cache"].get("mark"),))

        # The same file with a byte-order mark is ignored, silently.
        with open(rules_path, "w", encoding="utf-8-sig") as f:
            json.dump(rules, f)
        children = scan(args, folder, tree)
        if mark(children["cache"]) != ("green", "builtin", "cache", "rule.reason.cacheDir"):
            fail("a rules.json with a byte-order mark was used: cache has %r" %
                 (children["cache"].get("mark"),))
        print("package ok: " + os.path.basename(archive))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
