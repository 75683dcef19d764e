"""What the end-to-end scripts share: cli_e2e_test.py (the Linux program)
and wine_e2e_test.py (the Windows program under Wine)."""

import json
import os
import re
import subprocess
import sys
import tempfile
import unittest

# A script exits with this status when every test it ran was skipped; its
# ctest entry has it as SKIP_RETURN_CODE, so ctest reports the skip.
SKIPPED = 77

TITLE = "Morvane CLI v0.9.9"

USAGE = (
    TITLE + "\n"
    "用法: oskra-cli <path> [--json] [--depth N] [--top N]\n"
    "  <path>   要分析的目录或盘符\n"
    "  --json   JSON 输出(含树明细与全部绿标清单)\n"
    "  --depth  明细保留层级(默认 1,总量统计始终全树)\n"
    "  --top    文本输出每清单条数上限(默认 20)\n"
    "内置 37 条红绿规则 + exe 同目录 rules.json 用户规则;只看不删,全程本机。\n"
).encode()


def usage_cases(path):
    """Command lines answered with the usage text, as (arguments, status,
    output, error output); `path` is a folder that exists."""
    cases = [
        ([], 2, USAGE, b""),
        (["--json"], 2, USAGE, b""),
        (["-h", "--bogus"], 0, USAGE, b""),
        (["--help"], 0, USAGE, b""),
        (["--bogus", "-h"], 2, USAGE, "未知参数: --bogus\n".encode()),
        (["--depth", path], 2, USAGE, b""),  # the path is eaten as the value
    ]
    for arg in ["--JSON", "--Depth", "--", "-", "--json=1", "-x"]:
        cases.append(([path, arg], 2, USAGE, f"未知参数: {arg}\n".encode()))
    return cases


def run(command, **kw):
    """Status, output and error output of a command. Files rather than
    pipes: a Wine helper process that outlives the run must not keep the
    test waiting for the end of its output."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(command, stdout=out, stderr=err, **kw).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def report(status, out, err):
    """The JSON report of a run that must have succeeded in silence."""
    assert (status, err) == (0, b""), (status, err)
    return json.loads(out.decode("utf-8"))


def start_wine(scratch, letters):
    """A fresh Wine prefix in `scratch`, its server running for every later
    command, and each of `letters` mapped to the folder "drive-<letter>"
    there. Returns the environment to run Wine in; end_wine ends it."""
    env = dict(os.environ)
    env.update(WINEPREFIX=os.path.join(scratch, "prefix"), WINEDEBUG="-all",
               # No Mono or Gecko installers while the prefix is made.
               WINEDLLOVERRIDES="mscoree,mshtml=")
    # The server and the prefix's service processes, started here once,
    # outlive the commands that start them, so they get no pipes to keep.
    quiet = dict(env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    os.mkdir(env["WINEPREFIX"])
    subprocess.run(["wineserver", "-p"], **quiet)
    subprocess.run(["wineboot", "-i"], **quiet)
    dosdevices = os.path.join(env["WINEPREFIX"], "dosdevices")
    if not os.path.isdir(dosdevices):
        end_wine(env)
        raise RuntimeError("wineboot made no Wine prefix")
    open(os.path.join(env["WINEPREFIX"], ".oskra-ready"), "w").close()  # for tools/wine-run
    for letter in letters:
        os.mkdir(os.path.join(scratch, "drive-" + letter))
        os.symlink(os.path.join(scratch, "drive-" + letter), os.path.join(dosdevices, letter + ":"))
    return env


def end_wine(env):
    subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)


def make_file(path, size):
    """A file of `size` bytes, sparse (it costs no disk), with its folders."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.truncate(size)


def make_chain_with_siblings(parent, levels, file_size=10):
    """`levels` nested folders "b", each also holding a file "f" of
    `file_size` bytes and an empty folder "d": the shape that keeps a handle
    open per level, since each "d" comes only after all below its "b". Made
    through directory descriptors, so any depth works. Returns the totals
    (bytes, files, dirs) of `parent` if it was empty."""
    fd = os.open(parent, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(levels):
            f = os.open("f", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd)
            os.ftruncate(f, file_size)
            os.close(f)
            os.mkdir("d", dir_fd=fd)
            os.mkdir("b", dir_fd=fd)
            nfd = os.open("b", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
            os.close(fd)
            fd = nfd
    finally:
        os.close(fd)
    return levels * file_size, levels, 2 * levels + 1


def make_folders_of_files(parent, folders, files):
    """`folders` folders "d<k>" in `parent`, each with `files` empty files:
    enough to keep a scan busy for a moment (its status line shows)."""
    for k in range(folders):
        fd = os.open(parent, os.O_RDONLY | os.O_DIRECTORY)
        os.mkdir(f"d{k}", dir_fd=fd)
        sub = os.open(f"d{k}", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
        os.close(fd)
        for i in range(files):
            os.close(os.open(f"f{i}", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=sub))
        os.close(sub)


def find_totals(root, user_prefix=()):
    """Bytes, files and directories as find counts them without crossing
    file systems: every entry that is not a directory is a file."""
    out = subprocess.run(list(user_prefix) + ["find", root, "-xdev", "-printf", r"%y %s\n"],
                         capture_output=True, check=False).stdout.decode()
    total = files = dirs = 0
    for line in out.splitlines():
        kind, size = line.split()
        if kind == "d":
            dirs += 1
        else:
            files += 1
            total += int(size)
    return total, files, dirs


class TempDir:
    """A fresh folder, removed with everything in it, however deep or
    locked."""

    def __enter__(self):
        self.path = tempfile.mkdtemp(prefix="oskra-e2e-")
        os.chmod(self.path, 0o755)
        return self.path

    def __exit__(self, *exc):
        # rm copes with trees deeper than Python's recursion limit.
        subprocess.run(["chmod", "-R", "u+rwx", self.path], capture_output=True)
        subprocess.run(["rm", "-rf", self.path], check=True)


def example_json(folder, separator):
    """The JSON report of the example: the folder `folder` (as displayed),
    named "cache", holding one file "a.bin" of 100 bytes, scanned with
    --depth 0, its time set to 0."""
    path = json.dumps(folder, ensure_ascii=False)[1:-1]
    sep = json.dumps(separator)[1:-1]
    return EXAMPLE_JSON.replace("@DIR@", path).replace("@SEP@", sep)


EXAMPLE_JSON = """{
  "tool": "morvane-cli",
  "version": "0.9.9",
  "path": "@DIR@",
  "total_bytes": 100,
  "files": 1,
  "dirs": 1,
  "denied": 0,
  "elapsed_ms": 0,
  "tree": {
    "name": "cache",
    "path": "@DIR@",
    "bytes": 100,
    "files": 1,
    "dirs": 1,
    "mark": {
      "state": "green",
      "pattern": "cache",
      "source": "builtin",
      "reason": "rule.reason.cacheDir",
      "action": "rule.action.safeToClean"
    },
    "children": [
      {
        "name": "a.bin",
        "path": "@DIR@@SEP@a.bin",
        "bytes": 100,
        "files": 0,
        "dirs": 0,
        "mark": {
          "state": "green",
          "pattern": "cache",
          "source": "builtin",
          "reason": "rule.reason.cacheDir",
          "action": "rule.action.safeToClean"
        }
      }
    ]
  },
  "greens": [
    {
      "name": "cache",
      "path": "@DIR@",
      "bytes": 100,
      "files": 1,
      "dirs": 1,
      "mark": {
        "state": "green",
        "pattern": "cache",
        "source": "builtin",
        "reason": "rule.reason.cacheDir",
        "action": "rule.action.safeToClean"
      }
    }
  ]
}
"""


# The line after the green list's count when a printed line is to be
# checked first.
CHECK_FIRST_NOTE = ("[先检查]:这些项只是名称像缓存或临时文件夹,或位于删除会丢失数据的地方"
                    "(用户规则、云同步文件夹等),请先看看里面是什么。")


def file_root_reports(path):
    """What a scan of a file as the path reports, the file being a green
    "thumbcache_32.db" of 5000 bytes shown as `path`: the JSON document as
    parsed, without "elapsed_ms", and the text report, its time left out
    (see without_time)."""
    mark = {"state": "green", "pattern": "thumbcache_*", "source": "builtin",
            "reason": "rule.reason.thumbCache", "action": "rule.action.safeToClean"}
    node = {"name": "thumbcache_32.db", "path": path, "bytes": 5000, "files": 0, "dirs": 0,
            "mark": mark}
    doc = {"tool": "morvane-cli", "version": "0.9.9", "path": path, "total_bytes": 5000,
           "files": 1, "dirs": 0, "denied": 0, "tree": node, "greens": [node]}
    text = (f"{TITLE} — {path}\n"
            "总计 4.9 KB ｜ 1 个文件 ｜ 0 个目录 ｜ 0 项拒绝访问 ｜ 扫描 ms\n"
            "\n"
            "建议清理(绿标,前 20):\n"
            # A name rule outside application data: to check first.
            f"  1.     4.9 KB  {path}  [先检查]\n"
            "(共 1 项,完整清单用 --json)\n"
            f"{CHECK_FIRST_NOTE}\n"
            "\n"
            "只看不删:删除请自行在资源管理器操作。规则语义与出处见 SKILL.md。\n")
    return doc, text


def without_time(doc_or_text):
    """A report without its scan time: a parsed JSON document without
    "elapsed_ms", or a text report with "扫描 …ms" emptied."""
    if isinstance(doc_or_text, dict):
        return {k: v for k, v in doc_or_text.items() if k != "elapsed_ms"}
    return re.sub(r"扫描 \d+ms", "扫描 ms", doc_or_text)


def _tests(suite):
    for item in suite:
        if isinstance(item, unittest.TestSuite):
            yield from _tests(item)
        else:
            yield item


def main():
    """Runs the calling script's tests: those named on the command line
    (all by default; a name is a class or Class.method) less those an
    "--except NAME" option names. Exits 0 when all passed, SKIPPED when every test that
    ran was skipped, and 1 when any failed or none ran."""
    names, left_out = [], []
    args = sys.argv[1:]
    while args:
        arg = args.pop(0)
        if arg == "--except":
            left_out.append(args.pop(0))
        else:
            names.append(arg)
    module = sys.modules["__main__"]
    loader = unittest.defaultTestLoader
    suite = loader.loadTestsFromNames(names, module) if names else loader.loadTestsFromModule(module)
    tests = [t for t in _tests(suite)
             if not any(f".{name}." in f".{t.id()}." for name in left_out)]
    result = unittest.TextTestRunner(verbosity=2).run(unittest.TestSuite(tests))
    if not result.wasSuccessful() or result.testsRun == 0:
        sys.exit(1)
    sys.exit(SKIPPED if len(result.skipped) == result.testsRun else 0)
