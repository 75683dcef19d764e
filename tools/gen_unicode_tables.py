#!/usr/bin/env python3
"""Writes src/text/unicode_tables.inc from the Unicode Character Database.

Reads UnicodeData.txt, SpecialCasing.txt and PropList.txt (Debian's
unicode-data package installs them under /usr/share/unicode) and emits the
default full lower-case mapping and the White_Space set as compact C++
tables, so the build itself needs no UCD.

Usage: tools/gen_unicode_tables.py [UCD_DIR] [OUTPUT]
"""

import bisect
import os
import re
import sys

DEFAULT_UCD = "/usr/share/unicode"
DEFAULT_OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "text",
                           "unicode_tables.inc")


def data_lines(path):
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if line:
                yield [field.strip() for field in line.split(";")]


def read_version(ucd):
    # ReadMe.txt does not always carry the version; DerivedAge.txt's header does.
    for name in ("DerivedAge.txt", "PropList.txt"):
        path = os.path.join(ucd, name)
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                first = f.readline().strip()
            match = re.search(r"(\d+\.\d+\.\d+)", first)
            if match:
                return "Unicode " + match.group(1)
    return "unknown"


def simple_lower(ucd):
    mapping = {}
    for fields in data_lines(os.path.join(ucd, "UnicodeData.txt")):
        if len(fields) > 13 and fields[13]:
            mapping[int(fields[0], 16)] = (int(fields[13], 16),)
    return mapping


def unconditional_special_lower(ucd):
    # Rows with a fifth field carry a condition (Final_Sigma, More_Above, a
    # language tag such as tr, lt, az). They are skipped: only the
    # unconditional mappings are used, which keeps comparisons symmetric and
    # independent of context and locale.
    special = {}
    for fields in data_lines(os.path.join(ucd, "SpecialCasing.txt")):
        conditions = fields[4] if len(fields) > 4 else ""
        if conditions:
            continue
        cp = int(fields[0], 16)
        lower = tuple(int(x, 16) for x in fields[1].split())
        special[cp] = lower
    return special


def white_space(ucd):
    ranges = []
    for fields in data_lines(os.path.join(ucd, "PropList.txt")):
        if fields[1] != "White_Space":
            continue
        if ".." in fields[0]:
            lo, hi = (int(x, 16) for x in fields[0].split(".."))
        else:
            lo = hi = int(fields[0], 16)
        ranges.append((lo, hi))
    ranges.sort()
    merged = []
    for lo, hi in ranges:
        if merged and lo <= merged[-1][1] + 1:
            merged[-1] = (merged[-1][0], max(hi, merged[-1][1]))
        else:
            merged.append((lo, hi))
    return merged


def build_ranges(single):
    """Groups one-to-one mappings into runs (first, last, stride, delta).

    A run with stride 2 covers alternating code points; the ones in between
    must map to themselves, so runs never interleave and a lookup can binary
    search on `first`."""
    runs = []
    for cp in sorted(single):
        delta = single[cp] - cp
        if runs:
            first, last, stride, d = runs[-1]
            step = cp - last
            if d == delta and step == 1 and stride == 1:
                runs[-1] = (first, cp, 1, d)
                continue
            if (d == delta and step == 2 and (stride == 2 or first == last)
                    and (last + 1) not in single):
                runs[-1] = (first, cp, 2, d)
                continue
        runs.append((cp, cp, 1, delta))
    return runs


def check_runs(runs, single):
    """Replays the lookup the C++ side does over every code point."""
    firsts = [r[0] for r in runs]
    for cp in range(0x110000):
        i = bisect.bisect_right(firsts, cp) - 1
        got = cp
        if i >= 0:
            first, last, stride, delta = runs[i]
            if cp <= last and (cp - first) % stride == 0:
                got = cp + delta
        if got != single.get(cp, cp):
            sys.exit("run table disagrees at U+%04X" % cp)


def main():
    ucd = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_UCD
    out = sys.argv[2] if len(sys.argv) > 2 else DEFAULT_OUT

    lower = simple_lower(ucd)
    for cp, seq in unconditional_special_lower(ucd).items():
        if seq == (cp,):
            lower.pop(cp, None)
        else:
            lower[cp] = seq
    lower = {cp: seq for cp, seq in lower.items() if seq != (cp,)}

    single = {cp: seq[0] for cp, seq in lower.items() if len(seq) == 1}
    multi = {cp: seq for cp, seq in lower.items() if len(seq) > 1}

    # The matcher relies on these: lower-casing never creates nor removes a
    # backslash, and never yields a pattern metacharacter or a colon.
    for cp, seq in lower.items():
        for x in seq:
            if x in (0x5C, 0x2A, 0x3F, 0x3A):
                sys.exit("mapping of U+%04X yields a reserved character" % cp)
        if cp in (0x5C, 0x2A, 0x3F, 0x3A):
            sys.exit("reserved character U+%04X has a lower-case mapping" % cp)
    max_len = max(len(seq) for seq in lower.values())
    if max_len > 3:
        sys.exit("a lower-case mapping is longer than 3 code points")

    runs = build_ranges(single)
    check_runs(runs, single)
    spaces = white_space(ucd)

    lines = []
    lines.append("// Generated by tools/gen_unicode_tables.py from the Unicode Character")
    lines.append("// Database (%s). Do not edit by hand." % read_version(ucd))
    lines.append("//")
    lines.append("// Default full lower-case mapping: UnicodeData.txt field 13, overridden")
    lines.append("// by the unconditional rows of SpecialCasing.txt. Conditional and")
    lines.append("// language-specific rows (Final_Sigma, tr, lt, az, ...) are left out on")
    lines.append("// purpose so that the mapping of a character never depends on its")
    lines.append("// neighbours or a locale, which keeps comparisons symmetric.")
    lines.append("")
    lines.append("// One-to-one mappings as runs: a code point c with first <= c <= last and")
    lines.append("// (c - first) % stride == 0 maps to c + delta. Sorted by `first`, disjoint.")
    lines.append("inline constexpr LowerRun LOWER_RUNS[] = {")
    for first, last, stride, delta in runs:
        lines.append("    {0x%04X, 0x%04X, %d, %d}," % (first, last, stride, delta))
    lines.append("};")
    lines.append("")
    lines.append("// Mappings to more than one code point. Sorted by `from`.")
    lines.append("inline constexpr LowerMulti LOWER_MULTI[] = {")
    for cp in sorted(multi):
        seq = list(multi[cp]) + [0] * (3 - len(multi[cp]))
        lines.append("    {0x%04X, %d, {0x%04X, 0x%04X, 0x%04X}}," % (cp, len(multi[cp]), *seq))
    lines.append("};")
    lines.append("")
    lines.append("// White_Space (PropList.txt) as inclusive ranges, sorted.")
    lines.append("inline constexpr CodeRange WHITE_SPACE[] = {")
    for lo, hi in spaces:
        lines.append("    {0x%04X, 0x%04X}," % (lo, hi))
    lines.append("};")
    lines.append("")

    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines))
    print("%s: %d runs, %d multi, %d space ranges" % (out, len(runs), len(multi), len(spaces)))


if __name__ == "__main__":
    main()
