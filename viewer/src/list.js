// The entry list beside the treemap. Rows are as tall as their content;
// only those in view, and a few around them, are in the page, the rest
// stood in for by two spacers sized by the mean height of the rows drawn
// last. What the rows are comes from a source: the folder's entries, or
// its changes when two scans are compared.
const List = (() => {
  "use strict";

  const ROWS_DRAWN = 120;  // list rows in the page at most, however tall the box
  const ROWS_AROUND = 5;   // rows drawn above and below the visible ones
  const COLLATE_LIMIT = 20000;  // folders larger than this sort names by code unit
  const DIFFERS_LIMIT = 50000;  // folders larger than this tell names apart among the rows drawn

  const { h, richText } = Dom;

  function nameCompare(name, dir, n, lang) {
    if (n <= COLLATE_LIMIT) {
      const coll = new Intl.Collator(lang === "zh" ? "zh-CN" : "en", { numeric: true });
      return (a, b) => dir * coll.compare(name(a), name(b)) || a - b;
    }
    return (a, b) => {
      const x = name(a);
      const y = name(b);
      return dir * (x < y ? -1 : x > y ? 1 : 0) || a - b;
    };
  }

  // The rows of the current folder as they are shown in the sizes view.
  class Entries {
    constructor(c) {
      this.c = c;
      this.mode = "sizes";
      this.cache = new Map();  // "node:key:dir:lang" -> Int32Array of child indices
    }

    order() {
      const { app } = this.c;
      const m = app.model;
      const i = app.current;
      const { key, dir } = app.sort;
      const cacheKey = `${i}:${key}:${dir}:${app.lang}`;
      let order = this.cache.get(cacheKey);
      if (order) return order;
      order = Int32Array.from(this.c.entriesOf(i));
      const values = key === "files" ? m.files : m.bytes;
      order.sort(key === "name" ? nameCompare(m.name, dir, order.length, app.lang) : (a, b) => dir * (values[a] - values[b]) || a - b);
      if (this.cache.size > 16) this.cache.clear();
      this.cache.set(cacheKey, order);
      return order;
    }

    indexOf(node) {
      return this.order().indexOf(node);
    }

    head() {
      const { app, t } = this.c;
      const columns = [
        ["name", true], ["size", true], ["share", false], ["files", true], ["dirs", false], ["verdict", false],
      ];
      return columns.map(([key, sortable]) => {
        const sortKey = key === "size" ? "bytes" : key;
        if (!sortable) return h("div", { class: `cell c-${key}`, role: "columnheader", text: t(key) });
        const active = app.sort.key === sortKey;
        return h("div", {
          class: `cell c-${key}`, role: "columnheader",
          "aria-sort": active ? (app.sort.dir < 0 ? "descending" : "ascending") : "none",
        }, h("button", {
          type: "button", class: active ? "sort active" : "sort", dataset: { sort: sortKey },
          title: t("sortBy", { key: t(key) }),
        }, t(key), active ? (app.sort.dir < 0 ? " ▼" : " ▲") : ""));
      });
    }

    // A verdict in words: the chip, the reason, and the action; for an
    // entry to check first, why to look inside instead of an action that
    // would say "safe to clean".
    verdictCell(i) {
      const { app, t } = this.c;
      const m = app.model;
      const id = m.mark[i];
      if (id === -1) return h("div", { class: "cell c-verdict v-none", text: "" });
      const mark = m.marks[id];
      const verdict = Model.verdictOf(m, i);
      const owner = Model.markOwner(m, i);
      const reason = this.c.ruleWords(mark, "reason");
      const why = verdict === "check" ? Groups.greenGroup(mark, m.path(owner)).why : null;
      const advice = why ? t(Panels.WHY.get(why)) : this.c.ruleWords(mark, "action");
      const cell = h("div", { class: `cell c-verdict v-${verdict}` },
        h("span", { class: "chip", text: t(verdict) }), " ",
        h("span", { class: "reason" }, richText(reason)),
        h("span", { class: why ? "why" : "action" }, richText(advice)));
      cell.title = `${t(verdict)}\n${reason}\n${advice}\n${this.c.shown(mark.pattern)}` +
        (owner !== i ? t("inherited", { path: Shown.isolated(m.path(owner)) }) : "");
      return cell;
    }

    row(k, index) {
      const { app } = this.c;
      const c = this.c;
      const m = app.model;
      const folder = c.isFolder(k);
      const parentBytes = m.bytes[app.current];
      const share = parentBytes > 0 ? (m.bytes[k] / parentBytes) * 100 : 0;
      const bar = h("span", { class: "bar" });
      bar.style.width = `${Math.min(100, share)}%`;
      return h("div", {
        class: `row${folder ? " dir" : " file"}${k === app.highlight ? " highlight" : ""}`, role: "row",
        tabindex: "-1", dataset: { node: String(k), index: String(index) },
      },
      nameCell(c, m.path(k), c.nameOf(k), folder ? k : -1, Model.isDenied(m, k)),
      h("div", { class: "cell c-size", role: "cell", text: c.size(m.bytes[k]) }),
      h("div", { class: "cell c-share", role: "cell" }, h("span", { class: "track" }, bar),
        h("span", { class: "pct", text: `${share.toFixed(1)}%` })),
      h("div", { class: "cell c-files", role: "cell", text: folder ? c.count(m.files[k]) : "" }),
      h("div", { class: "cell c-dirs", role: "cell", text: folder ? c.count(m.dirs[k]) : "" }),
      this.verdictCell(k));
    }
  }

  let canvas = null;
  function measure(font, text) {
    if (!canvas) canvas = document.createElement("canvas").getContext("2d");
    if (canvas.font !== font) canvas.font = font;
    return canvas.measureText(text).width;
  }

  // `name` cut to `width` pixels around an ellipsis, keeping its start and
  // its end (an extension, "(x86)") and, in one of them, the character at
  // `differs` (its code-unit position); when neither can hold it, a window
  // around that character.
  function cutName(name, differs, width, widthOf) {
    const chars = Array.from(name);
    const n = chars.length;
    const at = Math.min(n - 1, Array.from(name.slice(0, differs)).length);
    const text = (head, tail) => `${chars.slice(0, head).join("")}…${tail > 0 ? chars.slice(n - tail).join("") : ""}`;
    // A little of the start and of the end, and the rest around `at`.
    const window = (k) => {
      const head = Math.round(k * 0.25);
      const tail = Math.round(k * 0.2);
      const from = Math.max(head, Math.min(n - tail - (k - head - tail), at + 3 - (k - head - tail)));
      const parts = [[0, head], [from, from + k - head - tail], [n - tail, n]].filter(([a, b]) => b > a);
      let out = "";
      let end = 0;
      for (const [a, b] of parts) {
        out += (a > end ? "…" : "") + chars.slice(Math.max(a, end), b).join("");
        end = Math.max(end, b);
      }
      return end < n ? `${out}…` : out;
    };
    const shown = (k) => {
      let tail = Math.round(k * 0.4);
      let head = k - tail;
      if (head > at || n - tail <= at) return text(head, tail);
      if (at + 1 < k) return text(at + 1, k - at - 1);
      if (n - at <= k) return text(k - (n - at), n - at);
      return window(k);
    };
    let k = Math.min(n - 1, Math.ceil((n * width) / Math.max(1, widthOf(name))) + 2);
    while (k > 1 && widthOf(shown(k)) > width) --k;
    return shown(k);
  }

  // A row's name cell: a folder (`node` not -1) is a button that goes in;
  // every row has a button that copies its path.
  function nameCell(c, path, name, node, denied = false) {
    return h("div", { class: "cell c-name", role: "cell", title: Shown.isolated(path) },
      node !== -1
        ? h("button", { type: "button", class: "enter", tabindex: "-1", dataset: { node: String(node) } },
          h("bdi", { text: name }), c.app.model.separator)
        : h("bdi", { text: name }),
      denied ? h("span", { class: "denied-mark", title: c.t("deniedHint"), text: c.t("deniedShort") }) : null,
      h("button", { type: "button", class: "copy", tabindex: "-1", title: c.t("copyPath"), "aria-label": c.t("copyPath"),
        dataset: { path }, text: c.t("copy") }));
  }

  // The list box: draws the rows of the current source, the folder's
  // entries or, when two scans are compared, its changes.
  class List {
    constructor(c) {
      this.c = c;
      this.entries = new Entries(c);
    }

    source() {
      return this.c.changes() || this.entries;
    }

    render(scroll) {
      const { ui, t } = this.c;
      const s = this.source();
      ui.list.dataset.mode = s.mode;
      ui.listHead.replaceChildren(...s.head());
      ui.listCount.textContent = t("entries", { n: this.c.count(s.order().length) });
      ui.rows.scrollTop = scroll || 0;
      this.renderRows();
    }

    renderRows() {
      const { app, ui } = this.c;
      if (!app.model) return;
      const s = this.source();
      const order = s.order();
      const n = order.length;
      const estimate = app.rowHeight;
      const top = ui.rows.scrollTop;
      const from = Math.min(Math.max(0, Math.floor(top / estimate) - ROWS_AROUND), Math.max(0, n - 1));
      const to = Math.min(n, from + ROWS_DRAWN, Math.ceil((top + ui.rows.clientHeight) / estimate) + ROWS_AROUND);
      const hadFocus = ui.rowBox.contains(document.activeElement);
      const box = document.createDocumentFragment();
      for (let k = from; k < to; ++k) box.append(s.row(order[k], k));
      ui.rowBox.replaceChildren(box);
      ui.spacerTop.style.height = `${from * estimate}px`;
      ui.spacerBottom.style.height = `${(n - to) * estimate}px`;
      if (to > from) {
        const measured = ui.rowBox.offsetHeight / (to - from);
        if (measured > 0) app.rowHeight = measured;
      }
      this.fitNames(s, order);
      this.c.keys.rowsDrawn(hadFocus);
    }

    // Names too long for their column are cut in the middle, never where
    // a sibling would then look the same: what is kept shows the first
    // character in which the name differs from every other in the folder.
    // The whole name stays in the row, for the tooltip and screen readers.
    fitNames(s, order) {
      const { ui } = this.c;
      const rows = ui.rowBox.querySelectorAll(".row");
      if (rows.length === 0) return;
      const first = rows[0].querySelector(".c-name");
      const room = first.clientWidth - parseFloat(getComputedStyle(first).paddingLeft) -
        parseFloat(getComputedStyle(first).paddingRight) - 2;
      const drawn = [...rows].map((row) => row.querySelector(".c-name bdi").textContent);
      const differs = this.differs(s, order, drawn);
      const fonts = new Map();
      for (const row of rows) {
        const bdi = row.querySelector(".c-name bdi");
        const font = fonts.get(row.className) || getComputedStyle(bdi).font;
        fonts.set(row.className, font);
        const name = bdi.textContent;
        const parent = bdi.parentElement;
        let width = room;
        if (parent.classList.contains("enter")) width -= measure(font, parent.lastChild.textContent);
        const mark = row.querySelector(".denied-mark");
        if (mark) width -= mark.offsetWidth + parseFloat(getComputedStyle(mark).marginInlineStart);
        if (measure(font, name) <= width) continue;
        bdi.classList.add("whole");
        bdi.after(h("bdi", { class: "cut", "aria-hidden": "true", text: cutName(name, differs.get(name) || 0, width, (text) => measure(font, text)) }));
      }
    }

    // For each name, the first position where it differs from all its
    // siblings: the longest prefix shared with a neighbour in code-unit
    // order. A very large folder, or a comparison, looks at the rows drawn.
    differs(s, order, drawn) {
      const { app } = this.c;
      const key = `${s.mode}:${app.current}:${app.lang}`;
      if (this.differsFor && this.differsFor.key === key && drawn.every((name) => this.differsFor.map.has(name))) {
        return this.differsFor.map;
      }
      const names = s.mode === "sizes" && order.length <= DIFFERS_LIMIT ? Array.from(order, (k) => this.c.nameOf(k)) : drawn.slice();
      names.sort((x, y) => (x < y ? -1 : x > y ? 1 : 0));
      const map = new Map();
      const shared = (x, y) => {
        let k = 0;
        while (k < x.length && k < y.length && x[k] === y[k]) ++k;
        return k;
      };
      for (let k = 0; k < names.length; ++k) {
        const before = k > 0 ? shared(names[k - 1], names[k]) : 0;
        const after = k + 1 < names.length ? shared(names[k], names[k + 1]) : 0;
        map.set(names[k], Math.max(before, after, map.get(names[k]) || 0));
      }
      this.differsFor = { key, map };
      return map;
    }

    // Scrolls the list so that the row at `index` is drawn and in the middle.
    scrollToIndex(index) {
      const { app, ui } = this.c;
      ui.rows.scrollTop = Math.max(0, index * app.rowHeight - ui.rows.clientHeight / 2);
      this.renderRows();
      const row = ui.rowBox.querySelector(`.row[data-index="${index}"]`);
      if (row) ui.rows.scrollTop = Math.max(0, row.offsetTop - (ui.rows.clientHeight - row.offsetHeight) / 2);
      return row;
    }

    scrollTo(node) {
      const at = this.source().indexOf(node);
      if (at >= 0) this.scrollToIndex(at);
    }

    length() {
      return this.source().order().length;
    }

    indexOf(node) {
      return this.source().indexOf(node);
    }

    // The folder's entries in the sizes view's order, for saving.
    sorted() {
      return this.entries.order();
    }

    forget() {
      this.entries.cache.clear();
      this.differsFor = null;
    }
  }

  return { create: (c) => new List(c), nameCell };
})();
