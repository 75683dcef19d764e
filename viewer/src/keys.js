// The keyboard: one Tab stop for the treemap and one for the list, with
// the focus roving inside each; arrows move, Enter goes in, and Backspace,
// Escape and Alt+Left go up (the page's `c.back`).
const Keys = (() => {
  "use strict";

  const PAGE = 10;  // rows a Page Up / Page Down moves

  // The tile nearest `from` in the arrow's direction: ahead of it, and
  // weighing a step aside twice as much as a step ahead.
  function nearest(tiles, from, key) {
    const a = from.getBoundingClientRect();
    const ax = a.left + a.width / 2;
    const ay = a.top + a.height / 2;
    let best = null;
    let bestScore = Infinity;
    for (const el of tiles) {
      if (el === from) continue;
      const b = el.getBoundingClientRect();
      const dx = b.left + b.width / 2 - ax;
      const dy = b.top + b.height / 2 - ay;
      const ahead = key === "ArrowRight" ? dx : key === "ArrowLeft" ? -dx : key === "ArrowDown" ? dy : -dy;
      const aside = key === "ArrowRight" || key === "ArrowLeft" ? Math.abs(dy) : Math.abs(dx);
      if (ahead <= 0) continue;
      const score = ahead + 2 * aside;
      if (score < bestScore) {
        bestScore = score;
        best = el;
      }
    }
    return best;
  }

  function roveTo(container, el) {
    for (const other of container.querySelectorAll("[tabindex='0']")) other.tabIndex = -1;
    el.tabIndex = 0;
  }

  class Keys {
    constructor(c) {
      this.c = c;
      this.mapActive = -2;  // the node of the map's Tab stop; -2: none yet
      this.rowCursor = 0;   // the index of the list's Tab stop
    }

    // After the map is drawn: its Tab stop is the tile asked to take the
    // focus, else the one that had it, else the first.
    mapDrawn() {
      const { app, ui } = this.c;
      const tiles = ui.map.querySelectorAll(".tile");
      if (tiles.length === 0) {
        app.focusMap = false;
        return;
      }
      const want = app.focusNode !== -1 ? app.focusNode : this.mapActive;
      const el = ui.map.querySelector(`.tile[data-node="${want}"]`) || tiles[0];
      roveTo(ui.map, el);
      this.mapActive = Number(el.dataset.node);
      // Gone in by a key on a tile: the keyboard stays in the map.
      if ((app.focusNode !== -1 && Number(el.dataset.node) === app.focusNode) || app.focusMap) el.focus();
      app.focusNode = -1;
      app.focusMap = false;
    }

    rowsDrawn(hadFocus) {
      const { ui } = this.c;
      const rows = ui.rowBox.querySelectorAll(".row");
      if (rows.length === 0) return;
      const el = ui.rowBox.querySelector(`.row[data-index="${this.rowCursor}"]`);
      roveTo(ui.rowBox, el || rows[0]);
      if (hadFocus && el) el.focus();
    }

    focusRow(index) {
      const { ui, list } = this.c;
      const n = list.length();
      if (n === 0) return;
      this.rowCursor = Math.max(0, Math.min(n - 1, index));
      let el = ui.rowBox.querySelector(`.row[data-index="${this.rowCursor}"]`);
      if (!el) el = list.scrollToIndex(this.rowCursor);
      if (!el) return;
      roveTo(ui.rowBox, el);
      el.focus();
      el.scrollIntoView({ block: "nearest" });
    }

    // A new folder: the list's stop is its first row, the map's `node`.
    reset(node) {
      this.rowCursor = 0;
      this.mapActive = node === undefined || node === -1 ? -2 : node;
    }

    onMapKey(event) {
      const { ui } = this.c;
      const el = event.target.closest(".tile");
      if (!el) return;
      if (event.key === "Enter" || event.key === " ") {
        event.preventDefault();
        this.c.activateTile(el, { keyboard: true });
      } else if (event.key === "Home" || event.key === "End") {
        event.preventDefault();
        const all = ui.map.querySelectorAll(".tile");
        const next = event.key === "Home" ? all[0] : all[all.length - 1];
        roveTo(ui.map, next);
        this.mapActive = Number(next.dataset.node);
        next.focus();
      } else if (event.key.startsWith("Arrow") && !event.altKey) {
        event.preventDefault();
        const next = nearest(ui.map.querySelectorAll(".tile"), el, event.key);
        if (next) {
          roveTo(ui.map, next);
          this.mapActive = Number(next.dataset.node);
          next.focus();
        }
      }
    }

    onRowKey(event) {
      const row = event.target.closest(".row");
      if (!row || event.target !== row) return;
      const at = Number(row.dataset.index);
      const moves = { ArrowDown: at + 1, ArrowUp: at - 1, PageDown: at + PAGE, PageUp: at - PAGE, Home: 0,
        End: this.c.list.length() - 1 };
      if (event.key in moves && !event.altKey) {
        event.preventDefault();
        this.focusRow(moves[event.key]);
      } else if (event.key === "Enter" || event.key === "ArrowRight") {
        const node = Number(row.dataset.node);
        if (node !== -1 && this.c.isFolder(node)) {
          event.preventDefault();
          this.c.go(node, { fromList: true });
        }
      }
    }

    // Backspace, Escape and Alt+Left anywhere but in a text box go up
    // (Escape first closes the search's answers).
    onPageKey(event) {
      if (event.defaultPrevented || event.ctrlKey || event.metaKey) return;
      const typing = event.target.closest && event.target.closest("input, textarea, select");
      const up = (event.key === "ArrowLeft" && event.altKey) ||
        (!typing && !event.altKey && (event.key === "Backspace" || event.key === "Escape"));
      if (!up) return;
      event.preventDefault();
      if (event.key === "Escape" && this.c.closeResults()) return;
      this.c.back({ fromList: this.c.ui.rowBox.contains(document.activeElement) });
    }

    wire() {
      const { ui } = this.c;
      ui.map.addEventListener("keydown", (event) => this.onMapKey(event));
      ui.map.addEventListener("focusin", (event) => {
        const el = event.target.closest(".tile");
        if (el) this.mapActive = Number(el.dataset.node);
      });
      ui.rowBox.addEventListener("keydown", (event) => this.onRowKey(event));
      ui.rowBox.addEventListener("focusin", (event) => {
        const row = event.target.closest(".row");
        if (!row) return;
        this.rowCursor = Number(row.dataset.index);
        if (row.tabIndex !== 0) roveTo(ui.rowBox, row);
      });
      document.addEventListener("keydown", (event) => this.onPageKey(event));
    }
  }

  return { create: (c) => new Keys(c), nearest };
})();
