#!/usr/bin/env python3
"""Makes a synthetic home folder for the benchmark, the same one every time.

    gen_tree.py OUT [--files N] [--seed S]

The tree looks like a developer's home folder that has also been a Windows
profile: projects with sources, node_modules, .git/objects and build output;
AppData with Temp, pip, npm-cache, a browser cache and crash dumps; dot caches;
documents, photos, music, videos and downloads with non-ASCII names; a few
symbolic links (to files, to folders, dangling, and loops back up the tree)
and two names that are not valid UTF-8. Directories go at most MAX_LEVEL
levels below OUT. There are exactly N regular files and about N / 9
directories.

Every file is made with ftruncate only, so sizes (up to tens of GiB) cost
inodes, not disk blocks.

The same N and seed always give the same names, sizes and layout. A finished
tree is marked by OUT.stamp; when the stamp matches, the tree is reused as it
is. A tree is built in OUT.partial and renamed to OUT when complete, so an
interrupted run never leaves a tree that looks finished.
"""

import argparse
import hashlib
import json
import math
import os
import random
import shutil
import sys
import time

FORMAT_VERSION = 2
MAX_LEVEL = 8  # deepest directory, counted from OUT (level 0)
FILES_PER_DIR = 9  # overall ratio of regular files to directories
# Entries down to this level are what a default run keeps in detail. A larger
# home has more and deeper folders, not ever more loose files at the top, so
# folders above this level hold a bounded number of files and a tree ten
# times larger has about the same number of entries there.
DETAIL_LEVEL = 2
SHALLOW_FILES = (150, 600)  # range of the bound per folder
MAX_LINKS = 24

ASCII_WORDS = (
    "src lib utils core assets images components test tests docs config models views api data "
    "scripts styles fonts icons vendor internal pkg cmd include examples bench tools migrations "
    "fixtures locales static templates public server client common shared widgets hooks store "
    "services handlers parser runtime plugins themes layouts pages routes schemas logs backup "
    "archive old new draft misc resources res raw generated out tmp bin sdk"
).split()

# Names a user on any continent might give a folder, plus a few that are hard
# to lower-case (dotted I, final sigma, sharp s, ligatures, full width).
NON_ASCII_WORDS = (
    "文档", "照片", "项目", "下载", "音乐", "视频", "报告 2023", "备份", "资料", "工作",
    "Données", "Équipe", "Résumé", "Fotos", "Über uns", "Größe", "Привет", "Документы",
    "Музыка", "日本語", "写真", "ドキュメント", "사진", "문서", "Ελληνικά", "Σίσυφος",
    "עברית", "العربية", "café", "naïve", "Ångström", "São Paulo", "Zürich", "😀 emoji",
    "straße", "ÆØÅ", "İstanbul", "ﬁnal ﬁles", "ｆｕｌｌｗｉｄｔｈ", "e\u0301cole",
)

# Folder names that the built-in rules judge by name alone.
RULE_WORDS = ("cache", "Cache", "Temp", "temp", "npm-cache", ".pnpm-store", "pnpm-cache",
              "CrashDumps", "ReportArchive")

NPM_PACKAGES = (
    "lodash react react-dom express chalk debug commander semver uuid yargs typescript "
    "webpack babel-loader eslint prettier jest rxjs axios moment dayjs tslib minimist "
    "glob rimraf mkdirp ws socket.io vue @babel/core @babel/parser @babel/types "
    "@types/node @types/react @eslint/js @jest/core @vue/compiler-sfc @esbuild/linux-x64 "
    "esbuild postcss autoprefixer tailwindcss source-map acorn picomatch micromatch "
    "fast-glob readable-stream string_decoder safe-buffer inherits ms supports-color "
    "ansi-styles has-flag color-convert color-name escape-string-regexp js-tokens"
).split()

SOURCE_EXTS = (".c", ".h", ".cc", ".py", ".js", ".ts", ".tsx", ".rs", ".go", ".java",
               ".md", ".json", ".yaml", ".toml", ".css", ".html", ".sh", ".txt")
DOC_EXTS = (".docx", ".pdf", ".xlsx", ".pptx", ".txt", ".odt", ".md", ".csv", ".epub")
BUILD_EXTS = (".o", ".obj", ".pdb", ".dll", ".exe", ".so", ".a", ".lib", ".d", ".ninja_log")
DOWNLOAD_EXTS = (".zip", ".iso", ".exe", ".msi", ".tar.gz", ".deb", ".dmg", ".pdf", ".7z")

KIB = 1024
MIB = 1024 * KIB
GIB = 1024 * MIB


def hex_name(rng, n):
    return "%0*x" % (n, rng.getrandbits(4 * n))


def pick_word(rng, non_ascii=0.12, rule=0.03):
    x = rng.random()
    if x < rule:
        return rng.choice(RULE_WORDS)
    if x < rule + non_ascii:
        return rng.choice(NON_ASCII_WORDS)
    return rng.choice(ASCII_WORDS)


class Theme:
    """How one kind of folder grows: names, sizes, depth and how many of its
    files stay at each level rather than going further down."""

    def __init__(self, dir_name, file_name, size, depth, here=0.3):
        self.dir_name = dir_name
        self.file_name = file_name
        self.size = size
        self.depth = depth
        self.here = here


def log_uniform(lo, hi, zero=0.02):
    def draw(rng):
        if rng.random() < zero:
            return 0
        return int(math.exp(rng.uniform(math.log(lo), math.log(hi))))

    return draw


def mixed_size(*parts):
    """Picks one of several (weight, lo, hi) size bands."""
    total = sum(p[0] for p in parts)

    def draw(rng):
        x = rng.uniform(0, total)
        for weight, lo, hi in parts:
            if x < weight:
                return log_uniform(lo, hi, zero=0.01)(rng)
            x -= weight
        return 0

    return draw


THEMES = {
    "source": Theme(
        lambda rng, level: pick_word(rng),
        lambda rng: pick_word(rng, rule=0) + "_" + hex_name(rng, 3) + rng.choice(SOURCE_EXTS),
        log_uniform(100, 60 * KIB), depth=5, here=0.35),
    "npm": Theme(
        lambda rng, level: rng.choice(NPM_PACKAGES).replace("/", "+") if level == 0 else rng.choice(
            ("lib", "dist", "src", "esm", "cjs", "test", "types", "bin", "node_modules", "umd")),
        lambda rng: rng.choice(("index", "main", "utils", "README", "LICENSE", "package",
                                "types", "cli", "helpers")) + "-" + hex_name(rng, 2) +
        rng.choice((".js", ".mjs", ".cjs", ".d.ts", ".json", ".md", ".map")),
        log_uniform(200, 300 * KIB), depth=4, here=0.25),
    "gitobj": Theme(
        lambda rng, level: hex_name(rng, 2),
        lambda rng: hex_name(rng, 38),
        log_uniform(100, 200 * KIB, zero=0), depth=1, here=0.0),
    "build": Theme(
        lambda rng, level: rng.choice(("Debug", "Release", "obj", "CMakeFiles", "x64",
                                       "intermediates", "cache", "gen", "deps", "incremental")),
        lambda rng: pick_word(rng, rule=0) + "-" + hex_name(rng, 4) + rng.choice(BUILD_EXTS),
        log_uniform(KIB, 80 * MIB), depth=4, here=0.3),
    "docs": Theme(
        lambda rng, level: pick_word(rng, non_ascii=0.5),
        lambda rng: pick_word(rng, non_ascii=0.5, rule=0) + " " + str(rng.randrange(1, 400)) +
        rng.choice(DOC_EXTS),
        log_uniform(5 * KIB, 30 * MIB), depth=4, here=0.4),
    "photos": Theme(
        lambda rng, level: str(rng.randrange(2008, 2025)) if level == 0 else "%02d %s" % (
            rng.randrange(1, 13), rng.choice(NON_ASCII_WORDS + ("Urlaub", "Wedding", "trip"))),
        lambda rng: "IMG_%05d%s" % (rng.randrange(100000),
                                    rng.choice((".JPG", ".jpg", ".HEIC", ".png", ".CR2"))),
        log_uniform(MIB, 12 * MIB, zero=0), depth=3, here=0.2),
    "music": Theme(
        lambda rng, level: pick_word(rng, non_ascii=0.4, rule=0) + " " + hex_name(rng, 2),
        lambda rng: "%02d %s%s" % (rng.randrange(1, 20), pick_word(rng, non_ascii=0.4, rule=0),
                                   rng.choice((".mp3", ".flac", ".m4a"))),
        mixed_size((8, 3 * MIB, 15 * MIB), (2, 15 * MIB, 60 * MIB)), depth=2, here=0.1),
    "videos": Theme(
        lambda rng, level: pick_word(rng, non_ascii=0.4, rule=0),
        lambda rng: pick_word(rng, non_ascii=0.4, rule=0) + " " + str(rng.randrange(1, 99)) +
        rng.choice((".mp4", ".mkv", ".mov")),
        log_uniform(50 * MIB, 4 * GIB, zero=0), depth=2, here=0.5),
    "downloads": Theme(
        lambda rng, level: pick_word(rng, non_ascii=0.3),
        lambda rng: pick_word(rng, non_ascii=0.3, rule=0) + "-" + hex_name(rng, 3) +
        rng.choice(DOWNLOAD_EXTS),
        mixed_size((20, KIB, 20 * MIB), (3, 20 * MIB, GIB), (1, GIB, 6 * GIB)), depth=2, here=0.6),
    "temp": Theme(
        lambda rng, level: rng.choice(("tmp", "_MEI", "chrome_drag", "msohtmlclip", "Temp",
                                       "nsu", "vs-setup-")) + hex_name(rng, 5)
        if rng.random() < 0.9 else "Temp",
        lambda rng: rng.choice(("tmp", "~DF", "wct", "log")) + hex_name(rng, 4).upper() +
        rng.choice((".tmp", ".log", ".etl", "")),
        log_uniform(100, 10 * MIB, zero=0.1), depth=4, here=0.4),
    "hashcache": Theme(
        lambda rng, level: hex_name(rng, 2),
        lambda rng: hex_name(rng, 40),
        log_uniform(KIB, 5 * MIB), depth=4, here=0.05),
    "flatcache": Theme(
        lambda rng, level: "index-dir",
        lambda rng: "f_" + hex_name(rng, 6),
        log_uniform(100, 2 * MIB), depth=0, here=1.0),
    "appdata": Theme(
        lambda rng, level: pick_word(rng, non_ascii=0.05, rule=0.08) if rng.random() < 0.8
        else rng.choice(("GPUCache", "Code Cache", "logs", "Local Storage", "IndexedDB",
                         "Crashpad", "User Data", "Packages", "blob_storage")),
        lambda rng: rng.choice(("data", "settings", "state", "LOG", "Cookies", "History",
                                "000003", "MANIFEST")) + "-" + hex_name(rng, 4) +
        rng.choice((".db", ".json", ".log", ".ldb", ".dat", "")),
        log_uniform(100, 20 * MIB), depth=5, here=0.3),
    "maven": Theme(
        lambda rng, level: rng.choice(("org", "com", "io", "net", "apache", "google", "commons",
                                       "guava", "junit", "springframework", "jackson", "core",
                                       "1.0.0", "2.3.1", "3.12.0", "5.9.2")),
        lambda rng: rng.choice(("artifact", "module", "core", "api")) + "-" +
        str(rng.randrange(1, 30)) + rng.choice((".jar", ".pom", ".sha1", ".jar.sha1")),
        log_uniform(100, 5 * MIB), depth=6, here=0.2),
}


class Builder:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.files = 0
        self.dirs = 0
        self.links = 0
        self.bytes = 0
        self.created_dirs = []  # relative paths of a sample of folders, for links
        self.projects = []

    # --- primitives ----------------------------------------------------------

    def make_dir(self, parent_fd, name):
        os.mkdir(name, 0o755, dir_fd=parent_fd)
        self.dirs += 1
        return os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=parent_fd)

    def make_file(self, dir_fd, name, size):
        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dir_fd)
        try:
            if size:
                os.ftruncate(fd, size)
        finally:
            os.close(fd)
        self.files += 1
        self.bytes += size

    @staticmethod
    def unique(name, taken):
        base, n = name, 1
        while name in taken:
            n += 1
            name = "%s (%d)" % (base, n)
        taken.add(name)
        return name

    def split(self, total, weights):
        """`total` split in proportion to `weights`, exactly."""
        s = sum(weights)
        if s <= 0:
            weights, s = [1.0] * len(weights), float(len(weights))
        parts = [int(total * w / s) for w in weights]
        order = sorted(range(len(weights)), key=lambda i: -weights[i])
        for i in range(total - sum(parts)):
            parts[order[i % len(order)]] += 1
        return parts

    # --- growth ----------------------------------------------------------------

    def fill(self, dir_fd, rel, level, files, dirs, theme, theme_level=0):
        """Puts `files` files and `dirs` folders beneath the open folder."""
        rng = self.rng
        room = min(theme.depth - theme_level, MAX_LEVEL - level)
        # A section may grow inside a folder that other sections also use.
        taken = set(os.listdir(dir_fd)) if theme_level == 0 else set()
        if dirs <= 0 or room <= 0:
            kids = []
        elif room == 1:
            kids = [0] * dirs
        else:
            k = int(round(dirs ** (1.0 / room) * rng.uniform(0.6, 1.8)))
            k = max(1, min(dirs, k))
            kids = self.split(dirs - k, [rng.paretovariate(1.2) for _ in range(k)])
        here = files if not kids else int(files * theme.here * rng.uniform(0.5, 1.5))
        here = min(files, here)
        if level < DETAIL_LEVEL and room > 0:
            cap = int(rng.uniform(*SHALLOW_FILES))
            if here > cap:
                here = cap
                if not kids:  # no folder budget left here: make some
                    kids = [0] * -(-(files - here) // cap)
        for _ in range(here):
            self.make_file(dir_fd, self.unique(theme.file_name(rng), taken), theme.size(rng))
        if not kids:
            return
        weights = [(d + 1) * rng.uniform(0.3, 1.7) for d in kids]
        for sub_dirs, sub_files in zip(kids, self.split(files - here, weights)):
            name = self.unique(theme.dir_name(rng, theme_level), taken)
            fd = self.make_dir(dir_fd, name)
            try:
                sub_rel = rel + "/" + name
                if rng.random() < 0.01:
                    self.created_dirs.append(sub_rel)
                self.fill(fd, sub_rel, level + 1, sub_files, sub_dirs, theme, theme_level + 1)
            finally:
                os.close(fd)

    def section(self, root_fd, path, files, dirs, theme):
        """Makes the folders of `path` (reusing those that exist) and fills
        the last one."""
        fds = []
        try:
            fd = root_fd
            for name in path:
                try:
                    os.mkdir(name, 0o755, dir_fd=fd)
                    self.dirs += 1
                    dirs -= 1
                except FileExistsError:
                    pass
                fd = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd)
                fds.append(fd)
            self.fill(fd, "/".join(path), len(path), files, max(0, dirs), THEMES[theme])
        finally:
            for fd in reversed(fds):
                os.close(fd)

    # --- the home folder -----------------------------------------------------------

    def sections(self, n_files):
        """(path, theme, file weight, folder weight) of every part of the home."""
        rng = self.rng
        out = [
            (("AppData", "Local", "Temp"), "temp", 6, 6),
            (("AppData", "Local", "pip", "cache", "wheels"), "hashcache", 2, 3),
            (("AppData", "Local", "pip", "cache", "http"), "hashcache", 2, 3),
            (("AppData", "Local", "npm-cache", "_cacache", "content-v2", "sha512"),
             "hashcache", 4, 5),
            (("AppData", "Local", "Google", "Chrome", "User Data", "Default", "Cache",
              "Cache_Data"), "flatcache", 2, 0),
            (("AppData", "Local", "Google", "Chrome", "User Data", "Default"), "appdata", 2, 2),
            (("AppData", "Local", "Microsoft", "Windows", "INetCache"), "hashcache", 1, 1),
            (("AppData", "Local", "Microsoft", "Edge", "User Data", "Default"), "appdata", 1, 1),
            (("AppData", "Local", "Packages"), "appdata", 2, 3),
            (("AppData", "Local", "Yarn", "Cache"), "npm", 2, 2),
            (("AppData", "Roaming", "Code"), "appdata", 2, 2),
            (("AppData", "Roaming", "Mozilla", "Firefox", "Profiles", "k3x9.default-release"),
             "appdata", 1, 1),
            ((".cache", "mozilla", "firefox", "k3x9.default-release", "cache2", "entries"),
             "flatcache", 1, 0),
            ((".cache", "pip", "http-v2"), "hashcache", 2, 3),
            ((".cache", "go-build"), "hashcache", 2, 3),
            ((".cache", "thumbnails", "normal"), "flatcache", 1, 0),
            ((".npm", "_cacache", "content-v2", "sha512"), "hashcache", 2, 3),
            ((".pnpm-store", "v3", "files"), "hashcache", 2, 3),
            ((".gradle", "caches", "modules-2", "files-2.1"), "maven", 2, 3),
            ((".m2", "repository"), "maven", 2, 3),
            ((".local", "share"), "appdata", 2, 2),
            (("Documents",), "docs", 5, 4),
            (("Документы",), "docs", 1, 1),
            (("桌面",), "docs", 1, 1),
            (("Pictures",), "photos", 4, 2),
            (("Music",), "music", 2, 1),
            (("Videos",), "videos", 0.2, 0.1),
            (("Downloads",), "downloads", 2, 1),
        ]
        # Projects: each one a checkout with sources, dependencies, history
        # and build output.
        n_projects = max(4, n_files // 6000)
        for i in range(n_projects):
            name = "%s-%d" % (rng.choice(("web-shop", "ml-实验", "rust-tool", "café-app",
                                           "api-server", "game", "Проект", "dotfiles",
                                           "thesis", "infra")), i)
            self.projects.append(name)
            w = rng.uniform(0.3, 1.7) * 36.0 / n_projects
            out += [
                (("projects", name, "src"), "source", 0.17 * w, 0.15 * w),
                (("projects", name, "node_modules"), "npm", 0.5 * w, 0.55 * w),
                (("projects", name, ".git", "objects"), "gitobj", 0.15 * w, 0.12 * w),
                (("projects", name, rng.choice(("build", "dist", "target", "out"))),
                 "build", 0.12 * w, 0.12 * w),
                (("projects", name, "docs"), "docs", 0.06 * w, 0.06 * w),
            ]
        return out

    def home(self, root_fd, n_files):
        rng = self.rng
        root_files = [("ntuser.dat", 4 * MIB), ("NTUSER.DAT.LOG1", 256 * KIB),
                      (".bashrc", 3 * KIB), (".profile", 800), (".gitconfig", 200),
                      ("hiberfil.sys", 12 * GIB)]
        # Lone files that rules judge by name, and one disk image that is
        # large only on paper.
        extra = [(("AppData", "Local", "Microsoft", "Windows", "Explorer"),
                  ["thumbcache_%s.db" % s for s in ("16", "32", "48", "96", "256", "1024",
                                                    "idx", "sr", "wide", "exif")], 24 * MIB),
                 (("AppData", "Local", "CrashDumps"),
                  ["app.exe.%d.dmp" % (1000 + i) for i in range(12)], 300 * MIB),
                 (("VirtualBox VMs", "win11"), ["win11.vdi"], 64 * GIB)]
        fixed = len(root_files) + sum(len(names) for _, names, _ in extra) + 2
        budget = n_files - fixed
        if budget < 1000:
            sys.exit("gen_tree: --files must be at least %d" % (fixed + 1000))
        for name, size in root_files:
            self.make_file(root_fd, name, size)
        for path, names, size in extra:
            self.section(root_fd, path, 0, 0, "flatcache")
            fd = os.open("/".join(path), os.O_RDONLY | os.O_DIRECTORY, dir_fd=root_fd)
            try:
                for name in names:
                    self.make_file(fd, name, int(size * rng.uniform(0.2, 1.0)))
            finally:
                os.close(fd)

        parts = self.sections(n_files)
        n_dirs = n_files // FILES_PER_DIR
        file_budget = self.split(budget, [p[2] for p in parts])
        dir_budget = self.split(n_dirs, [p[3] for p in parts])
        for (path, theme, _, _), f, d in zip(parts, file_budget, dir_budget):
            self.section(root_fd, path, f, d, theme)

        # Two names that are not valid UTF-8, as old archives leave them.
        os.mkdir(b"legacy-\xe9t\xe9", 0o755, dir_fd=root_fd)
        self.dirs += 1
        fd = os.open(b"legacy-\xe9t\xe9", os.O_RDONLY | os.O_DIRECTORY, dir_fd=root_fd)
        try:
            self.make_file(fd, b"r\xe9sum\xe9 \xff.txt", 12 * KIB)
            self.make_file(fd, "readme.txt", 300)
        finally:
            os.close(fd)
        self.symlinks(root_fd)

    def symlinks(self, root_fd):
        rng = self.rng
        links = [
            ("projects/current", self.projects[0]),  # folder link
            ("Desktop", "桌面"),  # folder link
            ("AppData/Local/Temp/self", "."),  # loop onto itself
            ("Documents/up", ".."),  # loop onto an ancestor
            ("Downloads/broken", "/nonexistent/oskra-bench/target"),  # dangling
            ("Documents/latest.pdf", "../Downloads"),  # file-named link to a folder
            (".config-link", ".local/share"),
        ]
        for d in self.created_dirs[:MAX_LINKS - len(links)]:
            links.append((d + "/link-" + hex_name(rng, 3), rng.choice(("..", ".", "../..", "x"))))
        for path, target in links:
            try:
                os.symlink(target, path, dir_fd=root_fd)
                self.links += 1
            except FileExistsError:
                pass


def count_entries(path, levels):
    """Entries at levels 1 to `levels` below `path`, links not followed."""
    n = 0
    with os.scandir(path) as it:
        for entry in it:
            n += 1
            if levels > 1 and entry.is_dir(follow_symlinks=False):
                n += count_entries(entry.path, levels - 1)
    return n


def signature(n_files, seed):
    with open(__file__, "rb") as f:
        source = hashlib.sha256(f.read()).hexdigest()[:16]
    return "gen_tree format=%d files=%d seed=%d source=%s" % (FORMAT_VERSION, n_files, seed,
                                                              source)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("out", help="folder to create (its parent must exist)")
    ap.add_argument("--files", type=int, default=300_000, help="regular files (default 300000)")
    ap.add_argument("--seed", type=int, default=1, help="random seed (default 1)")
    args = ap.parse_args()

    out = os.path.abspath(args.out)
    stamp_path = out + ".stamp"
    partial = out + ".partial"
    sig = signature(args.files, args.seed)

    if os.path.isdir(out):
        try:
            with open(stamp_path, encoding="utf-8") as f:
                stamp = json.load(f)
        except (OSError, ValueError):
            sys.exit("gen_tree: %s exists and was not made by gen_tree; not touching it" % out)
        if stamp.get("signature") == sig:
            print("gen_tree: reusing %s (%d files, %d dirs)" % (out, stamp["files"],
                                                                 stamp["dirs"]))
            return
        print("gen_tree: %s was made with other settings; rebuilding" % out)
        os.unlink(stamp_path)
        shutil.rmtree(out)
    if os.path.lexists(partial):
        shutil.rmtree(partial)

    started = time.monotonic()
    os.mkdir(partial)
    root_fd = os.open(partial, os.O_RDONLY | os.O_DIRECTORY)
    builder = Builder(args.seed)
    try:
        builder.home(root_fd, args.files)
    finally:
        os.close(root_fd)
    os.rename(partial, out)
    info = {"signature": sig, "files": builder.files, "dirs": builder.dirs + 1,
            "symlinks": builder.links, "bytes": builder.bytes,
            "detail_entries": count_entries(out.encode(), DETAIL_LEVEL),
            "seconds": round(time.monotonic() - started, 1)}
    with open(stamp_path, "w", encoding="utf-8") as f:
        json.dump(info, f)
        f.write("\n")
    print("gen_tree: made %s: %d files, %d dirs (root included), %d symlinks, %d entries at "
          "levels 1 to %d, %.1f GiB apparent, in %.1f s" %
          (out, info["files"], info["dirs"], info["symlinks"], info["detail_entries"],
           DETAIL_LEVEL, info["bytes"] / GIB, info["seconds"]))


if __name__ == "__main__":
    main()
