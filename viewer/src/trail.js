// The paths of a report's open folders as they are spelt. Nearly every path
// the program writes is its parent's, the separator and its own name: an
// entry's path is checked against its parent's here and then kept as a
// flag, not as bytes. A folder's path goes on after its parent's, which
// stays for the folder's brothers. Depths are the reader's.
class Trail {
  constructor() {
    this.bytes = new Uint8Array(4096);
    this.from = new Int32Array(64);  // a folder's path is bytes[from, to), from -1 when not known
    this.to = new Int32Array(64);
    this.end = new Int32Array(64);   // where the trail in use under the folder ends
    this.separator = null;           // as spelt; until it is known, nothing is joined
  }

  // The separator of the report whose path is `path`.
  separate(path) {
    this.separator = Groups.separatorOf(path) === "/" ? Trail.SLASH : Trail.BACKSLASH;
  }

  // How bytes[start, stop) is spelt from the path of the folder at depth p
  // and the name text[at, at + length): with the separator between them
  // (PATH_JOINED), without it after a path that ends in it (PATH_APPENDED),
  // or not at all (0).
  joined(p, bytes, start, stop, text, at, length) {
    const sep = this.separator;
    const from = this.from[p];
    if (sep === null || from < 0) return 0;
    const to = this.to[p];
    const trail = this.bytes;
    if (stop - start < to - from) return 0;
    for (let k = from; k < to; ++k) if (bytes[start + k - from] !== trail[k]) return 0;
    let q = start + to - from;
    let how = Columns.PATH_APPENDED;
    if (!Trail.endsWith(trail, from, to, sep)) {
      if (stop - q < sep.length) return 0;
      for (let k = 0; k < sep.length; ++k) if (bytes[q + k] !== sep[k]) return 0;
      q += sep.length;
      how = Columns.PATH_JOINED;
    }
    if (stop - q !== length) return 0;
    for (let k = 0; k < length; ++k) if (bytes[q + k] !== text[at + k]) return 0;
    return how;
  }

  // The folder at depth d opens, under the folder at depth p (-1: none).
  // Its path is made as `how` says from its parent's and its name,
  // text[at, at + length), or is spelt there whole (how 0); at is -1 when
  // the folder has no path yet.
  place(d, p, how, text, at, length) {
    if (d >= this.from.length) this.deeper(d);
    const base = p >= 0 ? this.end[p] : 0;
    this.from[d] = -1;
    this.end[d] = base;
    if (at < 0 || (how && this.from[p] < 0)) return;
    const sep = how === Columns.PATH_JOINED ? this.separator : Trail.NONE;
    const to = base + sep.length + length;
    if (to > Trail.CAP) return;
    if (to > this.bytes.length) {
      const bigger = new Uint8Array(Math.max(to, this.bytes.length * 2));
      bigger.set(this.bytes.subarray(0, base));
      this.bytes = bigger;
    }
    this.bytes.set(sep, base);
    this.bytes.set(text.subarray(at, at + length), base + sep.length);
    this.from[d] = how ? this.from[p] : base;
    this.to[d] = to;
    this.end[d] = to;
  }

  deeper(d) {
    for (const name of ["from", "to", "end"]) {
      const bigger = new Int32Array(Math.max(d + 1, this[name].length * 2));
      bigger.set(this[name]);
      this[name] = bigger;
    }
  }

  static endsWith(bytes, from, to, tail) {
    if (to - from < tail.length) return false;
    for (let k = 0; k < tail.length; ++k) if (bytes[to - tail.length + k] !== tail[k]) return false;
    return true;
  }
}
Trail.SLASH = Uint8Array.of(0x2f);
Trail.BACKSLASH = Uint8Array.of(0x5c, 0x5c);
Trail.NONE = new Uint8Array(0);
// The most bytes the paths of one line of folders may take before their
// entries' paths are simply kept as spelt.
Trail.CAP = 1 << 26;
