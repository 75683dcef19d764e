// The treemap of the current folder: squarified tiles sized by bytes,
// folders drawn inside down to a few levels, small tiles rolled into
// "other". Made by the page with its context `c` (model, state, words).
const Treemap = (() => {
  "use strict";

  // A tile smaller than MIN_AREA square pixels, or past MAX_TILES in one
  // folder, is rolled into "other"; folders get their own contents drawn
  // inside down to MAX_LEVELS, while the page holds at most TILE_BUDGET tiles.
  const MIN_AREA = 120;
  const MAX_TILES = 300;
  const MAX_LEVELS = 3;
  const TILE_BUDGET = 2500;
  const HEADER = 18;  // px above a folder's drawn contents, for its name
  const FRAME = 3;    // px of a folder's colour left round its drawn contents
  const NEST_MIN_W = 60;
  const NEST_MIN_H = HEADER + 28;

  const { h, present } = Dom;

  // Squarified positions of `items` ({value}) in a box, as {item, x, y, w, h}.
  function squarify(items, box) {
    const root = d3.hierarchy({ children: items }).sum((d) => (d.children ? 0 : d.value))
      .sort((a, b) => b.value - a.value);
    d3.treemap().tile(d3.treemapSquarify).size([box.w, box.h]).round(false)(root);
    return (root.children || []).map((leaf) => ({
      item: leaf.data, x: box.x + leaf.x0, y: box.y + leaf.y0, w: leaf.x1 - leaf.x0, h: leaf.y1 - leaf.y0,
    }));
  }

  // Keys of `values` worth a tile in `area` square pixels, largest first,
  // and what is left over. Never sorts more than the tiles it keeps.
  function pick(keys, valueOf, area) {
    let total = 0;
    for (let k = 0; k < keys.length; ++k) total += valueOf(keys[k]);
    const kept = [];
    let restBytes = 0;
    let restCount = 0;
    if (total <= 0) return { kept, restBytes, restCount };
    const threshold = (total * MIN_AREA) / area;
    for (let k = 0; k < keys.length; ++k) {
      const b = valueOf(keys[k]);
      if (b <= 0) continue;
      if (b >= threshold) kept.push(keys[k]);
      else {
        restBytes += b;
        ++restCount;
      }
    }
    kept.sort((a, b) => valueOf(b) - valueOf(a) || a - b);
    if (kept.length > MAX_TILES) {
      for (const key of kept.splice(MAX_TILES)) {
        restBytes += valueOf(key);
        ++restCount;
      }
    }
    return { kept, restBytes, restCount };
  }

  // Squarified tiles of `key`'s children in `box`, then of the children of
  // each tile with room inside it, MAX_LEVELS deep. `src` says what the
  // children are: kids(key), value(key), and whether a key has kids to draw.
  function layout(src, key, box, level, tiles) {
    const { kept, restBytes, restCount } = pick(src.kids(key), src.value, box.w * box.h);
    const items = kept.map((k) => ({ node: k, value: src.value(k) }));
    if (restBytes > 0) items.push({ node: -1, value: restBytes, rest: restCount });
    if (items.length === 0) return;
    const nested = [];
    for (const p of squarify(items, box)) {
      const tile = { node: p.item.node, rest: p.item.rest || 0, bytes: p.item.value, level, parent: key,
        x: p.x, y: p.y, w: p.w, h: p.h, nested: false };
      tiles.push(tile);
      if (tile.node !== -1 && level < MAX_LEVELS && src.nests(tile.node) && tile.w >= NEST_MIN_W && tile.h >= NEST_MIN_H) {
        nested.push(tile);
      }
    }
    for (const tile of nested) {
      if (tiles.length >= TILE_BUDGET) break;
      tile.nested = true;
      layout(src, tile.node, { x: tile.x + FRAME, y: tile.y + HEADER, w: tile.w - 2 * FRAME, h: tile.h - HEADER - FRAME }, level + 1, tiles);
    }
  }

  function create(c) {
    const { app, ui, t } = c;
    const src = {
      kids: (i) => c.entriesOf(i),
      value: (i) => app.model.bytes[i],
      nests: (i) => app.model.count[i] > 0,
    };

    function tileElement(tile, paint) {
      const m = app.model;
      const node = tile.node;
      const verdict = node === -1 ? "other" : c.verdictName(Model.verdictOf(m, node));
      const kind = node === -1 ? "other" : c.isFolder(node) ? "dir" : "file";
      const marked = node !== -1 && (node === app.highlight || c.typeHit(node));
      const colour = paint && node !== -1 ? paint(node, tile.nested) : `v-${verdict}`;
      const el = place(h("div", {
        class: `tile ${kind} ${colour} l${tile.level}${tile.nested ? " nested" : ""}${marked ? " highlight" : ""}`,
        tabindex: "-1", role: kind === "dir" ? "button" : "img",
        dataset: { node: String(node), bytes: String(tile.bytes), level: String(tile.level), parent: String(tile.parent) },
      }), tile);
      const label = node === -1 ? t("other", { n: c.count(tile.rest) }) : c.nameOf(node);
      const denied = node !== -1 && Model.isDenied(m, node);
      if (denied) el.classList.add("denied");
      const words = node === -1 ? "" : [t(verdict), denied ? t("deniedHint") : ""].filter(Boolean).join(", ");
      el.setAttribute("aria-label", `${Shown.isolated(label)} ${c.size(tile.bytes)}${words ? `, ${words}` : ""}`);
      el.title = node === -1 ? t("otherHint", { n: c.count(tile.rest), size: c.size(tile.bytes) })
        : `${Shown.isolated(m.path(node))}\n${c.size(tile.bytes)}${words ? `\n${words}` : ""}`;
      labelTile(el, tile, label, c.size(tile.bytes));
      return el;
    }

    function render() {
      const i = app.current;
      const tiles = [];
      // The legend of the types is filled first: the map has the room it leaves.
      const paint = c.typePaint();
      const w = ui.map.clientWidth;
      const hgt = ui.map.clientHeight;
      if (w > 0 && hgt > 0) layout(src, i, { x: 0, y: 0, w, h: hgt }, 1, tiles);
      const fragment = document.createDocumentFragment();
      for (const tile of tiles) fragment.append(tileElement(tile, paint));
      ui.map.replaceChildren(fragment);
      const { note, command } = tiles.length ? { note: "", command: null } : emptyNote(i);
      ui.mapNote.replaceChildren(note, command ? h("code", { text: command }) : "");
      ui.mapNote.hidden = !note;
      ui.mapNote.dataset.kind = "";
    }

    // Why folder i draws no tile: its contents lie beyond the scan's depth;
    // it could not be listed; it is empty; or all it holds is 0 bytes.
    function emptyNote(i) {
      const m = app.model;
      const denied = m.header.denied > 0;
      if (m.count[i] > 0) return { note: t("allZero"), command: null };
      if (m.bytes[i] > 0 || m.files[i] > 0 || m.dirs[i] > 1) {
        return { note: t("beyondDepth"), command: c.scanCommand(m.path(i)) };
      }
      // Nothing beneath the root was walked, so the denied folder is the root.
      if (i === 0 && denied) return { note: t("deniedRoot"), command: null };
      return { note: t(denied ? "emptyOrDenied" : "emptyFolder"), command: null };
    }

    return { render };
  }

  function place(el, tile) {
    const style = el.style;
    style.left = `${tile.x}px`;
    style.top = `${tile.y}px`;
    style.width = `${tile.w}px`;
    style.height = `${tile.h}px`;
    return el;
  }

  function labelTile(el, tile, label, sizeText) {
    if (tile.w < 36 || tile.h < 15) return;
    el.classList.add("labelled");
    const room = tile.nested ? false : tile.h >= 30;
    // The space keeps name and size apart in the text read out and matched
    // against the label; the two blocks show it as a line break.
    el.append(...present(h("bdi", { class: "name", text: label }), room ? " " : null,
      room ? h("span", { class: "size", text: sizeText }) : null));
  }

  return { create, layout, place, labelTile };
})();
