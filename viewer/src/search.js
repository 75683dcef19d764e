// The search over names and paths, made to run in slices: the parsing
// worker keeps a copy of the names and answers queries off the page's
// thread; where no worker can be made, the page runs the same steps a few
// milliseconds at a time, so a million entries never freeze it.
const Search = (() => {
  "use strict";

  const CHUNK = 4096;  // entries per step
  const decoder = new TextDecoder();

  // Whether node i's path ends in its name, compared as bytes: the name then
  // needs no decoding of its own.
  function endsWithName(s, i) {
    const nameLen = s.nameLen[i];
    if (nameLen > s.pathLen[i]) return false;
    const path = s.pathAt[i] + s.pathLen[i] - nameLen;
    const name = s.nameAt[i];
    for (let k = 0; k < nameLen; ++k) if (s.text[path + k] !== s.text[name + k]) return false;
    return true;
  }

  // What is searched: each node's path in lower case, followed by its name
  // after a NUL where the path does not end in it (a report's paths are not
  // checked to). Made on the first query, one step at a time. `source` has
  // the model's size, text, nameAt, nameLen, pathAt and pathLen.
  class Index {
    constructor(source) {
      this.source = source;
      this.lower = new Array(source.size);
      this.made = 0;
    }

    get done() {
      return this.made === this.source.size;
    }

    step() {
      const s = this.source;
      const bytes = s.text;
      const text = (at, length) => decoder.decode(bytes.subarray(at, at + length));
      const stop = Math.min(s.size, this.made + CHUNK);
      for (let i = this.made; i < stop; ++i) {
        const path = text(s.pathAt[i], s.pathLen[i]);
        this.lower[i] = (endsWithName(s, i) ? path : `${path}\u0000${text(s.nameAt[i], s.nameLen[i])}`).toLowerCase();
      }
      this.made = stop;
    }
  }

  // One query: how many nodes hold it, and the `limit` largest of them.
  class Query {
    constructor(index, bytes, text, limit) {
      this.index = index;
      this.bytes = bytes;
      this.text = text.toLowerCase();
      this.limit = limit;
      this.at = 0;
      this.found = 0;
      this.best = [];  // ascending by bytes
    }

    get done() {
      return this.index.done && this.at === this.index.source.size;
    }

    step() {
      if (!this.index.done) {
        this.index.step();
        return;
      }
      const { lower } = this.index;
      const { bytes, best, limit } = this;
      const stop = Math.min(lower.length, this.at + CHUNK);
      for (let i = this.at; i < stop; ++i) {
        if (!lower[i].includes(this.text)) continue;
        ++this.found;
        const b = bytes[i];
        if (best.length === limit) {
          if (b <= bytes[best[0]]) continue;
          best.shift();
        }
        let at = best.length;
        while (at > 0 && bytes[best[at - 1]] > b) --at;
        best.splice(at, 0, i);
      }
      this.at = stop;
    }

    // Steps until done or `deadline` (performance.now()) passes; true when done.
    runUntil(deadline) {
      while (!this.done && performance.now() < deadline) this.step();
      return this.done;
    }

    result() {
      return { found: this.found, best: this.best.slice().reverse() };
    }
  }

  // What the worker keeps to search after the model has moved to the page.
  function copyOf(model) {
    return {
      size: model.size, text: model.text.slice(), nameAt: model.nameAt.slice(), nameLen: model.nameLen.slice(),
      pathAt: model.pathAt.slice(), pathLen: model.pathLen.slice(), bytes: model.bytes.slice(),
    };
  }

  return { Index, Query, copyOf };
})();
