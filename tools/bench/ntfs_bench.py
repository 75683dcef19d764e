"""How fast the NTFS table reader reads a table of 1,000,000 records, against
`dd` of the same image file (the floor: the cost of getting the bytes at
all), warm; and what the table it keeps costs per record.

  tools/bench/ntfs_bench.py [--records N] [--runs R] [--other NTFS_DUMP]

--other names another build of ntfs_dump (another branch's, say), timed in
the same rounds, so that both see the same load.

As root (the image is filled through an ntfs-3g mount; tools/install-deps.sh
installs ntfs-3g). BENCH_NICE=-10 runs the timed commands at that nice
value in a scheduling group of their own, as tools/bench/run.sh does. The image is made once under $BENCH_DIR (default
/tmp/oskra-bench) and reused while its stamp matches; folders of 1,000
files each. Needs build/release/src/ntfs/ntfs_dump (built here if missing).
Not a test: it prints figures."""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from measure import raise_priority  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "../.."))
DUMP = os.path.join(ROOT, "build/release/src/ntfs/ntfs_dump")
GENERATOR = "1"  # bump when the image's contents change


def make_image(path, records):
    stamp = f"{records} {GENERATOR}\n"
    if os.path.exists(path) and open(path + ".stamp").read() == stamp:
        return
    print(f"making {path} ({records:,} files; a few minutes)", file=sys.stderr)
    with open(path, "wb") as f:
        f.truncate(records * 1536 + (512 << 20))
    subprocess.run([shutil.which("mkntfs") or "/usr/sbin/mkntfs", "-F", "-f", "-q", path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    mount = path + ".mnt"
    os.makedirs(mount, exist_ok=True)
    subprocess.run(["ntfs-3g", path, mount], check=True)
    try:
        for folder in range((records + 999) // 1000):
            os.mkdir(f"{mount}/folder {folder:04}")
            for i in range(min(1000, records - folder * 1000)):
                name = f"{mount}/folder {folder:04}/document {i:03} of the folder.txt"
                os.close(os.open(name, os.O_CREAT | os.O_WRONLY))
    finally:
        subprocess.run(["umount", mount], check=True)
        os.rmdir(mount)
    with open(path + ".stamp", "w") as f:
        f.write(stamp)


def timed(command):
    """Wall seconds, CPU seconds, peak RSS in bytes, and the output of one
    run."""
    start = time.monotonic()
    proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    if status != 0:
        sys.exit(f"{command} failed")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss * 1024, out.decode()


def record_size(image):
    with open(image, "rb") as f:
        boot = f.read(512)
    sector, = struct.unpack_from("<H", boot, 0x0B)
    per_record, = struct.unpack_from("<b", boot, 0x40)
    return per_record * sector * boot[0x0D] if per_record > 0 else 1 << -per_record


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--other", help="another ntfs_dump, timed in the same rounds")
    args = parser.parse_args()
    if not os.path.exists(DUMP):
        subprocess.run(["cmake", "-S", ROOT, "-B", os.path.join(ROOT, "build/release"), "-G",
                        "Ninja", "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", os.path.join(ROOT, "build/release"), "--target",
                        "ntfs_dump"], check=True)
    bench = os.environ.get("BENCH_DIR", "/tmp/oskra-bench")
    os.makedirs(bench, exist_ok=True)
    image = os.path.join(bench, f"ntfs-{args.records}.img")
    make_image(image, args.records)

    priority = "priority unchanged"
    if os.environ.get("BENCH_NICE"):
        priority = raise_priority(int(os.environ["BENCH_NICE"]))
    dd = ["dd", f"if={image}", "of=/dev/null", "bs=1M"]
    readers = [("reader", DUMP)] + ([("other", args.other)] if args.other else [])
    for command in [dd] + [[path, "--stats", image] for _, path in readers]:  # warm the cache
        timed(command)
    floor, floor_cpu = [], []
    found = {name: {"wall": [], "cpu": [], "inside": [], "rss": []} for name, _ in readers}
    for _ in range(args.runs):  # interleaved, so all see the same machine
        seconds, used, _, _ = timed(dd)
        floor.append(seconds)
        floor_cpu.append(used)
        for name, path in readers:
            seconds, used, peak, out = timed([path, "--stats", image])
            stats = dict(line.split(" ", 1) for line in out.splitlines())
            f = found[name]
            f["wall"].append(seconds)
            f["cpu"].append(used)
            f["inside"].append(float(stats["seconds"]))
            f["rss"].append(peak)
            f["stats"] = stats

    stats = found["reader"]["stats"]
    records = int(stats["records"])
    table_bytes = records * record_size(image)
    image_bytes = os.path.getsize(image)
    median = statistics.median
    print(f"image {image_bytes / 2**20:,.0f} MiB, table {records:,} records "
          f"({table_bytes / 2**20:,.0f} MiB); median of {args.runs} warm runs; "
          f"load {os.getloadavg()[0]:.2f}; {priority}")
    print("| what | wall s | rate MiB/s | x floor | CPU s | CPU rate MiB/s | x floor |")
    print("|---|---|---|---|---|---|---|")
    rows = [("dd of the image (floor)", image_bytes, median(floor), median(floor_cpu))]
    for name, _ in readers:
        f = found[name]
        rows += [(f"{name}: read_table", table_bytes, median(f["inside"]), median(f["cpu"])),
                 (f"{name}: whole process", table_bytes, median(f["wall"]), median(f["cpu"]))]
    floor_rate = image_bytes / median(floor)
    floor_cpu_rate = image_bytes / median(floor_cpu)
    for what, size, seconds, used in rows:
        print(f"| {what} | {seconds:.3f} | {size / seconds / 2**20:,.0f} | "
              f"{size / seconds / floor_rate:.2f} | {used:.3f} | {size / used / 2**20:,.0f} | "
              f"{size / used / floor_cpu_rate:.2f} |")
    for name, _ in readers:
        stats = found[name]["stats"]
        rss = median(found[name]["rss"])
        held = int(stats["memory"])
        beside = held - int(stats["names"])
        print(f"{name}: table held {held / 2**20:.1f} MiB, {beside / records:.1f} B per record "
              f"beside the names ({(held - beside) / 2**20:.1f} MiB); peak RSS "
              f"{rss / 2**20:.1f} MiB = {rss / records:.1f} B per record")


if __name__ == "__main__":
    main()
