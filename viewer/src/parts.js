// A large report in the program's layout read by two workers at once. The
// second starts at a line in the middle of the file that opens an entry of
// a children list (its indentation tells how many lists down), with
// stand-ins for the entries and lists around it; the first reads up to
// that line and then takes the second's rows in. Whatever else the line
// may be is found out there, when the first reader's open containers are
// not the stand-ins: then the first reads the rest itself.
const Parts = (() => {
  "use strict";

  const { ReportReader, REPORT, NODE, CHILDREN, NODE_FIELDS, CHILDREN_SEEN } = Reader;
  const { BadDocument, NOT_A_REPORT } = Json;

  const blank = (c) => c === 0x20 || c === 0x0a || c === 0x0d || c === 0x09;

  // The first line after bytes[from] that is a "{" alone, indented by
  // 4k + 2 spaces (k >= 1), after a line that ends in "," or "[": {at, depth:
  // k}, `at` where the "{" is; null when there is none.
  function cutIn(bytes, from = 0) {
    for (let nl = bytes.indexOf(0x0a, from); nl !== -1; nl = bytes.indexOf(0x0a, nl + 1)) {
      let p = nl + 1;
      while (p < bytes.length && bytes[p] === 0x20) ++p;
      const n = p - nl - 1;
      if (n < 6 || n % 4 !== 2 || bytes[p] !== 0x7b || (bytes[p + 1] !== 0x0a && bytes[p + 1] !== 0x0d)) continue;
      let q = nl - 1;
      while (q >= 0 && blank(bytes[q])) --q;
      if (q >= 0 && (bytes[q] === 0x2c || bytes[q] === 0x5b)) return { at: p, depth: (n - 2) / 4 };
    }
    return null;
  }

  // The reader of the part from a cut `depth` lists down: the entries
  // around it are numbered -2 (the tree), -3, ... until joined.
  function second(depth, sizeHint) {
    const r = new ReportReader(sizeHint);
    r.started = true;
    r.sawTree = true;
    const s = r.stack;
    s.push(REPORT, true, -1);
    s.count[0] = 1;
    for (let level = 0; level < depth; ++level) {
      s.push(NODE, true, -2 - level);
      s.seen[s.depth - 1] = NODE_FIELDS | CHILDREN_SEEN;
      s.count[s.depth - 1] = 1;
      s.push(CHILDREN, false, -2 - level);
      s.count[s.depth - 1] = 1;
    }
    s.count[s.depth - 1] = 0;  // the entry at the cut comes without a comma
    return r;
  }

  // What the second reader read, to the report's end: moved to the first.
  function partOf(r) {
    if (r.stack.depth > 0) throw new BadDocument(NOT_A_REPORT);
    return { header: r.header, columns: r.columns.trimmed(), text: r.text.view(), marks: r.verdicts.list, greens: r.greens };
  }

  const PART_BUFFERS = (part) => [...Columns.NAMES.map((name) => part.columns[name].buffer), part.text.buffer];

  // The first reader, having read up to the cut, ends where the second
  // began: inside the same entries and lists, with nothing but blanks and
  // the comma after the entry before left over.
  function endsAtCut(r, depth) {
    const s = r.stack;
    if (!r.started || s.depth !== 2 * depth + 1 || s.type[0] !== REPORT) return false;
    for (let d = 1; d < s.depth; d += 2) {
      if (s.type[d] !== NODE || (s.seen[d] & NODE_FIELDS) !== NODE_FIELDS || s.type[d + 1] !== CHILDREN) return false;
    }
    let commas = 0;
    for (const c of r.leftover || []) {
      if (c === 0x2c) ++commas;
      else if (!blank(c)) return false;
    }
    return commas === (s.count[s.depth - 1] > 0 ? 1 : 0);
  }

  // The second part's verdict ids as the first's, adding those it lacks.
  function verdictIds(list, marks) {
    const key = (m) => JSON.stringify([m.state, m.pattern, m.source, m.reason, m.action]);
    const known = new Map(list.map((m, id) => [key(m), id]));
    return marks.map((m) => {
      if (!known.has(key(m))) {
        known.set(key(m), list.length);
        list.push(m);
      }
      return known.get(key(m));
    });
  }

  // Takes the second part into the first reader; false (nothing changed)
  // when the first does not end where the second began.
  function join(r, part, depth) {
    if (!endsAtCut(r, depth)) return false;
    const s = r.stack;
    const cols = r.columns;
    const from = part.columns;
    const n = cols.size;
    if (cols.capacity < n + from.size) cols.allocate(n + from.size);
    const textAt = r.text.append(part.text, 0, part.text.length);
    const ids = verdictIds(r.verdicts.list, part.marks);
    for (let k = 0; k < from.size; ++k) {
      const p = from.parent[k];
      cols.parent[n + k] = p >= 0 ? p + n : s.node[1 + 2 * (-2 - p)];
      cols.mark[n + k] = from.mark[k] === -1 ? -1 : ids[from.mark[k]];
      cols.nameAt[n + k] = from.nameAt[k] + textAt;
      cols.pathAt[n + k] = from.pathAt[k] + textAt;
    }
    for (const name of ["bytes", "files", "dirs", "nameLen", "pathLen", "escaped"]) cols[name].set(from[name], n);
    cols.size = n + from.size;
    for (const green of part.greens) r.greens.push({ ...green, mark: green.mark === -1 ? -1 : ids[green.mark] });
    Object.assign(r.header, part.header);
    s.depth = 0;
    r.leftover = null;
    return true;
  }

  return { cutIn, second, partOf, join, PART_BUFFERS };
})();
