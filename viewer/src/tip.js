// The line under the treemap that names the tile pointed at or focused,
// with a button that copies its path, and the copying itself.
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

    function clear() {
      ui.tip.replaceChildren();
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
