// The comparison with an older scan of the same path: a bar saying which
// two files are compared, and a "changes" view in place of the sizes one,
// with the treemap coloured by growth and the list sorted by it, plus where
// it grew. It lives in the page only; nothing is written anywhere.
const Compare = (() => {
  "use strict";

  const { h } = Dom;

  const signed = (n, format) => (n > 0 ? "+" : n < 0 ? "−" : "±") + format(Math.abs(n));

  // An entry gone from the newer scan has no node there: the page knows it
  // by a key below -1 (-1 being the map's "other" tile) in place of a node.
  const goneKey = (id) => -2 - id;
  const goneOf = (key) => -2 - key;

  // The rows of the current folder in the changes view, and its treemap's
  // tiles: entries of the comparison `d`, by growth.
  class Changed {
    constructor(c, d, before) {
      this.c = c;
      this.d = d;
      this.before = before;  // {name, modified, model} of the older scan
      this.mode = "changes";
      this.sorted = new Map();  // entry -> its children by growth
      this.src = {
        kids: (id) => d.kids[id] || [],
        // Sized by the larger of the two sizes: what went is still seen.
        value: (id) => Math.max(d.bytesNow[id], d.bytesBefore[id]),
        nests: (id) => d.kids[id] !== null && d.kids[id].length > 0,
      };
    }

    growth(id) {
      return this.d.bytesNow[id] - this.d.bytesBefore[id];
    }

    // Where entry `id` is: its model and node in the newer scan if it is
    // there, else in the older.
    where(id) {
      const d = this.d;
      return d.now[id] !== -1 ? [this.c.app.model, d.now[id]] : [this.before.model, d.before[id]];
    }

    name(id) {
      const [m, i] = this.where(id);
      return this.c.shown(m.name(i) || m.path(i));
    }

    path(id) {
      const [m, i] = this.where(id);
      return m.path(i);
    }

    isDir(id) {
      const [m, i] = this.where(id);
      return m.dirs[i] > 0;
    }

    // The node of entry `id` in the newer scan, or its gone key.
    key(id) {
      return this.d.now[id] !== -1 ? this.d.now[id] : goneKey(id);
    }

    entryOf(key) {
      return key < -1 ? goneOf(key) : this.d.byNode[key];
    }

    current() {
      const { app } = this.c;
      return app.gone !== -1 ? app.gone : this.d.byNode[app.current];
    }

    kidsByGrowth(id) {
      const d = this.d;
      let order = this.sorted.get(id);
      if (!order) {
        order = Int32Array.from(d.kids[id] || []);
        order.sort((x, y) => this.growth(y) - this.growth(x) || this.src.value(y) - this.src.value(x) || x - y);
        this.sorted.set(id, order);
      }
      return order;
    }

    order() {
      const id = this.current();
      return id === -1 ? new Int32Array(0) : this.kidsByGrowth(id);
    }

    indexOf(node) {
      return this.order().indexOf(this.entryOf(node));
    }

    head() {
      return ["name", "change", "before", "after", "filesChange", "state"].map((key) =>
        h("div", { class: `cell c-${key}`, role: "columnheader", text: this.c.t(key) }));
    }

    row(id, index) {
      const { c, d } = this;
      const node = d.now[id];
      const path = this.path(id);
      const kind = d.kind[id];
      return h("div", { class: `row ${this.isDir(id) ? "dir" : "file"}`, role: "row", tabindex: "-1",
        dataset: { node: String(this.key(id)), index: String(index), path } },
      List.nameCell(c, path, this.name(id), this.isDir(id) ? this.key(id) : -1),
      h("div", { class: "cell c-change", role: "cell", dataset: { bytes: String(this.growth(id)) }, text: signed(this.growth(id), c.size) }),
      h("div", { class: "cell c-before", role: "cell", text: d.before[id] === -1 ? "—" : c.size(d.bytesBefore[id]) }),
      h("div", { class: "cell c-after", role: "cell", text: node === -1 ? "—" : c.size(d.bytesNow[id]) }),
      h("div", { class: "cell c-filesChange", role: "cell", text: signed(d.filesNow[id] - d.filesBefore[id], c.count) }),
      h("div", { class: `cell c-state g-${kind}`, role: "cell" }, h("span", { class: "chip", text: c.t(`kind_${kind}`) })));
    }

    // What the hover panel says of the entry with key `key`.
    hover(key) {
      const { c, d } = this;
      const id = this.entryOf(key);
      if (id === undefined || id === -1) return [];
      const files = d.filesNow[id] - d.filesBefore[id];
      return [h("bdi", { class: "name", text: this.name(id) }),
        h("div", null, h("strong", { text: signed(this.growth(id), c.size) }), ` ${c.size(d.bytesBefore[id])} → ${c.size(d.bytesNow[id])}`),
        this.isDir(id) ? h("div", { text: `${c.t("files")} ${signed(files, c.count)}` }) : "",
        h("div", { class: `g-${d.kind[id]}` }, h("span", { class: "chip", text: c.t(`kind_${d.kind[id]}`) }))];
    }

    csv() {
      const d = this.d;
      const rows = [["path", "state", "change_bytes", "before_bytes", "after_bytes", "change_files"]];
      for (const k of this.order()) {
        rows.push([this.path(k), d.kind[k], this.growth(k), d.bytesBefore[k], d.bytesNow[k], d.filesNow[k] - d.filesBefore[k]]);
      }
      return rows;
    }

    tile(tile) {
      const { c, d } = this;
      const id = tile.node;
      if (id === -1) {
        return Treemap.place(h("div", { class: `tile other v-other l${tile.level}`, tabindex: "-1", role: "img",
          title: c.t("otherHint", { n: c.count(tile.rest), size: c.size(tile.bytes) }), dataset: { node: "-1", bytes: String(tile.bytes) } }), tile);
      }
      const el = Treemap.place(h("div", {
        class: `tile ${this.isDir(id) ? "dir" : "file"} g-${d.kind[id]} l${tile.level}${tile.nested ? " nested" : ""}`,
        tabindex: "-1", role: this.isDir(id) ? "button" : "img",
        dataset: { node: String(this.key(id)), path: this.path(id), bytes: String(tile.bytes) },
      }), tile);
      const words = `${c.t(`kind_${d.kind[id]}`)} ${signed(this.growth(id), c.size)}`;
      el.title = `${Shown.isolated(this.path(id))}\n${c.size(d.bytesBefore[id])} → ${c.size(d.bytesNow[id])}\n${words}`;
      // The label starts with what the tile shows: its name, then its growth.
      el.setAttribute("aria-label", `${Shown.isolated(this.name(id))} ${signed(this.growth(id), c.size)}, ${c.t(`kind_${d.kind[id]}`)}`);
      Treemap.labelTile(el, tile, this.name(id), signed(this.growth(id), c.size));
      return el;
    }

    renderMap() {
      const { ui, t } = this.c;
      const id = this.current();
      const w = ui.map.clientWidth;
      const hgt = ui.map.clientHeight;
      const tiles = [];
      if (id !== -1 && w > 0 && hgt > 0) Treemap.layout(this.src, id, { x: 0, y: 0, w, h: hgt }, 1, tiles);
      const fragment = document.createDocumentFragment();
      for (const tile of tiles) fragment.append(this.tile(tile));
      ui.map.replaceChildren(fragment);
      const kind = tiles.length ? "" : id === -1 || this.d.cut.has(id) ? "notCompared" : "noChanges";
      ui.mapNote.replaceChildren(kind ? t(kind) : "");
      ui.mapNote.dataset.kind = kind;
      ui.mapNote.hidden = !kind;
    }

    bar(showing) {
      const { c, d, before } = this;
      const { app, t } = c;
      const total = this.growth(0);
      const files = d.filesNow[0] - d.filesBefore[0];
      const tab = (mode, key) => h("button", { type: "button", class: "tab", dataset: { mode },
        "aria-pressed": String(showing === (mode === "changes")), text: t(key) });
      return [
        h("p", null, h("strong", { text: t("comparing") }), " ",
          h("span", { text: t("beforeScan", { name: before.name, time: c.when(before.modified), ms: c.count(before.model.header.elapsed_ms) }) }), " → ",
          h("span", { text: t("nowScan", { name: app.file.name, time: c.when(app.file.modified), ms: c.count(app.model.header.elapsed_ms) }) })),
        h("p", null, h("span", { id: "change-total", dataset: { bytes: String(total) },
          text: t("changeTotal", { bytes: signed(total, c.size), files: signed(files, c.count) }) }), " ",
        tab("sizes", "viewSizes"), tab("changes", "viewChanges"),
        h("button", { type: "button", class: "tab", dataset: { mode: "close" }, text: t("stopComparing") })),
        d.shallower ? h("p", { class: "note", id: "shallower", text: t("compareShallower") }) : "",
      ];
    }

    growers() {
      const { c, d } = this;
      const items = d.growers.map((id) => h("li", null,
        h("span", { class: "size", text: signed(this.growth(id), c.size) }), " ",
        h("button", { type: "button", class: "jump", dataset: { node: String(d.now[id]) } }, h("bdi", { text: c.shown(this.path(id)) })),
        h("span", { class: "note", text: ` ${c.size(d.bytesBefore[id])} → ${c.size(d.bytesNow[id])}` })));
      return [h("h2", { text: c.t("growers") }), h("p", { class: "note", text: c.t("growersNote") }),
        items.length ? h("ol", { class: "largest-list" }, ...items) : h("p", { text: c.t("growersNone") })];
    }
  }

  // The page's side: opening the older scan, the bar, switching views.
  class Compare {
    constructor(c) {
      this.c = c;
      this.changed = null;  // the comparison, or null
      this.showing = false;  // the changes view rather than the sizes one
    }

    open(file) {
      const c = this.c;
      const { app, t } = c;
      if (!file || !app.model) return;
      const model = app.model;
      c.showMessage(t("loading", { name: file.name, size: c.size(file.size) }));
      c.parseFile(file, { keep: false }).then((answer) => {
        if (app.model !== model) return;
        const d = Changes.diff(model, answer.model);
        if (d.refused) {
          c.showMessage(t("compareRefused", { now: c.shown(d.nowPath), before: c.shown(d.beforePath) }));
          return;
        }
        c.showMessage("");
        this.settle();
        this.changed = new Changed(c, d, { name: file.name, modified: file.lastModified, model: answer.model });
        this.showing = true;
        c.renderAll();
      }, (error) => {
        const kind = error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE;
        c.showMessage(`${t("compareFailed", { name: file.name })} ${t(kind)}`);
      });
    }

    // Out of the changes view no gone folder is open: the page stands, now
    // and in the steps back, in the nearest folder the newer scan holds.
    settle() {
      const { app } = this.c;
      for (const step of app.history) step.node = this.place(step.node, false).current;
      app.gone = -1;
    }

    close() {
      const { ui } = this.c;
      this.settle();
      this.changed = null;
      this.showing = false;
      ui.compareBar.hidden = true;
      ui.growers.hidden = true;
      ui.legend.hidden = false;
      ui.changeLegend.hidden = true;
    }

    active() {
      return this.changed !== null && this.showing;
    }

    renderBar() {
      const { ui } = this.c;
      if (!this.changed) {
        this.close();
        return;
      }
      ui.compareBar.replaceChildren(...this.changed.bar(this.showing));
      ui.compareBar.hidden = false;
      ui.legend.hidden = this.showing;
      ui.changeLegend.hidden = !this.showing;
      ui.growers.replaceChildren(...this.changed.growers());
      ui.growers.hidden = false;
    }

    renderMap() {
      this.changed.renderMap();
    }

    // Where the page stands for `key`: the node shown of the newer scan
    // and, for a gone key in the changes view, the gone entry open below it
    // (-1: none).
    place(key, open = this.active()) {
      if (key >= 0 || !this.changed) return { current: Math.max(key, 0), gone: -1 };
      const d = this.changed.d;
      let id = goneOf(key);
      const gone = open ? id : -1;
      while (d.now[id] === -1) id = d.parent[id];
      return { current: d.now[id], gone };
    }

    parentOf(key) {
      const changed = this.changed;
      return changed.key(changed.d.parent[goneOf(key)]);
    }

    isGoneDir(key) {
      return this.changed !== null && this.changed.isDir(goneOf(key));
    }

    goneName(key) {
      return this.changed.name(goneOf(key));
    }

    // The keys of the gone folders from the newer scan's current folder
    // down to the one open, in that order.
    goneTrail() {
      const d = this.changed.d;
      const keys = [];
      for (let id = this.c.app.gone; d.now[id] === -1; id = d.parent[id]) keys.push(goneKey(id));
      return keys.reverse();
    }

    listSource() {
      return this.active() ? this.changed : null;
    }

    wire() {
      this.c.ui.compareBar.addEventListener("click", (event) => {
        const button = event.target.closest("button[data-mode]");
        if (!button) return;
        if (button.dataset.mode === "close") this.close();
        else {
          this.showing = button.dataset.mode === "changes";
          if (!this.showing) this.settle();
        }
        this.c.renderAll();
      });
    }
  }

  return { create: (c) => new Compare(c) };
})();
