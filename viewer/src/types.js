// The current folder's files by type: bytes and count per extension, of
// the files the scan holds (a folder at the scan's depth has its files in
// its totals only). Choosing a type marks its tiles.
const Types = (() => {
  "use strict";

  const SHOWN = 15;
  const PAINTED = 8;      // types with a colour of their own in the treemap
  const NONE = "";        // a name without an extension
  const MAX_EXT = 16;     // longer "extensions" are names with a dot
  const CACHED = 8;
  const SLICE_MS = 12;    // the most one step of a breakdown holds the page
  const decoder = new TextDecoder();

  // The lower-case extension of node i's name, read from its UTF-8 bytes:
  // after the last dot, when the dot neither starts nor ends the name.
  function extensionOf(m, i) {
    // A name the report spelt with escapes is read as text.
    if (m.escaped[i] & Columns.NAME_ESCAPED) return extensionOfText(m.name(i));
    const at = m.nameAt[i];
    const end = at + m.nameLen[i];
    const text = m.text;
    let dot = end - 1;
    while (dot > at && text[dot] !== 0x2e) --dot;
    if (dot <= at || dot === end - 1 || end - dot - 1 > MAX_EXT) return NONE;
    let ascii = "";
    for (let k = dot + 1; k < end; ++k) {
      if (text[k] >= 0x80) return decoder.decode(text.subarray(dot + 1, end)).toLowerCase();
      ascii += String.fromCharCode(text[k]);
    }
    return ascii.toLowerCase();
  }

  function extensionOfText(name) {
    const dot = name.lastIndexOf(".");
    if (dot <= 0 || dot === name.length - 1 || name.length - dot - 1 > MAX_EXT) return NONE;
    return name.slice(dot + 1).toLowerCase();
  }

  // Every file node beneath node i (i itself when it is a file), without
  // recursion: {types: [{ext, bytes, files}] largest first, bytes, files}.
  // `typeOf` gives a file node's extension. Walked a slice at a time: a
  // million files took the page 300 ms.
  class Walk {
    constructor(m, i, typeOf = (n) => extensionOf(m, n)) {
      this.m = m;
      this.typeOf = typeOf;
      this.stack = [i];
      this.found = new Map();
      this.bytes = 0;
      this.files = 0;
      this.result = null;
    }

    // Walks on until done (true) or `deadline` (performance.now()) passes.
    step(deadline) {
      const { m, stack, found } = this;
      let steps = 0;
      while (stack.length) {
        if ((++steps & 1023) === 0 && performance.now() > deadline) return false;
        const n = stack.pop();
        if (m.dirs[n] > 0) {
          for (let k = m.first[n], stop = k + m.count[n]; k < stop; ++k) stack.push(m.kids[k]);
          continue;
        }
        const ext = this.typeOf(n);
        const entry = found.get(ext);
        if (entry) {
          entry.bytes += m.bytes[n];
          ++entry.files;
        } else found.set(ext, { ext, bytes: m.bytes[n], files: 1 });
        this.bytes += m.bytes[n];
        ++this.files;
      }
      const types = [...found.values()].sort((a, b) => b.bytes - a.bytes || b.files - a.files || (a.ext < b.ext ? -1 : 1));
      this.result = { types, bytes: this.bytes, files: this.files };
      return true;
    }
  }

  function breakdown(m, i, typeOf) {
    const walk = new Walk(m, i, typeOf);
    walk.step(Infinity);
    return walk.result;
  }

  // The number of the type holding the most bytes of the files beneath
  // folder i, or -1 when the scan holds none there; `typeOf` numbers a file
  // node's type, `sums` has room for every number. The folders drawn
  // without their contents are apart, so one drawing walks the folder at
  // most once.
  function dominant(m, i, typeOf, sums) {
    const seen = [];
    let best = -1;
    const stack = [i];
    while (stack.length) {
      const n = stack.pop();
      if (m.dirs[n] > 0) {
        for (let k = m.first[n], stop = k + m.count[n]; k < stop; ++k) stack.push(m.kids[k]);
        continue;
      }
      const type = typeOf(n);
      if (sums[type] === 0) seen.push(type);
      sums[type] += m.bytes[n];
      if (best === -1 || sums[type] > sums[best]) best = type;
    }
    for (const type of seen) sums[type] = 0;
    return best;
  }

  // The top SHOWN types and the rest as one.
  function top(result) {
    const shown = result.types.slice(0, SHOWN);
    const rest = result.types.slice(SHOWN);
    if (rest.length === 0) return { shown, other: null };
    const other = { bytes: 0, files: 0, kinds: rest.length };
    for (const r of rest) {
      other.bytes += r.bytes;
      other.files += r.files;
    }
    return { shown, other };
  }

  const { h } = Dom;

  class Types {
    constructor(c) {
      this.c = c;
      this.cache = new Map();  // node -> breakdown, for the last few folders
      this.dominants = new Map();  // folder -> the number of its dominant type, as painted
      this.typeIds = null;         // node -> the number of its type, -1 until worked out
      this.typeNames = [];         // number -> extension
      this.typeNumbers = new Map();
      this.model = null;       // whose breakdowns the cache holds
      this.timer = 0;
      this.seen = false;   // the panel is on screen, or nearly
      this.stale = false;  // the folder changed while it was not
      this.painting = false;  // the treemap is coloured by type, not by verdict
      // A million files take a moment to sort into types: only for a
      // panel someone can see, and after the map and the list.
      new IntersectionObserver((entries) => {
        this.seen = entries.some((entry) => entry.isIntersecting);
        if (this.seen && this.stale) this.render();
      }, { rootMargin: "200px" }).observe(c.ui.types);
      c.ui.types.addEventListener("click", (event) => {
        const button = event.target.closest("button.ext");
        if (button) this.choose(button.dataset.ext);
      });
      this.paintBox = document.getElementById("paint");
      this.paintBox.addEventListener("click", (event) => {
        const button = event.target.closest("button[data-paint]");
        if (button) this.paint(button.dataset.paint === "types");
      });
      this.paint(false);
    }

    paint(byType) {
      this.painting = byType;
      for (const button of this.paintBox.querySelectorAll("button[data-paint]")) {
        button.setAttribute("aria-pressed", String((button.dataset.paint === "types") === byType));
      }
      this.paintBox.parentElement.dataset.paint = byType ? "types" : "verdict";
      if (this.c.app.model) this.c.renderMap();
    }

    // For a drawing of the treemap: null when it is coloured by verdict,
    // else the class of a tile by type, given its node and whether its
    // contents are drawn inside it. The current folder's top types get a
    // colour each and the legend says which; the rest are grey.
    painter() {
      if (!this.painting) return null;
      const { app, t } = this.c;
      const c = this.c;
      const m = app.model;
      // Asked for by a person: the breakdown whole now, not a slice.
      const top = this.of(app.current, true).types.slice(0, PAINTED);
      // By type number: a type the breakdown saw has one.
      const colour = new Map(top.map((r, k) => [this.typeNumbers.get(r.ext), k]));
      const typeOf = (n) => this.typeOf(n);
      const sums = new Float64Array(this.typeNames.length + 1);
      const chip = (k, text) => h("li", { class: `p-${k}` }, h("span", { class: "chip", text }));
      document.getElementById("type-legend").replaceChildren(
        ...top.map((r, k) => chip(k, `${r.ext === NONE ? t("noExtension") : `.${c.shown(r.ext)}`} ${c.size(r.bytes)}`)),
        chip("rest", t("paintRest")));
      // A drawing walks its folders' files once; the next, on a resize or
      // a click, not again.
      const mostly = (node) => {
        if (!this.dominants.has(node)) this.dominants.set(node, dominant(m, node, typeOf, sums));
        return this.dominants.get(node);
      };
      return (node, nested) => {
        if (nested) return "p-box";
        const k = colour.get(m.dirs[node] > 0 ? mostly(node) : typeOf(node));
        return k === undefined ? "p-rest" : `p-${k}`;
      };
    }

    // Node i's breakdown, or null while it is walked a slice at a time (a
    // draw of the panel follows); `whole`, walked to the end now.
    of(i, whole = false) {
      const m = this.c.app.model;
      if (this.model !== m) {
        this.cache.clear();
        this.dominants.clear();
        this.typeIds = null;
        this.typeNames = [];
        this.typeNumbers.clear();
        this.model = m;
        this.walk = null;
      }
      const result = this.cache.get(i);
      if (result) return result;
      if (!this.walk || this.walk.node !== i) {
        this.walk = new Walk(m, i, (n) => this.typeNames[this.typeOf(n)]);
        this.walk.node = i;
      }
      if (!this.walk.step(whole ? Infinity : performance.now() + SLICE_MS)) {
        clearTimeout(this.timer);
        this.timer = setTimeout(() => this.draw(), 0);
        return null;
      }
      const done = this.walk.result;
      this.walk = null;
      if (this.cache.size >= CACHED) this.cache.clear();
      this.cache.set(i, done);
      return done;
    }

    // The number of file node n's type: its extension is read from the scan
    // once, however many drawings and breakdowns ask.
    typeOf(n) {
      const m = this.model;
      if (this.typeIds === null) this.typeIds = new Int32Array(m.size).fill(-1);
      let type = this.typeIds[n];
      if (type === -1) {
        const ext = extensionOf(m, n);
        type = this.typeNumbers.get(ext);
        if (type === undefined) {
          type = this.typeNames.length;
          this.typeNames.push(ext);
          this.typeNumbers.set(ext, type);
        }
        this.typeIds[n] = type;
      }
      return type;
    }

    line(label, r, total, ext) {
      const { app, t } = this.c;
      const bar = h("span", { class: "bar" });
      bar.style.width = `${total > 0 ? (r.bytes / total) * 100 : 0}%`;
      const name = ext === undefined ? h("span", { class: "ext", text: label })
        : h("button", { type: "button", class: `ext${app.typeExt === ext ? " active" : ""}`, dataset: { ext },
          "aria-pressed": app.typeExt === ext ? "true" : "false", text: label });
      return h("li", { dataset: { bytes: String(r.bytes), files: String(r.files) } }, name,
        h("span", { class: "track" }, bar), h("span", { class: "size", text: this.c.size(r.bytes) }),
        h("span", { class: "count", text: t("filesCount", { n: this.c.count(r.files) }) }));
    }

    render() {
      clearTimeout(this.timer);
      // Until drawn anew, the panel names no folder: what it shows is not this one's.
      delete this.c.ui.types.dataset.node;
      this.stale = !this.seen;
      if (this.seen) this.timer = setTimeout(() => this.draw(), 0);
      else this.c.ui.types.replaceChildren(h("h2", { text: this.c.t("types") }));
    }

    draw() {
      const { app, ui, t } = this.c;
      const c = this.c;
      if (!app.model) return;
      const i = app.current;
      const result = this.of(i);
      if (!result) return;
      const { shown, other } = top(result);
      const items = shown.map((r) => this.line(r.ext === NONE ? t("noExtension") : `.${c.shown(r.ext)}`, r, result.bytes, r.ext));
      if (other) items.push(this.line(t("otherTypes", { n: c.count(other.kinds) }), other, result.bytes));
      ui.types.replaceChildren(h("h2", { text: t("types") }),
        h("p", { class: "note", id: "types-note",
          text: t("typesNote", { bytes: c.size(result.bytes), files: c.count(result.files), total: c.size(app.model.bytes[i]) }) }),
        items.length ? h("ol", { class: "types-list" }, ...items) : h("p", { text: t("typesNone") }));
      ui.types.dataset.node = String(i);
    }

    choose(ext) {
      const { app } = this.c;
      app.typeExt = app.typeExt === ext ? null : ext;
      this.draw();
      this.c.renderMap();
    }

    hit(node) {
      const { app } = this.c;
      return app.typeExt !== null && app.model.dirs[node] === 0 && extensionOf(app.model, node) === app.typeExt;
    }
  }

  return { create: (c) => new Types(c), breakdown, extensionOf };
})();
