"""Tests of tools/wine-run with a stand-in for wine: it decides whether a
Windows test passed, so it must retry nothing but the one Wine hiccup, and
pass status and output through unchanged.

Usage: wine_run_test.py <path to tools/wine-run>
"""

import os
import subprocess
import sys
import tempfile
import unittest

WINE_RUN = ""

# Behaves as told by FAKE_WINE and counts its runs in FAKE_DIR/runs.
FAKE_WINE = r"""#!/usr/bin/env bash
n=$(( $(cat "$FAKE_DIR/runs" 2>/dev/null || echo 0) + 1 ))
echo $n >"$FAKE_DIR/runs"
case "$FAKE_WINE" in
  hiccup-once) [ $n -eq 1 ] && exit 1; echo "out $*"; exit 0 ;;
  silent-1) exit 1 ;;
  silent-0) exit 0 ;;
  loud-1) echo "a real fault" >&2; exit 1 ;;
  bytes) cat "$FAKE_DIR/payload"; printf 'e\0\377' >&2; exit 3 ;;
  interleaved) for i in $(seq 300); do echo "o$i"; echo "e$i" >&2; done ;;
esac
"""

RETRY_LINE = b"wine-run: Wine ended with status 1 and wrote nothing; running it once more\n"


class WineRun(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="oskra-wine-run-test-")
        d = self.dir.name
        with open(os.path.join(d, "wine"), "w") as f:
            f.write(FAKE_WINE)
        os.chmod(os.path.join(d, "wine"), 0o755)
        os.mkdir(os.path.join(d, "prefix"))
        open(os.path.join(d, "prefix", ".oskra-ready"), "w").close()
        self.env = dict(os.environ, PATH=d + os.pathsep + os.environ["PATH"],
                        WINEPREFIX=os.path.join(d, "prefix"), FAKE_DIR=d)

    def tearDown(self):
        self.dir.cleanup()

    def run_fake(self, behaviour, **kw):
        """Status, output, error output and the number of Wine runs."""
        runs = os.path.join(self.dir.name, "runs")
        if os.path.exists(runs):
            os.remove(runs)
        p = subprocess.run([WINE_RUN, "prog.exe", "x"], env=dict(self.env, FAKE_WINE=behaviour),
                           capture_output=True, timeout=60, **kw)
        with open(runs) as f:
            return p.returncode, p.stdout, p.stderr, int(f.read())

    def test_retries_only_status_1_without_output(self):
        self.assertEqual(self.run_fake("hiccup-once"), (0, b"out prog.exe x\n", RETRY_LINE, 2))
        self.assertEqual(self.run_fake("silent-1"), (1, b"", RETRY_LINE, 2))
        self.assertEqual(self.run_fake("silent-0"), (0, b"", b"", 1))
        self.assertEqual(self.run_fake("loud-1"), (1, b"", b"a real fault\n", 1))

    def test_status_and_bytes_pass_through(self):
        payload = os.urandom(3 * 2**20)
        with open(os.path.join(self.dir.name, "payload"), "wb") as f:
            f.write(payload)
        self.assertEqual(self.run_fake("bytes"), (3, payload, b"e\0\377", 1))
        # One stream given for both keeps their order.
        p = subprocess.run([WINE_RUN, "prog.exe"], env=dict(self.env, FAKE_WINE="interleaved"),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=60)
        self.assertEqual((p.returncode, p.stdout),
                         (0, b"".join(b"o%d\ne%d\n" % (i, i) for i in range(1, 301))))


if __name__ == "__main__":
    WINE_RUN = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=1)
