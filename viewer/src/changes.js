// Two scans of one path, folder by folder: every entry present in either,
// matched by name under matched folders, with its bytes and files in each.
// Below a folder that one scan holds only as a total (it was at that scan's
// depth) nothing is matched: the comparison goes as deep as the shallower
// scan. On a Windows scan (its root a drive letter, UNC\ or Volume{...})
// names are one name in any letter case, as Windows has them; a Linux scan's
// are matched exactly. Pure, over two models.
const Changes = (() => {
  "use strict";

  const GROWERS = 20;

  // A folder whose contents are not in the scan: at the scan's depth.
  const beyond = (m, i) => m.dirs[i] > 0 && m.count[i] === 0 && (m.bytes[i] > 0 || m.files[i] > 0 || m.dirs[i] > 1);
  const filesOf = (m, i) => (m.dirs[i] > 0 ? m.files[i] : 1);

  const WINDOWS_ROOT = /^([A-Za-z]:|UNC\\|Volume\{)/;
  const exactly = (name) => name;
  const anyCase = (name) => name.toLowerCase();

  function matchKids(now, before, d, id, add, key) {
    const a = d.now[id];
    const b = d.before[id];
    const old = new Map();
    if (b !== -1) {
      for (let k = before.first[b], stop = k + before.count[b]; k < stop; ++k) {
        old.set(key(before.name(before.kids[k])), before.kids[k]);
      }
    }
    const made = [];
    if (a !== -1) {
      for (let k = now.first[a], stop = k + now.count[a]; k < stop; ++k) {
        const kid = now.kids[k];
        const name = now.name(kid);
        const match = old.get(key(name));
        if (match !== undefined) old.delete(key(name));
        const entry = add(kid, match === undefined ? -1 : match, id);
        if (match !== undefined && before.name(match) !== name) d.renamed.add(entry);
        made.push(entry);
      }
    }
    for (const kid of old.values()) made.push(add(-1, kid, id));
    return made;
  }

  // The growth of every entry, and which of them are new, gone, grown or
  // shrunk. `now` and `before` are models; refused when their roots differ.
  function diff(now, before) {
    if (now.header.path !== before.header.path) {
      return { refused: true, nowPath: now.header.path, beforePath: before.header.path };
    }
    const d = { now: [], before: [], parent: [], kids: [], byNode: new Int32Array(now.size).fill(-1), shallower: false,
      cut: new Set(),       // entries one scan holds only as a total
      renamed: new Set() };  // entries matched in another letter case
    const key = WINDOWS_ROOT.test(now.header.path) ? anyCase : exactly;
    const add = (a, b, parent) => {
      const id = d.now.length;
      d.now.push(a);
      d.before.push(b);
      d.parent.push(parent);
      d.kids.push(null);
      if (a !== -1) d.byNode[a] = id;
      return id;
    };
    const stack = [add(0, 0, -1)];
    while (stack.length) {
      const id = stack.pop();
      const a = d.now[id];
      const b = d.before[id];
      const hasKids = (a !== -1 && now.count[a] > 0) || (b !== -1 && before.count[b] > 0);
      if (!hasKids) continue;
      if (a !== -1 && b !== -1 && beyond(now, a) !== beyond(before, b)) {
        d.shallower = true;
        d.cut.add(id);
        continue;
      }
      d.kids[id] = matchKids(now, before, d, id, add, key);
      for (const kid of d.kids[id]) stack.push(kid);
    }
    return finish(now, before, d);
  }

  // Sizes, counts and kinds as columns.
  function finish(now, before, d) {
    const n = d.now.length;
    d.size = n;
    d.bytesNow = new Float64Array(n);
    d.bytesBefore = new Float64Array(n);
    d.filesNow = new Float64Array(n);
    d.filesBefore = new Float64Array(n);
    d.kind = new Array(n);
    for (let id = 0; id < n; ++id) {
      const a = d.now[id];
      const b = d.before[id];
      if (a !== -1) {
        d.bytesNow[id] = now.bytes[a];
        d.filesNow[id] = filesOf(now, a);
      }
      if (b !== -1) {
        d.bytesBefore[id] = before.bytes[b];
        d.filesBefore[id] = filesOf(before, b);
      }
      const delta = d.bytesNow[id] - d.bytesBefore[id];
      d.kind[id] = b === -1 ? "new" : a === -1 ? "gone" : delta > 0 ? "grew" : delta < 0 ? "shrank"
        : d.renamed.has(id) ? "renamed" : "same";
    }
    d.growers = growers(d);
    return d;
  }

  // Where the growth really is: from the top down, the first entries that
  // grew and none of whose entries holds half of that growth or more
  // (below them the growth is spread out), wherever they are, largest
  // growth first.
  function growers(d) {
    const growth = (id) => d.bytesNow[id] - d.bytesBefore[id];
    const found = [];
    const stack = [0];
    while (stack.length) {
      const id = stack.pop();
      let biggest = 0;
      for (const kid of d.kids[id] || []) biggest = Math.max(biggest, growth(kid));
      if (id !== 0 && growth(id) > 0 && biggest * 2 < growth(id)) {
        found.push(id);
        continue;
      }
      // A folder that shrank or stayed may hold growth too.
      for (const kid of d.kids[id] || []) stack.push(kid);
    }
    return found.sort((x, y) => growth(y) - growth(x) || x - y).slice(0, GROWERS);
  }

  return { diff };
})();
