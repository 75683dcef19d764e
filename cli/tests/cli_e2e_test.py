"""End-to-end tests of the built Linux binary: command line, refusals, and
totals of real trees checked against an independent count by find(1).

Usage: cli_e2e_test.py <path to oskra-cli> [test names] [--except NAME]...
"""

import fcntl
import json
import os
import pty
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import unicodedata
import unittest

import e2e_common as e2e
from e2e_common import TempDir, find_totals

BIN = ""


def run(args, binary=None, **kw):
    return e2e.run([binary or BIN] + list(args), **kw)


def scan_json(path, *extra, binary=None, **kw):
    return e2e.report(*run([path, "--json", *extra], binary=binary, **kw))


def traced(strace_options, args, **kw):
    """The program run under strace with `strace_options` (what to trace,
    faults to inject), as a finished process with its output captured."""
    # LeakSanitizer cannot work under ptrace: in the sanitizer build it would
    # end the traced run with an error of its own.
    env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
    return subprocess.run(["strace", "-f", *strace_options, BIN, *args], capture_output=True,
                          env=env, **kw)


def injected(fault, args, **kw):
    """The JSON report of a run in which strace injects `fault`."""
    p = traced(["-o", "/dev/null", "-e", "inject=" + fault], [*args, "--json"], **kw)
    return e2e.report(p.returncode, p.stdout, p.stderr)


def make_chain(parent, depth, leaf_size):
    """A chain of `depth` nested directories "d" with one file at the bottom,
    built through directory descriptors (the path is far past PATH_MAX)."""
    fd = os.open(parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(depth):
            os.mkdir("d", dir_fd=fd)
            nfd = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nfd
        leaf = os.open("leaf", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
        os.ftruncate(leaf, leaf_size)
        os.close(leaf)
    finally:
        os.close(fd)


class CommandLine(unittest.TestCase):
    def test_usage_and_refusals(self):
        for args, status, out, err in e2e.usage_cases("/tmp"):
            with self.subTest(args=args):
                self.assertEqual(run(args), (status, out, err))
        # A consumed value is never an option: "-h" here is a bad depth.
        with TempDir() as d:
            code, out, err = run([d, "--depth", "-h"])
            self.assertEqual((code, err), (0, b""))
            self.assertTrue(out.startswith(f"{e2e.TITLE} — {d}\n".encode()))

    def test_paths_that_cannot_be_analysed(self):
        self.assertEqual(run([""]), (2, b"", "路径不存在: \n".encode()))
        self.assertEqual(run(["/no/such/place"]), (2, b"", "路径不存在: /no/such/place\n".encode()))
        # A path that exists but cannot be resolved: "." inside a removed directory.
        with TempDir() as d:
            gone = os.path.join(d, "gone")
            os.mkdir(gone)
            p = subprocess.run(["sh", "-c", 'cd "$1" && rmdir "$1" && exec "$2" .', "sh", gone, BIN],
                               capture_output=True)
            self.assertEqual((p.returncode, p.stdout, p.stderr),
                             (2, b"", "路径无法解析: .\n".encode()))

    def test_argument_that_is_not_utf8(self):
        code, out, err = run([b"/tmp/\xff".decode("utf-8", "surrogateescape")])
        self.assertEqual(code, 2)
        self.assertEqual(out, b"")
        self.assertIn("\ufffd".encode(), err)

    def test_relative_path_is_reported_absolute(self):
        with TempDir() as d:
            os.mkdir(os.path.join(d, "sub"))
            doc = scan_json(".", cwd=os.path.join(d, "sub"))
            self.assertEqual(doc["path"], os.path.join(d, "sub"))
            self.assertEqual(doc["tree"]["name"], "sub")


class Totals(unittest.TestCase):
    def build_tree(self, root):
        os.makedirs(os.path.join(root, "a", "b", "c"))
        os.mkdir(os.path.join(root, "empty"))
        os.mkdir(os.path.join(root, "target"))
        for rel, size in [("a/one", 1), ("a/b/big", 5 * 2**30), ("a/b/c/x", 4097), ("top", 0),
                          ("target/t", 123)]:
            e2e.make_file(os.path.join(root, rel), size)
        os.symlink("target", os.path.join(root, "link-to-dir"))
        os.symlink("top", os.path.join(root, "link-to-file"))
        os.symlink("nowhere", os.path.join(root, "dangling"))
        os.mkfifo(os.path.join(root, "fifo"))
        odd = os.path.join(root.encode(), b"odd\xff\xfename")
        os.mkdir(odd)
        with open(os.path.join(odd, b"inner"), "wb") as f:
            f.write(b"12345")
        make_chain(root, 10000, 77)

    def test_totals_match_find(self):
        with TempDir() as d:
            self.build_tree(d)
            expected = find_totals(d)
            doc = scan_json(d, "--depth", "0")
            self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"]), expected)
            self.assertEqual(doc["denied"], 0)
            names = {c["name"]: c for c in doc["tree"]["children"]}
            # A link to a directory is a file of its own size, never entered.
            self.assertEqual(names["link-to-dir"]["bytes"], len("target"))
            self.assertNotIn("children", names["link-to-dir"])
            self.assertEqual(names["odd\ufffd\ufffdname"]["bytes"], 5)
            self.assertEqual(names["d"]["dirs"], 10000)
            self.assertEqual(names["d"]["bytes"], 77)

    def test_deep_chain_with_few_descriptors(self):
        with TempDir() as d:
            make_chain(d, 10000, 5)
            limit = lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (256, 256))
            doc = scan_json(d, "--depth", "0", preexec_fn=limit)
            self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"], doc["denied"]),
                             (5, 1, 10001, 0))
            # The whole chain in detail, written without recursion trouble
            # (and read back as text: it is too deep for Python's parser).
            code, out, err = run([d, "--json", "--depth", "20000"], preexec_fn=limit)
            self.assertEqual((code, err), (0, b""))
            self.assertEqual(out.count(b'"children": ['), 10001)
            self.assertEqual(out.count(b'"name": "leaf"'), 1)
            self.assertTrue(out.endswith(b"}\n"))

    def test_unreadable_directory_is_denied(self):
        # Not even its owner can list a folder of mode 000; root can list
        # anything, so as root the scan (and find) run as nobody.
        as_user = []
        if os.geteuid() == 0:
            as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        with TempDir() as d:
            self.build_tree(d)
            locked = os.path.join(d, "a", "b")
            os.chmod(locked, 0)
            try:
                expected = find_totals(d, as_user)
                doc = e2e.report(*e2e.run(as_user + [BIN, d, "--json", "--depth", "1"]))
            finally:
                os.chmod(locked, 0o755)
            self.assertEqual(doc["denied"], 1)
            self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"]), expected)
            a = next(c for c in doc["tree"]["children"] if c["name"] == "a")
            b = next(c for c in a["children"] if c["name"] == "b")
            self.assertEqual((b["bytes"], b["files"], b["dirs"]), (0, 0, 1))
            # The folder itself says it was not read; the others say nothing.
            self.assertIs(b.get("denied"), True)
            self.assertNotIn("denied", a)
            self.assertNotIn("denied", doc["tree"])
        # A folder that may be read but not searched names its entries and
        # gives none of their sizes: cut short, and what else there is counts.
        with TempDir() as d:
            e2e.make_file(os.path.join(d, "seen"), 500)
            nosearch = os.path.join(d, "nosearch")
            for k in range(3):
                e2e.make_file(os.path.join(nosearch, f"f{k}"), 1000)
            os.chmod(nosearch, 0o444)
            try:
                doc = e2e.report(*e2e.run(as_user + [BIN, d, "--json"]))
            finally:
                os.chmod(nosearch, 0o755)
            self.assertGreaterEqual(doc["denied"], 1)
            self.assertEqual(doc["total_bytes"], 500)


class HostileTrees(unittest.TestCase):
    """Trees and limits meant to break a scanner: links into places that hang,
    bind mounts that loop, too few descriptors, too little memory."""

    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_links_are_never_followed(self):
        with TempDir() as d:
            os.mkdir(os.path.join(d, "target"))
            open(os.path.join(d, "file"), "wb").close()
            os.symlink("target", os.path.join(d, "link-to-dir"))
            os.symlink("file", os.path.join(d, "link-to-file"))
            os.symlink("nowhere", os.path.join(d, "link-dangling"))
            p = traced(["-e", "trace=stat,lstat,newfstatat,fstatat64,statx"], [d, "--json"])
            self.assertEqual(p.returncode, 0, p.stderr)
            calls = [line for line in p.stderr.decode().splitlines() if '"link-' in line]
            self.assertEqual(len(calls), 3, calls)  # one call per link, no more
            for line in calls:
                self.assertIn("AT_SYMLINK_NOFOLLOW", line)

    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_a_failed_call_costs_that_entry_alone(self):
        """One stat that fails (a FUSE file system may refuse it for one file),
        or all from some point on (a sandbox), must not change the totals;
        a folder whose first read fails is one that cannot be listed."""
        with TempDir() as d:
            for i in range(40):
                sub = os.path.join(d, f"d{i}")
                os.makedirs(os.path.join(sub, "inner"))
                for k in range(5):
                    e2e.make_file(os.path.join(sub, "inner", f"f{k}"), 100 + i)
            expected = find_totals(d)
            for when in ("7", "7+"):
                with self.subTest(statx_fails=when):
                    doc = injected(f"statx:error=EPERM:when={when}", [d])
                    self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"], doc["denied"]),
                                     expected + (0,))
        with TempDir() as d:
            for i in range(40):
                e2e.make_file(os.path.join(d, f"d{i}", "f"), 1)
            # The first read of each listing thread fails (the walk's thread
            # read /proc/self/fd first): each such folder is denied, and its
            # one file is what is missing.
            doc = injected("getdents64:error=EIO:when=1", [d])
            self.assertGreater(doc["denied"], 0)
            self.assertEqual((doc["files"] + doc["denied"], doc["dirs"]), (40, 41))

    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_a_listing_cut_short_is_denied(self):
        """A read that fails part way through a folder of 20,000 entries (a
        network drop, a failing disk): what was read still counts, and the
        report never says `denied` 0 when anything is missing."""
        with TempDir() as d:
            e2e.make_folders_of_files(d, 1, 20000)
            e2e.make_file(os.path.join(d, "f"), 7)
            expected = find_totals(d)
            short = 0
            # Too few descriptors for a listing thread besides the walk's;
            # then the usual many threads. strace counts each thread's calls.
            for descriptors in (8, 1024):
                limit = lambda n=descriptors: resource.setrlimit(resource.RLIMIT_NOFILE, (n, n))
                for when in range(1, 13):
                    with self.subTest(descriptors=descriptors, failing_read=when):
                        doc = injected(f"getdents64:error=EIO:when={when}", [d], preexec_fn=limit)
                        got = (doc["total_bytes"], doc["files"], doc["dirs"])
                        if doc["denied"] == 0:
                            self.assertEqual(got, expected)
                        else:
                            self.assertTrue(all(g <= e for g, e in zip(got, expected)), got)
                            short += doc["files"] < expected[1]
            self.assertGreater(short, 0)  # the injected failures did cut listings short

    def in_own_mounts(self, script, *args):
        """`script` run by sh with `args` in a mount namespace of its own;
        skipped where it cannot bind-mount (the script's status 9)."""
        p = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", script, "sh", *args],
                           capture_output=True)
        if p.returncode == 9:
            self.skipTest("bind mounts are not allowed here")
        return p

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare"),
                         "needs root to make bind mounts in a private namespace")
    def test_bind_mount_loops_are_not_entered(self):
        with TempDir() as d:
            m2 = os.path.join(d, "m2")
            for k in range(1, 13):
                os.makedirs(os.path.join(m2, "a", f"b{k}"))
            with open(os.path.join(m2, "big"), "wb") as f:
                f.truncate(2**30)
            total, files, dirs = find_totals(m2)
            script = ('for k in $(seq 1 12); do mount --rbind "$1" "$1/a/b$k" || exit 9; done; '
                      'exec "$2" "$1" --json --depth 3')
            p = self.in_own_mounts(script, m2, BIN)
            self.assertEqual(p.returncode, 0, p.stderr)
            doc = json.loads(p.stdout)
            # Each bind mount point is a size-0 file, never entered.
            self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"]),
                             (total, files + 12, dirs - 12))
            a = next(c for c in doc["tree"]["children"] if c["name"] == "a")
            for b in a["children"]:
                self.assertEqual((b["bytes"], b["files"], b["dirs"]), (0, 0, 0), b["name"])

    @unittest.skipUnless(os.geteuid() == 0 and shutil.which("unshare") and shutil.which("strace"),
                         "needs root to make bind mounts in a private namespace, and strace")
    def test_bind_mounts_are_told_without_statx(self):
        """Where statx is missing (an old kernel, a sandbox), a bind mount of
        a sibling folder is still a mount point, never entered."""
        with TempDir() as d:
            e2e.make_file(os.path.join(d, "sib", "big"), 2**30)
            os.makedirs(os.path.join(d, "a", "m"))
            total, files, dirs = find_totals(d)
            script = ('mount --bind "$1/sib" "$1/a/m" || exit 9; '
                      # LeakSanitizer cannot work under ptrace.
                      'ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" '
                      'exec strace -f -o /dev/null -e inject=statx:error=ENOSYS "$2" "$1" --json')
            p = self.in_own_mounts(script, d, BIN)
            doc = e2e.report(p.returncode, p.stdout, p.stderr)
            self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"], doc["denied"]),
                             (total, files + 1, dirs - 1, 0))

    def test_few_descriptors_lose_nothing(self):
        with TempDir() as d:
            fd = os.open(d, os.O_RDONLY | os.O_DIRECTORY)
            for _ in range(60):
                f = os.open("f", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
                os.write(f, b"0123456789")
                os.close(f)
                os.mkdir("d", dir_fd=fd)
                nfd = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                os.close(fd)
                fd = nfd
            os.close(fd)
            for limit in (16, 32):
                with self.subTest(limit=limit):
                    doc = scan_json(d, "--depth", "0", preexec_fn=lambda: resource.setrlimit(
                        resource.RLIMIT_NOFILE, (limit, limit)))
                    self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"], doc["denied"]),
                                     (600, 60, 61, 0))
        # A parent that leaves descriptors open: 3 to 57 taken of 64, on a
        # tree that wants a handle per level; every run counts it all.
        with TempDir() as d:
            expected = e2e.make_chain_with_siblings(d, 400)
            inherited = [os.open(os.devnull, os.O_RDONLY) for _ in range(55)]
            try:
                for run_number in range(3):
                    with self.subTest(run=run_number):
                        doc = scan_json(d, "--depth", "0", pass_fds=inherited,
                                        preexec_fn=lambda: resource.setrlimit(
                                            resource.RLIMIT_NOFILE, (64, 64)))
                        self.assertEqual((doc["total_bytes"], doc["files"], doc["dirs"],
                                          doc["denied"]), expected + (0,))
            finally:
                for fd in inherited:
                    os.close(fd)

    @unittest.skipIf(os.environ.get("OSKRA_SANITIZED"),
                     "the sanitizers reserve more address space than the limit")
    def test_exhausted_memory_ends_with_a_message(self):
        limit_as = lambda size: lambda: resource.setrlimit(resource.RLIMIT_AS, (size, size))
        with TempDir() as d:
            # 120,000 files with names of 200 bytes, in folders whose paths
            # are about 3,000 bytes long: far more detail than 32 MiB can
            # hold, however little each entry costs.
            deep = d
            for k in range(14):
                deep = os.path.join(deep, f"{k:02}" + "x" * 198)
            for folder in range(20):
                os.makedirs(os.path.join(deep, f"{folder:02}" + "y" * 198))
                fd = os.open(os.path.join(deep, f"{folder:02}" + "y" * 198),
                             os.O_RDONLY | os.O_DIRECTORY)
                for i in range(6000):
                    os.close(os.open(f"{i:06}" + "z" * 194, os.O_WRONLY | os.O_CREAT, 0o644,
                                     dir_fd=fd))
                os.close(fd)
            code, out, err = run([d, "--json", "--depth", "100"], preexec_fn=limit_as(32 * 2**20))
            self.assertEqual((code, err), (2, "内存不足\n".encode()))

            # Little address space, but enough for the scan: a listing thread
            # that cannot have memory of its own leaves the work to others.
            for kib in (12000, 16000, 30000, 60000):
                with self.subTest(address_space_kib=kib):
                    code, out, err = run([d, "--depth", "0"], preexec_fn=limit_as(kib * 1024))
                    self.assertEqual((code, err), (0, b""))

            # A rules.json too large to be a rules file is not read: no user
            # rules, the scan goes on.
            exe = os.path.join(d, "bin", "oskra-cli")
            os.mkdir(os.path.dirname(exe))
            shutil.copy(BIN, exe)
            target = os.path.join(d, "cache")
            os.mkdir(target)
            rules = os.path.join(d, "bin", "rules.json")
            row = b'[{"pattern": "cache", "state": "red", "reason": "r", "action": "a"}'
            for size in (4 * 2**30, 17 * 2**20):
                with self.subTest(size=size):
                    with open(rules, "wb") as f:
                        if size > 2**30:
                            f.write(row)
                            f.truncate(size)  # sparse: costs no disk
                        else:
                            # Valid, but larger than any real rules file.
                            f.write(row + b" " * (size - len(row) - 1) + b"]")
                    code, out, err = run([target, "--json"], binary=exe,
                                         preexec_fn=limit_as(2**30))
                    self.assertEqual((code, err), (0, b""))
                    self.assertEqual(json.loads(out)["tree"]["mark"]["source"], "builtin")

            # Valid files within the cap whose ignored member nests millions
            # of levels deep load in memory of the order of their size.
            tail = b', "pattern": "cache", "state": "red", "reason": "r", "action": "a"}]'
            arrays, objects = 7_000_000, 3_000_000
            for name, content in (
                    ("arrays", b'[{"x": ' + b"[" * arrays + b"]" * arrays + tail),
                    ("objects", b'[{"x": ' + b'{"":' * objects + b"0" + b"}" * objects + tail)):
                with self.subTest(nested=name):
                    with open(rules, "wb") as f:
                        f.write(content)
                    code, out, err = run([target, "--json"], binary=exe,
                                         preexec_fn=limit_as(256 * 2**20))
                    self.assertEqual((code, err), (0, b""))
                    self.assertEqual(json.loads(out)["tree"]["mark"]["source"], "user")

    @unittest.skipIf(os.environ.get("OSKRA_SANITIZED"),
                     "the sanitizers reserve more address space than the limit")
    def test_rules_file_of_many_tiny_rows_loads_in_little_memory(self):
        # A rules file at the size cap made of about 900,000 tiny rows (names
        # and wildcards that miss), the last one naming the scanned file.
        # Every row loaded costs little beside the file itself, so the run
        # keeps all of them within 128 MiB of address space.
        with TempDir() as d:
            exe = os.path.join(d, "bin", "oskra-cli")
            os.mkdir(os.path.dirname(exe))
            shutil.copy(BIN, exe)
            target = os.path.join(d, "target.bin")
            open(target, "wb").close()
            last = b'["target.bin", "red", "last", "row"]]'
            rows, size, k = [b"["], 1 + len(last), 0
            while True:
                row = (b'["n%x","red","",""],' if k % 2 else b'["*%x.x","red","",""],') % k
                if size + len(row) > 16 * 2**20:
                    break
                rows.append(row)
                size += len(row)
                k += 1
            rows.append(last)
            with open(os.path.join(d, "bin", "rules.json"), "wb") as f:
                f.write(b"".join(rows))
            code, out, err = run([target, "--json"], binary=exe, preexec_fn=lambda: resource.setrlimit(
                resource.RLIMIT_AS, (128 * 2**20, 128 * 2**20)))
            self.assertEqual((code, err), (0, b""))
            mark = json.loads(out)["tree"]["mark"]
            self.assertEqual((mark["pattern"], mark["source"], mark["reason"]),
                             ("target.bin", "user", "last"))


class Reports(unittest.TestCase):
    def test_json_example_document(self):
        with TempDir() as d:
            cache = os.path.join(d, "cache")
            os.mkdir(cache)
            with open(os.path.join(cache, "a.bin"), "wb") as f:
                f.write(b"x" * 100)
            code, out, err = run([cache, "--depth", "0", "--json"])
            self.assertEqual((code, err), (0, b""))
            expected = e2e.example_json(cache, "/")
            got = re.sub(rb'"elapsed_ms": \d+,', b'"elapsed_ms": 0,', out, count=1)
            self.assertEqual(got.decode(), expected)

    def test_text_report_shape(self):
        with TempDir() as d:
            os.mkdir(os.path.join(d, "Temp"))
            with open(os.path.join(d, "Temp", "f"), "wb") as f:
                f.truncate(2048)
            code, out, err = run([d])
            self.assertEqual((code, err), (0, b""))
            lines = out.decode().split("\n")
            self.assertEqual(lines[0], f"{e2e.TITLE} — {d}")
            self.assertTrue(lines[1].startswith("总计 2.0 KB ｜ 1 个文件 ｜ 2 个目录 ｜ 0 项拒绝访问 ｜ 扫描 "))
            self.assertIn("  1.     2.0 KB 100.0%  Temp  [绿 Temp]", lines)
            # On Linux a folder named Temp is only a name: to check first.
            self.assertIn(f"  1.     2.0 KB  {d}/Temp  [先检查]", lines)
            self.assertIn(e2e.CHECK_FIRST_NOTE, lines)
            self.assertEqual(lines[-2], "只看不删:删除请自行在资源管理器操作。规则语义与出处见 SKILL.md。")

    def test_a_file_as_the_path(self):
        # The file itself, named directly or through a link: its size, one
        # file, no folder, nothing denied; its own node and verdict.
        with TempDir() as d:
            path = os.path.join(d, "thumbcache_32.db")
            e2e.make_file(path, 5000)
            os.symlink("thumbcache_32.db", os.path.join(d, "link"))
            doc, text = e2e.file_root_reports(path)
            for arg in (path, os.path.join(d, "link")):
                with self.subTest(arg=arg):
                    self.assertEqual(e2e.without_time(scan_json(arg)), doc)
                    code, out, err = run([arg])
                    self.assertEqual((code, err), (0, b""))
                    self.assertEqual(e2e.without_time(out.decode()), text)

    def test_failed_output_is_an_error(self):
        with TempDir() as d:
            for i in range(3000):
                open(os.path.join(d, f"file-{i:05}"), "wb").close()
            # A full disk.
            with open("/dev/full", "wb") as full:
                p = subprocess.run([BIN, d, "--json"], stdout=full, stderr=subprocess.PIPE)
            self.assertEqual(p.returncode, 2)
            self.assertNotEqual(p.stderr, b"")
            # A pipe its reader closed (`| head -1`): status 2 and not a word,
            # not death by SIGPIPE.
            r, w = os.pipe()
            proc = subprocess.Popen([BIN, d, "--json"], stdout=w, stderr=subprocess.PIPE)
            os.close(w)
            os.close(r)
            _, err = proc.communicate()
            self.assertEqual((proc.returncode, err), (2, b""))


def run_with_terminal(args, columns, streams, signal_when_drawn=None):
    """Runs the program with the `streams` named ("stdout", "stderr") on one
    pseudo-terminal `columns` wide and the others in files; returns the
    status, what reached the terminal, and the two files' contents. With
    `signal_when_drawn`, that signal is sent as soon as the status line
    shows, the program held stopped meanwhile so that it cannot finish
    first."""
    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, columns, 0, 0))
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen([BIN] + list(args), stdin=subprocess.DEVNULL,
                                stdout=slave if "stdout" in streams else out,
                                stderr=slave if "stderr" in streams else err)
        os.close(slave)
        tty = b""
        while True:
            try:
                data = os.read(master, 65536)
            except OSError:  # every writer has closed
                break
            if not data:
                break
            tty += data
            if signal_when_drawn and "扫描中".encode() in tty:
                os.kill(proc.pid, signal.SIGSTOP)
                os.kill(proc.pid, signal_when_drawn)
                os.kill(proc.pid, signal.SIGCONT)
                signal_when_drawn = None
        os.close(master)
        status = proc.wait(timeout=60)
        out.seek(0)
        err.seek(0)
        return status, tty.decode(), out.read(), err.read()


def screen(tty):
    """The text a terminal shows after `tty` (carriage returns, line feeds
    and text; a wide character takes two columns), lines without trailing
    blanks, and the furthest column any character reached."""
    lines, line, col, furthest = [], [], 0, 0
    for ch in tty:
        if ch == "\r":
            col = 0
        elif ch == "\n":
            lines.append("".join(line).rstrip())
            line, col = [], 0
        else:
            width = 2 if unicodedata.east_asian_width(ch) in "WF" else 1
            line.extend([" "] * (col + width - len(line)))
            line[col:col + width] = [ch] + [""] * (width - 1)
            col += width
            furthest = max(furthest, col)
    return "".join(text + "\n" for text in lines) + "".join(line).rstrip(), furthest


class Progress(unittest.TestCase):
    def test_status_line_on_a_terminal_only(self):
        drop_time = lambda text: re.sub(r"扫描 \d+ms", "", text)
        with TempDir() as d:
            os.mkdir(os.path.join(d, "a"))
            # More entries than the walk takes between two reports of progress.
            for i in range(3000):
                with open(os.path.join(d, "a", f"f{i}"), "wb") as f:
                    f.truncate(1000)
            code, piped, err = run([d])
            self.assertEqual((code, err), (0, b""))
            piped = drop_time(piped.decode())

            # Both streams on one terminal: the line is drawn while the walk
            # runs and is gone before the report, which reads as when piped.
            code, tty, _, _ = run_with_terminal([d], 200, ("stdout", "stderr"))
            self.assertEqual(code, 0)
            drawn = re.findall(r"\r(扫描中 [^\r]*)", tty)
            self.assertTrue(drawn, tty)
            self.assertRegex(drawn[0], r"^扫描中 \d+(\.\d)? [KM]?B ｜ [1-9]\d* 个文件 ｜ 2 个目录 ｜ \d+ 秒$")
            self.assertEqual(drop_time(screen(tty)[0]), piped)

            # A narrow terminal: the line is cut short of the last column
            # (a console would wrap there) and nothing of it is left.
            code, tty, out, _ = run_with_terminal([d], 24, ("stderr",))
            self.assertEqual(code, 0)
            self.assertIn("\r扫描中 ", tty)
            shown, furthest = screen(tty)
            self.assertEqual(shown, "")
            self.assertIn(furthest, (22, 23))
            self.assertEqual(drop_time(out.decode()), piped)

            # Standard error elsewhere gets nothing, whatever standard output is.
            code, _, _, err = run_with_terminal([d], 200, ("stdout",))
            self.assertEqual((code, err), (0, b""))

    def test_interruption_erases_the_status_line(self):
        # Interrupted while the line shows, the program blanks it and ends as
        # the signal ends a program.
        with TempDir() as d:
            e2e.make_folders_of_files(d, 12, 2500)
            for sig in (signal.SIGINT, signal.SIGTERM):
                with self.subTest(signal=sig):
                    code, tty, _, _ = run_with_terminal([d], 200, ("stdout", "stderr"),
                                                        signal_when_drawn=sig)
                    self.assertEqual(code, -sig)
                    self.assertIn("\r扫描中 ", tty)
                    self.assertEqual(screen(tty)[0], "")


class UserRules(unittest.TestCase):
    def test_rules_file_beside_the_executable(self):
        with TempDir() as d:
            exe = os.path.join(d, "bin", "oskra-cli")
            os.mkdir(os.path.dirname(exe))
            shutil.copy(BIN, exe)
            target = os.path.join(d, "data", "cache")
            os.makedirs(target)
            rules = '[{"pattern": "cache", "state": "red", "reason": "mine", "action": "keep"}]'
            cases = [
                (None, "builtin", "green"),
                (rules.encode(), "user", "red"),
                (b"\xef\xbb\xbf" + rules.encode(), "builtin", "green"),  # a byte-order mark
                (b"[" + rules.encode()[1:-1] + b",]", "builtin", "green"),  # a trailing comma
            ]
            for content, source, state in cases:
                with self.subTest(content=content):
                    path = os.path.join(os.path.dirname(exe), "rules.json")
                    if content is None:
                        if os.path.exists(path):
                            os.remove(path)
                    else:
                        with open(path, "wb") as f:
                            f.write(content)
                    code, out, err = run([target, "--json"], binary=exe)
                    self.assertEqual((code, err), (0, b""))
                    mark = json.loads(out)["tree"]["mark"]
                    self.assertEqual((mark["source"], mark["state"]), (source, state))


if __name__ == "__main__":
    BIN = os.path.abspath(sys.argv.pop(1))
    e2e.main()
