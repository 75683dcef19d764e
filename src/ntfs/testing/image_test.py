"""The NTFS reader on real volumes: images made with mkntfs and filled
through an ntfs-3g mount, then read by ntfs_dump (the reader) and by
ntfs_oracle (libntfs-3g, walking each folder's index in order). Both print
every entry below the root with its attributes, reparse tag, size and
allocation, in the folder's order; the two must agree line for line. Then
the program's whole report (ntfs_report) of the tree the reader gives must
equal, byte for byte, its report of the tree libntfs-3g enumerates.

Usage: image_test.py NTFS_DUMP NTFS_ORACLE NTFS_REPORT. Needs root, /dev/fuse and
Debian's ntfs-3g; without them every test is skipped (status 77)."""

import json
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

SKIPPED = 77
DUMP = ORACLE = REPORT = None

# Reparse tags (Win32 IO_REPARSE_TAG_*).
MOUNT_POINT = 0xA0000003
SYMLINK = 0xA000000C
CLOUD = 0x9000601A
APPEXECLINK = 0x8000001B


def run(command):
    return subprocess.run(command, capture_output=True, text=True)


# mkntfs lives in /usr/sbin, which not every PATH holds.
MKNTFS = shutil.which("mkntfs") or shutil.which("mkntfs", path="/usr/sbin:/sbin")


def can_mount():
    return (os.geteuid() == 0 and os.path.exists("/dev/fuse")
            and MKNTFS and shutil.which("ntfs-3g"))


def mount_ntfs(image, mount, *options):
    """Mounts `image` through ntfs-3g. An unmount returns before the last
    ntfs-3g lets the image go, so a mount right after one may find it
    still held (status 16): tried again for a few seconds."""
    for _ in range(50):
        result = subprocess.run(["ntfs-3g", *options, image, mount], capture_output=True)
        if result.returncode != 16:
            break
        time.sleep(0.1)
    if result.returncode != 0:
        raise subprocess.CalledProcessError(result.returncode, result.args, result.stdout,
                                            result.stderr)


def make_image(path, size, populate, *mkntfs):
    """An NTFS image of `size` bytes (sparse), filled by `populate(root)`
    through an ntfs-3g mount."""
    with open(path, "wb") as f:
        f.truncate(size)
    subprocess.run([MKNTFS, "-F", "-f", "-q", *mkntfs, path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mount = path + ".mnt"
    os.mkdir(mount)
    mount_ntfs(path, mount)
    try:
        return populate(mount)
    finally:
        subprocess.run(["umount", mount], check=True)
        os.rmdir(mount)


def touch(path, data=b""):
    with open(path, "wb") as f:
        f.write(data)


def reparse(path, tag, body):
    os.setxattr(path, "system.ntfs_reparse_data",
                struct.pack("<IHH", tag, len(body), 0) + body)


def link_body(target, flags=None):
    """The data of a junction (flags None) or a symbolic link."""
    name = target.encode("utf-16-le")
    head = struct.pack("<HHHH", 0, len(name), len(name) + 2, len(name))
    if flags is None:
        return head + name + b"\0\0" + name + b"\0\0"
    return head + struct.pack("<I", flags) + name + name


def set_attributes(path, bits):
    old = struct.unpack("<I", os.getxattr(path, "system.ntfs_attrib"))[0]
    os.setxattr(path, "system.ntfs_attrib", struct.pack("<I", old | bits))


def make_names(m):
    os.mkdir(f"{m}/names")
    # ntfs-3g names files in the POSIX namespace: names may differ in case.
    for name in ["readme", "README", "ReadMe", "a", "a.b", "a_b", "a[b]", "Z", "ß",
                 "ǅ", "ǆ", "ümlaut", "Ü", "日本語", "😀", "😁x", "x" * 255]:
        touch(f"{m}/names/{name}")
    touch(f"{m}/names/Long File Name.text")
    os.setxattr(f"{m}/names/Long File Name.text", "system.ntfs_dos_name", b"LONGFI~1.TEX")
    set_attributes(f"{m}/names/a", 0x2 | 0x4)  # hidden, system
    set_attributes(f"{m}/names/Z", 0x1000)     # offline


def make_sizes(m):
    os.mkdir(f"{m}/sizes")
    touch(f"{m}/sizes/resident", b"r" * 100)
    touch(f"{m}/sizes/plain", random.Random(1).randbytes(300_000))
    with open(f"{m}/sizes/sparse", "wb") as f:
        f.truncate(3 << 30)
    with open(f"{m}/sizes/holes", "wb") as f:
        f.seek(5_000_000)
        f.write(b"end")
    touch(f"{m}/sizes/emptied", b"e" * 100_000)
    os.truncate(f"{m}/sizes/emptied", 0)
    os.mkdir(f"{m}/sizes/packed")
    set_attributes(f"{m}/sizes/packed", 0x800)  # what is made inside is compressed
    touch(f"{m}/sizes/packed/text", b"compressible " * 20_000)
    touch(f"{m}/sizes/packed/noise", random.Random(2).randbytes(70_000))


def make_attribute_lists(m):
    """Returns the size the hard-linked file ends with."""
    # Enough long-named hard links for a non-resident attribute list, then
    # the file grown through one of them.
    os.mkdir(f"{m}/links")
    touch(f"{m}/links/target", b"t" * 10)
    for i in range(200):
        os.link(f"{m}/links/target", f"{m}/links/link {i:03} " + "n" * 100)
    os.link(f"{m}/links/target", f"{m}/names/target elsewhere")
    with open(f"{m}/links/link 007 " + "n" * 100, "ab") as f:
        f.write(b"grown" * 1000)

    # Named streams (ntfs-3g's user.* attributes) push the file's attributes
    # into extension records too.
    os.mkdir(f"{m}/streams")
    touch(f"{m}/streams/many", b"main")
    for i in range(80):
        os.setxattr(f"{m}/streams/many", f"user.stream{i:02}", b"v" * 120)
    return os.stat(f"{m}/links/target").st_size


def make_reparse_points(m):
    os.mkdir(f"{m}/reparse")
    for name in ["junction", "dirlink", "cloud folder", "container"]:
        os.mkdir(f"{m}/reparse/{name}")
    reparse(f"{m}/reparse/junction", MOUNT_POINT, link_body("\\??\\C:\\Windows"))
    reparse(f"{m}/reparse/dirlink", SYMLINK, link_body("..", flags=1))
    reparse(f"{m}/reparse/cloud folder", CLOUD, b"provider data")
    reparse(f"{m}/reparse/container", 0x80000018, b"layer")
    touch(f"{m}/reparse/filelink")
    reparse(f"{m}/reparse/filelink", SYMLINK, link_body("..\\sizes\\plain", flags=1))
    touch(f"{m}/reparse/cloud file", b"c" * 5000)
    reparse(f"{m}/reparse/cloud file", CLOUD, b"provider data")
    touch(f"{m}/reparse/app")
    reparse(f"{m}/reparse/app", APPEXECLINK, b"x" * 3000)  # non-resident reparse data


def make_deleted_deep_and_many(m):
    # Deleted files and a deleted folder leave records that are not in use.
    os.mkdir(f"{m}/deleted")
    for i in range(20):
        touch(f"{m}/deleted/gone {i}", b"g" * 2000)
    os.mkdir(f"{m}/deleted/folder")
    touch(f"{m}/deleted/folder/inside")
    for i in range(0, 20, 2):
        os.unlink(f"{m}/deleted/gone {i}")
    os.unlink(f"{m}/deleted/folder/inside")
    os.rmdir(f"{m}/deleted/folder")

    deep = os.open(m, os.O_RDONLY | os.O_DIRECTORY)
    for _ in range(400):
        os.mkdir("d", dir_fd=deep)
        below = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=deep)
        os.close(deep)
        deep = below
    touch(f"/proc/self/fd/{deep}/bottom", b"b")
    os.close(deep)

    # Names enough to fill several of the reader's 2 MiB blocks of names,
    # every third one beyond Latin-1 (two bytes a unit there).
    os.mkdir(f"{m}/many")
    for i in range(100_000):
        name = f"f{i:06} " + ("ā" if i % 3 == 0 else "a") * 40
        os.close(os.open(f"{m}/many/{name}", os.O_CREAT | os.O_WRONLY))


def populate_features(m):
    """A bit of everything the reader must understand; returns the size
    the hard-linked file ends with."""
    make_names(m)
    make_sizes(m)
    grown = make_attribute_lists(m)
    make_reparse_points(m)
    make_deleted_deep_and_many(m)
    return grown


def populate_small(m):
    """Two folders and a file; the record numbers of each (ntfs-3g's inode
    numbers are record numbers)."""
    os.makedirs(f"{m}/a/b")
    touch(f"{m}/a/f", b"data")
    touch(f"{m}/a/big", b"b" * 5000)  # its data in runs of its own
    return {name: os.stat(f"{m}/{name}").st_ino for name in ["a", "a/b", "a/f", "a/big"]}


def populate_report(m):
    """A tree for the whole report: verdicts and greens, names differing
    only in case, hard links grown through one link, links and reparse
    folders with files inside, a folder big enough for an index of its own."""
    os.makedirs(f"{m}/work/Temp/deeper")
    os.makedirs(f"{m}/work/temp")  # the same name in another case: another folder
    os.makedirs(f"{m}/work/cache")
    touch(f"{m}/work/Temp/a", b"a" * 7000)
    touch(f"{m}/work/Temp/deeper/b", b"b" * 300)
    touch(f"{m}/work/temp/c", b"c" * 50)
    touch(f"{m}/work/cache/d", b"d" * 12345)
    touch(f"{m}/work/pagefile.sys", b"p" * 999)
    for name in ["readme", "README", "ReadMe", "ß", "日本語", "😀"]:
        touch(f"{m}/work/{name}", name.encode() * 3)
    touch(f"{m}/work/shared", b"s")
    os.link(f"{m}/work/shared", f"{m}/work/Temp/shared again")
    os.link(f"{m}/work/shared", f"{m}/shared too")
    with open(f"{m}/shared too", "ab") as f:
        f.write(b"grown" * 100)
    with open(f"{m}/work/sparse", "wb") as f:
        f.truncate(1 << 30)
    # Folders made reparse points with files in them: a cloud folder's are
    # counted, the others' never.
    os.mkdir(f"{m}/reparse")
    for name, tag, body in [("junction", MOUNT_POINT, link_body("\\??\\C:\\x")),
                            ("dirlink", SYMLINK, link_body("..", flags=1)),
                            ("cloud folder", CLOUD, b"provider data"),
                            ("container", 0x80000018, b"layer")]:
        os.mkdir(f"{m}/reparse/{name}")
        touch(f"{m}/reparse/{name}/inside" if tag != CLOUD else f"{m}/reparse/{name}/held",
              b"i" * 4000)
        reparse(f"{m}/reparse/{name}", tag, body)
    touch(f"{m}/reparse/filelink")
    reparse(f"{m}/reparse/filelink", SYMLINK, link_body("..\\work\\shared", flags=1))
    for i in range(70):
        os.makedirs(f"{m}/folders/d{i:02}")
        touch(f"{m}/folders/d{i:02}/f", b"f")
    os.mkdir(f"{m}/wide")
    for i in range(3000):
        touch(f"{m}/wide/w{i:04}", b"w" * (i % 7))
    os.unlink(f"{m}/wide/w0100")


class Records:
    """FILE records of an image whose table starts in one run (a small
    image): where they lie, and their attributes."""

    def __init__(self, path):
        self.path = path
        with open(path, "rb") as f:
            boot = f.read(512)
        sector, = struct.unpack_from("<H", boot, 0x0B)
        self.cluster = cluster = sector * boot[0x0D]
        mft_lcn, = struct.unpack_from("<Q", boot, 0x30)
        per_record, = struct.unpack_from("<b", boot, 0x40)
        self.size = per_record * cluster if per_record > 0 else 1 << -per_record
        self.start = mft_lcn * cluster

    def offset(self, record):
        return self.start + record * self.size

    def attribute(self, record, wanted):
        """Offset in the image of the first attribute of type `wanted`."""
        with open(self.path, "rb") as f:
            f.seek(self.offset(record))
            data = f.read(self.size)
        at, = struct.unpack_from("<H", data, 0x14)
        while True:
            kind, length = struct.unpack_from("<II", data, at)
            assert kind != 0xFFFFFFFF, f"record {record} has no attribute {wanted:#x}"
            if kind == wanted:
                return self.offset(record) + at
            at += length

    def value(self, record, wanted):
        """Offset in the image of the value of a resident attribute."""
        at = self.attribute(record, wanted)
        return at + struct.unpack("<H", self.read(at + 0x14, 2))[0]

    def bitmap_bit(self, record):
        """Offset in the image of the byte of the table's bitmap that holds
        `record`'s bit, and the bit."""
        at = self.attribute(0, 0xB0)
        if self.read(at + 8, 1) == b"\0":
            return self.value(0, 0xB0) + record // 8, 1 << record % 8
        pairs = at + struct.unpack("<H", self.read(at + 0x20, 2))[0]
        head = self.read(pairs, 1)[0]
        length_size, lcn_size = head & 0xF, head >> 4
        lcn = int.from_bytes(self.read(pairs + 1 + length_size, lcn_size), "little", signed=True)
        return lcn * self.cluster + record // 8, 1 << record % 8

    def unfixed(self, record):
        """The record's bytes as NTFS means them: each sector's last two
        bytes taken back from the update sequence array."""
        data = bytearray(self.read(self.offset(record), self.size))
        usa_at, usa_count = struct.unpack_from("<HH", data, 4)
        for i in range(1, usa_count):
            data[i * 512 - 2:i * 512] = data[usa_at + 2 * i:usa_at + 2 * i + 2]
        return data

    def write_fixed(self, record, data):
        """Writes `data` (unfixed) back as record `record`, fixups applied."""
        data = bytearray(data)
        usa_at, usa_count = struct.unpack_from("<HH", data, 4)
        for i in range(1, usa_count):
            data[usa_at + 2 * i:usa_at + 2 * i + 2] = data[i * 512 - 2:i * 512]
            data[i * 512 - 2:i * 512] = data[usa_at:usa_at + 2]
        self.patch(self.offset(record), bytes(data))

    def patch_in_record(self, record, at, data):
        """Writes `data` at offset `at` of record `record`, past its fixups."""
        unfixed = self.unfixed(record)
        unfixed[at:at + len(data)] = data
        self.write_fixed(record, unfixed)

    def patch(self, offset, data):
        with open(self.path, "r+b") as f:
            f.seek(offset)
            f.write(data)

    def read(self, offset, size):
        with open(self.path, "rb") as f:
            f.seek(offset)
            return f.read(size)


def ntfsinfo(image, path):
    return run(["ntfsinfo", "-F", path, image]).stdout


@unittest.skipUnless(can_mount(), "needs root, /dev/fuse and ntfs-3g")
class Images(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.dir)

    def assert_agrees(self, image):
        """The reader's listing of `image`, which must be libntfs-3g's."""
        dump = run([DUMP, image])
        oracle = run([ORACLE, image])
        self.assertEqual((dump.returncode, dump.stderr), (0, ""))
        self.assertEqual((oracle.returncode, oracle.stderr), (0, ""))
        ours = dump.stdout.splitlines()
        theirs = oracle.stdout.splitlines()
        if ours != theirs:
            first = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b),
                         min(len(ours), len(theirs)))
            self.fail(f"{len(ours)} lines against {len(theirs)}; first difference at line "
                      f"{first}:\n  reader: {ours[first:first + 3]}\n  libntfs-3g: "
                      f"{theirs[first:first + 3]}")
        return [line.split("\t") for line in ours]

    def test_every_folder_as_libntfs3g_reads_it(self):
        image = os.path.join(self.dir, "features.img")
        grown = make_image(image, 512 << 20, populate_features)
        lines = self.assert_agrees(image)
        entries = {path: fields for path, *fields in lines}

        # The image holds what the comparison is meant to cover.
        self.assertIn("$INDEX_ALLOCATION", ntfsinfo(image, "/many"))
        # The table itself grew in pieces.
        table = run(["ntfsinfo", "-v", "-i", "0", image]).stdout
        runs = table.split("Dumping attribute $DATA")[1].split("Dumping")[0]
        rows = [r for r in runs.split("Runlist:")[1].split("\n") if r.strip().startswith("0x")]
        self.assertGreater(len(rows), 1, runs)
        for path in ["/links/target", "/streams/many"]:
            self.assertIn("$ATTRIBUTE_LIST", ntfsinfo(image, path))
        self.assertEqual(sum(p.startswith("/many/") for p in entries), 100_000)
        self.assertIn("/d" * 400 + "/bottom", entries)
        self.assertNotIn("/names/LONGFI~1.TEX", entries)
        self.assertFalse([p for p in entries if "gone 0" in p or "/deleted/folder" in p])
        tags = {int(fields[1], 16) for fields in entries.values()}
        self.assertLessEqual({MOUNT_POINT, SYMLINK, CLOUD, APPEXECLINK}, tags)
        self.assertEqual(int(entries["/sizes/sparse"][0], 16) & 0x200, 0x200)
        self.assertEqual(int(entries["/sizes/packed/text"][0], 16) & 0x800, 0x800)
        self.assertEqual(entries["/sizes/sparse"][2:], [str(3 << 30), "0"])

        # Every link counts the file at the size it has now.
        links = [f for p, f in entries.items() if "/link " in p or p.endswith("/target")]
        links += [entries["/names/target elsewhere"]]
        self.assertEqual(len(links), 202)
        self.assertEqual({f[2] for f in links}, {str(grown)})

    def test_damage_fails_the_read(self):
        # Clusters smaller than a record: records span clusters.
        image = os.path.join(self.dir, "small.img")
        records = make_image(image, 4 << 20, populate_small, "-c", "512")
        self.assert_agrees(image)
        r = Records(image)
        ref_b = records["a/b"] | struct.unpack("<H", r.read(r.offset(records["a/b"]) + 0x10, 2))[0] << 48

        def damaged(name, change, failure):
            copy = os.path.join(self.dir, name)
            shutil.copyfile(image, copy)
            change(Records(copy))
            result = run([DUMP, copy])
            self.assertEqual(result.returncode, 1, name)
            self.assertEqual(result.stdout, "", name)
            self.assertIn(failure, result.stderr, name)

        file_name = 0x30
        damaged("torn.img", lambda r: r.patch(r.offset(records["a/f"]) + 510, b"\xEE\xEE"),
                "update sequence mismatch")
        # Torn only while a write is in progress: read again, it reads whole;
        # torn at every read, it fails as above.
        at = str(r.offset(records["a/f"]) + 510)
        self.assertEqual(run([DUMP, "--torn", at, "3", image]).stdout, run([DUMP, image]).stdout)
        result = run([DUMP, "--torn", at, "100", image])
        self.assertEqual((result.returncode, result.stderr), (1, "unreadable: update sequence mismatch\n"))
        # A file deleted after the bitmap was read, as on a live volume: its
        # record says free where the bitmap says in use. Read again, the two
        # agree and the read is whole; disagreeing at every read, refused.
        flags = str(r.offset(records["a/f"]) + 0x16)
        self.assertEqual(run([DUMP, "--torn", flags, "1", image]).stdout, run([DUMP, image]).stdout)
        result = run([DUMP, "--torn", flags, "100", image])
        self.assertEqual((result.returncode, result.stderr),
                         (1, "unreadable: a record the bitmap marks in use that is not\n"))
        # a's parent is made a/b: a loop that never reaches the root.
        damaged("loop.img", lambda r: r.patch(
            r.value(records["a"], file_name), struct.pack("<Q", ref_b)),
            "a loop of parent references")
        damaged("range.img", lambda r: r.patch(
            r.value(records["a/f"], file_name), struct.pack("<Q", 0xFFFFFF)),
            "a reference to a record out of range")
        # The file's data said to be non-resident: its sizes are not there.
        damaged("form.img", lambda r: r.patch(r.attribute(records["a/f"], 0x80) + 8, b"\1"),
                "unreadable: ")

        # What passed before, with wrong totals or a wrong tree: a file the
        # bitmap calls free, or not in use in its record; sizes no volume
        # holds; one name twice in a folder.
        def clear_bit(r):
            at, bit = r.bitmap_bit(records["a/f"])
            r.patch(at, bytes([r.read(at, 1)[0] & ~bit]))
        damaged("free.img", clear_bit, "a record in use that the bitmap marks free")
        damaged("unused.img", lambda r: r.patch(r.offset(records["a/big"]) + 0x16, b"\0"),
                "a record the bitmap marks in use that is not")
        damaged("huge.img", lambda r: r.patch(r.attribute(records["a/big"], 0x80) + 0x28,
                                              struct.pack("<QQQ", 1 << 62, 1 << 62, 1 << 62)),
                "a stream larger than the volume")
        damaged("twice.img", lambda r: r.patch(r.value(records["a/f"], file_name) + 0x42,
                                               "b".encode("utf-16-le")),
                "one name twice in a folder")


def busy_writer(mount):
    """Starts writing to the mounted volume as a busy drive is written:
    files made, grown, renamed and deleted in `busy`, one held open and
    growing all through. Returns the function that stops it and raises what
    the writer met, if anything."""
    stop = threading.Event()
    failed = []

    def work():
        try:
            os.makedirs(f"{mount}/busy", exist_ok=True)
            with open(f"{mount}/busy/growing.log", "ab") as held:
                for i in range(1_000_000):
                    if stop.is_set():
                        break
                    if held.tell() < 4 << 20:  # the volume is small
                        held.write(b"g" * 512)
                        held.flush()
                    with open(f"{mount}/busy/n{i}", "wb") as f:
                        f.write(b"n" * (i % 5000))
                    if i % 3 == 0:
                        os.rename(f"{mount}/busy/n{i}", f"{mount}/busy/r{i}")
                    if i >= 5:
                        for old in [f"{mount}/busy/n{i - 5}", f"{mount}/busy/r{i - 5}"]:
                            if os.path.exists(old):
                                os.unlink(old)
                    time.sleep(0.001)
        except OSError as e:
            failed.append(e)

    thread = threading.Thread(target=work)
    thread.start()

    def end():
        stop.set()
        thread.join()
        if failed:
            raise failed[0]
    return end


def populate_pieces(m):
    """A sparse file of 2,500 one-cluster pieces: its runs fill several
    extension records."""
    with open(f"{m}/pieces", "wb") as f:
        for i in range(2500):
            f.seek(i * 1024)
            f.write(b"x")


def shorten_later_headers(r):
    """Rewrites every later segment (lowest VCN > 0) of a sparse data
    stream with the short header, as another NTFS driver writes them: the
    runs moved up to 0x40 where the on-disk size would be. Returns how many."""
    count = 0
    for index in range(os.path.getsize(r.path) // r.size):
        if r.read(r.offset(index), 4) != b"FILE":
            continue
        data = r.unfixed(index)
        at, = struct.unpack_from("<H", data, 0x14)
        changed = False
        while at + 8 <= len(data):
            kind, length = struct.unpack_from("<II", data, at)
            if kind == 0xFFFFFFFF or length == 0:
                break
            flags, = struct.unpack_from("<H", data, at + 0x0C)
            lowest, = struct.unpack_from("<Q", data, at + 0x10)
            pairs, = struct.unpack_from("<H", data, at + 0x20)
            if kind == 0x80 and data[at + 8] == 1 and flags & 0x8000 and lowest > 0 and pairs == 0x48:
                data[at + 0x40:at + length] = data[at + 0x48:at + length] + bytes(8)
                struct.pack_into("<H", data, at + 0x20, 0x40)
                changed = True
            at += length
        if changed:
            r.write_fixed(index, data)
            count += 1
    return count


@unittest.skipUnless(can_mount(), "needs root, /dev/fuse and ntfs-3g")
class Layouts(unittest.TestCase):
    def test_later_segments_with_the_short_header_are_read(self):
        with tempfile.TemporaryDirectory() as d:
            image = os.path.join(d, "pieces.img")
            make_image(image, 8 << 20, populate_pieces, "-c", "512")
            self.assertIn("$ATTRIBUTE_LIST", ntfsinfo(image, "/pieces"))
            self.assertGreater(shorten_later_headers(Records(image)), 0)
            dump = run([DUMP, image])
            oracle = run([ORACLE, image])
            self.assertEqual((dump.returncode, dump.stderr), (0, ""))
            self.assertEqual(dump.stdout, oracle.stdout)
            self.assertIn("/pieces\t", dump.stdout)


@unittest.skipUnless(can_mount(), "needs root, /dev/fuse and ntfs-3g")
class Reports(unittest.TestCase):
    """The program's report of the tree the reader gives, against its
    report of the tree libntfs-3g enumerates (each folder's index, in
    order): totals, tree, verdicts and greens, byte for byte."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        cls.image = os.path.join(cls.dir, "report.img")
        make_image(cls.image, 64 << 20, populate_report)
        cls.lines = os.path.join(cls.dir, "oracle.txt")
        oracle = run([ORACLE, cls.image])
        assert (oracle.returncode, oracle.stderr) == (0, ""), oracle.stderr
        with open(cls.lines, "w") as f:
            f.write(oracle.stdout)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def report(self, *args):
        ours = run([REPORT, *args[:-1], self.image, args[-1]])
        theirs = run([REPORT, "--listed", *args[:-1], self.lines, args[-1]])
        self.assertEqual((ours.returncode, ours.stderr), (0, ""), args)
        self.assertEqual((theirs.returncode, theirs.stderr), (0, ""), args)
        self.assertEqual(ours.stdout, theirs.stdout, args)
        return ours.stdout

    def test_reports_equal_from_the_root_and_from_folders_below(self):
        whole = json.loads(self.report("--json", "--depth", "9", "/"))
        # What the comparison covers is there to compare.
        self.assertGreater(len(whole["greens"]), 2, whole["greens"])
        names = json.dumps(whole, ensure_ascii=False)
        for name in ['"Temp"', '"temp"', '"README"', '"ReadMe"', '"shared too"', '"junction"',
                     '"held"']:
            self.assertIn(name, names)
        self.assertNotIn("inside", names)  # nothing below a link or a skipped folder
        self.report("/")
        self.report("--depth", "0", "/work")
        for below in ["/work", "/work/temp", "/work/Temp", "/wide"]:
            self.report("--json", "--depth", "4", below)

    def test_the_self_check_passes_a_true_table_and_fails_a_changed_size(self):
        for below in ["/", "/work"]:
            self.assertEqual(run([REPORT, "--agree", self.image, self.lines, below]).returncode,
                             0, below)
        with open(self.lines) as f:
            lines = f.read().splitlines()
        changed = os.path.join(self.dir, "changed.txt")

        def agrees_with(sizes, below="/"):
            with open(changed, "w") as f:
                for line in lines:
                    fields = line.split("\t")
                    fields[3] = str(sizes.get(fields[0], fields[3]))
                    f.write("\t".join(fields) + "\n")
            return run([REPORT, "--agree", self.image, changed, below]).returncode

        self.assertEqual(agrees_with({"/folders/d10/f": 2}), 3)
        # The folders of /work come after the 70 in /folders, far past the
        # first ones in walk order: changes there are seen from the root too.
        late = {"/work/Temp/a": 7001, "/work/Temp/deeper/b": 1, "/work/temp/c": 1,
                "/work/cache/d": 1}
        self.assertEqual(agrees_with(late), 3)
        self.assertEqual(agrees_with({"/work/Temp/a": 7001}, "/work"), 3)

    def test_no_start_through_a_link_or_a_missing_name(self):
        for path in ["/reparse/junction", "/reparse/container", "/work/TEMP", "/work/readme"]:
            result = run([REPORT, self.image, path])
            self.assertEqual((result.returncode, result.stdout), (1, ""), path)


if __name__ == "__main__":
    DUMP, ORACLE, REPORT = sys.argv[1:4]
    del sys.argv[1:4]
    if not can_mount():
        print("skipped: needs root, /dev/fuse and ntfs-3g")
        sys.exit(SKIPPED)
    unittest.main()
