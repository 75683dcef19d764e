// The page: loads a scan, and ties together the treemap of the current
// folder, the list of its entries, the panels, the search, the keyboard and
// the comparison with an older scan. Names and paths are only ever set as
// text, never parsed as markup.
(() => {
  "use strict";

  const $ = (id) => document.getElementById(id);
  const ui = {
    open: $("open"), file: $("file"), lang: $("lang"), search: $("search"), results: $("results"), find: $("find"),
    message: $("message"), start: $("start"), summary: $("summary"), view: $("view"),
    crumbs: $("crumbs"), back: $("back"), map: $("map"), mapNote: $("map-note"), legend: $("legend"), changeLegend: $("change-legend"),
    tip: $("tip"), list: $("list"), listHead: $("list-head"), rows: $("rows"), spacerTop: $("spacer-top"),
    rowBox: $("row-box"), spacerBottom: $("spacer-bottom"), listCount: $("list-count"), saveList: $("save-list"),
    clean: $("clean"), freed: $("freed"), denied: $("denied"), largest: $("largest"), files: $("files"), types: $("types"), growers: $("growers"),
    panels: $("panels"), compareOpen: $("compare-open"), fileOld: $("file-old"), compareBar: $("compare-bar"),
  };

  const app = {
    lang: "zh",
    model: null,
    file: null,            // {name, modified} of the loaded scan
    current: 0,
    gone: -1,              // the comparison's gone folder open below `current`, or -1
    history: [],           // views to go back to: {node, scroll}, node a gone key for a gone folder
    ignorePops: 0,         // history steps the page took itself
    sort: { key: "bytes", dir: -1 },
    highlight: -1,
    typeExt: null,         // the file type whose tiles are highlighted
    focusNode: -1,         // tile to focus after the next drawing
    focusMap: false,       // the next drawing of the map takes the focus
    pathIndex: null,       // path -> node, made on first use
    rowHeight: 40,         // px, the mean height of the rows drawn last
    searcher: null,        // the worker that parsed the scan, kept to search it
    loadToken: 0,
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

  const { h, present } = Dom;
  const shown = Shown.visible;
  const size = (bytes) => Model.formatSize(bytes);
  // What Date's toLocaleString shows by default.
  const DATE_TIME = { year: "numeric", month: "numeric", day: "numeric", hour: "numeric", minute: "numeric", second: "numeric" };
  // One formatter per language, made once: toLocaleString makes a new one
  // on every call, and the first picture of a large scan formats hundreds.
  const formats = new Map();
  const format = (kind, locale, make) => {
    const key = `${kind} ${locale}`;
    if (!formats.has(key)) formats.set(key, make(locale));
    return formats.get(key);
  };
  const count = (n) => format("n", app.lang === "zh" ? "zh-CN" : "en-US", (l) => new Intl.NumberFormat(l)).format(n);
  const when = (ms) => format("d", app.lang === "zh" ? "zh-CN" : "en-GB",
    (l) => new Intl.DateTimeFormat(l, DATE_TIME)).format(new Date(ms));

  function applyStaticWords() {
    document.documentElement.lang = app.lang === "zh" ? "zh-CN" : "en";
    document.title = t("title");
    for (const el of document.querySelectorAll("[data-t]")) el.textContent = t(el.dataset.t);
    ui.search.placeholder = t("searchPlaceholder");
    ui.search.setAttribute("aria-label", t("searchPlaceholder"));
    ui.lang.textContent = t("switchLanguage");
    ui.back.title = t("backHint");
    ui.map.setAttribute("aria-label", t("mapLabel"));
    $("skips").setAttribute("aria-label", t("skips"));
    $("where").setAttribute("aria-label", t("where"));
    $("list-table").setAttribute("aria-label", t("listLabel"));
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

  function openFile(file) {
    if (!file) return;
    const token = ++app.loadToken;
    const started = performance.now();
    showMessage(t("loading", { name: file.name, size: size(file.size) }));
    document.body.classList.add("loading");
    loader.parse(file).then(({ model, searcher, timing }) => {
      const arrived = performance.now();
      if (token !== app.loadToken) {
        if (searcher) searcher.terminate();
        return;
      }
      document.body.classList.remove("loading");
      showMessage("");
      if (app.searcher) app.searcher.terminate();
      app.searcher = searcher;
      app.file = { name: file.name, modified: file.lastModified };
      show(model);
      // Once the frame that holds the first picture is painted, the worker
      // makes its search index, and the load benchmark learns where the
      // time went and when (on the clock the driver shares) the person's
      // choice reached the page.
      const drawn = performance.now();
      requestAnimationFrame(() => setTimeout(() => {
        const now = performance.now();
        if (searcher && app.searcher === searcher) searcher.postMessage({ shown: true });
        ui.view.dataset.timing = JSON.stringify({ ...timing, arriveMs: Math.round(arrived - started),
          showMs: Math.round(drawn - arrived), paintMs: Math.round(now - drawn), totalMs: Math.round(now - started),
          chosenAt: Math.round(performance.timeOrigin + started) });
      }, 0));
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
    compare.close();
    for (const part of [ui.summary, ui.view, ui.panels, ui.results, ui.compareOpen]) part.hidden = true;
    ui.start.hidden = false;
  }

  function show(model) {
    app.model = model;
    app.current = 0;
    app.gone = -1;
    app.history = [];
    app.highlight = -1;
    app.typeExt = null;
    app.focusNode = -1;
    app.pathIndex = null;
    list.forget();
    finder.reset();
    keys.reset();
    compare.close();
    // The entry behind the scan's first view keeps the browser's Back on the page.
    history.replaceState({ oskra: app.loadToken, depth: -1 }, "");
    history.pushState({ oskra: app.loadToken, depth: 0 }, "");
    ui.start.hidden = true;
    ui.summary.hidden = false;
    ui.view.hidden = false;
    ui.panels.hidden = false;
    ui.compareOpen.hidden = false;
    // The first picture first, then the list in a task of its own, then
    // the panels below, a task each: drawn together, a large scan's held
    // the page 300 ms.
    applyStaticWords();
    renderSummary();
    renderCrumbs();
    renderMap();
    compare.renderBar();
    delete ui.view.dataset.node;
    ui.listCount.textContent = "";
    ui.rowBox.replaceChildren();
    for (const part of [ui.clean, ui.freed, ui.largest, ui.files, ui.denied]) part.replaceChildren();
    const steps = [() => {
      // Unless the person has gone elsewhere meanwhile, which drew it.
      if (ui.view.dataset.node !== undefined) return;
      list.render(0);
      types.render();
      ui.view.dataset.node = String(app.current);
      if (!ui.results.hidden) finder.run();
    }, ...PANELS];
    // Each panel after a frame is painted, so that no frame lays out more
    // than one of them anew.
    const v = { ...panelView(), later: (step) => steps.unshift(step) };
    ui.panels.setAttribute("aria-busy", "true");
    const next = () => {
      if (app.model !== model) return;
      if (steps.length === 0) {
        ui.panels.removeAttribute("aria-busy");
        return;
      }
      steps.shift()(v);
      requestAnimationFrame(() => setTimeout(next, 0));
    };
    setTimeout(next, 0);
  }

  // ---- Navigation ----------------------------------------------------------

  // A node of the scan, or the comparison's key of a gone entry.
  const isFolder = (i) => (i < -1 ? compare.isGoneDir(i) : app.model.dirs[i] > 0);
  // Where the page stands, as go() takes it.
  const here = () => (app.gone === -1 ? app.current : compare.changed.key(app.gone));

  // Each step in is a history entry, so that the browser's Back goes up.
  function go(node, { remember = true, focus = -1, scroll = 0, fromList = false } = {}) {
    if (remember) {
      app.history.push({ node: here(), scroll: ui.rows.scrollTop });
      history.pushState({ oskra: app.loadToken, depth: app.history.length }, "");
    }
    ({ current: app.current, gone: app.gone } = compare.place(node));
    app.focusNode = fromList ? -1 : focus;
    keys.reset(focus);
    renderView(scroll);
    if (fromList) keys.focusRow(focus === -1 ? 0 : Math.max(0, list.indexOf(focus)));
  }

  function up(fromList) {
    const left = here();
    const parent = left < -1 ? compare.parentOf(left) : app.model.parent[left];
    const previous = app.history.pop();
    if (previous) go(previous.node, { remember: false, focus: left, scroll: previous.scroll, fromList });
    else if (parent !== -1) go(parent, { remember: false, focus: left, fromList });
  }

  // Up one level from the page (a key, the button): the browser's history
  // steps back with it.
  function back({ fromList = false } = {}) {
    if (!app.model) return;
    if (app.history.length > 0) {
      ++app.ignorePops;
      history.back();
    }
    up(fromList);
  }

  // The browser's Back: up one level, and never off the page while a scan
  // is loaded (at its first view the entry behind it is put back).
  function onPop(event) {
    if (app.ignorePops > 0) {
      --app.ignorePops;
      return;
    }
    if (!app.model) return;
    const state = event.state;
    if (!state || state.oskra !== app.loadToken || state.depth < 0) {
      history.pushState({ oskra: app.loadToken, depth: 0 }, "");
      app.history = [];
    }
    up(ui.rowBox.contains(document.activeElement));
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
      list.scrollTo(i);
    }
    // Whatever asked for it may be far below: the treemap is shown.
    ui.view.scrollIntoView({ block: "nearest" });
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

  function activateTile(el, { keyboard = false } = {}) {
    const node = Number(el.dataset.node);
    // "Other", or a file gone since the older scan: nothing more to show.
    if (node === -1 || (node < -1 && !isFolder(node))) return;
    if (isFolder(node)) {
      app.highlight = -1;
      // A key went in: the new view's map takes the focus, or its list
      // when the folder draws no tile.
      app.focusMap = keyboard;
      go(node);
      if (keyboard && !ui.map.contains(document.activeElement)) keys.focusRow(0);
    } else {
      app.highlight = node;
      // A scanned file is shown in its own view.
      const parent = app.model.parent[node] === -1 ? node : app.model.parent[node];
      if (parent !== app.current) go(parent, { focus: node });
      else {
        app.focusNode = node;
        renderMap();
        list.scrollTo(node);
      }
    }
  }

  // ---- Rendering -----------------------------------------------------------

  function renderAll() {
    applyStaticWords();
    if (!app.model) return;
    renderSummary();
    // The bar says which legend is under the map, and so how tall the map is.
    compare.renderBar();
    renderView(ui.rows.scrollTop);
    renderPanels();
    if (!ui.results.hidden) finder.run();
  }

  function renderView(scroll) {
    const started = performance.now();
    renderCrumbs();
    renderMap();
    list.render(scroll);
    types.render();
    ui.view.dataset.node = String(here());
    // For the load benchmark: what a click costs the page.
    ui.view.dataset.renderMs = (performance.now() - started).toFixed(1);
  }

  function renderMap() {
    if (compare.active()) compare.renderMap();
    else treemap.render();
    tip.clear();
    keys.mapDrawn();
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
        h("span", { text: t("elapsed", { n: count(head.elapsed_ms) }) }),
        app.file ? h("span", { class: "when", text: t("fileTime", { name: app.file.name, time: when(app.file.modified) }) }) : null),
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

  const verdictName = (v) => (v === "" ? "none" : v);

  function renderCrumbs() {
    const m = app.model;
    const chain = [];
    for (let i = app.current; i !== -1; i = m.parent[i]) chain.push(i);
    chain.reverse();
    // A gone folder's own trail, from the older scan.
    if (app.gone !== -1) chain.push(...compare.goneTrail());
    // A 100,000-level path shows its ends.
    const crumbs = chain.length > 12 ? [...chain.slice(0, 4), -1, ...chain.slice(-7)] : chain;
    const items = crumbs.map((i, k) => {
      if (i === -1) return h("li", { class: "gap", text: "…" });
      const label = i < -1 ? compare.goneName(i) : nameOf(i);
      const last = k === crumbs.length - 1;
      return h("li", null, last
        ? h("span", { "aria-current": "location", text: label })
        : h("button", { type: "button", dataset: { node: String(i) }, text: label }),
      last && i < -1 ? h("span", { class: "g-gone" }, h("span", { class: "chip", text: t("kind_gone") })) : null);
    });
    ui.crumbs.replaceChildren(...items);
    ui.back.disabled = here() === 0 && app.history.length === 0;
  }

  const panelView = () => ({ model: app.model, t, size, count, shown, ruleWords, scanCommand });

  // Each panel on its own, in the order they stand.
  const PANELS = [
    (v) => {
      ui.clean.replaceChildren(...Panels.clean(v));
      if (app.model.cleanable.length) {
        ui.clean.firstChild.after(h("button", { type: "button", class: "save", id: "save-clean", text: t("saveCsv") }));
      }
    },
    (v) => {
      const freed = Panels.windowsFreed(v);
      ui.freed.replaceChildren(...freed);
      ui.freed.hidden = freed.length === 0;
    },
    (v) => ui.largest.replaceChildren(...Panels.largest(v)),
    (v) => {
      const files = Panels.largestFiles(v);
      ui.files.replaceChildren(...files);
      ui.files.hidden = files.length === 0;
    },
    (v) => {
      const denied = Panels.denied(v);
      ui.denied.replaceChildren(...denied);
      ui.denied.hidden = denied.length === 0;
    },
  ];

  function renderPanels() {
    const v = panelView();
    for (const panel of PANELS) panel(v);
  }

  function closeResults() {
    if (ui.results.hidden) return false;
    ui.results.hidden = true;
    return true;
  }

  // ---- The pieces ----------------------------------------------------------

  const c = {
    app, ui, t, size, count, when, shown, ruleWords, nameOf, isFolder, entriesOf, verdictName, scanCommand,
    go, back, reveal, nodeForPath, activateTile, renderView, renderMap, renderAll, showMessage, closeResults,
    parseFile: (file, options) => loader.parse(file, options),
    typeHit: (node) => types.hit(node),
    typePaint: () => types.painter(),
    changes: () => compare.listSource(),
  };
  const keys = Keys.create(c);
  c.keys = keys;
  const list = List.create(c);
  c.list = list;
  const treemap = Treemap.create(c);
  const finder = Finder.create(c);
  const loader = new Loader(finder.onAnswer, showProgress);
  const types = Types.create(c);
  const tip = Tip.create(c);
  const compare = Compare.create(c);

  Events.wire(c, { openFile, onPop, finder, keys, list, compare, tip });
  applyStaticWords();
  // The first number or date formatted loads the language's data: not
  // while a scan waits for its first picture.
  setTimeout(() => {
    count(0);
    when(0);
  }, 0);
  // Starting a worker takes a few hundred milliseconds: the first file's
  // parser is started before it is chosen.
  loader.warm();
})();
