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

  // What is searched: each node's name in lower case (a root without one,
  // its path), made one step at a time; paths are decoded only for a query
  // that holds the separator. `source` has the model's size, separator,
  // joinedWith, text, escaped, nameAt, nameLen, pathAt, pathLen and parent.
  class Index {
    constructor(source) {
      this.source = source;
      this.lower = new Array(source.size);
      this.made = 0;
    }

    get done() {
      return this.made === this.source.size;
    }

    path(i) {
      const s = this.source;
      if (!this.paths) {
        this.paths = new Array(s.size);
        this.spelt = (k) => Json.decode(s.text, s.pathAt[k], s.pathAt[k] + s.pathLen[k], s.escaped[k] & Columns.PATH_ESCAPED);
        this.name = (k) => Json.decode(s.text, s.nameAt[k], s.nameAt[k] + s.nameLen[k], s.escaped[k] & Columns.NAME_ESCAPED);
      }
      return Columns.pathOf(s, i, this.paths, this.spelt, this.name, s.joinedWith);
    }

    step() {
      const s = this.source;
      const stop = Math.min(s.size, this.made + CHUNK);
      for (let i = this.made; i < stop; ++i) {
        const at = s.nameAt[i];
        const name = Json.decode(s.text, at, at + s.nameLen[i], s.escaped[i] & Columns.NAME_ESCAPED);
        this.lower[i] = (name || this.path(i)).toLowerCase();
      }
      this.made = stop;
    }
  }

  // One query: how many nodes hold it, and the `limit` largest of them.
  class Query {
    constructor(index, bytes, text, limit) {
      this.index = index;
      this.text = text.toLowerCase();
      // A name holds no separator, so a text that does must end in the
      // entry's name: what follows its last separator begins the name.
      const cut = this.text.lastIndexOf(index.source.separator);
      this.tail = cut === -1 ? null : this.text.slice(cut + 1);
      this.at = 0;
      this.found = 0;
      this.best = new TopN(limit, bytes);
    }

    get done() {
      return this.index.done && this.at === this.index.source.size;
    }

    matches(i) {
      const name = this.index.lower[i];
      if (this.tail === null) return name.includes(this.text);
      if (this.tail === "" || !name.startsWith(this.tail)) return false;
      const path = this.index.path(i).toLowerCase();
      const nameStart = path.endsWith(name) ? path.length - name.length : path.length;
      return path.slice(0, nameStart + this.tail.length).endsWith(this.text);
    }

    step() {
      if (!this.index.done) {
        this.index.step();
        return;
      }
      const stop = Math.min(this.index.source.size, this.at + CHUNK);
      for (let i = this.at; i < stop; ++i) {
        if (!this.matches(i)) continue;
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

  // The columns the worker searches besides the names' bytes: after the
  // model has moved to the page, the page hands it back copies of these.
  const COLUMNS = ["escaped", "nameAt", "nameLen", "pathAt", "pathLen", "parent", "bytes"];

  return { Index, Query, COLUMNS };
})();
