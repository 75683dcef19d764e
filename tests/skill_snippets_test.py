"""SKILL.md's snippets that fold and group the greens of a saved scan, run
against a real scan: the Windows program under Wine scans a drive holding
every case of tests/data/green_groups.json that has a drive letter (a user
rule's case with its rule in rules.json), and each snippet must answer with
exactly the table's groups for the top-most greens.

The jq snippets of references/questions.md run against the same scan, a
second scan of the drive after a few changes, and (with the Linux program,
as nobody) a scan holding a folder that cannot be read.

Usage: skill_snippets_test.py <oskra-cli.exe> <source folder> <Linux oskra-cli>
       [jq|powershell]
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
LINUX_BIN = ""
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
        # What the comparison snippet must find: a folder renamed only in
        # letter case, a file grown, a folder gone and one new.
        for name, size in [("Photos/p.jpg", 1), ("grow.bin", 1), ("old/x.bin", 2)]:
            e2e.make_file(os.path.join(drive, "diff", *name.split("/")), size * MiB)
        exe = os.path.join(scratch, "bin", "oskra-cli.exe")
        os.mkdir(os.path.dirname(exe))
        shutil.copy(EXE, exe)
        with open(os.path.join(scratch, "bin", "rules.json"), "w", encoding="utf-8") as f:
            json.dump([{"pattern": c["pattern"], "state": "green", "reason": "mine", "action": "mine"}
                       for c in CASES if c["source"] == "user"], f)
        status, out, err = e2e.run([WINE_RUN, exe, "D:\\", "--json", "--depth", "8"], env=env, timeout=600)
        assert (status, err) == (0, b""), (status, err)
        SCAN = (scratch, "scan.json")
        for name in ["scan.json", "old.json"]:
            with open(os.path.join(scratch, name), "wb") as f:
                f.write(out)
        status, out, err = e2e.run([WINE_RUN, exe, "D:\\", "--json", "--depth", "1"], env=env, timeout=600)
        assert (status, err) == (0, b""), (status, err)
        with open(os.path.join(scratch, "shallow.json"), "wb") as f:
            f.write(out)
        os.rename(os.path.join(drive, "diff", "Photos"), os.path.join(drive, "diff", "PHOTOS"))
        e2e.make_file(os.path.join(drive, "diff", "grow.bin"), 3 * MiB)
        shutil.rmtree(os.path.join(drive, "diff", "old"))
        e2e.make_file(os.path.join(drive, "diff", "fresh", "y.bin"), 5 * MiB)
        status, out, err = e2e.run([WINE_RUN, exe, "D:\\", "--json", "--depth", "8"], env=env, timeout=600)
        assert (status, err) == (0, b""), (status, err)
        with open(os.path.join(scratch, "new.json"), "wb") as f:
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

    def question(self, marker, scan="scan.json", cwd=None):
        """The output lines of the jq snippet of references/questions.md
        whose first line is `# marker`."""
        with open(os.path.join(SOURCE, "references", "questions.md"), encoding="utf-8") as f:
            block = fenced(f.read(), "sh", "# " + marker + "\n")
        block = block.replace("scan.json", scan)
        out = subprocess.run(["bash", "-c", block], cwd=cwd or SCAN[0], capture_output=True,
                             check=True).stdout
        return [line.split("\t") for line in out.decode("utf-8").splitlines()]

    def test_questions_jq(self):
        with open(os.path.join(*SCAN), encoding="utf-8") as f:
            doc = json.load(f)
        children = sorted(doc["tree"]["children"], key=lambda c: -c["bytes"])[:20]
        self.assertEqual(self.question("largest entries"),
                         [[str(c["bytes"]), "file" if c["dirs"] == 0 else "folder", c["path"]]
                          for c in children])

        def nodes(n):
            yield n
            for c in n.get("children", []):
                yield from nodes(c)
        spread = [n for n in nodes(doc["tree"]) if n["dirs"] > 0 and n["bytes"] > 0 and
                  all(c["dirs"] == 0 or 2 * c["bytes"] < n["bytes"] for c in n.get("children", []))]
        largest = self.question("largest folders")
        self.assertEqual([row[:2] for row in largest],
                         [[str(n["bytes"]), n["path"]] for n in sorted(spread, key=lambda n: -n["bytes"])[:20]])

        # At depth 8 the cases' folders are kept whole; at depth 1 the root's
        # folders hold what lies beyond it.
        self.assertTrue(any(len(row) == 3 and row[2] == f'deeper: oskra-cli.exe "{row[1]}" --json --depth 3'
                            for row in self.question("largest folders", "shallow.json")))

        changed = {row[2]: row[:2] for row in self.question("what changed", cwd=SCAN[0])}
        self.assertEqual(changed["D:\\diff\\grow.bin"], ["grew", str(2 * MiB)])
        self.assertEqual(changed["D:\\diff\\old"], ["gone", str(-2 * MiB)])
        self.assertEqual(changed["D:\\diff\\fresh"], ["new", str(5 * MiB)])
        self.assertNotIn("D:\\diff\\fresh\\y.bin", changed)  # its parent is new: one line
        # Renamed only in case: the same folder on Windows, neither gone nor new.
        self.assertFalse([p for p in changed if "photos" in p.lower()])

    def test_denied_folders_jq(self):
        if not os.path.exists(LINUX_BIN):
            self.skipTest("the Linux program is not built")
        as_user = []
        if os.geteuid() == 0:
            as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            for folder in ["open", "locked"]:
                e2e.make_file(os.path.join(d, "t", folder, "f"), 1000)
            os.chmod(os.path.join(d, "t", "locked"), 0)
            try:
                status, out, err = e2e.run(as_user + [LINUX_BIN, os.path.join(d, "t"), "--json"])
            finally:
                os.chmod(os.path.join(d, "t", "locked"), 0o755)
            self.assertEqual(status, 0, err)
            with open(os.path.join(d, "scan.json"), "wb") as f:
                f.write(out)
            self.assertEqual(self.question("denied folders", cwd=d),
                             [["0", os.path.join(d, "t", "locked")]])

    def test_powershell(self):
        block = fenced(self.skill(), "powershell", ".greens")
        out = subprocess.run(["pwsh", "-NoProfile", "-Command", block], cwd=SCAN[0], capture_output=True,
                             check=True).stdout
        self.check_answer(out)


if __name__ == "__main__":
    EXE, SOURCE, LINUX_BIN = sys.argv[1], sys.argv[2], sys.argv[3]
    del sys.argv[3]
    if "powershell" in sys.argv[3:] and not shutil.which("pwsh"):
        # Known before any scan is made.
        print("skipped: pwsh is not installed (Debian 12 has no PowerShell package)")
        sys.exit(e2e.SKIPPED)
    # "jq" runs every jq snippet's test, "powershell" the PowerShell one.
    names = [f"Snippets.{test}" for test in unittest.defaultTestLoader.getTestCaseNames(Snippets)
             if any(test.endswith("_" + name) for name in sys.argv[3:])] or None
    suite = (unittest.defaultTestLoader.loadTestsFromNames(names, sys.modules[__name__]) if names
             else unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__]))
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    if not result.wasSuccessful():
        sys.exit(1)
    sys.exit(0)
