// The scan as the viewer holds it: the JSON report turned into flat arrays,
// with nothing that walks the tree by recursion (a document may be 100,000
// levels deep) and nothing that sorts a folder's million children when a few
// hundred are enough. Runs in the parsing worker and, where workers are not
// available, on the page itself.
const Model = (() => {
  "use strict";

  // How a load can fail; the page turns each into one sentence.
  const NOT_A_REPORT = "notReport";
  const CUT_SHORT = "cutShort";
  const UNREADABLE = "unreadable";

  class BadDocument extends Error {
    constructor(kind) {
      super(kind);
      this.kind = kind;
    }
  }

  // Bytes of a file as text: UTF-8 with or without a byte-order mark, and the
  // UTF-16 that PowerShell 5.1's ">" writes.
  function decode(buffer) {
    const head = new Uint8Array(buffer, 0, Math.min(buffer.byteLength, 3));
    let encoding = "utf-8";
    if (head[0] === 0xff && head[1] === 0xfe) encoding = "utf-16le";
    else if (head[0] === 0xfe && head[1] === 0xff) encoding = "utf-16be";
    let text = new TextDecoder(encoding).decode(buffer);
    if (text.charCodeAt(0) === 0xfeff) text = text.slice(1);
    return text;
  }

  function parse(text) {
    let doc;
    try {
      doc = JSON.parse(text);
    } catch (error) {
      throw new BadDocument(unclosed(text) ? CUT_SHORT : NOT_A_REPORT);
    }
    return doc;
  }

  // True when the text reads as the start of a report that breaks off with
  // objects or arrays still open (a full disk, a scan stopped while writing).
  function unclosed(text) {
    if (!/^\s*\{\s*"tool"\s*:/.test(text.slice(0, 100))) return false;
    let depth = 0;
    let inString = false;
    for (let i = 0; i < text.length; ++i) {
      const c = text.charCodeAt(i);
      if (inString) {
        if (c === 0x5c) ++i;  // backslash: skip the escaped character
        else if (c === 0x22) inString = false;
      } else if (c === 0x22) {
        inString = true;
      } else if (c === 0x7b || c === 0x5b) {
        ++depth;
      } else if (c === 0x7d || c === 0x5d) {
        if (--depth === 0) return false;  // closed: the fault is elsewhere
      }
    }
    return depth > 0;
  }

  const isObject = (v) => v !== null && typeof v === "object" && !Array.isArray(v);
  const isCount = (v) => typeof v === "number" && Number.isFinite(v) && v >= 0;

  function checkNode(node) {
    if (!isObject(node) || typeof node.name !== "string" || typeof node.path !== "string" ||
        !isCount(node.bytes) || !isCount(node.files) || !isCount(node.dirs)) {
      throw new BadDocument(NOT_A_REPORT);
    }
    if (node.children !== undefined && !Array.isArray(node.children)) {
      throw new BadDocument(NOT_A_REPORT);
    }
  }

  function checkMark(mark) {
    if (!isObject(mark) || (mark.state !== "red" && mark.state !== "green") ||
        typeof mark.pattern !== "string" || typeof mark.source !== "string" ||
        typeof mark.reason !== "string" || typeof mark.action !== "string") {
      throw new BadDocument(NOT_A_REPORT);
    }
  }

  // Marks repeat (a folder's verdict is copied to everything it holds), so
  // each distinct one is kept once and nodes refer to it by number.
  function markTable() {
    const marks = [];
    const ids = new Map();
    return {
      marks,
      id(mark) {
        if (mark === undefined) return -1;
        checkMark(mark);
        const key = [mark.state, mark.pattern, mark.source, mark.reason, mark.action].join("\u0000");
        let id = ids.get(key);
        if (id === undefined) {
          id = marks.length;
          marks.push({ state: mark.state, pattern: mark.pattern, source: mark.source,
            reason: mark.reason, action: mark.action });
          ids.set(key, id);
        }
        return id;
      },
    };
  }

  // The report as flat arrays in breadth-first order, so that each folder's
  // children sit side by side: children of i are first[i] .. first[i]+count[i]-1.
  function flatten(doc) {
    if (!isObject(doc) || doc.tool !== "morvane-cli" || typeof doc.path !== "string" ||
        !isObject(doc.tree) || !Array.isArray(doc.greens)) {
      throw new BadDocument(NOT_A_REPORT);
    }
    for (const key of ["total_bytes", "files", "dirs", "denied", "elapsed_ms"]) {
      if (!isCount(doc[key])) throw new BadDocument(NOT_A_REPORT);
    }
    const order = [doc.tree];
    const parentOf = [-1];
    for (let i = 0; i < order.length; ++i) {
      const node = order[i];
      checkNode(node);
      const children = node.children;
      if (children !== undefined) {
        for (let k = 0; k < children.length; ++k) {
          order.push(children[k]);
          parentOf.push(i);
        }
      }
    }
    const n = order.length;
    const model = {
      header: {
        tool: doc.tool,
        version: typeof doc.version === "string" ? doc.version : "",
        path: doc.path,
        total_bytes: doc.total_bytes,
        files: doc.files,
        dirs: doc.dirs,
        denied: doc.denied,
        elapsed_ms: doc.elapsed_ms,
      },
      size: n,
      parent: new Int32Array(n),
      first: new Int32Array(n),
      count: new Int32Array(n),
      bytes: new Float64Array(n),
      files: new Float64Array(n),
      dirs: new Float64Array(n),
      mark: new Int32Array(n),
      names: new Array(n),
      paths: new Array(n),
      marks: null,
      greens: [],
    };
    const table = markTable();
    let next = 1;
    for (let i = 0; i < n; ++i) {
      const node = order[i];
      model.parent[i] = parentOf[i];
      const kids = node.children === undefined ? 0 : node.children.length;
      model.first[i] = kids ? next : 0;
      model.count[i] = kids;
      next += kids;
      model.bytes[i] = node.bytes;
      model.files[i] = node.files;
      model.dirs[i] = node.dirs;
      model.mark[i] = table.id(node.mark);
      model.names[i] = node.name;
      model.paths[i] = node.path;
      order[i] = null;  // let the parsed node go as soon as it is copied
    }
    for (const green of doc.greens) {
      checkNode(green);
      const id = table.id(green.mark);
      model.greens.push({ name: green.name, path: green.path, bytes: green.bytes, files: green.files,
        dirs: green.dirs, mark: id });
    }
    model.marks = table.marks;
    model.separator = guessSeparator(doc.path);
    model.cleanable = topMostGreens(model);
    model.largest = largestFolders(model, 20);
    return model;
  }

  function guessSeparator(path) {
    return path.includes("\\") || /^[A-Za-z]:/.test(path) || path.startsWith("UNC") ? "\\" : "/";
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

  // Where the space really is: the largest folders none of whose subfolders
  // holds half of them or more (such a subfolder is the better pointer, and
  // is judged itself). A folder whose contents are not in the report counts.
  function largestFolders(model, limit) {
    const best = [];  // ascending by bytes, at most `limit`
    for (let i = 0; i < model.size; ++i) {
      const bytes = model.bytes[i];
      if (model.dirs[i] === 0 || bytes === 0) continue;
      if (best.length === limit && bytes <= model.bytes[best[0]]) continue;
      let biggest = 0;
      for (let c = model.first[i], end = c + model.count[i]; c < end; ++c) {
        if (model.dirs[c] > 0 && model.bytes[c] > biggest) biggest = model.bytes[c];
      }
      if (biggest * 2 >= bytes) continue;
      if (best.length === limit) best.shift();
      let at = best.length;
      while (at > 0 && model.bytes[best[at - 1]] > bytes) --at;
      best.splice(at, 0, i);
    }
    return best.reverse();
  }

  // Load from raw bytes: decode, parse, check, flatten.
  function load(buffer) {
    if (buffer.byteLength === 0) throw new BadDocument(NOT_A_REPORT);
    let text;
    try {
      text = decode(buffer);
    } catch (error) {
      throw new BadDocument(UNREADABLE);
    }
    return flatten(parse(text));
  }

  // The buffers that can move to the page instead of being copied.
  function transferables(model) {
    return [model.parent, model.first, model.count, model.bytes, model.files, model.dirs, model.mark]
      .map((a) => a.buffer);
  }

  // ---- Verdicts -------------------------------------------------------------

  const lower = (s) => s.replace(/[A-Z]/g, (c) => c.toLowerCase());

  function components(path) {
    return lower(path).split(/[\\/]/).filter((c) => c !== "");
  }

  // "Safe" or "check first" for a green verdict at `path` (the folder the
  // rule matched, not one that inherited it):
  // - a user rule: check first, the user's own words are all we know;
  // - anything inside a cloud-synced folder: check first, deleting it there
  //   deletes it from the cloud too;
  // - a built-in path rule (a pattern with a separator: Windows\Temp, the
  //   Windows Update download cache, the pip, Yarn, Gradle, Maven and browser
  //   caches): safe, it names one well-known location;
  // - a built-in name rule (Temp, npm-cache, .pnpm-store, pnpm-cache, cache,
  //   CrashDumps, ReportArchive, thumbcache_*): safe inside application data
  //   (a path with an AppData folder, or under ?:\ProgramData or ?:\Windows),
  //   except OneNote's cache, which may hold edits not yet synced, and a
  //   project's .yarn\cache, which is part of the project; anywhere else check
  //   first, a folder merely named so can hold a person's files.
  function greenGroup(mark, path) {
    if (mark.source !== "builtin") return { safe: false, why: "user" };
    const parts = components(path);
    if (parts.some((p) => p === "onedrive" || p.startsWith("onedrive - "))) {
      return { safe: false, why: "cloud" };
    }
    if (/[\\/]/.test(mark.pattern)) return { safe: true, why: null };
    for (let i = 0; i + 2 < parts.length; ++i) {
      if (parts[i] === "microsoft" && parts[i + 1] === "onenote") return { safe: false, why: "oneNote" };
    }
    const last = parts.length - 1;
    if (last >= 1 && parts[last] === "cache" && parts[last - 1] === ".yarn") {
      return { safe: false, why: "projectYarn" };
    }
    const drive = /^[a-z]:$/.test(parts[0] || "") || /^volume\{/.test(parts[0] || "");
    const systemData = drive && (parts[1] === "programdata" || parts[1] === "windows");
    if (systemData || parts.includes("appdata")) return { safe: true, why: null };
    return { safe: false, why: "nameOutside" };
  }

  // The node where the verdict of node i was given: i itself, or the highest
  // of its enclosing folders that carry the very same verdict without a break.
  function markOwner(model, i) {
    const id = model.mark[i];
    let owner = i;
    for (let p = model.parent[i]; p !== -1 && model.mark[p] === id; p = model.parent[p]) owner = p;
    return owner;
  }

  // "red", "safe", "check" or "" for node i.
  function verdictOf(model, i) {
    const id = model.mark[i];
    if (id === -1) return "";
    const mark = model.marks[id];
    if (mark.state === "red") return "red";
    return greenGroup(mark, model.paths[markOwner(model, i)]).safe ? "safe" : "check";
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
    BadDocument, NOT_A_REPORT, CUT_SHORT, UNREADABLE,
    load, flatten, transferables, greenGroup, markOwner, verdictOf, formatSize, topMostGreens,
    largestFolders,
  };
})();
