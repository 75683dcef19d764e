"""SKILL.md's snippets that fold and group the greens of a saved scan, run
against a real scan: the Windows program under Wine scans a drive holding
every case of tests/data/green_groups.json that has a drive letter (a user
rule's case with its rule in rules.json), and each snippet must answer with
exactly the table's groups for the top-most greens.

Usage: skill_snippets_test.py <oskra-cli.exe> <source folder> [jq|powershell]
PowerShell's case is skipped (status 77) where `pwsh` is not found.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "cli", "tests"))
import e2e_common as e2e  # noqa: E402

EXE = ""
SOURCE = ""
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "wine-run")
MiB = 2**20
SCAN = None   # the saved scan: folder and file name
CASES = []    # the table's rows with a drive letter


def fenced(text, language, holding):
    """The one fenced block of `language` holding `holding`."""
    blocks = re.findall(r"^```" + language + r"\n(.*?)^```$", text, re.S | re.M)
    found = [b for b in blocks if holding in b]
    assert len(found) == 1, f"{len(found)} {language} blocks hold {holding!r}"
    return found[0]


def setUpModule():
    global SCAN, CASES
    scratch = tempfile.mkdtemp(prefix="oskra-skill-snippets-")
    env = e2e.start_wine(scratch, "d")
    try:
        with open(os.path.join(SOURCE, "tests", "data", "green_groups.json"), encoding="utf-8") as f:
            CASES = [c for c in json.load(f) if re.match(r"D:\\", c["path"])]
        drive = os.path.join(scratch, "drive-d")
        for k, case in enumerate(CASES):
            # Distinct sizes; a file inside each, so a literal path rule
            # also lists nested greens for the snippets to fold.
            parts = case["path"].split("\\")[1:]
            e2e.make_file(os.path.join(drive, *parts, "inside", "f.bin"), (k + 1) * MiB)
        exe = os.path.join(scratch, "bin", "oskra-cli.exe")
        os.mkdir(os.path.dirname(exe))
        shutil.copy(EXE, exe)
        with open(os.path.join(scratch, "bin", "rules.json"), "w", encoding="utf-8") as f:
            json.dump([{"pattern": c["pattern"], "state": "green", "reason": "mine", "action": "mine"}
                       for c in CASES if c["source"] == "user"], f)
        status, out, err = e2e.run([WINE_RUN, exe, "D:\\", "--json", "--depth", "8"], env=env, timeout=600)
        assert (status, err) == (0, b""), (status, err)
        SCAN = (scratch, "scan.json")
        with open(os.path.join(scratch, "scan.json"), "wb") as f:
            f.write(out)
    finally:
        e2e.end_wine(env)


def tearDownModule():
    if SCAN:
        shutil.rmtree(SCAN[0], ignore_errors=True)


class Snippets(unittest.TestCase):
    def check_answer(self, out):
        with open(os.path.join(*SCAN), encoding="utf-8") as f:
            sizes = {g["path"]: g["bytes"] for g in json.load(f)["greens"]}
        got = {}
        for line in out.decode("utf-8").splitlines():
            group, size, path = line.split("\t")
            got[path] = group
            self.assertEqual(int(size), sizes[path], path)
        self.assertEqual(got, {c["path"]: c["group"] for c in CASES})

    def skill(self):
        with open(os.path.join(SOURCE, "SKILL.md"), encoding="utf-8") as f:
            return f.read()

    def test_jq(self):
        block = fenced(self.skill(), "sh", "jq ")
        out = subprocess.run(["bash", "-c", block], cwd=SCAN[0], capture_output=True, check=True).stdout
        self.check_answer(out)

    def test_powershell(self):
        block = fenced(self.skill(), "powershell", ".greens")
        out = subprocess.run(["pwsh", "-NoProfile", "-Command", block], cwd=SCAN[0], capture_output=True,
                             check=True).stdout
        self.check_answer(out)


if __name__ == "__main__":
    EXE, SOURCE = sys.argv[1], sys.argv[2]
    if "powershell" in sys.argv[3:] and not shutil.which("pwsh"):
        # Known before any scan is made.
        print("skipped: pwsh is not installed (Debian 12 has no PowerShell package)")
        sys.exit(e2e.SKIPPED)
    names = [f"Snippets.test_{name}" for name in sys.argv[3:]] or None
    suite = (unittest.defaultTestLoader.loadTestsFromNames(names, sys.modules[__name__]) if names
             else unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__]))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(0)
