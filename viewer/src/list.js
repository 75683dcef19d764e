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

  const { h, richText } = Dom;

  function create(c) {
    const { app, ui, t } = c;
    const sorted = new Map();  // "node:key:dir:lang" -> Int32Array of child indices

    const collator = () => new Intl.Collator(app.lang === "zh" ? "zh-CN" : "en", { numeric: true });

    function nameCompare(name, dir, n) {
      if (n <= COLLATE_LIMIT) {
        const coll = collator();
        return (a, b) => dir * coll.compare(name(a), name(b)) || a - b;
      }
      return (a, b) => {
        const x = name(a);
        const y = name(b);
        return dir * (x < y ? -1 : x > y ? 1 : 0) || a - b;
      };
    }

    function sortedChildren(i) {
      const m = app.model;
      const { key, dir } = app.sort;
      const cacheKey = `${i}:${key}:${dir}:${app.lang}`;
      let order = sorted.get(cacheKey);
      if (order) return order;
      order = Int32Array.from(c.entriesOf(i));
      const values = key === "files" ? m.files : m.bytes;
      order.sort(key === "name" ? nameCompare(m.name, dir, order.length) : (a, b) => dir * (values[a] - values[b]) || a - b);
      if (sorted.size > 16) sorted.clear();
      sorted.set(cacheKey, order);
      return order;
    }

    function head() {
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
    function verdictCell(i) {
      const m = app.model;
      const id = m.mark[i];
      if (id === -1) return h("div", { class: "cell c-verdict v-none", text: "" });
      const mark = m.marks[id];
      const verdict = Model.verdictOf(m, i);
      const owner = Model.markOwner(m, i);
      const reason = c.ruleWords(mark, "reason");
      const why = verdict === "check" ? Groups.greenGroup(mark, m.path(owner)).why : null;
      const advice = why ? t(Panels.WHY.get(why)) : c.ruleWords(mark, "action");
      const cell = h("div", { class: `cell c-verdict v-${verdict}` },
        h("span", { class: "chip", text: t(verdict) }), " ",
        h("span", { class: "reason" }, richText(reason)),
        h("span", { class: why ? "why" : "action" }, richText(advice)));
      cell.title = `${t(verdict)}\n${reason}\n${advice}\n${c.shown(mark.pattern)}` +
        (owner !== i ? t("inherited", { path: Shown.isolated(m.path(owner)) }) : "");
      return cell;
    }

    // A row's name cell: a folder's name goes in; every row has a button
    // that copies its path.
    function nameCell(path, name, node, folder) {
      return h("div", { class: "cell c-name", role: "cell", title: Shown.isolated(path) },
        folder
          ? h("button", { type: "button", class: "enter", tabindex: "-1", dataset: { node: String(node) } },
            h("bdi", { text: name }), app.model.separator)
          : h("bdi", { text: name }),
        h("button", { type: "button", class: "copy", tabindex: "-1", title: t("copyPath"), "aria-label": t("copyPath"),
          dataset: { path }, text: t("copy") }));
    }

    function rowElement(k, index, parentBytes) {
      const m = app.model;
      const folder = c.isFolder(k);
      const share = parentBytes > 0 ? (m.bytes[k] / parentBytes) * 100 : 0;
      const bar = h("span", { class: "bar" });
      bar.style.width = `${Math.min(100, share)}%`;
      return h("div", {
        class: `row${folder ? " dir" : " file"}${k === app.highlight ? " highlight" : ""}`, role: "row",
        tabindex: "-1", dataset: { node: String(k), index: String(index) },
      },
      nameCell(m.path(k), c.nameOf(k), k, folder),
      h("div", { class: "cell c-size", role: "cell", text: c.size(m.bytes[k]) }),
      h("div", { class: "cell c-share", role: "cell" }, h("span", { class: "track" }, bar),
        h("span", { class: "pct", text: `${share.toFixed(1)}%` })),
      h("div", { class: "cell c-files", role: "cell", text: folder ? c.count(m.files[k]) : "" }),
      h("div", { class: "cell c-dirs", role: "cell", text: folder ? c.count(m.dirs[k]) : "" }),
      verdictCell(k));
    }

    // The rows of the current folder as they are shown: sorted, with how to
    // draw one, and the columns' heads.
    const entries = {
      order: () => sortedChildren(app.current),
      row: (k, index) => rowElement(k, index, app.model.bytes[app.current]),
      head,
      mode: "sizes",
    };

    const source = () => c.changes() || entries;

    function render(scroll) {
      const s = source();
      ui.list.dataset.mode = s.mode;
      ui.listHead.replaceChildren(...s.head());
      ui.listCount.textContent = t("entries", { n: c.count(s.order().length) });
      ui.rows.scrollTop = scroll || 0;
      renderRows();
    }

    function renderRows() {
      if (!app.model) return;
      const s = source();
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
      c.keys.rowsDrawn(hadFocus);
    }

    // Scrolls the list so that the row at `index` is drawn and in the middle.
    function scrollToIndex(index) {
      ui.rows.scrollTop = Math.max(0, index * app.rowHeight - ui.rows.clientHeight / 2);
      renderRows();
      const row = ui.rowBox.querySelector(`.row[data-index="${index}"]`);
      if (row) ui.rows.scrollTop = Math.max(0, row.offsetTop - (ui.rows.clientHeight - row.offsetHeight) / 2);
      return row;
    }

    function scrollTo(node) {
      const at = source().order().indexOf(node);
      if (at >= 0) scrollToIndex(at);
    }

    return { render, renderRows, scrollTo, scrollToIndex, length: () => source().order().length,
      sorted: () => sortedChildren(app.current), forget: () => sorted.clear() };
  }

  return { create };
})();
