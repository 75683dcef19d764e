// The comparison with an older scan of the same path: a bar saying which
// two files are compared, and a "changes" view in place of the sizes one,
// with the treemap coloured by growth and the list sorted by it, plus the
// top growers. It lives in the page only; nothing is written anywhere.
const Compare = (() => {
  "use strict";

  const { h } = Dom;

  function create(c) {
    const { app, ui, t } = c;
    let d = null;         // the comparison, or null
    let before = null;    // {name, modified, model} of the older scan
    let showing = false;  // the changes view rather than the sizes one
    const sorted = new Map();  // entry -> its children by growth

    const growth = (id) => d.bytesNow[id] - d.bytesBefore[id];
    const signed = (n, format) => (n > 0 ? "+" : n < 0 ? "−" : "±") + format(Math.abs(n));
    const entryName = (id) => {
      const m = d.now[id] !== -1 ? app.model : before.model;
      const i = d.now[id] !== -1 ? d.now[id] : d.before[id];
      return c.shown(m.name(i) || m.path(i));
    };
    const entryPath = (id) => (d.now[id] !== -1 ? app.model.path(d.now[id]) : before.model.path(d.before[id]));
    const isDir = (id) => (d.now[id] !== -1 ? app.model.dirs[d.now[id]] : before.model.dirs[d.before[id]]) > 0;

    function open(file) {
      if (!file || !app.model) return;
      const model = app.model;
      c.showMessage(t("loading", { name: file.name, size: c.size(file.size) }));
      c.parseFile(file, { keep: false }).then((answer) => {
        if (app.model !== model) return;
        const result = Changes.diff(model, answer.model);
        if (result.refused) {
          c.showMessage(t("compareRefused", { now: c.shown(result.nowPath), before: c.shown(result.beforePath) }));
          return;
        }
        c.showMessage("");
        d = result;
        before = { name: file.name, modified: file.lastModified, model: answer.model };
        sorted.clear();
        showing = true;
        c.renderAll();
      }, (error) => {
        const kind = error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE;
        c.showMessage(`${t("compareFailed", { name: file.name })} ${t(kind)}`);
      });
    }

    function close() {
      d = null;
      before = null;
      showing = false;
      sorted.clear();
      ui.compareBar.hidden = true;
      ui.growers.hidden = true;
      ui.legend.hidden = false;
      ui.changeLegend.hidden = true;
    }

    const active = () => d !== null && showing;

    function kidsByGrowth(id) {
      let order = sorted.get(id);
      if (!order) {
        order = Int32Array.from(d.kids[id] || []);
        order.sort((x, y) => growth(y) - growth(x) || Math.max(d.bytesNow[y], d.bytesBefore[y]) -
          Math.max(d.bytesNow[x], d.bytesBefore[x]) || x - y);
        sorted.set(id, order);
      }
      return order;
    }

    const currentEntry = () => (d ? d.byNode[app.current] : -1);

    function renderBar() {
      if (!d) return close();
      const total = growth(0);
      const files = d.filesNow[0] - d.filesBefore[0];
      const tab = (mode, key) => h("button", { type: "button", class: "tab", dataset: { mode }, "aria-pressed": String(showing === (mode === "changes")), text: t(key) });
      ui.compareBar.replaceChildren(
        h("p", null, h("strong", { text: t("comparing") }), " ",
          h("span", { class: "before", text: t("beforeScan", { name: before.name, time: c.when(before.modified), ms: c.count(before.model.header.elapsed_ms) }) }), " → ",
          h("span", { class: "now", text: t("nowScan", { name: app.file.name, time: c.when(app.file.modified), ms: c.count(app.model.header.elapsed_ms) }) })),
        h("p", null, h("span", { id: "change-total", dataset: { bytes: String(total) },
          text: t("changeTotal", { bytes: signed(total, c.size), files: signed(files, c.count) }) }), " ",
        tab("sizes", "viewSizes"), tab("changes", "viewChanges"),
        h("button", { type: "button", class: "tab", dataset: { mode: "close" }, text: t("stopComparing") })),
        d.shallower ? h("p", { class: "note", id: "shallower", text: t("compareShallower") }) : "");
      ui.compareBar.hidden = false;
      ui.legend.hidden = showing;
      ui.changeLegend.hidden = !showing;
      renderGrowers();
      return undefined;
    }

    function renderGrowers() {
      const items = d.growers.map((id) => h("li", null,
        h("span", { class: "size", text: signed(growth(id), c.size) }), " ",
        h("button", { type: "button", class: "jump", dataset: { node: String(d.now[id]) } }, h("bdi", { text: c.shown(entryPath(id)) })),
        h("span", { class: "note", text: ` ${c.size(d.bytesBefore[id])} → ${c.size(d.bytesNow[id])}` })));
      ui.growers.replaceChildren(h("h2", { text: t("growers") }), h("p", { class: "note", text: t("growersNote") }),
        items.length ? h("ol", { class: "largest-list" }, ...items) : h("p", { text: t("growersNone") }));
      ui.growers.hidden = false;
    }

    function tileFor(tile) {
      const id = tile.node;
      if (id === -1) {
        return Treemap.place(h("div", { class: `tile other v-other l${tile.level}`, tabindex: "-1", role: "img",
          title: t("otherHint", { n: c.count(tile.rest), size: c.size(tile.bytes) }), dataset: { node: "-1", bytes: String(tile.bytes) } }), tile);
      }
      const node = d.now[id];
      const el = Treemap.place(h("div", {
        class: `tile ${isDir(id) ? "dir" : "file"} g-${d.kind[id]} l${tile.level}${tile.nested ? " nested" : ""}`,
        tabindex: "-1", role: node !== -1 && isDir(id) ? "button" : "img",
        dataset: { node: String(node), entry: String(id), path: entryPath(id), bytes: String(tile.bytes), change: String(growth(id)) },
      }), tile);
      const words = `${t(`kind_${d.kind[id]}`)} ${signed(growth(id), c.size)}`;
      el.title = `${Shown.isolated(entryPath(id))}\n${c.size(d.bytesBefore[id])} → ${c.size(d.bytesNow[id])}\n${words}`;
      el.setAttribute("aria-label", `${Shown.isolated(entryName(id))}, ${words}`);
      Treemap.labelTile(el, tile, entryName(id), signed(growth(id), c.size));
      return el;
    }

    // The entries sized by the larger of their two sizes (what went is
    // still seen), coloured by what happened to them.
    const src = {
      kids: (id) => d.kids[id] || [],
      value: (id) => Math.max(d.bytesNow[id], d.bytesBefore[id]),
      nests: (id) => d.kids[id] !== null && d.kids[id].length > 0,
    };

    function renderMap() {
      const id = currentEntry();
      const w = ui.map.clientWidth;
      const hgt = ui.map.clientHeight;
      const tiles = [];
      if (id !== -1 && w > 0 && hgt > 0) Treemap.layout(src, id, { x: 0, y: 0, w, h: hgt }, 1, tiles);
      const fragment = document.createDocumentFragment();
      for (const tile of tiles) fragment.append(tileFor(tile));
      ui.map.replaceChildren(fragment);
      const note = tiles.length ? "" : t(id === -1 ? "notCompared" : "noChanges");
      ui.mapNote.replaceChildren(note);
      ui.mapNote.hidden = !note;
    }

    function head() {
      return ["name", "change", "before", "after", "filesChange", "state"].map((key) =>
        h("div", { class: `cell c-${key}`, role: "columnheader", text: t(key) }));
    }

    function row(id, index) {
      const node = d.now[id];
      const folder = isDir(id);
      const path = entryPath(id);
      return h("div", { class: `row ${folder ? "dir" : "file"}`, role: "row", tabindex: "-1",
        dataset: { node: String(node), index: String(index), path } },
      h("div", { class: "cell c-name", role: "cell", title: Shown.isolated(path) },
        folder && node !== -1
          ? h("button", { type: "button", class: "enter", tabindex: "-1", dataset: { node: String(node) } },
            h("bdi", { text: entryName(id) }), app.model.separator)
          : h("bdi", { text: entryName(id) }),
        h("button", { type: "button", class: "copy", tabindex: "-1", title: t("copyPath"), "aria-label": t("copyPath"), dataset: { path }, text: t("copy") })),
      h("div", { class: "cell c-change", role: "cell", dataset: { bytes: String(growth(id)) }, text: signed(growth(id), c.size) }),
      h("div", { class: "cell c-before", role: "cell", text: d.before[id] === -1 ? "—" : c.size(d.bytesBefore[id]) }),
      h("div", { class: "cell c-after", role: "cell", text: node === -1 ? "—" : c.size(d.bytesNow[id]) }),
      h("div", { class: "cell c-filesChange", role: "cell", text: signed(d.filesNow[id] - d.filesBefore[id], c.count) }),
      h("div", { class: `cell c-state g-${d.kind[id]}`, role: "cell" }, h("span", { class: "chip", text: t(`kind_${d.kind[id]}`) })));
    }

    function csv() {
      const rows = [["path", "state", "change_bytes", "before_bytes", "after_bytes", "change_files"]];
      const id = currentEntry();
      for (const k of id === -1 ? [] : kidsByGrowth(id)) {
        rows.push([entryPath(k), d.kind[k], growth(k), d.bytesBefore[k], d.bytesNow[k], d.filesNow[k] - d.filesBefore[k]]);
      }
      return rows;
    }

    const source = {
      mode: "changes",
      order: () => (currentEntry() === -1 ? new Int32Array(0) : kidsByGrowth(currentEntry())),
      row, head, csv,
    };

    function wire() {
      ui.compareBar.addEventListener("click", (event) => {
        const button = event.target.closest("button[data-mode]");
        if (!button) return;
        if (button.dataset.mode === "close") close();
        else showing = button.dataset.mode === "changes";
        c.renderAll();
      });
    }

    return { open, close, active, renderBar, renderMap, wire, listSource: () => (active() ? source : null),
      state: () => d };
  }

  return { create };
})();
