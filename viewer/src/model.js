// The scan as the viewer holds it: the JSON report read straight from its
// bytes into flat arrays (Columns), while the file is still being read. A
// 135 MB report of 300,000 nodes would cost seconds as one decoded string, a
// JSON.parse object per node and a copy of every name to the page; here each
// node is a row of typed arrays and its name and path stay UTF-8 bytes in
// one buffer, moved to the page whole and decoded only when shown. Nothing
// walks the tree by recursion (a report may be 100,000 levels deep) and
// nothing sorts a folder's million children when a few hundred are enough.
// Runs in the parsing worker and, where workers are not available, on the
// page itself.
const Model = (() => {
  "use strict";

  // How many of the largest files the page lists.
  const LARGEST_FILES = 100;

  const { BadDocument, NOT_A_REPORT, CUT_SHORT, UNREADABLE } = Json;

  // The most green entries a report lists: the program keeps its largest
  // this many (GreenList's DEFAULT_CAPACITY), so a list this long may be cut.
  const GREENS_CAP = 1000;

  // Byte-order marks: UTF-8 is taken as it is (PowerShell 5.1's Out-File
  // adds a mark), UTF-16 with its mark (what PowerShell 5.1's ">" writes)
  // is converted, and needs the whole file first.
  const hasUtf8Mark = (b) => b.length >= 3 && b[0] === 0xef && b[1] === 0xbb && b[2] === 0xbf;
  const utf16Endian = (b) => (b[0] === 0xff && b[1] === 0xfe ? "utf-16le" : b[0] === 0xfe && b[1] === 0xff ? "utf-16be" : "");

  function utf8(buffer) {
    const bytes = new Uint8Array(buffer);
    if (hasUtf8Mark(bytes)) return bytes.subarray(3);
    const endian = utf16Endian(bytes);
    if (endian) return new TextEncoder().encode(new TextDecoder(endian).decode(bytes.subarray(2)));
    return bytes;
  }

  // Reading a report chunk by chunk. `sizeHint` is the file's size.
  // feed(chunk, final) takes each chunk as it comes; finish() gives the
  // model and the names' bytes the worker keeps to search.
  function reading(sizeHint) {
    const reader = new Reader.ReportReader(sizeHint);
    let head = new Uint8Array(0);  // the first bytes, until a mark can be told
    return {
      feed(chunk, final) {
        let bytes = chunk;
        if (head) {
          if (head.length > 0) {
            bytes = new Uint8Array(head.length + chunk.length);
            bytes.set(head);
            bytes.set(chunk, head.length);
          }
          if (bytes.length < 3 && !final) {
            head = bytes;
            return;
          }
          head = null;
          if (utf16Endian(bytes)) throw new BadDocument(NOT_A_REPORT);
          if (hasUtf8Mark(bytes)) bytes = bytes.subarray(3);
        }
        reader.feed(bytes, final);
      },
      finish() {
        const read = reader.finish();
        return { model: assemble(read), text: read.text };
      },
    };
  }

  // The file's bytes, all at once.
  function load(buffer) {
    if (buffer.byteLength === 0) throw new BadDocument(NOT_A_REPORT);
    let bytes;
    try {
      bytes = utf8(buffer);
    } catch (error) {
      throw new BadDocument(UNREADABLE);
    }
    const reader = new Reader.ReportReader(bytes.length);
    reader.feed(bytes, true);
    return assemble(reader.finish());
  }

  // What was read, with the children side by side and what the panels need.
  function assemble({ header, columns, text, marks, greens, joinedWith }) {
    const model = { header, ...columns.trimmed(), text: text.slice(), marks, greens, joinedWith };
    Object.assign(model, childrenOf(model.parent));
    model.separator = Groups.separatorOf(header.path);
    model.cleanable = topMostGreens(model);
    model.largest = largestFolders(model, 20);
    model.largestFiles = largestFiles(model, LARGEST_FILES);
    model.windowsFreed = windowsFreed(model);
    model.denied = deniedFolders(model);
    return model;
  }

  // kids[first[i] .. first[i] + count[i]) are the children of i, in the
  // report's order (nodes are numbered as they open, so a parent comes first).
  function childrenOf(parent) {
    const n = parent.length;
    const count = new Int32Array(n);
    for (let i = 1; i < n; ++i) ++count[parent[i]];
    const first = new Int32Array(n);
    for (let i = 1, at = 0; i < n; ++i) {
      first[i] = at + count[i - 1];
      at = first[i];
    }
    const fill = first.slice();
    const kids = new Int32Array(Math.max(0, n - 1));
    for (let i = 1; i < n; ++i) kids[fill[parent[i]]++] = i;
    return { first, count, kids };
  }

  const BUFFERS = [...Columns.NAMES, "first", "count", "kids", "text"];

  // The buffers that move to the page instead of being copied.
  function transferables(model) {
    return BUFFERS.map((name) => model[name].buffer);
  }

  // Node i's name or path as text, from the bytes the report spelt it with.
  function textOf(model, at, length, escaped) {
    return Json.decode(model.text, at, at + length, escaped);
  }

  // Names and paths decoded when first asked for, then kept: in arrays
  // that start empty, since a page shows a few hundred of a million (two
  // arrays as long as the scan cost the first picture 30 ms).
  function withText(model) {
    const names = [];
    const paths = [];
    model.name = (i) => {
      let s = names[i];
      if (s === undefined) {
        s = textOf(model, model.nameAt[i], model.nameLen[i], model.escaped[i] & Columns.NAME_ESCAPED);
        names[i] = s;
      }
      return s;
    };
    const spelt = (i) => textOf(model, model.pathAt[i], model.pathLen[i], model.escaped[i] & Columns.PATH_ESCAPED);
    model.path = (i) => {
      const s = paths[i];
      return s !== undefined ? s : Columns.pathOf(model, i, paths, spelt, model.name, model.joinedWith);
    };
    return model;
  }

  // The greens without those inside another green entry, so no byte counts
  // twice. Paths within one report come from one walk and share their
  // spelling, so a plain prefix test is exact.
  function topMostGreens(model) {
    const sep = model.separator;
    const greens = model.greens.map((g, index) => ({ g, index }));
    greens.sort((a, b) => a.g.path.length - b.g.path.length || a.index - b.index);
    const kept = new Set();
    const top = [];
    for (const { g, index } of greens) {
      const path = g.path;
      let inside = false;
      for (let at = path.indexOf(sep); at !== -1 && !inside; at = path.indexOf(sep, at + 1)) {
        // Both "C:\" (a root ends in its separator) and "C:\dir" forms.
        inside = kept.has(path.slice(0, at)) || kept.has(path.slice(0, at + 1));
      }
      if (inside || kept.has(path)) continue;
      kept.add(path);
      top.push(index);
    }
    top.sort((a, b) => model.greens[b].bytes - model.greens[a].bytes || a - b);
    return top;
  }

  // Where the space really is: the largest folders below the scanned one
  // none of whose subfolders holds half of them or more (such a subfolder is
  // the better pointer, and is judged itself). A folder whose contents are
  // not in the report counts.
  function largestFolders(model, limit) {
    const best = new TopN(limit, model.bytes);
    for (let i = 1; i < model.size; ++i) {
      const bytes = model.bytes[i];
      if (model.dirs[i] === 0 || bytes === 0 || !best.wants(bytes)) continue;
      let biggest = 0;
      for (let k = model.first[i], stop = k + model.count[i]; k < stop; ++k) {
        const c = model.kids[k];
        if (model.dirs[c] > 0 && model.bytes[c] > biggest) biggest = model.bytes[c];
      }
      if (biggest * 2 < bytes) best.offer(i);
    }
    return best.largest();
  }

  // The largest files of every folder the scan kept, wherever they are.
  function largestFiles(model, limit) {
    const best = new TopN(limit, model.bytes);
    for (let i = 0; i < model.size; ++i) {
      if (model.dirs[i] === 0 && best.wants(model.bytes[i])) best.offer(i);
    }
    return best.largest();
  }

  // Red entries only Windows' own settings free (the Recycle Bin, the page
  // file, ...): each node whose verdict is its own, largest first.
  function windowsFreed(model) {
    const freed = model.marks.map((mark) => Groups.windowsSetting(mark) !== null);
    const found = [];
    for (let i = 0; i < model.size; ++i) {
      const id = model.mark[i];
      if (id === -1 || !freed[id]) continue;
      const p = model.parent[i];
      if (p === -1 || model.mark[p] !== id) found.push(i);
    }
    return found.sort((a, b) => model.bytes[b] - model.bytes[a] || a - b);
  }

  // ---- Verdicts -------------------------------------------------------------

  // The node where the verdict of node i was given: i itself, or the highest
  // of its enclosing folders that carry the very same verdict without a break.
  function markOwner(model, i) {
    const id = model.mark[i];
    let owner = i;
    for (let p = model.parent[i]; p !== -1 && model.mark[p] === id; p = model.parent[p]) owner = p;
    return owner;
  }

  // Node i is a folder that could not be opened or read to the end.
  const isDenied = (model, i) => (model.escaped[i] & Columns.DENIED) !== 0;

  // The folders the scan kept that could not be read, in tree order.
  function deniedFolders(model) {
    const out = [];
    for (let i = 0; i < model.size; ++i) if (isDenied(model, i)) out.push(i);
    return out;
  }

  // "red", "safe", "check" or "" for node i.
  function verdictOf(model, i) {
    const id = model.mark[i];
    if (id === -1) return "";
    const mark = model.marks[id];
    if (mark.state === "red") return "red";
    return Groups.greenGroup(mark, model.path(markOwner(model, i))).safe ? "safe" : "check";
  }

  // ---- Sizes ----------------------------------------------------------------

  const UNITS = ["B", "KB", "MB", "GB", "TB"];

  // As the text report writes sizes: 1024-based, one decimal.
  function formatSize(bytes) {
    if (bytes < 1024) return `${bytes} B`;
    let value = bytes / 1024;
    let unit = 1;
    while (unit < UNITS.length - 1 && value >= 1024) {
      value /= 1024;
      ++unit;
    }
    return `${value.toFixed(1)} ${UNITS[unit]}`;
  }

  return {
    BadDocument, NOT_A_REPORT, CUT_SHORT, UNREADABLE, GREENS_CAP,
    LARGEST_FILES, load, reading, utf16Endian, withText, transferables, markOwner, verdictOf, formatSize, isDenied, deniedFolders,
  };
})();
