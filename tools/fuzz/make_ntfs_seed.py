"""make_ntfs_seed.py OUT: a small NTFS volume in the input form of
fuzz_ntfs (blocks of 4096 bytes, each after its little-endian block number;
blocks of zeros left out, and those of 0xFF, as the empty log file is).
Made with mkntfs and, where an ntfs-3g mount works (root, /dev/fuse),
filled with what exercises the reader: hard links enough for an attribute
list, named streams, reparse points, sparse, compressed and deleted files."""

import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "../../src/ntfs/testing"))
import image_test  # noqa: E402  (the tests' image helpers)

BLOCK = 4096


def populate(m):
    t = image_test
    os.mkdir(f"{m}/d")
    t.touch(f"{m}/d/file", b"x" * 3000)
    for i in range(12):
        os.link(f"{m}/d/file", f"{m}/d/link {i} " + "n" * 60)
    t.touch(f"{m}/d/Streams")
    for i in range(20):
        os.setxattr(f"{m}/d/Streams", f"user.s{i}", b"v" * 60)
    os.mkdir(f"{m}/j")
    t.reparse(f"{m}/j", t.MOUNT_POINT, t.link_body("\\??\\C:\\x"))
    t.touch(f"{m}/cloud", b"c" * 100)
    t.reparse(f"{m}/cloud", t.CLOUD, b"p" * 2000)
    with open(f"{m}/sparse", "wb") as f:
        f.truncate(1 << 30)
    os.mkdir(f"{m}/packed")
    t.set_attributes(f"{m}/packed", 0x800)
    t.touch(f"{m}/packed/text", b"abc" * 10000)
    t.touch(f"{m}/gone", b"g")
    os.unlink(f"{m}/gone")


def main(out):
    with tempfile.TemporaryDirectory() as scratch:
        image = os.path.join(scratch, "seed.img")
        if image_test.can_mount():
            image_test.make_image(image, 4 << 20, populate)
        else:
            with open(image, "wb") as f:
                f.truncate(4 << 20)
            subprocess.run([image_test.MKNTFS, "-F", "-f", "-q", image], check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(image, "rb") as f, open(out, "wb") as seed:
            for index, block in enumerate(iter(lambda: f.read(BLOCK), b"")):
                if block.strip(b"\0") and block.strip(b"\xff"):
                    seed.write(struct.pack("<I", index) + block)


if __name__ == "__main__":
    main(sys.argv[1])
