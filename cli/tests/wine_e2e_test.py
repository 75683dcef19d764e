"""End-to-end tests of the Windows binary under Wine: command line and
refusals, drive roots and drive-letter rules on mapped drives, rules.json
beside the .exe, console output, and a cross-check against the Linux binary.

Usage: wine_e2e_test.py <oskra-cli.exe> <Linux oskra-cli> [test names]
       [--except NAME]...

The tests make their own Wine prefix in a temporary folder, once per run,
and map drive letters to folders in it (symbolic links in dosdevices).
"""

import fcntl
import json
import os
import pty
import re
import select
import shutil
import subprocess
import sys
import struct
import tempfile
import termios
import unicodedata
import unittest

import e2e_common as e2e
from e2e_common import make_file

EXE = ""
LINUX_BIN = ""
# Retries the one known Wine hiccup, as for every other Windows test.
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-run")
SCRATCH = ""
ENV = {}

GiB = 2**30
MiB = 2**20


def drive(letter):
    """The host folder behind a mapped drive letter."""
    return os.path.join(SCRATCH, "drive-" + letter)


def setUpModule():
    global SCRATCH, ENV
    SCRATCH = tempfile.mkdtemp(prefix="oskra-wine-e2e-")
    ENV = dict(os.environ)
    ENV.update(WINEPREFIX=os.path.join(SCRATCH, "prefix"), WINEDEBUG="-all",
               # No Mono or Gecko installers while the prefix is made.
               WINEDLLOVERRIDES="mscoree,mshtml=")
    # One server, persistent, for every run of the tests rather than one
    # per run. It and the prefix's service processes, started here once,
    # outlive the commands that start them, so they get no pipes to keep.
    quiet = dict(env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    os.mkdir(ENV["WINEPREFIX"])
    subprocess.run(["wineserver", "-p"], **quiet)
    subprocess.run(["wineboot", "-i"], **quiet)
    dosdevices = os.path.join(ENV["WINEPREFIX"], "dosdevices")
    if not os.path.isdir(dosdevices):
        tearDownModule()
        raise RuntimeError("wineboot made no Wine prefix")
    open(os.path.join(ENV["WINEPREFIX"], ".oskra-ready"), "w").close()  # for tools/wine-run
    for letter in "def":
        os.mkdir(drive(letter))
        os.symlink(drive(letter), os.path.join(dosdevices, letter + ":"))


def tearDownModule():
    subprocess.run(["wineserver", "-k"], env=ENV, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    shutil.rmtree(SCRATCH, ignore_errors=True)


def run(args, exe=None, **kw):
    return e2e.run([WINE_RUN, exe or EXE] + list(args), env=ENV, timeout=600, **kw)


def scan_json(args, exe=None):
    return e2e.report(*run(list(args) + ["--json"], exe=exe))


def fresh(folder):
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def nodes_by_path(node, out=None):
    out = {} if out is None else out
    out[node["path"]] = node
    for child in node.get("children", []):
        nodes_by_path(child, out)
    return out


def verdict(node):
    mark = node.get("mark")
    return (mark["state"], mark["pattern"], mark["source"]) if mark else None


class CommandLine(unittest.TestCase):
    def test_usage_and_refusals(self):
        cases = e2e.usage_cases("F:\\") + [
            ([""], 2, b"", "路径不存在: \n".encode()),
            (["F:\\no\\such place"], 2, b"", "路径不存在: F:\\no\\such place\n".encode()),
            (["F:\\没有"], 2, b"", "路径不存在: F:\\没有\n".encode()),
            (["F:\\*"], 2, b"", "路径不存在: F:\\*\n".encode()),
        ]
        for args, status, out, err in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args), (status, out, err))
        # A consumed value is never an option: "-h" here is a bad depth.
        code, out, err = run(["F:\\", "--depth", "-h"])
        self.assertEqual((code, err), (0, b""))
        self.assertTrue(out.startswith(f"{e2e.TITLE} — F:\\\n".encode()), out[:80])

    def test_path_that_exists_but_cannot_be_resolved(self):
        # Wine 8 cannot give the final name of a path past 260 characters
        # (GetFinalPathNameByHandleW fails whatever the buffer), while the
        # path itself is there.
        root = fresh(os.path.join(drive("f"), "long"))
        deep = os.path.join(root, *[c * 40 for c in "abcdefg"])
        os.makedirs(deep)
        typed = "F:\\long\\" + "\\".join(c * 40 for c in "abcdefg")
        code, out, err = run([typed])
        if code == 0:
            # Then the scan must be of that very folder.
            self.assertEqual(err, b"")
            self.assertTrue(out.startswith(f"{e2e.TITLE} — {typed}\n".encode()), out[:400])
            self.skipTest("this Wine resolves long paths: nothing here fails to resolve")
        self.assertEqual((code, out, err), (2, b"", f"路径无法解析: {typed}\n".encode()))

    def test_relative_and_odd_paths_are_reported_resolved(self):
        sub = fresh(os.path.join(drive("f"), "rel", "Sub 目录"))
        make_file(os.path.join(sub, "x"), 10)
        # Wine starts in the Windows form of the current folder.
        code, out, err = run([".", "--json"], cwd=sub)
        self.assertEqual((code, err), (0, b""))
        doc = json.loads(out)
        self.assertEqual(doc["path"], "F:\\rel\\Sub 目录")
        self.assertEqual(doc["tree"]["name"], "Sub 目录")
        # Forward slashes, dot segments, a trailing separator and another
        # letter case all resolve to the one final path.
        doc = scan_json(["f:/rel/./Sub 目录/../Sub 目录/"])
        self.assertEqual(doc["path"], "F:\\rel\\Sub 目录")
        # A single file is a root too.
        doc = scan_json(["F:\\rel\\Sub 目录\\x"])
        self.assertEqual((doc["path"], doc["tree"]["name"], doc["total_bytes"], doc["files"]),
                         ("F:\\rel\\Sub 目录\\x", "x", 0, 0))

    def test_failed_output_is_an_error(self):
        folder = fresh(os.path.join(drive("f"), "many"))
        for i in range(3000):
            open(os.path.join(folder, f"file-{i:05}"), "wb").close()
        r, w = os.pipe()
        os.close(r)
        with tempfile.TemporaryFile() as err:
            status = subprocess.run(["wine", EXE, "F:\\many", "--json"], stdout=w, stderr=err,
                                    env=ENV, timeout=600).returncode
            os.close(w)
            err.seek(0)
            self.assertEqual(status, 2)
            self.assertNotEqual(err.read(), b"")


# The text report example, scanned from the drive D: instead of C:.
EXAMPLE_TEXT = """Morvane CLI v0.9.9 — D:\\
总计 67.1 GB ｜ 412345 个文件 ｜ 98765 个目录 ｜ 17 项拒绝访问 ｜ 扫描 45210ms

一级占用(前 20):
  1.    30.0 GB  44.7%  Windows  [红 ?:\\Windows]
  2.    20.1 GB  30.0%  Users
  3.     9.0 GB  13.4%  Program Files  [红 ?:\\Program Files]
  4.     8.0 GB  11.9%  pagefile.sys  [红 pagefile.sys]
  5.     1.2 KB   0.0%  hello.txt
  6.        0 B   0.0%  empty.log

建议清理(绿标,前 20):
  1.     3.0 GB  D:\\Windows\\SoftwareDistribution\\Download
  2.     1.5 GB  D:\\Users\\a\\AppData\\Local\\Temp
  3.   500.0 MB  D:\\Windows\\Temp
(共 3 项,完整清单用 --json)

只看不删:删除请自行在资源管理器操作。规则语义与出处见 SKILL.md。
"""

SUMMARY = re.compile(r"总计 (\S+ \S+) ｜ \d+ 个文件 ｜ \d+ 个目录 ｜ \d+ 项拒绝访问 ｜ 扫描 \d+ms")


class DriveRoots(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        d = drive("d")
        windows = 32212254720
        users = 21598293269
        make_file(os.path.join(d, "Windows", "SoftwareDistribution", "Download", "u.cab"),
                  3 * GiB)
        make_file(os.path.join(d, "Windows", "Temp", "t.tmp"), 500 * MiB)
        make_file(os.path.join(d, "Windows", "System32", "big.dll"),
                  windows - 3 * GiB - 500 * MiB)
        make_file(os.path.join(d, "Users", "a", "AppData", "Local", "Temp", "x.tmp"), 1536 * MiB)
        make_file(os.path.join(d, "Users", "a", "Documents", "notes.doc"), users - 1536 * MiB)
        make_file(os.path.join(d, "Program Files", "App", "app.exe"), 9663676416)
        make_file(os.path.join(d, "pagefile.sys"), 8589934592)
        make_file(os.path.join(d, "hello.txt"), 1280)
        make_file(os.path.join(d, "empty.log"), 0)

        e = drive("e")
        for rel in ["Users/bob/AppData/Local/pip/cache/wheels/w.whl",
                    "Users/bob/AppData/Local/Microsoft/Edge/User Data/Default/Cache/c",
                    "Users/bob/AppData/Local/Microsoft/Other/o",
                    "Users/bob/.m2/repository/r.jar",
                    "Users/bob/a/.m2/repository/r.jar",
                    "Users/Public/p",
                    "Program Files (x86)/x",
                    "Windows/Temp/t",
                    "Windows/System32/s",
                    "WindowsApps/w",
                    "Temp/t"]:
            make_file(os.path.join(e, *rel.split("/")), 100)

    def test_text_report_example(self):
        code, out, err = run(["D:\\"])
        self.assertEqual((code, err), (0, b""))
        got = out.decode().split("\n")
        expected = EXAMPLE_TEXT.split("\n")
        self.assertEqual(len(got), len(expected), out.decode())
        for i, (g, e) in enumerate(zip(got, expected)):
            if i == 1:  # counts and time are the scan's own
                self.assertEqual(SUMMARY.fullmatch(g).group(1), SUMMARY.fullmatch(e).group(1))
                self.assertIn(" ｜ 0 项拒绝访问 ｜ ", g)
            else:
                self.assertEqual(g, e)

    def test_drive_root_node(self):
        doc = scan_json(["D:\\", "--depth", "0"])
        self.assertEqual((doc["path"], doc["tree"]["name"], doc["tree"]["path"]), ("D:\\", "", "D:\\"))
        children = {c["name"]: c["path"] for c in doc["tree"]["children"]}
        self.assertEqual(children["Windows"], "D:\\Windows")
        self.assertEqual(children["pagefile.sys"], "D:\\pagefile.sys")
        self.assertEqual(doc["total_bytes"], 72064160277)
        self.assertEqual((doc["files"], doc["dirs"], doc["denied"]), (9, 14, 0))

    def test_drive_letter_rules(self):
        doc = scan_json(["E:\\", "--depth", "20"])
        nodes = nodes_by_path(doc["tree"])
        expected = {
            "E:\\": None,
            "E:\\Windows": ("red", "?:\\Windows", "builtin"),
            "E:\\Windows\\System32\\s": ("red", "?:\\Windows", "builtin"),
            "E:\\Windows\\Temp": ("green", "?:\\Windows\\Temp", "builtin"),
            "E:\\WindowsApps": None,
            "E:\\Temp": ("green", "Temp", "builtin"),
            "E:\\Program Files (x86)": ("red", "?:\\Program Files (x86)", "builtin"),
            "E:\\Users": None,
            "E:\\Users\\Public": ("red", "?:\\Users\\Public", "builtin"),
            "E:\\Users\\bob\\AppData\\Local\\pip\\cache":
                ("green", "?:\\Users\\*\\AppData\\Local\\pip\\cache", "builtin"),
            # Anchored: nothing below the cache matches the path pattern, but
            # the name pattern "cache" does not apply to "wheels" either.
            "E:\\Users\\bob\\AppData\\Local\\pip\\cache\\wheels":
                ("green", "?:\\Users\\*\\AppData\\Local\\pip\\cache", "builtin"),
            "E:\\Users\\bob\\AppData\\Local\\Microsoft\\Other":
                ("red", "?:\\Users\\*\\AppData\\Local\\Microsoft", "builtin"),
            "E:\\Users\\bob\\AppData\\Local\\Microsoft\\Edge\\User Data\\Default\\Cache":
                ("green", "?:\\Users\\*\\AppData\\Local\\Microsoft\\Edge\\User Data\\Default\\Cache",
                 "builtin"),
            "E:\\Users\\bob\\.m2\\repository": ("green", "?:\\Users\\*\\.m2\\repository", "builtin"),
            # The asterisk never crosses a separator.
            "E:\\Users\\bob\\a\\.m2\\repository": None,
        }
        for path, want in expected.items():
            with self.subTest(path=path):
                self.assertIn(path, nodes)
                self.assertEqual(verdict(nodes[path]), want)
        # Own green verdicts only: a literal path pattern also judges
        # everything beneath it, a wildcard path pattern does not.
        self.assertEqual(sorted(g["path"] for g in doc["greens"]),
                         ["E:\\Temp", "E:\\Users\\bob\\.m2\\repository",
                          "E:\\Users\\bob\\AppData\\Local\\Microsoft\\Edge\\User Data\\Default\\Cache",
                          "E:\\Users\\bob\\AppData\\Local\\pip\\cache",
                          "E:\\Windows\\Temp", "E:\\Windows\\Temp\\t"])


class UserRules(unittest.TestCase):
    def test_rules_file_beside_the_executable(self):
        folder = fresh(os.path.join(drive("f"), "rules"))
        exe = os.path.join(folder, "bin", "oskra-cli.exe")
        os.mkdir(os.path.dirname(exe))
        shutil.copy(EXE, exe)
        os.makedirs(os.path.join(folder, "data", "cache"))
        os.makedirs(os.path.join(folder, "data", "keep"))
        rules = json.dumps([
            {"pattern": "cache", "state": "red", "reason": "mine", "action": "keep"},
            {"pattern": "?:/rules/data/keep/", "state": "green", "reason": "r", "action": "a",
             "comment": "a drive-letter pattern written with forward slashes"},
        ]).encode()
        builtin = {"cache": ("green", "cache", "builtin"), "keep": None}
        cases = [
            (None, builtin),
            (rules, {"cache": ("red", "cache", "user"),
                     "keep": ("green", "?:/rules/data/keep/", "user")}),
            (b"\xef\xbb\xbf" + rules, builtin),  # a byte-order mark
            (b"[]", builtin),
        ]
        path = os.path.join(os.path.dirname(exe), "rules.json")
        for content, expected in cases:
            with self.subTest(content=content):
                if content is None:
                    if os.path.exists(path):
                        os.remove(path)
                else:
                    with open(path, "wb") as f:
                        f.write(content)
                doc = scan_json(["F:\\rules\\data"], exe=exe)
                self.assertIsNone(verdict(doc["tree"]))
                got = {c["name"]: verdict(c) for c in doc["tree"]["children"]}
                self.assertEqual(got, expected)


def cross_tree(root):
    """A fixed tree whose verdicts come from name patterns only, so they do
    not depend on the platform's path form."""
    files = {
        "a/one.txt": 1,
        "a/b/big.bin": 5 * GiB + 3,
        "a/b/c/x": 4097,
        "a/b/c/d/e/deep": 12,
        "Temp/t1": 2048,
        "Temp/inner/cache/c1": 333,
        "proj/node/npm-cache/n": 444,
        "proj/thumbcache_32.db": 555,
        "proj/pagefile.sys": 66,
        "中文 目录/文件.txt": 777,
        "中文 目录/cache/ünïcode": 888,
        "top": 0,
    }
    for rel, size in files.items():
        make_file(os.path.join(root, *rel.split("/")), size)
    for rel in ["empty", "a/b/empty"]:
        os.makedirs(os.path.join(root, *rel.split("/")))


def comparable(node, root_path, sep):
    """A node with its path relative to the scanned root, "/"-separated, and
    its children in name order."""
    rel = node["path"][len(root_path):].replace(sep, "/")
    out = {k: v for k, v in node.items() if k not in ("path", "children")}
    out["path"] = rel
    out["children"] = sorted((comparable(c, root_path, sep) for c in node.get("children", [])),
                             key=lambda c: c["name"])
    return out


class CrossCheck(unittest.TestCase):
    def test_same_tree_same_result_on_linux_and_windows(self):
        if not LINUX_BIN or not os.path.exists(LINUX_BIN):
            self.skipTest(f"no Linux binary at {LINUX_BIN!r} to compare with")
        root = fresh(os.path.join(drive("f"), "cross"))
        cross_tree(root)
        for depth in ["0", "1", "10"]:
            with self.subTest(depth=depth):
                p = subprocess.run([LINUX_BIN, root, "--json", "--depth", depth],
                                   capture_output=True, timeout=600)
                self.assertEqual((p.returncode, p.stderr), (0, b""))
                lin = json.loads(p.stdout)
                win = scan_json(["F:\\cross", "--depth", depth])
                self.assertEqual((win["path"], lin["path"]), ("F:\\cross", root))
                for key in ["total_bytes", "files", "dirs", "denied"]:
                    self.assertEqual(win[key], lin[key], key)
                self.assertEqual(comparable(win["tree"], "F:\\cross", "\\"),
                                 comparable(lin["tree"], root, "/"))
                key = lambda g: (-g["bytes"], g["path"])
                self.assertEqual(sorted((comparable(g, "F:\\cross", "\\") for g in win["greens"]),
                                        key=key),
                                 sorted((comparable(g, root, "/") for g in lin["greens"]),
                                        key=key))
                self.assertGreater(len(win["greens"]), 3)


def cells(ch):
    return 2 if unicodedata.east_asian_width(ch) in "WF" else 1


def render(tty_bytes):
    """The text a terminal shows for what Wine's console wrote to it. The
    console draws a screen: it hides the cursor around updates, erases to
    the end of the line and moves the cursor forward over what is already
    drawn (columns count a wide character twice)."""
    lines, line, col = [], [], 0
    for token in re.findall(r"\x1b\[[0-9;?]*[A-Za-z]|.", tty_bytes.decode("utf-8"), re.S):
        if token.startswith("\x1b["):
            param, op = token[2:-1], token[-1]
            if op == "C":
                col += int(param or 1)
            elif op == "K":
                del line[col:]
            elif param + op not in ("?25l", "?25h"):
                raise AssertionError(f"unexpected control sequence {token!r}")
        elif token == "\r":
            col = 0
        elif token == "\n":
            lines.append("".join(c for c in line if c))
            line, col = [], 0
        else:
            width = cells(token)
            line.extend([" "] * (col + width - len(line)))
            line[col:col + width] = [token] + [""] * (width - 1)
            col += width
    return "".join(text + "\n" for text in lines) + "".join(c for c in line if c)


def run_on_console(args):
    """Runs the .exe with a pseudo-terminal as its console; returns the
    status and the text shown."""
    master, slave = pty.openpty()
    # Wide enough that no line wraps.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 400, 0, 0))
    proc = subprocess.Popen(["wine", EXE] + list(args), stdin=slave, stdout=slave,
                            stderr=subprocess.DEVNULL, env=ENV)
    os.close(slave)
    out = b""
    while True:
        ready, _, _ = select.select([master], [], [], 60)
        if not ready:
            break
        try:
            data = os.read(master, 65536)
        except OSError:  # the other side closed
            break
        if not data:
            break
        out += data
    os.close(master)
    status = proc.wait(timeout=600)
    return status, render(out.replace(b"\r\r\n", b"\r\n"))


class Console(unittest.TestCase):
    COUNT = 2000

    @classmethod
    def setUpClass(cls):
        root = fresh(os.path.join(drive("f"), "console"))
        # Names of 83 CJK characters (nearly the longest a Linux name can be):
        # most bytes of the output sit inside a character, so the pieces the
        # program writes (64 KiB each) end inside one, many times over.
        for i in range(cls.COUNT):
            make_file(os.path.join(root, f"{i:04}" + "文件名字"[i % 4] * 83), i)

    def test_console_gets_the_same_text(self):
        drop_time = lambda text: re.sub(r"(扫描 \d+ms|\"elapsed_ms\": \d+)", "", text)
        for args in (["F:\\console", "--top", "100000"], ["F:\\console", "--json"]):
            with self.subTest(args=args):
                code, piped, err = run(args)
                self.assertEqual((code, err), (0, b""))
                self.assertGreater(len(piped), 8 * 65536)
                status, shown = run_on_console(args)
                self.assertEqual(status, 0)
                self.assertIn(f"{self.COUNT - 1:04}", shown)
                self.assertEqual(drop_time(shown), drop_time(piped.decode()))


class Packaging(unittest.TestCase):
    def test_needs_no_runtime_dlls(self):
        objdump = shutil.which("x86_64-w64-mingw32-objdump")
        self.assertTrue(objdump, "no x86_64-w64-mingw32-objdump (it comes with the cross compiler)")
        dump = subprocess.run([objdump, "-p", EXE], capture_output=True, check=True).stdout
        dlls = {d.decode().lower() for d in re.findall(rb"DLL Name: (\S+)", dump)}
        self.assertTrue(dlls)
        # Only what every Windows 10 has.
        self.assertLessEqual(dlls, {"kernel32.dll", "msvcrt.dll", "shell32.dll", "user32.dll",
                                    "advapi32.dll", "ucrtbase.dll", "ntdll.dll"})


if __name__ == "__main__":
    EXE = os.path.abspath(sys.argv.pop(1))
    LINUX_BIN = os.path.abspath(sys.argv.pop(1))
    e2e.main()
