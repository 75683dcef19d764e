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
  const ROW_HEIGHT = 38;    // px, the entry list's fixed row height
  const ROWS_DRAWN = 120;
  const SEARCH_SHOWN = 50;
  const PANEL_SHOWN = 300;  // entries per cleanable group before "… n more"
  const COLLATE_LIMIT = 20000;  // folders larger than this sort names by code unit

  const $ = (id) => document.getElementById(id);
  const ui = {
    open: $("open"), file: $("file"), lang: $("lang"), search: $("search"), results: $("results"),
    message: $("message"), start: $("start"), summary: $("summary"), view: $("view"),
    crumbs: $("crumbs"), back: $("back"), map: $("map"), mapNote: $("map-note"), legend: $("legend"),
    listHead: $("list-head"), rows: $("rows"), spacer: $("spacer"), listCount: $("list-count"),
    clean: $("clean"), largest: $("largest"), panels: $("panels"),
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
    lowerPaths: null,      // for the search, made on first use
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

  // A rule's reason or action in words; a user rule's own text as it is.
  function ruleWords(key) {
    const entry = WORDING[key];
    return entry ? entry[app.lang] : key;
  }

  // Element maker: strings become text nodes, never markup.
  function h(tag, props, ...children) {
    const el = document.createElement(tag);
    if (props) {
      for (const [key, value] of Object.entries(props)) {
        if (value === undefined || value === null || value === false) continue;
        if (key === "class") el.className = value;
        else if (key === "text") el.textContent = value;
        else if (key.startsWith("on")) el.addEventListener(key.slice(2), value);
        else if (key === "dataset") Object.assign(el.dataset, value);
        else el.setAttribute(key, value === true ? "" : value);
      }
    }
    for (const child of children) {
      if (child === null || child === undefined || child === false) continue;
      el.append(typeof child === "string" ? document.createTextNode(child) : child);
    }
    return el;
  }

  // append() and replaceChildren() would write a null as the text "null".
  const present = (...nodes) => nodes.filter((node) => node !== null && node !== undefined && node !== false);

  // Wording may hold `commands` in back-quotes: shown as code, as text.
  function richText(text) {
    const out = document.createDocumentFragment();
    text.split("`").forEach((piece, i) => {
      if (piece === "") return;
      out.append(i % 2 ? h("code", { text: piece }) : document.createTextNode(piece));
    });
    return out;
  }

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

  function workerUrl() {
    if (!app.workerUrl) {
      app.workerUrl = URL.createObjectURL(new Blob([WORKER_SOURCE], { type: "text/javascript" }));
    }
    return app.workerUrl;
  }

  // Parses off the page's thread where it can, so a 135 MB scan does not
  // freeze the page; otherwise on it.
  function parseFile(file) {
    if (app.worker) app.worker.terminate();
    app.worker = null;
    let worker = null;
    try {
      worker = new Worker(workerUrl());
    } catch (error) {
      worker = null;
    }
    if (!worker) {
      return file.arrayBuffer().then((buffer) => Model.withText(Model.load(buffer))).catch((error) => {
        throw error instanceof Model.BadDocument ? error : new Model.BadDocument(Model.UNREADABLE);
      });
    }
    app.worker = worker;
    return new Promise((resolve, reject) => {
      worker.onmessage = (event) => {
        worker.terminate();
        if (app.worker === worker) app.worker = null;
        if (event.data.model) {
          app.timing = event.data.timing;
          resolve(Model.withText(event.data.model));
        }
        else reject(new Model.BadDocument(event.data.error));
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
    parseFile(file).then((model) => {
      if (token !== app.loadToken) return;
      document.body.classList.remove("loading");
      showMessage("");
      show(model);
      // For the load benchmark: where the time went.
      ui.view.dataset.timing = JSON.stringify({ ...app.timing, totalMs: Math.round(performance.now() - started) });
    }, (error) => {
      if (token !== app.loadToken) return;
      document.body.classList.remove("loading");
      const kind = error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE;
      showMessage(t(kind));
      ui.message.dataset.kind = kind;
    });
  }

  function show(model) {
    app.model = model;
    app.current = 0;
    app.history = [];
    app.sorted = new Map();
    app.highlight = -1;
    app.focusNode = -1;
    app.pathIndex = null;
    app.lowerPaths = null;
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
      const cut = Math.max(p.lastIndexOf("\\"), p.lastIndexOf("/"));
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
    renderClean();
    renderLargest();
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
      h("div", { class: "path" }, h("span", { class: "label", text: t("path") }), " ", h("bdi", { text: head.path })),
      h("div", { class: "totals" },
        h("strong", { id: "total", text: `${t("total")} ${size(head.total_bytes)}` }),
        h("span", { text: t("filesCount", { n: count(head.files) }) }),
        h("span", { text: t("dirsCount", { n: count(head.dirs) }) }),
        h("span", { class: head.denied > 0 ? "denied" : "", text: t("deniedCount", { n: count(head.denied) }) }),
        h("span", { text: t("elapsed", { n: count(head.elapsed_ms) }) })),
      head.denied > 0 ? h("div", { class: "note", text: t("deniedNote") }) : null));
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
    const shown = chain.length > 12 ? [...chain.slice(0, 4), -1, ...chain.slice(-7)] : chain;
    const items = shown.map((i, k) => {
      if (i === -1) return h("li", { class: "gap", text: "…" });
      const label = m.name(i) || m.path(i);
      const last = k === shown.length - 1;
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
    const first = m.first[i];
    const end = first + m.count[i];
    const kids = m.kids;
    let total = 0;
    for (let k = first; k < end; ++k) total += m.bytes[kids[k]];
    const kept = [];
    let restBytes = 0;
    let restCount = 0;
    if (total <= 0) return { kept, restBytes, restCount };
    const threshold = (total * MIN_AREA) / area;
    for (let k = first; k < end; ++k) {
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
    return m.name(tile.node) || m.path(tile.node);
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
    let note = "";
    let command = null;
    if (tiles.length === 0) {
      if (!isFolder(i) && m.parent[i] !== -1) note = t("isFile");
      else if (m.count[i] === 0 && m.bytes[i] > 0) {
        note = t("beyondDepth");
        command = `oskra-cli "${m.path(i)}" --json --depth 2`;
      } else note = t("emptyFolder");
    }
    ui.mapNote.replaceChildren(note, command ? h("code", { text: command }) : "");
    ui.mapNote.hidden = !note;
    if (app.focusNode !== -1) {
      const el = ui.map.querySelector(`[data-node="${app.focusNode}"]`);
      app.focusNode = -1;
      if (el) el.focus();
    }
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
    el.setAttribute("aria-label", `${label}, ${size(tile.bytes)}${words ? `, ${words}` : ""}`);
    el.title = node === -1 ? t("otherHint", { n: count(tile.rest), size: size(tile.bytes) })
      : `${m.path(node)}\n${size(tile.bytes)}${words ? `\n${words}` : ""}`;
    if (tile.w >= 36 && tile.h >= 15) {
      el.classList.add("labelled");
      const text = h("span", { class: "name", text: label });
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
    order = new Int32Array(m.count[i]);
    order.set(m.kids.subarray(m.first[i], m.first[i] + m.count[i]));
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
    const m = app.model;
    renderListHead();
    const n = m.count[app.current];
    ui.listCount.textContent = t("entries", { n: count(n) });
    ui.spacer.style.height = `${n * ROW_HEIGHT}px`;
    ui.rows.scrollTop = scroll || 0;
    renderRows();
  }

  function verdictCell(i) {
    const m = app.model;
    const id = m.mark[i];
    if (id === -1) return h("div", { class: "cell c-verdict v-none", text: "" });
    const mark = m.marks[id];
    const verdict = Model.verdictOf(m, i);
    const reason = ruleWords(mark.reason);
    const action = ruleWords(mark.action);
    const owner = Model.markOwner(m, i);
    const cell = h("div", { class: `cell c-verdict v-${verdict}` },
      h("span", { class: "chip", text: t(verdict) }), " ",
      h("span", { class: "reason" }, richText(reason)),
      h("span", { class: "action" }, richText(action)));
    cell.title = `${t(verdict)}\n${reason}\n${action}\n${mark.pattern}${owner !== i ? t("inherited", { path: m.path(owner) }) : ""}`;
    return cell;
  }

  function renderRows() {
    const m = app.model;
    if (!m) return;
    const i = app.current;
    const n = m.count[i];
    const top = ui.rows.scrollTop;
    const from = Math.max(0, Math.floor(top / ROW_HEIGHT) - 5);
    // However tall the box is laid out, never more than ROWS_DRAWN rows.
    const to = Math.min(n, from + ROWS_DRAWN, Math.ceil((top + ui.rows.clientHeight) / ROW_HEIGHT) + 5);
    const order = n > 0 ? sortedChildren(i) : new Int32Array(0);
    const parentBytes = m.bytes[i];
    const fragment = document.createDocumentFragment();
    for (let k = from; k < to; ++k) {
      const c = order[k];
      const folder = isFolder(c);
      const share = parentBytes > 0 ? (m.bytes[c] / parentBytes) * 100 : 0;
      const name = m.name(c) || m.path(c);
      const bar = h("span", { class: "bar" });
      bar.style.width = `${Math.min(100, share)}%`;
      const row = h("div", {
        class: `row${folder ? " dir" : " file"}${c === app.highlight ? " highlight" : ""}`, role: "row",
        dataset: { node: String(c) },
      },
      h("div", { class: "cell c-name", role: "cell", title: m.path(c) }, folder
        ? h("button", { type: "button", class: "enter", dataset: { node: String(c) } },
          h("bdi", { text: name }), m.separator)
        : h("bdi", { text: name })),
      h("div", { class: "cell c-size", role: "cell", text: size(m.bytes[c]) }),
      h("div", { class: "cell c-share", role: "cell" }, h("span", { class: "track" }, bar),
        h("span", { class: "pct", text: `${share.toFixed(1)}%` })),
      h("div", { class: "cell c-files", role: "cell", text: folder ? count(m.files[c]) : "" }),
      h("div", { class: "cell c-dirs", role: "cell", text: folder ? count(m.dirs[c]) : "" }),
      verdictCell(c));
      row.style.top = `${k * ROW_HEIGHT}px`;
      fragment.append(row);
    }
    const keep = ui.spacer;
    ui.rows.replaceChildren(keep, fragment);
  }

  function scrollListTo(node) {
    const order = sortedChildren(app.model.parent[node]);
    const at = order.indexOf(node);
    if (at >= 0) {
      ui.rows.scrollTop = Math.max(0, at * ROW_HEIGHT - ui.rows.clientHeight / 2);
      renderRows();
    }
  }

  // ---- Cleanable -------------------------------------------------------------

  function renderClean() {
    const m = app.model;
    const safe = [];
    const check = [];
    let safeBytes = 0;
    let checkBytes = 0;
    for (const index of m.cleanable) {
      const green = m.greens[index];
      const mark = m.marks[green.mark];
      if (!mark) continue;
      const group = Model.greenGroup(mark, green.path);
      if (group.safe) {
        safe.push({ green, mark, why: null });
        safeBytes += green.bytes;
      } else {
        check.push({ green, mark, why: group.why });
        checkBytes += green.bytes;
      }
    }
    const parts = [h("h2", { text: t("cleanable") })];
    if (safe.length + check.length === 0) {
      parts.push(h("p", { text: t("cleanNone") }));
    } else {
      parts.push(h("p", { class: "clean-total", id: "clean-total", dataset: { bytes: String(safeBytes + checkBytes) } },
        t("cleanTotal", { total: size(safeBytes + checkBytes), safe: size(safeBytes), check: size(checkBytes) })));
      if (m.greens.length >= 1000) parts.push(h("p", { class: "note", text: t("greensCut") }));
      parts.push(cleanGroup("safe", t("safeGroup"), safe), cleanGroup("check", t("checkGroup"), check));
    }
    ui.clean.replaceChildren(...parts);
  }

  const WHY = { user: "whyUser", nameOutside: "whyNameOutside", oneNote: "whyOneNote",
    projectYarn: "whyProjectYarn", cloud: "whyCloud" };

  function cleanGroup(kind, title, entries) {
    const list = h("ol", { class: `clean-list ${kind}` });
    for (const { green, mark, why } of entries.slice(0, PANEL_SHOWN)) {
      list.append(h("li", { dataset: { bytes: String(green.bytes) } },
        h("span", { class: "size", text: size(green.bytes) }), " ",
        h("button", { type: "button", class: "jump", dataset: { path: green.path } }, h("bdi", { text: green.path })),
        h("div", { class: "words" },
          h("span", { class: "reason" }, richText(ruleWords(mark.reason))), " — ",
          h("span", { class: "action" }, richText(ruleWords(mark.action)))),
        why ? h("div", { class: "why", text: t(WHY[why]) }) : null));
    }
    if (entries.length > PANEL_SHOWN) list.append(h("li", { class: "more", text: t("more", { n: count(entries.length - PANEL_SHOWN) }) }));
    return h("section", { class: `group ${kind}` },
      h("h3", { class: `v-${kind}` }, h("span", { class: "chip", text: t(kind) }), " ", title), list);
  }

  // ---- Largest folders -------------------------------------------------------

  function renderLargest() {
    const m = app.model;
    const list = h("ol", { class: "largest-list" });
    for (const i of m.largest) {
      list.append(h("li", null, h("span", { class: "size", text: size(m.bytes[i]) }), " ",
        h("button", { type: "button", class: "jump", dataset: { node: String(i) } }, h("bdi", { text: m.path(i) }))));
    }
    ui.largest.replaceChildren(h("h2", { text: t("largest") }), h("p", { class: "note", text: t("largestNote") }),
      m.largest.length ? list : h("p", { text: t("largestNone") }));
  }

  // ---- Search ----------------------------------------------------------------

  let searchTimer = 0;

  function runSearch() {
    const m = app.model;
    const query = ui.search.value.trim().toLowerCase();
    if (!m || query === "") {
      ui.results.hidden = true;
      return;
    }
    if (!app.lowerPaths) {
      // Paths hold their names, but a report's paths are not checked to.
      app.lowerPaths = new Array(m.size);
      for (let i = 0; i < m.size; ++i) {
        const path = m.path(i);
        const name = m.name(i);
        app.lowerPaths[i] = (path.endsWith(name) ? path : `${path}\u0000${name}`).toLowerCase();
      }
    }
    const best = [];  // ascending by bytes, at most SEARCH_SHOWN
    let found = 0;
    for (let i = 0; i < m.size; ++i) {
      if (!app.lowerPaths[i].includes(query)) continue;
      ++found;
      const b = m.bytes[i];
      if (best.length === SEARCH_SHOWN) {
        if (b <= m.bytes[best[0]]) continue;
        best.shift();
      }
      let at = best.length;
      while (at > 0 && m.bytes[best[at - 1]] > b) --at;
      best.splice(at, 0, i);
    }
    best.reverse();
    const items = best.map((i) => h("li", null, h("button", { type: "button", class: "jump", dataset: { node: String(i) } },
      h("span", { class: "size", text: size(m.bytes[i]) }), " ", h("bdi", { class: "name", text: m.name(i) || m.path(i) }),
      h("bdi", { class: "path", text: m.path(i) }))));
    const caption = found === 0 ? t("noResults")
      : found > best.length ? t("resultsShown", { shown: best.length, n: count(found) }) : t("results", { n: count(found) });
    ui.results.replaceChildren(h("p", { class: "caption", text: caption }), h("ol", null, ...items));
    ui.results.hidden = false;
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
      const parent = app.model.parent[node];
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
        runSearch();
        const first = ui.results.querySelector("button.jump");
        if (first) first.click();
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
})();
