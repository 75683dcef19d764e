// The search over names and paths, made to run in slices: the parsing
// worker keeps a copy of the names and answers queries off the page's
// thread; where no worker can be made, the page runs the same steps a few
// milliseconds at a time, so a million entries never freeze it.
//
// An entry matches when the text occurs in its path and the occurrence
// reaches into its own name: "pkg-017" finds the folder pkg-017 and not
// each of the thousands of entries beneath it, while "pkg-017/cache" finds
// the cache folder inside it (and a name alone is found as a name).
const Search = (() => {
  "use strict";

  const CHUNK = 4096;  // entries per step

  // Whether node i's path ends in its name, compared as the report's bytes:
  // the name then needs no decoding of its own.
  function endsWithName(s, i) {
    const nameLen = s.nameLen[i];
    if (nameLen > s.pathLen[i] || (s.escaped[i] & Columns.NAME_ESCAPED) !== 0) return false;
    const path = s.pathAt[i] + s.pathLen[i] - nameLen;
    const name = s.nameAt[i];
    for (let k = 0; k < nameLen; ++k) if (s.text[path + k] !== s.text[name + k]) return false;
    return true;
  }

  // How many UTF-16 units the UTF-8 bytes[at, at + length) decode to.
  function utf16Length(bytes, at, length) {
    let units = 0;
    for (let p = at, stop = at + length; p < stop; ++p) {
      const b = bytes[p];
      if ((b & 0xc0) !== 0x80) units += b >= 0xf0 ? 2 : 1;
    }
    return units;
  }

  // What is searched: each node's path in lower case, and where its name
  // begins in it. Where the path does not end in the name (a report's paths
  // are not checked to), the name follows the path after a NUL. Made one
  // step at a time. `source` has the model's size, text, escaped, nameAt,
  // nameLen, pathAt and pathLen.
  class Index {
    constructor(source) {
      this.source = source;
      this.lower = new Array(source.size);
      this.nameStart = new Int32Array(source.size);
      this.made = 0;
    }

    get done() {
      return this.made === this.source.size;
    }

    text(at, length, escaped) {
      return Json.decode(this.source.text, at, at + length, escaped);
    }

    step() {
      const s = this.source;
      const stop = Math.min(s.size, this.made + CHUNK);
      for (let i = this.made; i < stop; ++i) {
        const path = this.text(s.pathAt[i], s.pathLen[i], s.escaped[i] & Columns.PATH_ESCAPED);
        let whole = path;
        let nameStart = path.length + 1;
        if (endsWithName(s, i)) nameStart = path.length - utf16Length(s.text, s.nameAt[i], s.nameLen[i]);
        else whole = `${path}\u0000${this.text(s.nameAt[i], s.nameLen[i], s.escaped[i] & Columns.NAME_ESCAPED)}`;
        const lower = whole.toLowerCase();
        // Lower case may change a length; then the name is found as a name.
        if (lower.length !== whole.length) nameStart = 0;
        this.lower[i] = lower;
        this.nameStart[i] = nameStart;
      }
      this.made = stop;
    }
  }

  // One query: how many nodes hold it, and the `limit` largest of them.
  class Query {
    constructor(index, bytes, text, limit) {
      this.index = index;
      this.text = text.toLowerCase();
      this.at = 0;
      this.found = 0;
      this.best = new TopN(limit, bytes);
    }

    get done() {
      return this.index.done && this.at === this.index.source.size;
    }

    step() {
      if (!this.index.done) {
        this.index.step();
        return;
      }
      const { lower, nameStart } = this.index;
      const query = this.text;
      const stop = Math.min(lower.length, this.at + CHUNK);
      for (let i = this.at; i < stop; ++i) {
        const at = lower[i].lastIndexOf(query);
        if (at === -1 || at + query.length <= nameStart[i]) continue;
        ++this.found;
        this.best.offer(i);
      }
      this.at = stop;
    }

    // Steps until done or `deadline` (performance.now()) passes; true when done.
    runUntil(deadline) {
      while (!this.done && performance.now() < deadline) this.step();
      return this.done;
    }

    result() {
      return { found: this.found, best: this.best.largest() };
    }
  }

  // What the worker keeps to search after the model has moved to the page;
  // `text` is the worker's own copy of the names' bytes.
  function copyOf(model, text) {
    return {
      size: model.size, text, escaped: model.escaped.slice(), nameAt: model.nameAt.slice(),
      nameLen: model.nameLen.slice(), pathAt: model.pathAt.slice(), pathLen: model.pathLen.slice(),
      bytes: model.bytes.slice(),
    };
  }

  return { Index, Query, copyOf };
})();
