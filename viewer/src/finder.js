// The search box's answers: asked of the parsing worker, which keeps the
// names, or, without a worker, worked out on the page a slice at a time.
// Answers to older queries are dropped.
const Finder = (() => {
  "use strict";

  const SEARCH_SHOWN = 50;
  const SEARCH_SLICE_MS = 12;  // a search on the page's own thread yields this often

  const { h } = Dom;

  function create(c) {
    const { app, ui, t } = c;
    let index = null;           // without a worker: the page's own, made on first use
    let latest = 0;             // the latest query; older answers are dropped
    const pending = new Map();  // query id -> its answer's resolve

    function show(found, best) {
      const m = app.model;
      const items = Array.from(best, (i) => h("li", null, h("button", { type: "button", class: "jump", dataset: { node: String(i) } },
        h("span", { class: "size", text: c.size(m.bytes[i]) }), " ", h("bdi", { class: "name", text: c.nameOf(i) }),
        h("bdi", { class: "path", text: c.shown(m.path(i)) }))));
      const caption = found === 0 ? t("noResults")
        : found > best.length ? t("resultsShown", { shown: best.length, n: c.count(found) }) : t("results", { n: c.count(found) });
      ui.results.replaceChildren(h("p", { class: "caption", text: caption }), h("ol", null, ...items));
      ui.results.hidden = false;
    }

    function here(query, id) {
      const m = app.model;
      if (!index) index = new Search.Index(m);
      const run = new Search.Query(index, m.bytes, query, SEARCH_SHOWN);
      return new Promise((resolve) => {
        const slice = () => {
          if (id !== latest) return resolve(null);
          if (!run.runUntil(performance.now() + SEARCH_SLICE_MS)) return setTimeout(slice, 0);
          return resolve(run.result());
        };
        slice();
      });
    }

    function inWorker(query, id) {
      return new Promise((resolve) => {
        pending.set(id, resolve);
        app.searcher.postMessage({ search: { id, text: query, limit: SEARCH_SHOWN } });
      });
    }

    // The worker answers in the order it was asked: an answer also settles
    // every older query still waiting, with nothing.
    function onAnswer(event) {
      const answered = event.data.search;
      for (const [id, resolve] of pending) {
        if (id > answered) continue;
        pending.delete(id);
        resolve(id === answered ? event.data : null);
      }
    }

    // Resolves once the answer to the current query is shown (or dropped
    // for a newer one).
    function run() {
      const m = app.model;
      const query = ui.search.value.trim().toLowerCase();
      const id = ++latest;
      if (!m || query === "") {
        ui.results.hidden = true;
        return Promise.resolve();
      }
      ui.results.replaceChildren(h("p", { class: "caption", text: t("searching") }));
      ui.results.hidden = false;
      const answer = app.searcher ? inWorker(query, id) : here(query, id);
      return answer.then((result) => {
        if (result && id === latest && app.model === m) show(result.found, result.best);
      });
    }

    // A new scan: nothing of the old one's searches is kept.
    function reset() {
      index = null;
      pending.clear();
      ++latest;
      ui.search.value = "";
      ui.results.hidden = true;
    }

    return { run, reset, onAnswer };
  }

  return { create };
})();
