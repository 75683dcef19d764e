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
import signal
import subprocess
import sys
import struct
import tempfile
import termios
import time
import unicodedata
import unittest
import xml.etree.ElementTree as ET

import e2e_common as e2e
from e2e_common import make_file

EXE = ""
LINUX_BIN = ""
# Retries the one known Wine hiccup, as for every other Windows test.
WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "wine-run")
SCRATCH = ""
ENV = {}

DOUBLE_CLICK_LINE = ("这是命令行程序:请在 cmd 或 PowerShell 中运行,后跟要分析的目录或盘符"
                     "(如 oskra-cli D:)。按任意键关闭窗口。")

GiB = 2**30
MiB = 2**20


def drive(letter):
    """The host folder behind a mapped drive letter."""
    return os.path.join(SCRATCH, "drive-" + letter)


def setUpModule():
    global SCRATCH, ENV
    SCRATCH = tempfile.mkdtemp(prefix="oskra-wine-e2e-")
    ENV = e2e.start_wine(SCRATCH, "def")


def tearDownModule():
    e2e.end_wine(ENV)
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

    def test_path_without_a_final_name_is_resolved_by_its_full_path(self):
        # Wine 8 cannot give any final name of a path past 260 characters
        # (GetFinalPathNameByHandleW fails whatever the buffer and flags), as
        # Windows cannot for some volumes; the path's full form stands in.
        root = fresh(os.path.join(drive("f"), "long"))
        deep = os.path.join(root, *[c * 40 for c in "abcdefg"])
        make_file(os.path.join(deep, "leaf"), 7)
        typed = "F:\\long\\" + "\\".join(c * 40 for c in "abcdefg")
        for arg in [typed, typed + "\\", typed.replace("\\", "/")]:
            with self.subTest(arg=arg):
                doc = scan_json([arg])
                self.assertEqual((doc["path"], doc["total_bytes"], doc["files"]), (typed, 7, 1))
                self.assertEqual(doc["tree"]["children"][0]["path"], typed + "\\leaf")

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
        # A single file is a root too: its size, one file, no folder.
        make_file(os.path.join(sub, "thumbcache_32.db"), 5000)
        doc, text = e2e.file_root_reports("F:\\rel\\Sub 目录\\thumbcache_32.db")
        self.assertEqual(e2e.without_time(scan_json(["f:/rel/Sub 目录/THUMBCACHE_32.DB"])), doc)
        code, out, err = run(["F:\\rel\\Sub 目录\\thumbcache_32.db"])
        self.assertEqual((code, err), (0, b""))
        self.assertEqual(e2e.without_time(out.decode()), text)

    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_a_file_windows_holds_open_is_read_from_its_folder(self):
        """Windows refuses even a metadata call on pagefile.sys and its kind
        (a sharing violation, or access denied). Here every stat of the file
        fails with EACCES, which Wine answers as access denied: the file is
        read from its folder's listing instead, and a missing one is still
        missing."""
        make_file(os.path.join(fresh(os.path.join(drive("f"), "sys")), "pagefile.sys"), 3 * GiB)
        for name, unforced in [("pagefile.sys", scan_json(["F:\\sys\\pagefile.sys"])),
                               ("hiberfil.sys", None)]:
            with self.subTest(name=name), tempfile.TemporaryDirectory() as log_dir:
                log = os.path.join(log_dir, "strace.log")
                # The path as Wine names it, through the drive's link.
                unix = os.path.join(ENV["WINEPREFIX"], "dosdevices", "f:", "sys", name)
                code, out, err = e2e.run(
                    ["strace", "-f", "-qq", "-o", log, "-P", unix, "-e", "trace=stat,newfstatat,statx",
                     "-e", "inject=stat,newfstatat,statx:error=EACCES", WINE_RUN, EXE,
                     f"F:\\sys\\{name}", "--json"], env=ENV, timeout=600)
                # strace says on standard error that it resolved the link.
                err = b"".join(line for line in err.splitlines(True)
                               if not line.startswith(b"strace: "))
                with open(log) as f:
                    self.assertIn("(INJECTED)", f.read())
                if unforced is None:
                    self.assertEqual((code, out, err.decode()),
                                     (2, b"", f"路径不存在: F:\\sys\\{name}\n"))
                else:
                    self.assertEqual(e2e.without_time(e2e.report(code, out, err)),
                                     e2e.without_time(unforced))
                    self.assertEqual((unforced["total_bytes"], unforced["files"]), (3 * GiB, 1))

    def test_quoted_path_ending_in_a_backslash(self):
        # As typed in a batch file run by cmd: "\"" there would have ended the
        # quote, and the program takes it so.
        folder = fresh(os.path.join(drive("f"), "quoted dir"))
        make_file(os.path.join(folder, "x"), 3)
        batch = os.path.join(drive("f"), "quoted.bat")
        exe = "Z:" + EXE.replace("/", "\\")
        for line, expected in [
                ('"F:\\quoted dir\\" --json', ("F:\\quoted dir", 3)),
                ('"F:\\" --json --depth 0', ("F:\\", None)),
                ('"F:\\no such\\" --json', "路径不存在: F:\\no such\n"),
        ]:
            with self.subTest(line=line):
                with open(batch, "w") as f:
                    f.write(f'@"{exe}" {line}\r\n')
                code, out, err = e2e.run([WINE_RUN, "cmd", "/c", "F:\\quoted.bat"], env=ENV,
                                         timeout=600)
                if isinstance(expected, str):
                    self.assertEqual((code, out, err.decode()), (2, b"", expected))
                    continue
                doc = e2e.report(code, out, err)
                self.assertEqual(doc["path"], expected[0])
                if expected[1] is not None:
                    self.assertEqual(doc["total_bytes"], expected[1])
                else:  # --depth 0 came through: the root's entries only
                    self.assertTrue(doc["tree"]["children"])
                    self.assertFalse(any("children" in c for c in doc["tree"]["children"]))

    def test_failed_output_is_an_error(self):
        folder = fresh(os.path.join(drive("f"), "many"))
        for i in range(3000):
            open(os.path.join(folder, f"file-{i:05}"), "wb").close()
        # A full disk keeps its message; a pipe its reader closed (`| more`
        # ended early) ends the run with status 2 and not a word.
        r, w = os.pipe()
        os.close(r)
        with open("/dev/full", "wb") as full:
            for stdout, expected in [(full, "无法写入标准输出\n".encode()), (w, b"")]:
                with tempfile.TemporaryFile() as err:
                    status = subprocess.run(["wine", EXE, "F:\\many", "--json"], stdout=stdout,
                                            stderr=err, env=ENV, timeout=600).returncode
                    err.seek(0)
                    self.assertEqual((status, err.read()), (2, expected))
        os.close(w)


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

    def test_lone_drive_letter_is_the_drive_root(self):
        # By Windows rules "D:" alone is the current folder of drive D, here
        # D:\Windows as cmd leaves it; the argument means the whole drive.
        # The copy sits where its path needs no quotes inside cmd /c.
        exe = os.path.join(fresh(os.path.join(drive("f"), "lone")), "oskra-cli.exe")
        shutil.copy(EXE, exe)
        cases = [("D:", "D:\\"), ("d:", "D:\\"), ("D:.", "D:\\Windows"), ("D:Temp", "D:\\Windows\\Temp")]
        for arg, path in cases:
            with self.subTest(arg=arg):
                code, out, err = run(["/c", f"cd /d D:\\Windows && F:\\lone\\oskra-cli.exe {arg} --json"],
                                     exe="cmd")
                self.assertEqual((code, err), (0, b""))
                self.assertEqual(json.loads(out)["path"], path)
        # Messages still quote the argument as typed.
        self.assertEqual(run(["Q:"]), (2, b"", "路径不存在: Q:\n".encode()))

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


def run_on_console(args, command=None, key_after=None, stderr_too=False, interrupt_after=None):
    """Runs the .exe (or `command`) with a pseudo-terminal as its console
    (for standard error too with `stderr_too`); returns the status, the text
    shown, what the console wrote to the terminal, and, with `key_after`,
    whether the process was still there a second after that text was shown
    to take the key then pressed. With `interrupt_after`, the program is
    interrupted as soon as that text is written: Wine turns SIGINT into the
    console's Ctrl+C event (its console takes a ^C typed on the terminal for
    a character while the program reads no input)."""
    master, slave = pty.openpty()
    # Wide enough that no line wraps.
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 400, 0, 0))
    proc = subprocess.Popen(command or ["wine", EXE] + list(args), stdin=slave, stdout=slave,
                            stderr=slave if stderr_too else subprocess.DEVNULL, env=ENV)
    os.close(slave)
    out = b""
    waited = None
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
        if interrupt_after and interrupt_after.encode() in out:
            os.kill(proc.pid, signal.SIGINT)
            interrupt_after = None
        shown = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", out)
        if key_after and waited is None and key_after.encode() in shown:
            time.sleep(1)
            waited = proc.poll() is None
            os.write(master, b"x")
    os.close(master)
    status = proc.wait(timeout=600)
    return status, render(out.replace(b"\r\r\n", b"\r\n")), out.decode("utf-8"), waited


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
                status, shown, _, _ = run_on_console(args)
                self.assertEqual(status, 0)
                self.assertIn(f"{self.COUNT - 1:04}", shown)
                self.assertEqual(drop_time(shown), drop_time(piped.decode()))

    def test_status_line_is_drawn_and_erased(self):
        # Standard error on the console too: the walk's status line shows
        # and is gone before the report, which reads as when piped.
        code, piped, err = run(["F:\\console"])
        self.assertEqual((code, err), (0, b""))
        status, shown, written, _ = run_on_console(["F:\\console"], stderr_too=True)
        self.assertEqual(status, 0)
        self.assertRegex(written, r"扫描中 \d+(\.\d)? [KM]?B ｜ [1-9]\d* 个文件 ｜ 1 个目录 ｜ \d+ 秒")
        drop_time = lambda text: re.sub(r"扫描 \d+ms", "", text)
        self.assertEqual(drop_time(shown), drop_time(piped.decode()))

    def test_ctrl_c_erases_the_status_line(self):
        # Interrupted while the line shows, the program blanks it and ends as
        # an interrupted program ends: under Wine with status 0, whether it
        # handles the event or not (on Windows, STATUS_CONTROL_C_EXIT).
        root = fresh(os.path.join(drive("f"), "interrupted"))
        e2e.make_folders_of_files(root, 20, 2500)
        status, shown, written, _ = run_on_console(["F:\\interrupted"], stderr_too=True,
                                                   interrupt_after="扫描中")
        self.assertIn("扫描中", written)
        self.assertEqual((status, shown), (0, ""))

    def test_double_click_holds_the_window_until_a_key(self):
        # Alone on its console with no arguments, as Explorer starts it on a
        # double-click (and as Wine starts it on a terminal of its own).
        status, shown, _, waited = run_on_console([], key_after="按任意键关闭窗口")
        self.assertEqual((status, shown, waited), (2, e2e.USAGE.decode() + DOUBLE_CLICK_LINE + "\n", True))
        # Started from a console the usage alone is shown, and nothing waits.
        folder = fresh(os.path.join(drive("f"), "from-cmd"))
        shutil.copy(EXE, os.path.join(folder, "oskra-cli.exe"))
        status, shown, _, _ = run_on_console([], command=["wine", "cmd", "/c", "F:\\from-cmd\\oskra-cli.exe"])
        self.assertEqual((status, shown), (2, e2e.USAGE.decode()))


# The table reader's own image tests make and damage the images this uses.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "src",
                                "ntfs", "testing"))
import image_test as ntfs_images  # noqa: E402


def populate_volume(m):
    """Folders, files of several sizes, a hard link, a sparse file, names
    beyond ASCII, a folder of 2,000 files and one of 1,100 folders."""
    os.makedirs(f"{m}/Users/me/AppData/Local/Temp")
    make_file(f"{m}/Users/me/AppData/Local/Temp/t.tmp", 70_000)
    with open(f"{m}/Users/me/视频.mp4", "wb") as f:
        f.write(os.urandom(300_000))
    os.link(f"{m}/Users/me/视频.mp4", f"{m}/Users/linked.mp4")
    with open(f"{m}/sparse.bin", "wb") as f:
        f.truncate(3 * GiB)
    os.makedirs(f"{m}/many")
    for i in range(2000):
        with open(f"{m}/many/f{i:04}", "wb") as f:
            f.write(b"x" * (i % 900))
    for i in range(1100):  # more than a small folder has
        os.makedirs(f"{m}/folders/d{i:04}")
    return {name: os.stat(f"{m}/{name}").st_ino for name in ["many/f0001", "Users/me/视频.mp4"]}


@unittest.skipUnless(ntfs_images.can_mount() and shutil.which("losetup"),
                     "needs root, /dev/fuse, ntfs-3g and loop devices")
class VolumeTable(unittest.TestCase):
    """The Windows program's own table path: drive D: is a read-only ntfs-3g
    mount of an image and D:: (the drive's device) a read-only loop device
    of the same image, so an elevated scan of D:\\ opens \\\\.\\D: and
    reads the table there."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="oskra-volume-")
        cls.image = os.path.join(cls.dir, "good.img")
        cls.records = ntfs_images.make_image(cls.image, 64 * MiB, populate_volume)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    def scan(self, image, *env_switches, path="D:\\", while_mounted=None):
        """(explanation line, JSON report without its time) of `path` with
        `image` as drive D:; the switches set in the environment. With
        `while_mounted`, the image is mounted for writing and that function,
        given the mount, runs while the scan does (it returns a function
        that ends it)."""
        mount = image + (".rw" if while_mounted else ".ro")
        os.makedirs(mount, exist_ok=True)
        loop = subprocess.run(["losetup", "-r", "-f", "--show", image], check=True,
                              capture_output=True, text=True).stdout.strip()
        letter = os.path.join(ENV["WINEPREFIX"], "dosdevices", "d:")
        folder = os.readlink(letter)  # the drive's usual folder, back afterwards
        try:
            ntfs_images.mount_ntfs(image, mount, "-o", "rw" if while_mounted else "ro")
            try:
                os.unlink(letter)
                os.symlink(mount, letter)
                os.symlink(loop, letter + ":")
                env = dict(ENV, OSKRA_EXPLAIN="1", **{k: "1" for k in env_switches})
                end = while_mounted(mount) if while_mounted else lambda: None
                try:
                    status, out, err = e2e.run([WINE_RUN, EXE, path, "--json", "--depth", "9"],
                                               env=env, timeout=600)
                finally:
                    end()
            finally:
                for link in [letter, letter + ":"]:
                    if os.path.lexists(link):
                        os.unlink(link)
                os.symlink(folder, letter)
                subprocess.run(["umount", mount], check=True)
        finally:
            subprocess.run(["losetup", "-d", loop], check=True)
        self.assertEqual(status, 0, err)
        doc = json.loads(out)
        doc.pop("elapsed_ms")
        return err.decode(), doc

    def test_a_live_volume_is_read_whole_where_nothing_changes(self):
        """Drive D: mounted for writing while a writer creates, grows,
        renames and deletes files beside folders it never touches; the loop
        device reads the image as it is written, through its own cache."""
        image = os.path.join(self.dir, "live.img")
        shutil.copyfile(self.image, image)

        for _ in range(2):
            said, doc = self.scan(image, while_mounted=ntfs_images.busy_writer)
            self.assertRegex(said, r"^数据来源: (文件表 \(MFT\)|逐个列出文件夹; 文件表未用: .+)\n$")
            children = {c["name"]: c for c in doc["tree"]["children"]}
            # Never touched: counted whole, whichever way the tree was read.
            many = children["many"]
            self.assertEqual((many["files"], many["bytes"]),
                             (2000, sum(i % 900 for i in range(2000))))
            self.assertEqual(children["folders"]["dirs"], 1101)
            self.assertEqual(doc["denied"], 0)

    def damaged(self, name, change):
        copy = os.path.join(self.dir, name)
        shutil.copyfile(self.image, copy)
        change(ntfs_images.Records(copy))
        return copy

    def test_the_table_gives_the_listing_report_and_says_so(self):
        said, table = self.scan(self.image)
        self.assertEqual(said, "数据来源: 文件表 (MFT)\n")
        said, listed = self.scan(self.image, "OSKRA_NO_MFT")
        self.assertEqual(said, "数据来源: 逐个列出文件夹; 文件表未读: OSKRA_NO_MFT 已设置\n")
        self.assertEqual(table, listed)
        self.assertEqual((table["files"], table["denied"]), (2004, 0))

    def test_a_small_folder_is_listed_and_a_larger_one_read_from_the_table(self):
        said, listed = self.scan(self.image, path="D:\\Users")
        self.assertEqual(said, "数据来源: 逐个列出文件夹; 文件表未读: 文件夹不到 1000 个, 逐个列出更快\n")
        self.assertEqual(listed, self.scan(self.image, "OSKRA_NO_MFT", path="D:\\Users")[1])
        said, table = self.scan(self.image, path="D:\\folders")
        self.assertEqual(said, "数据来源: 文件表 (MFT)\n")
        self.assertEqual(table, self.scan(self.image, "OSKRA_NO_MFT", path="D:\\folders")[1])
        self.assertEqual(table["dirs"], 1101)  # the folder and the 1,100 in it

    def test_a_damaged_table_is_not_used_and_the_explanation_names_the_cause(self):
        def clear_bit(r):
            at, bit = r.bitmap_bit(self.records["many/f0001"])
            r.patch(at, bytes([r.read(at, 1)[0] & ~bit]))

        def absurd_size(r):
            record = self.records["Users/me/视频.mp4"]
            at = r.attribute(record, 0x80) - r.offset(record)
            r.patch_in_record(record, at + 0x28, struct.pack("<QQQ", 1 << 62, 1 << 62, 1 << 62))

        for name, change, cause in [
                ("bitmap.img", clear_bit, "a record in use that the bitmap marks free"),
                ("size.img", absurd_size, "a stream larger than the volume")]:
            image = self.damaged(name, change)
            said, doc = self.scan(image)
            self.assertEqual(said, f"数据来源: 逐个列出文件夹; 文件表未用: 读取失败: {cause}\n")
            # The listing's report, whatever ntfs-3g makes of the damage.
            self.assertEqual(doc, self.scan(image, "OSKRA_NO_MFT")[1], name)

    def test_later_segments_with_the_short_header_are_read_from_the_table(self):
        image = os.path.join(self.dir, "pieces.img")
        ntfs_images.make_image(image, 8 * MiB, ntfs_images.populate_pieces, "-c", "512")
        self.assertGreater(ntfs_images.shorten_later_headers(ntfs_images.Records(image)), 0)
        said, table = self.scan(image)
        self.assertEqual(said, "数据来源: 文件表 (MFT)\n")
        self.assertEqual(table, self.scan(image, "OSKRA_NO_MFT")[1])


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

    def test_version_resource_and_manifest(self):
        resources = pe_resources(EXE)
        self.assertEqual(sorted(resources), [(16, 1), (24, 1)])
        fixed, strings = version_info(resources[(16, 1)])  # RT_VERSION, VS_VERSION_INFO
        self.assertEqual(fixed, ((0, 9, 9, 0), (0, 9, 9, 0)))
        self.assertEqual(strings["ProductName"], "Morvane CLI")
        self.assertEqual(strings["FileVersion"], "0.9.9")
        self.assertEqual(strings["ProductVersion"], "0.9.9")
        self.assertEqual(strings["OriginalFilename"], "oskra-cli.exe")
        self.assertTrue(strings["FileDescription"].startswith("Morvane CLI "), strings)

        # RT_MANIFEST under the id a process is started with.
        manifest = ET.fromstring(resources[(24, 1)])
        ns = {"v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1",
              "ws": "http://schemas.microsoft.com/SMI/2016/WindowsSettings"}
        level = manifest.find("v3:trustInfo/v3:security/v3:requestedPrivileges/"
                              "v3:requestedExecutionLevel", ns)
        self.assertEqual(level.get("level"), "asInvoker")
        systems = [s.get("Id") for s in manifest.findall("c:compatibility/c:application/c:supportedOS", ns)]
        self.assertEqual(systems, ["{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"])  # Windows 10 and 11
        long_paths = manifest.find("v3:application/v3:windowsSettings/ws:longPathAware", ns)
        self.assertEqual(long_paths.text, "true")


def pe_resources(path):
    """The resources of a PE file, {(type id, name id): bytes}, one language
    of each; entries named by text are left out."""
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    section_count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    pe32_plus = struct.unpack_from("<H", data, optional)[0] == 0x20B
    rsrc_rva = struct.unpack_from("<I", data, optional + (112 if pe32_plus else 96) + 2 * 8)[0]
    if rsrc_rva == 0:
        return {}
    sections = []
    for i in range(section_count):
        size, rva, raw_size, raw = struct.unpack_from("<IIII", data, optional + optional_size + 40 * i + 8)
        sections.append((rva, max(size, raw_size), raw))

    def at(rva):
        for start, size, raw in sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"RVA {rva:#x} in no section")

    base = at(rsrc_rva)

    def entries(table):
        named, numbered = struct.unpack_from("<HH", data, base + table + 12)
        for i in range(named + numbered):
            ident, target = struct.unpack_from("<II", data, base + table + 16 + 8 * i)
            if not ident & 0x80000000:
                yield ident, target & 0x7FFFFFFF

    out = {}
    for kind, names in entries(0):
        for name, languages in entries(names):
            for _, leaf in entries(languages):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                out.setdefault((kind, name), data[at(rva):at(rva) + size])
    return out


def version_info(block):
    """From a VS_VERSIONINFO resource: the file and product versions of its
    fixed part, and the texts of its string tables."""
    def node(offset):
        length, value_length, is_text = struct.unpack_from("<HHH", block, offset)
        end = offset + 6
        while block[end:end + 2] != b"\0\0":
            end += 2
        key = block[offset + 6:end].decode("utf-16-le")
        value_at = (end + 2 + 3) & ~3
        value = block[value_at:value_at + value_length * (2 if is_text else 1)]
        children = []
        child = (value_at + len(value) + 3) & ~3
        while child < offset + length:
            children.append(node(child))
            child = (child + struct.unpack_from("<H", block, child)[0] + 3) & ~3
        return key, is_text, value, children

    key, _, fixed, children = node(0)
    assert key == "VS_VERSION_INFO"
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    assert signature == 0xFEEF04BD
    split = lambda ms, ls: (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for name, _, _, tables in children:
        if name == "StringFileInfo":
            for _, _, _, rows in tables:
                for row_key, _, text, _ in rows:
                    strings[row_key] = text.decode("utf-16-le").rstrip("\0")
    return (split(file_ms, file_ls), split(product_ms, product_ls)), strings


if __name__ == "__main__":
    EXE = os.path.abspath(sys.argv.pop(1))
    LINUX_BIN = os.path.abspath(sys.argv.pop(1))
    e2e.main()
