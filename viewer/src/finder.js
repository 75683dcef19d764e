// The search box's answers: asked of the parsing worker, which keeps the
// names, or, without a worker, worked out on the page a slice at a time.
// Answers to older queries are dropped.
const Finder = (() => {
  "use strict";

  const SEARCH_SHOWN = 50;
  const SEARCH_SLICE_MS = 12;  // a search on the page's own thread yields this often

  const { h } = Dom;

  class Finder {
    constructor(c) {
      this.c = c;
      this.index = null;           // without a worker: the page's own, made on first use
      this.latest = 0;             // the latest query; older answers are dropped
      this.pending = new Map();    // query id -> its answer's resolve
      this.run = this.run.bind(this);
      this.onAnswer = this.onAnswer.bind(this);
    }

    show(found, best) {
      const { app, ui, t } = this.c;
      const c = this.c;
      const m = app.model;
      const items = Array.from(best, (i) => h("li", null, h("button", { type: "button", class: "jump", dataset: { node: String(i) } },
        h("span", { class: "size", text: c.size(m.bytes[i]) }), " ", h("bdi", { class: "name", text: c.nameOf(i) }),
        h("bdi", { class: "path", text: c.shown(m.path(i)) }))));
      const caption = found === 0 ? t("noResults")
        : found > best.length ? t("resultsShown", { shown: best.length, n: c.count(found) }) : t("results", { n: c.count(found) });
      ui.results.replaceChildren(h("p", { class: "caption", text: caption }), h("ol", null, ...items));
      ui.results.hidden = false;
    }

    here(query, id) {
      const m = this.c.app.model;
      if (!this.index) this.index = new Search.Index(m);
      const run = new Search.Query(this.index, m.bytes, query, SEARCH_SHOWN);
      return new Promise((resolve) => {
        const slice = () => {
          if (id !== this.latest) return resolve(null);
          if (!run.runUntil(performance.now() + SEARCH_SLICE_MS)) return setTimeout(slice, 0);
          return resolve(run.result());
        };
        slice();
      });
    }

    inWorker(query, id) {
      return new Promise((resolve) => {
        this.pending.set(id, resolve);
        this.c.app.searcher.postMessage({ search: { id, text: query, limit: SEARCH_SHOWN } });
      });
    }

    // The worker answers in the order it was asked: an answer also settles
    // every older query still waiting, with nothing.
    onAnswer(event) {
      const answered = event.data.search;
      for (const [id, resolve] of this.pending) {
        if (id > answered) continue;
        this.pending.delete(id);
        resolve(id === answered ? event.data : null);
      }
    }

    // Resolves once the answer to the current query is shown (or dropped
    // for a newer one).
    run() {
      const { app, ui, t } = this.c;
      const m = app.model;
      const query = ui.search.value.trim().toLowerCase();
      const id = ++this.latest;
      if (!m || query === "") {
        ui.results.hidden = true;
        return Promise.resolve();
      }
      ui.results.replaceChildren(h("p", { class: "caption", text: t("searching") }));
      ui.results.hidden = false;
      const answer = app.searcher ? this.inWorker(query, id) : this.here(query, id);
      return answer.then((result) => {
        if (result && id === this.latest && app.model === m) this.show(result.found, result.best);
      });
    }

    // A new scan: nothing of the old one's searches is kept.
    reset() {
      const { ui } = this.c;
      this.index = null;
      this.pending.clear();
      ++this.latest;
      ui.search.value = "";
      ui.results.hidden = true;
    }
  }

  return { create: (c) => new Finder(c) };
})();
