// The line under the treemap that names the tile pointed at or focused,
// with a button that copies its path, and the copying itself; and the
// panel that floats by the pointer, or by the focused tile, with what the
// tile stands for.
const Tip = (() => {
  "use strict";

  const { h } = Dom;

  // The clipboard API needs a user gesture, which a click is; where it is
  // missing or refused, a selected text box and the copy command.
  function copyText(text) {
    const fallback = () => {
      const box = h("textarea", { class: "copy-box", readonly: true });
      box.value = text;
      document.body.append(box);
      box.select();
      const done = document.execCommand("copy");
      box.remove();
      return done;
    };
    if (navigator.clipboard && navigator.clipboard.writeText) {
      return navigator.clipboard.writeText(text).then(() => true, fallback);
    }
    return Promise.resolve(fallback());
  }

  function create(c) {
    const { app, ui, t } = c;
    let flashTimer = 0;
    // Read aloud already: the tile's own name says as much.
    const panel = h("div", { id: "hover", "aria-hidden": "true", hidden: true });
    document.body.append(panel);

    function clear() {
      ui.tip.replaceChildren();
      panel.hidden = true;
    }

    // What a tile of the sizes view stands for: its name, size and share of
    // its folder, files and verdict.
    function sizesLines(el, node) {
      const m = app.model;
      const parent = Number(el.dataset.parent);
      if (node === -1) return [h("div", { text: el.title })];
      const share = parent >= 0 && m.bytes[parent] > 0
        ? t("hoverShare", { pct: `${((m.bytes[node] / m.bytes[parent]) * 100).toFixed(1)}%`, name: `\u2068${c.nameOf(parent)}\u2069` }) : "";
      const verdict = c.verdictName(Model.verdictOf(m, node));
      const mark = m.mark[node] === -1 ? null : m.marks[m.mark[node]];
      return Dom.present(h("bdi", { class: "name", text: c.nameOf(node) }),
        h("div", null, h("strong", { text: c.size(m.bytes[node]) }), share ? ` · ${share}` : ""),
        c.isFolder(node) ? h("div", { text: t("filesCount", { n: c.count(m.files[node]) }) }) : null,
        h("div", { class: `v-${verdict}` }, h("span", { class: "chip", text: t(verdict) }), mark ? ` ${c.ruleWords(mark, "reason")}` : ""),
        Model.isDenied(m, node) ? h("div", { class: "denied", text: t("deniedHint") }) : null);
    }

    // Right of the pointer at (x, y) and above it (the browser's own tooltip
    // comes below), or below a point in the focused tile, so that the trail
    // above the map stays in sight; kept in the window.
    function float(el, x, y, above) {
      const changes = c.changes();
      const node = Number(el.dataset.node);
      const lines = changes ? (node === -1 ? [] : changes.hover(node)) : sizesLines(el, node);
      if (lines.length === 0) {
        panel.hidden = true;
        return;
      }
      panel.replaceChildren(...lines);
      panel.hidden = false;
      const gap = 14;
      const w = panel.offsetWidth;
      const hgt = panel.offsetHeight;
      const left = x + gap + w > window.innerWidth ? Math.max(0, x - gap - w) : x + gap;
      const top = above && y - gap - hgt >= 0 ? y - gap - hgt
        : y + gap + hgt <= window.innerHeight ? y + gap : Math.max(0, y - gap - hgt);
      panel.style.left = `${left}px`;
      panel.style.top = `${top}px`;
    }

    function showFor(el) {
      const node = Number(el.dataset.node);
      const path = el.dataset.path || (node >= 0 ? app.model.path(node) : "");
      if (!path) return clear();
      ui.tip.replaceChildren(h("bdi", { class: "path", text: c.shown(path) }), " ",
        h("span", { class: "size", text: c.size(Number(el.dataset.bytes)) }), " ",
        h("button", { type: "button", class: "copy", dataset: { path }, text: t("copyPath") }));
      return undefined;
    }

    function copy(path) {
      copyText(path).then((done) => {
        clearTimeout(flashTimer);
        document.body.dataset.copied = done ? path : "";
        ui.tip.dataset.flash = t(done ? "copied" : "copyFailed");
        flashTimer = setTimeout(() => delete ui.tip.dataset.flash, 1500);
      });
    }

    function wire() {
      const follow = (event) => {
        const el = event.target.closest && event.target.closest(".tile");
        if (el) showFor(el);
      };
      ui.map.addEventListener("pointerover", follow);
      ui.map.addEventListener("focusin", follow);
      ui.map.addEventListener("pointermove", (event) => {
        const el = event.target.closest && event.target.closest(".tile");
        if (el) float(el, event.clientX, event.clientY, true);
      });
      ui.map.addEventListener("pointerleave", () => {
        panel.hidden = true;
      });
      ui.map.addEventListener("focusin", (event) => {
        const el = event.target.closest && event.target.closest(".tile");
        if (!el) return;
        const box = el.getBoundingClientRect();
        float(el, box.left + Math.min(box.width / 2, 40), box.top + Math.min(box.height / 2, 20), false);
      });
      ui.map.addEventListener("focusout", (event) => {
        if (!ui.map.contains(event.relatedTarget)) panel.hidden = true;
      });
      window.addEventListener("scroll", () => {
        panel.hidden = true;
      }, { passive: true });
      // "c" copies the focused tile's or row's path.
      document.addEventListener("keydown", (event) => {
        if (event.key !== "c" || event.ctrlKey || event.metaKey || event.altKey) return;
        const el = event.target.closest && event.target.closest(".tile, .row");
        if (!el) return;
        const node = Number(el.dataset.node);
        const path = el.dataset.path || (node >= 0 ? app.model.path(node) : "");
        if (path) copy(path);
      });
    }

    return { wire, clear, copy };
  }

  return { create, copyText };
})();
