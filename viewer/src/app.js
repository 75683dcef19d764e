// The page: loads a scan, draws the treemap of the current folder, the list
// of its entries, the cleanable panel, the largest folders and the search.
// Names and paths are only ever set as text, never parsed as markup.
(() => {
  "use strict";

  // Treemap limits: a tile smaller than MIN_AREA square pixels, or past
  // MAX_TILES in one folder, is rolled into "other"; folders get their own
  // contents drawn inside down to MAX_LEVELS, while the page holds at most
  // TILE_BUDGET tiles.
  const MIN_AREA = 120;
  const MAX_TILES = 300;
  const MAX_LEVELS = 3;
  const TILE_BUDGET = 2500;
  const HEADER = 18;        // px above a folder's drawn contents, for its name
  const NEST_MIN_W = 60;
  const NEST_MIN_H = HEADER + 28;
  const ROWS_DRAWN = 120;  // list rows in the page at most, however tall the box
  const ROWS_AROUND = 5;   // rows drawn above and below the visible ones
  const SEARCH_SHOWN = 50;
  const SEARCH_SLICE_MS = 12;  // a search on the page's own thread yields this often
  const COLLATE_LIMIT = 20000;  // folders larger than this sort names by code unit

  const $ = (id) => document.getElementById(id);
  const ui = {
    open: $("open"), file: $("file"), lang: $("lang"), search: $("search"), results: $("results"),
    message: $("message"), start: $("start"), summary: $("summary"), view: $("view"),
    crumbs: $("crumbs"), back: $("back"), map: $("map"), mapNote: $("map-note"), legend: $("legend"),
    listHead: $("list-head"), rows: $("rows"), spacerTop: $("spacer-top"), rowBox: $("row-box"),
    spacerBottom: $("spacer-bottom"), listCount: $("list-count"),
    clean: $("clean"), freed: $("freed"), largest: $("largest"), panels: $("panels"),
  };

  const app = {
    lang: "zh",
    model: null,
    current: 0,
    history: [],           // views to go back to: {node, scroll}
    sort: { key: "bytes", dir: -1 },
    sorted: new Map(),     // "node:key:dir" -> Int32Array of child indices
    highlight: -1,
    focusNode: -1,         // tile to focus after the next drawing
    pathIndex: null,       // path -> node, made on first use
    rowHeight: 40,         // px, the mean height of the rows drawn last
    searcher: null,        // the worker that parsed the scan, kept to search it
    searchId: 0,           // the latest query; older answers are dropped
    searchIndex: null,     // without a worker: the page's own, made on first use
    pending: new Map(),    // query id -> its answer's resolve
    loadToken: 0,
    worker: null,
    timing: {},
  };

  // ---- Words ---------------------------------------------------------------

  function t(key, values) {
    let text = STRINGS[app.lang][key];
    if (values) {
      for (const [name, value] of Object.entries(values)) text = text.split(`{${name}}`).join(String(value));
    }
    return text;
  }

  // A built-in rule's reason or action ("reason" or "action" of its mark) in
  // words; a user rule's text as it stands, never looked up.
  function ruleWords(mark, which) {
    const text = mark[which];
    const words = mark.source === "builtin" ? WORDING.get(text) : undefined;
    return words ? words[app.lang] : Shown.visible(text);
  }

  const { h, present, richText } = Dom;
  const shown = Shown.visible;

  const size = (bytes) => Model.formatSize(bytes);
  const count = (n) => n.toLocaleString(app.lang === "zh" ? "zh-CN" : "en-US");

  function applyStaticWords() {
    document.documentElement.lang = app.lang === "zh" ? "zh-CN" : "en";
    document.title = t("title");
    for (const el of document.querySelectorAll("[data-t]")) el.textContent = t(el.dataset.t);
    ui.search.placeholder = t("searchPlaceholder");
    ui.search.setAttribute("aria-label", t("searchPlaceholder"));
    ui.lang.textContent = t("switchLanguage");
    ui.back.title = t("backHint");
  }

  // ---- Loading -------------------------------------------------------------

  function showMessage(text) {
    ui.message.textContent = text;
    ui.message.hidden = !text;
  }

  // How much of a large file the worker has read and parsed.
  function showProgress(part) {
    let bar = ui.message.querySelector("progress");
    if (!bar) ui.message.append(bar = h("progress", { max: "1" }));
    bar.value = part;
  }

  function workerUrl() {
    if (!app.workerUrl) {
      app.workerUrl = URL.createObjectURL(new Blob([WORKER_SOURCE], { type: "text/javascript" }));
    }
    return app.workerUrl;
  }

  // Parses off the page's thread where it can, so a 135 MB scan does not
  // freeze the page; otherwise on it. Resolves with the model and the worker
  // that parsed it, which stays to search it (null without a worker).
  function parseFile(file) {
    if (app.worker) app.worker.terminate();
    app.worker = null;
    let worker = null;
    try {
      worker = app.spareWorker || new Worker(workerUrl());
      app.spareWorker = null;
    } catch (error) {
      worker = null;
    }
    if (!worker) {
      return file.arrayBuffer().then((buffer) => ({ model: Model.withText(Model.load(buffer)), searcher: null })).catch((error) => {
        throw error instanceof Model.BadDocument ? error : new Model.BadDocument(Model.UNREADABLE);
      });
    }
    app.worker = worker;
    return new Promise((resolve, reject) => {
      worker.onmessage = (event) => {
        if (event.data.progress !== undefined) return showProgress(event.data.progress);
        if (app.worker === worker) app.worker = null;
        if (event.data.model) {
          app.timing = event.data.timing;
          worker.onmessage = onSearchAnswer;
          resolve({ model: Model.withText(event.data.model), searcher: worker });
        } else {
          worker.terminate();
          reject(new Model.BadDocument(event.data.error));
        }
      };
      worker.onerror = (event) => {
        event.preventDefault();
        worker.terminate();
        reject(new Model.BadDocument(Model.UNREADABLE));
      };
      worker.postMessage(file);
    });
  }

  function openFile(file) {
    if (!file) return;
    const token = ++app.loadToken;
    const started = performance.now();
    app.timing = {};
    showMessage(t("loading", { name: file.name, size: size(file.size) }));
    document.body.classList.add("loading");
    parseFile(file).then(({ model, searcher }) => {
      if (token !== app.loadToken) {
        if (searcher) searcher.terminate();
        return;
      }
      document.body.classList.remove("loading");
      showMessage("");
      if (app.searcher) app.searcher.terminate();
      app.searcher = searcher;
      show(model);
      // For the load benchmark: where the time went.
      ui.view.dataset.timing = JSON.stringify({ ...app.timing, totalMs: Math.round(performance.now() - started) });
    }, (error) => {
      if (token !== app.loadToken) return;
      document.body.classList.remove("loading");
      const kind = error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE;
      forgetScan();
      showMessage(t(kind, { name: Shown.isolated(file.name) }));
      ui.message.dataset.kind = kind;
    });
  }

  // After a failed load no scan stays on the page: the old one's numbers
  // would pass for the new file's.
  function forgetScan() {
    if (app.searcher) app.searcher.terminate();
    app.searcher = null;
    app.model = null;
    ++app.searchId;
    for (const part of [ui.summary, ui.view, ui.panels, ui.results]) part.hidden = true;
    ui.start.hidden = false;
  }

  function show(model) {
    app.model = model;
    app.current = 0;
    app.history = [];
    app.sorted = new Map();
    app.highlight = -1;
    app.focusNode = -1;
    app.pathIndex = null;
    app.searchIndex = null;
    app.pending.clear();
    ++app.searchId;
    ui.search.value = "";
    ui.results.hidden = true;
    ui.start.hidden = true;
    ui.summary.hidden = false;
    ui.view.hidden = false;
    ui.panels.hidden = false;
    ui.rows.scrollTop = 0;
    renderAll();
  }

  // ---- Navigation ----------------------------------------------------------

  const isFolder = (i) => app.model.dirs[i] > 0;

  function go(node, { remember = true, focus = -1, scroll = 0 } = {}) {
    if (remember) app.history.push({ node: app.current, scroll: ui.rows.scrollTop });
    app.current = node;
    app.focusNode = focus;
    renderView(scroll);
  }

  function back() {
    const m = app.model;
    if (!m) return;
    const left = app.current;
    const previous = app.history.pop();
    if (previous) go(previous.node, { remember: false, focus: left, scroll: previous.scroll });
    else if (m.parent[left] !== -1) go(m.parent[left], { remember: false, focus: left });
  }

  // Shows node i: a folder from the inside, anything else in its folder.
  function reveal(i) {
    const m = app.model;
    if (isFolder(i) || m.parent[i] === -1) {
      app.highlight = -1;
      go(i);
    } else {
      app.highlight = i;
      go(m.parent[i], { focus: i });
      scrollListTo(i);
    }
  }

  // The node for a path, or the nearest enclosing one the scan kept.
  function nodeForPath(path) {
    const m = app.model;
    if (!app.pathIndex) {
      app.pathIndex = new Map();
      for (let i = m.size - 1; i >= 0; --i) app.pathIndex.set(m.path(i), i);
    }
    for (let p = path; p.length > 0;) {
      const found = app.pathIndex.get(p);
      if (found !== undefined) return found;
      const cut = p.lastIndexOf(m.separator);
      if (cut <= 0) break;
      p = p.slice(0, cut);
    }
    return 0;
  }

  // ---- Rendering -----------------------------------------------------------

  function renderAll() {
    applyStaticWords();
    if (!app.model) return;
    renderSummary();
    renderView(ui.rows.scrollTop);
    renderPanels();
    if (!ui.results.hidden) runSearch();
  }

  function renderView(scroll) {
    const started = performance.now();
    renderCrumbs();
    renderMap();
    renderList(scroll);
    // For the load benchmark: what a click costs the page.
    ui.view.dataset.renderMs = (performance.now() - started).toFixed(1);
  }

  function renderSummary() {
    const head = app.model.header;
    ui.summary.replaceChildren(...present(
      h("div", { class: "path" }, h("span", { class: "label", text: t("path") }), " ", h("bdi", { text: shown(head.path) })),
      h("div", { class: "totals" },
        h("strong", { id: "total", text: `${t("total")} ${size(head.total_bytes)}` }),
        h("span", { text: t("filesCount", { n: count(head.files) }) }),
        h("span", { text: t("dirsCount", { n: count(head.dirs) }) }),
        h("span", { class: head.denied > 0 ? "denied" : "", text: t("deniedCount", { n: count(head.denied) }) }),
        h("span", { text: t("elapsed", { n: count(head.elapsed_ms) }) })),
      head.denied > 0 ? h("div", { class: "note", text: t("deniedNote") }) : null));
  }

  // A node's name as shown: its name, or its path for a root without one.
  function nameOf(i) {
    const m = app.model;
    return shown(m.name(i) || m.path(i));
  }

  // The command that scans `path` deeper, into a file of its own.
  function scanCommand(path) {
    const text = shown(path);
    return app.model.separator === "\\"
      ? `oskra-cli.exe "${text}" --json --depth 2 > deeper-scan.json`
      : `./oskra-cli '${text.replace(/'/g, "'\\''")}' --json --depth 2 > deeper-scan.json`;
  }

  // The entries shown for node i: a folder's children, or a scanned file
  // itself (a scan of one file is that file alone).
  function entriesOf(i) {
    const m = app.model;
    if (m.parent[i] === -1 && !isFolder(i)) return Int32Array.of(i);
    return m.kids.subarray(m.first[i], m.first[i] + m.count[i]);
  }

  function verdictName(v) {
    return v === "" ? "none" : v;
  }

  function renderCrumbs() {
    const m = app.model;
    const chain = [];
    for (let i = app.current; i !== -1; i = m.parent[i]) chain.push(i);
    chain.reverse();
    // A 100,000-level path shows its ends.
    const crumbs = chain.length > 12 ? [...chain.slice(0, 4), -1, ...chain.slice(-7)] : chain;
    const items = crumbs.map((i, k) => {
      if (i === -1) return h("li", { class: "gap", text: "…" });
      const label = nameOf(i);
      const last = k === crumbs.length - 1;
      return h("li", null, last
        ? h("span", { "aria-current": "location", text: label })
        : h("button", { type: "button", dataset: { node: String(i) }, text: label }));
    });
    ui.crumbs.replaceChildren(...items);
    ui.back.disabled = app.current === 0 && app.history.length === 0;
  }

  // Children of i worth a tile in `area` square pixels, largest first, and
  // what is left over. Never sorts more than the tiles it keeps.
  function pickChildren(i, area) {
    const m = app.model;
    const kids = entriesOf(i);
    let total = 0;
    for (let k = 0; k < kids.length; ++k) total += m.bytes[kids[k]];
    const kept = [];
    let restBytes = 0;
    let restCount = 0;
    if (total <= 0) return { kept, restBytes, restCount };
    const threshold = (total * MIN_AREA) / area;
    for (let k = 0; k < kids.length; ++k) {
      const c = kids[k];
      const b = m.bytes[c];
      if (b <= 0) continue;
      if (b >= threshold) kept.push(c);
      else {
        restBytes += b;
        ++restCount;
      }
    }
    kept.sort((a, b) => m.bytes[b] - m.bytes[a] || a - b);
    if (kept.length > MAX_TILES) {
      for (const c of kept.splice(MAX_TILES)) {
        restBytes += m.bytes[c];
        ++restCount;
      }
    }
    return { kept, restBytes, restCount };
  }

  // Squarified layout of folder i's children into a box, then of the
  // children of each folder tile with room inside it, MAX_LEVELS deep.
  function layout(i, box, level, tiles) {
    const m = app.model;
    const { kept, restBytes, restCount } = pickChildren(i, box.w * box.h);
    const items = kept.map((c) => ({ node: c, value: m.bytes[c] }));
    if (restBytes > 0) items.push({ node: -1, value: restBytes, rest: restCount });
    if (items.length === 0) return;
    const root = d3.hierarchy({ children: items }).sum((d) => (d.children ? 0 : d.value))
      .sort((a, b) => b.value - a.value);
    d3.treemap().tile(d3.treemapSquarify).size([box.w, box.h]).round(false)(root);
    const nested = [];
    for (const leaf of root.children) {
      const tile = {
        node: leaf.data.node, rest: leaf.data.rest || 0, bytes: leaf.value, level, parent: i,
        x: box.x + leaf.x0, y: box.y + leaf.y0, w: leaf.x1 - leaf.x0, h: leaf.y1 - leaf.y0, nested: false,
      };
      tiles.push(tile);
      if (tile.node !== -1 && level < MAX_LEVELS && m.count[tile.node] > 0 &&
          tile.w >= NEST_MIN_W && tile.h >= NEST_MIN_H) {
        nested.push(tile);
      }
    }
    for (const tile of nested) {
      if (tiles.length >= TILE_BUDGET) break;
      tile.nested = true;
      layout(tile.node, { x: tile.x + 1, y: tile.y + HEADER, w: tile.w - 2, h: tile.h - HEADER - 1 },
        level + 1, tiles);
    }
  }

  function tileLabel(tile) {
    const m = app.model;
    if (tile.node === -1) return t("other", { n: count(tile.rest) });
    return nameOf(tile.node);
  }

  function renderMap() {
    const m = app.model;
    const i = app.current;
    const w = ui.map.clientWidth;
    const hgt = ui.map.clientHeight;
    const tiles = [];
    if (w > 0 && hgt > 0) layout(i, { x: 0, y: 0, w, h: hgt }, 1, tiles);
    const fragment = document.createDocumentFragment();
    for (const tile of tiles) fragment.append(tileElement(tile));
    ui.map.replaceChildren(fragment);
    const { note, command } = tiles.length ? { note: "", command: null } : emptyNote(i);
    ui.mapNote.replaceChildren(note, command ? h("code", { text: command }) : "");
    ui.mapNote.hidden = !note;
    if (app.focusNode !== -1) {
      const el = ui.map.querySelector(`[data-node="${app.focusNode}"]`);
      app.focusNode = -1;
      if (el) el.focus();
    }
  }

  // Why folder i draws no tile: its contents lie beyond the scan's depth;
  // it could not be listed; it is empty; or all it holds is 0 bytes.
  function emptyNote(i) {
    const m = app.model;
    const denied = m.header.denied > 0;
    if (m.count[i] > 0) return { note: t("allZero"), command: null };
    if (m.bytes[i] > 0 || m.files[i] > 0 || m.dirs[i] > 1) {
      return { note: t("beyondDepth"), command: scanCommand(m.path(i)) };
    }
    // Nothing beneath the root was walked, so the denied folder is the root.
    if (i === 0 && denied) return { note: t("deniedRoot"), command: null };
    return { note: t(denied ? "emptyOrDenied" : "emptyFolder"), command: null };
  }

  function tileElement(tile) {
    const m = app.model;
    const node = tile.node;
    const verdict = node === -1 ? "other" : verdictName(Model.verdictOf(m, node));
    const kind = node === -1 ? "other" : isFolder(node) ? "dir" : "file";
    const el = h("div", {
      class: `tile ${kind} v-${verdict} l${tile.level}${tile.nested ? " nested" : ""}${node !== -1 && node === app.highlight ? " highlight" : ""}`,
      tabindex: "0",
      role: kind === "dir" ? "button" : "img",
    });
    const style = el.style;
    style.left = `${tile.x}px`;
    style.top = `${tile.y}px`;
    style.width = `${tile.w}px`;
    style.height = `${tile.h}px`;
    const label = tileLabel(tile);
    const words = node === -1 ? "" : t(verdict);
    el.dataset.node = String(node);
    el.dataset.bytes = String(tile.bytes);
    el.dataset.level = String(tile.level);
    el.dataset.parent = String(tile.parent);
    el.setAttribute("aria-label", `${Shown.isolated(label)}, ${size(tile.bytes)}${words ? `, ${words}` : ""}`);
    el.title = node === -1 ? t("otherHint", { n: count(tile.rest), size: size(tile.bytes) })
      : `${Shown.isolated(m.path(node))}\n${size(tile.bytes)}${words ? `\n${words}` : ""}`;
    if (tile.w >= 36 && tile.h >= 15) {
      el.classList.add("labelled");
      const text = h("bdi", { class: "name", text: label });
      const room = tile.nested ? false : tile.h >= 30;
      el.append(...present(text, room ? h("span", { class: "size", text: size(tile.bytes) }) : null));
    }
    return el;
  }

  // ---- The entry list --------------------------------------------------------

  const collator = () => new Intl.Collator(app.lang === "zh" ? "zh-CN" : "en", { numeric: true });

  function sortedChildren(i) {
    const m = app.model;
    const { key, dir } = app.sort;
    const cacheKey = `${i}:${key}:${dir}:${app.lang}`;
    let order = app.sorted.get(cacheKey);
    if (order) return order;
    order = Int32Array.from(entriesOf(i));
    const values = key === "files" ? m.files : m.bytes;
    let compare;
    if (key === "name") {
      const name = m.name;
      if (order.length <= COLLATE_LIMIT) {
        const c = collator();
        compare = (a, b) => dir * c.compare(name(a), name(b)) || a - b;
      } else {
        compare = (a, b) => {
          const x = name(a);
          const y = name(b);
          return dir * (x < y ? -1 : x > y ? 1 : 0) || a - b;
        };
      }
    } else {
      compare = (a, b) => dir * (values[a] - values[b]) || a - b;
    }
    order.sort(compare);
    if (app.sorted.size > 16) app.sorted.clear();
    app.sorted.set(cacheKey, order);
    return order;
  }

  function renderListHead() {
    const columns = [
      ["name", true], ["size", true], ["share", false], ["files", true], ["dirs", false], ["verdict", false],
    ];
    const cells = columns.map(([key, sortable]) => {
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
    ui.listHead.replaceChildren(...cells);
  }

  function renderList(scroll) {
    renderListHead();
    ui.listCount.textContent = t("entries", { n: count(entriesOf(app.current).length) });
    ui.rows.scrollTop = scroll || 0;
    renderRows();
  }

  // A verdict in words: the chip, the reason, and the action; for an entry
  // to check first, why to look inside instead of an action that would say
  // "safe to clean".
  function verdictCell(i) {
    const m = app.model;
    const id = m.mark[i];
    if (id === -1) return h("div", { class: "cell c-verdict v-none", text: "" });
    const mark = m.marks[id];
    const verdict = Model.verdictOf(m, i);
    const owner = Model.markOwner(m, i);
    const reason = ruleWords(mark, "reason");
    const why = verdict === "check" ? Groups.greenGroup(mark, m.path(owner)).why : null;
    const advice = why ? t(Panels.WHY.get(why)) : ruleWords(mark, "action");
    const cell = h("div", { class: `cell c-verdict v-${verdict}` },
      h("span", { class: "chip", text: t(verdict) }), " ",
      h("span", { class: "reason" }, richText(reason)),
      h("span", { class: why ? "why" : "action" }, richText(advice)));
    cell.title = `${t(verdict)}\n${reason}\n${advice}\n${shown(mark.pattern)}` +
      (owner !== i ? t("inherited", { path: Shown.isolated(m.path(owner)) }) : "");
    return cell;
  }

  function rowElement(c, parentBytes) {
    const m = app.model;
    const folder = isFolder(c);
    const share = parentBytes > 0 ? (m.bytes[c] / parentBytes) * 100 : 0;
    const name = nameOf(c);
    const bar = h("span", { class: "bar" });
    bar.style.width = `${Math.min(100, share)}%`;
    return h("div", {
      class: `row${folder ? " dir" : " file"}${c === app.highlight ? " highlight" : ""}`, role: "row",
      dataset: { node: String(c) },
    },
    h("div", { class: "cell c-name", role: "cell", title: Shown.isolated(m.path(c)) }, folder
      ? h("button", { type: "button", class: "enter", dataset: { node: String(c) } }, h("bdi", { text: name }), m.separator)
      : h("bdi", { text: name })),
    h("div", { class: "cell c-size", role: "cell", text: size(m.bytes[c]) }),
    h("div", { class: "cell c-share", role: "cell" }, h("span", { class: "track" }, bar),
      h("span", { class: "pct", text: `${share.toFixed(1)}%` })),
    h("div", { class: "cell c-files", role: "cell", text: folder ? count(m.files[c]) : "" }),
    h("div", { class: "cell c-dirs", role: "cell", text: folder ? count(m.dirs[c]) : "" }),
    verdictCell(c));
  }

  // Rows are as tall as their content. Only those in view, and a few around
  // them, are in the page; the rest are stood in for by two spacers sized
  // by the mean height of the rows drawn last.
  function renderRows() {
    const m = app.model;
    if (!m) return;
    const order = sortedChildren(app.current);
    const n = order.length;
    const estimate = app.rowHeight;
    const top = ui.rows.scrollTop;
    const from = Math.min(Math.max(0, Math.floor(top / estimate) - ROWS_AROUND), Math.max(0, n - 1));
    const to = Math.min(n, from + ROWS_DRAWN, Math.ceil((top + ui.rows.clientHeight) / estimate) + ROWS_AROUND);
    const parentBytes = m.bytes[app.current];
    const box = document.createDocumentFragment();
    for (let k = from; k < to; ++k) box.append(rowElement(order[k], parentBytes));
    ui.rowBox.replaceChildren(box);
    ui.spacerTop.style.height = `${from * estimate}px`;
    ui.spacerBottom.style.height = `${(n - to) * estimate}px`;
    app.rowRange = { from, to };
    if (to > from) {
      const measured = ui.rowBox.offsetHeight / (to - from);
      if (measured > 0) app.rowHeight = measured;
    }
  }

  function scrollListTo(node) {
    const m = app.model;
    const order = sortedChildren(m.parent[node] === -1 ? node : m.parent[node]);
    const at = order.indexOf(node);
    if (at < 0) return;
    ui.rows.scrollTop = Math.max(0, at * app.rowHeight - ui.rows.clientHeight / 2);
    renderRows();
    const row = ui.rowBox.querySelector(`.row[data-node="${node}"]`);
    if (row) ui.rows.scrollTop = Math.max(0, row.offsetTop - (ui.rows.clientHeight - row.offsetHeight) / 2);
  }

  function renderPanels() {
    const v = { model: app.model, t, size, count, shown, ruleWords, scanCommand };
    ui.clean.replaceChildren(...Panels.clean(v));
    const freed = Panels.windowsFreed(v);
    ui.freed.replaceChildren(...freed);
    ui.freed.hidden = freed.length === 0;
    ui.largest.replaceChildren(...Panels.largest(v));
  }

  // ---- Search ----------------------------------------------------------------

  let searchTimer = 0;

  function showResults(found, best) {
    const m = app.model;
    const items = Array.from(best, (i) => h("li", null, h("button", { type: "button", class: "jump", dataset: { node: String(i) } },
      h("span", { class: "size", text: size(m.bytes[i]) }), " ", h("bdi", { class: "name", text: nameOf(i) }),
      h("bdi", { class: "path", text: shown(m.path(i)) }))));
    const caption = found === 0 ? t("noResults")
      : found > best.length ? t("resultsShown", { shown: best.length, n: count(found) }) : t("results", { n: count(found) });
    ui.results.replaceChildren(h("p", { class: "caption", text: caption }), h("ol", null, ...items));
    ui.results.hidden = false;
  }

  // Without a worker the page searches itself, a slice at a time.
  function searchHere(query, id) {
    const m = app.model;
    if (!app.searchIndex) app.searchIndex = new Search.Index(m);
    const run = new Search.Query(app.searchIndex, m.bytes, query, SEARCH_SHOWN);
    return new Promise((resolve) => {
      const slice = () => {
        if (id !== app.searchId) return resolve(null);
        if (!run.runUntil(performance.now() + SEARCH_SLICE_MS)) return setTimeout(slice, 0);
        return resolve(run.result());
      };
      slice();
    });
  }

  function searchInWorker(query, id) {
    return new Promise((resolve) => {
      app.pending.set(id, resolve);
      app.searcher.postMessage({ search: { id, text: query, limit: SEARCH_SHOWN } });
    });
  }

  // The worker answers in the order it was asked: an answer also settles
  // every older query still waiting, with nothing.
  function onSearchAnswer(event) {
    const answered = event.data.search;
    for (const [id, resolve] of app.pending) {
      if (id > answered) continue;
      app.pending.delete(id);
      resolve(id === answered ? event.data : null);
    }
  }

  // Resolves once the answer to the current query is shown (or dropped for
  // a newer one).
  function runSearch() {
    const m = app.model;
    const query = ui.search.value.trim().toLowerCase();
    const id = ++app.searchId;
    if (!m || query === "") {
      ui.results.hidden = true;
      return Promise.resolve();
    }
    ui.results.replaceChildren(h("p", { class: "caption", text: t("searching") }));
    ui.results.hidden = false;
    const answer = app.searcher ? searchInWorker(query, id) : searchHere(query, id);
    return answer.then((result) => {
      if (result && id === app.searchId && app.model === m) showResults(result.found, result.best);
    });
  }

  // ---- Events ----------------------------------------------------------------

  function activateTile(el) {
    const node = Number(el.dataset.node);
    if (node === -1) return;
    if (isFolder(node)) {
      app.highlight = -1;
      go(node);
    } else {
      app.highlight = node;
      // A scanned file is shown in its own view.
      const parent = app.model.parent[node] === -1 ? node : app.model.parent[node];
      if (parent !== app.current) go(parent, { focus: node });
      else {
        renderMap();
        scrollListTo(node);
      }
    }
  }

  function wire() {
    ui.open.addEventListener("click", () => ui.file.click());
    ui.file.addEventListener("change", () => {
      openFile(ui.file.files[0]);
      ui.file.value = "";
    });
    ui.lang.addEventListener("click", () => {
      app.lang = app.lang === "zh" ? "en" : "zh";
      renderAll();
    });
    // A file dropped anywhere is opened, never navigated to.
    window.addEventListener("dragover", (event) => {
      event.preventDefault();
      event.dataTransfer.dropEffect = "copy";
      document.body.classList.add("dragging");
    });
    window.addEventListener("dragleave", () => document.body.classList.remove("dragging"));
    window.addEventListener("drop", (event) => {
      event.preventDefault();
      document.body.classList.remove("dragging");
      const files = event.dataTransfer && event.dataTransfer.files;
      if (files && files.length) openFile(files[0]);
    });
    ui.map.addEventListener("click", (event) => {
      const el = event.target.closest(".tile");
      if (el) activateTile(el);
    });
    ui.map.addEventListener("keydown", (event) => {
      const el = event.target.closest(".tile");
      if (el && (event.key === "Enter" || event.key === " ")) {
        event.preventDefault();
        activateTile(el);
      }
    });
    ui.crumbs.addEventListener("click", (event) => {
      const button = event.target.closest("button[data-node]");
      if (button) go(Number(button.dataset.node));
    });
    ui.back.addEventListener("click", back);
    ui.listHead.addEventListener("click", (event) => {
      const button = event.target.closest("button[data-sort]");
      if (!button) return;
      const key = button.dataset.sort;
      app.sort = app.sort.key === key ? { key, dir: -app.sort.dir } : { key, dir: key === "name" ? 1 : -1 };
      renderList(0);
    });
    ui.rows.addEventListener("scroll", () => renderRows(), { passive: true });
    ui.rows.addEventListener("click", (event) => {
      const button = event.target.closest("button.enter");
      if (button) go(Number(button.dataset.node));
    });
    const jump = (event) => {
      const button = event.target.closest("button.jump");
      if (!button) return;
      ui.results.hidden = true;
      reveal(button.dataset.node !== undefined ? Number(button.dataset.node) : nodeForPath(button.dataset.path));
    };
    ui.clean.addEventListener("click", jump);
    ui.largest.addEventListener("click", jump);
    ui.results.addEventListener("click", jump);
    ui.search.addEventListener("input", () => {
      clearTimeout(searchTimer);
      searchTimer = setTimeout(runSearch, 150);
    });
    ui.search.addEventListener("keydown", (event) => {
      if (event.key === "Escape") {
        ui.search.value = "";
        ui.results.hidden = true;
      } else if (event.key === "Enter") {
        clearTimeout(searchTimer);
        runSearch().then(() => {
          const first = ui.results.querySelector("button.jump");
          if (first) first.click();
        });
      }
    });
    document.addEventListener("keydown", (event) => {
      const typing = event.target.closest && event.target.closest("input, textarea, select");
      if ((event.key === "Backspace" && !typing && !event.altKey && !event.ctrlKey && !event.metaKey) ||
          (event.key === "ArrowLeft" && event.altKey && !event.ctrlKey && !event.metaKey)) {
        event.preventDefault();
        back();
      }
    });
    let resizeTimer = 0;
    window.addEventListener("resize", () => {
      clearTimeout(resizeTimer);
      resizeTimer = setTimeout(() => {
        if (app.model) {
          renderMap();
          renderRows();
        }
      }, 100);
    });
  }

  wire();
  applyStaticWords();
  // Starting a worker takes a few hundred milliseconds: the first file's
  // parser is started before it is chosen.
  try {
    app.spareWorker = new Worker(workerUrl());
  } catch (error) {
    app.spareWorker = null;
  }
})();
