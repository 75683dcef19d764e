// Where a scan's entries live: one row per entry across typed arrays that
// grow together, and the bytes of their names and paths one after another.
// No object per entry, so a million entries cost a few dozen bytes each and
// the arrays move between threads without a copy.
class Columns {
  constructor(capacity = 1024) {
    this.size = 0;
    this.allocate(Math.max(16, capacity));
  }

  allocate(capacity) {
    const old = this.parent ? this : null;
    const make = (Type, name) => {
      const array = new Type(capacity);
      if (old) array.set(old[name].subarray(0, this.size));
      return array;
    };
    this.parent = make(Int32Array, "parent");
    this.bytes = make(Float64Array, "bytes");
    this.files = make(Float64Array, "files");
    this.dirs = make(Float64Array, "dirs");
    this.mark = make(Int32Array, "mark");         // index into the verdicts, -1 for none
    this.nameAt = make(Uint32Array, "nameAt");    // into the text bytes
    this.nameLen = make(Uint32Array, "nameLen");
    this.pathAt = make(Uint32Array, "pathAt");
    this.pathLen = make(Uint32Array, "pathLen");
    this.escaped = make(Uint8Array, "escaped");   // the flags below: how its texts are kept, DENIED
    this.capacity = capacity;
  }

  // A new row under `parent` (-1 for the root); returns its index.
  add(parent) {
    if (this.size === this.capacity) this.allocate(this.capacity * 2);
    const i = this.size++;
    this.parent[i] = parent;
    this.mark[i] = -1;
    return i;
  }

  // The columns cut to their rows, by name: views, not copies (a view
  // keeps its bounds when its buffer moves to another thread).
  trimmed() {
    const n = this.size;
    const out = { size: n };
    for (const name of Columns.NAMES) out[name] = this[name].subarray(0, n);
    return out;
  }
}
Columns.NAMES = ["parent", "bytes", "files", "dirs", "mark", "nameAt", "nameLen", "pathAt", "pathLen", "escaped"];
Columns.NAME_ESCAPED = 1;
Columns.PATH_ESCAPED = 2;
// A path kept as a flag, not as bytes: its parent's, then the separator
// (JOINED) or nothing (APPENDED, after a path that ends in it), then its name.
Columns.PATH_JOINED = 4;
Columns.PATH_APPENDED = 8;
// A folder that could not be opened or read to the end: its size is a lower bound.
Columns.DENIED = 16;

// Node i's path as text. `known` holds the paths made so far and is filled
// on the way; `spelt(k)` decodes a path kept as bytes, `nameOf(k)` a name.
// Walks up to the nearest path known or spelt, never by recursion: a
// report may be 100,000 levels deep.
Columns.pathOf = (columns, i, known, spelt, nameOf, separator) => {
  const joins = Columns.PATH_JOINED | Columns.PATH_APPENDED;
  const below = [];
  let k = i;
  while (known[k] === undefined && columns.escaped[k] & joins) {
    below.push(k);
    k = columns.parent[k];
  }
  let path = known[k];
  if (path === undefined) path = known[k] = spelt(k);
  for (let j = below.length - 1; j >= 0; --j) {
    const n = below[j];
    path = (columns.escaped[n] & Columns.PATH_JOINED ? path + separator : path) + nameOf(n);
    known[n] = path;
  }
  return path;
};

// Bytes appended one run after another, in a buffer that doubles.
class ByteStore {
  constructor(capacity = 1024) {
    this.data = new Uint8Array(Math.max(16, capacity));
    this.length = 0;
  }

  // Appends bytes[start, stop); returns where they begin.
  append(bytes, start, stop) {
    const n = stop - start;
    const at = this.length;
    if (at + n > this.data.length) this.reserve(n);
    const data = this.data;
    // A run as short as a path is copied faster by hand than through a
    // view, which is an object made per call.
    if (n < 512) {
      for (let k = 0; k < n; ++k) data[at + k] = bytes[start + k];
    } else {
      data.set(bytes.subarray(start, stop), at);
    }
    this.length = at + n;
    return at;
  }

  reserve(more) {
    let size = this.data.length * 2;
    while (size < this.length + more) size *= 2;
    const bigger = new Uint8Array(size);
    bigger.set(this.data.subarray(0, this.length));
    this.data = bigger;
  }

  // The bytes held, without the spare room (a view, not a copy).
  view() {
    return this.data.subarray(0, this.length);
  }
}
