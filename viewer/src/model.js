// The scan as the viewer holds it: the JSON report read straight from its
// bytes into flat arrays. A 135 MB report of 300,000 nodes would cost
// seconds as one decoded string, a JSON.parse object per node and a copy of
// every name to the page; here each node is a row of typed arrays and its
// name and path stay UTF-8 bytes in one buffer, moved to the page whole and
// decoded only when shown. Nothing walks the tree by recursion (a report may
// be 100,000 levels deep) and nothing sorts a folder's million children when
// a few hundred are enough. Runs in the parsing worker and, where workers are
// not available, on the page itself.
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

  // The file's bytes as UTF-8 without a byte-order mark: UTF-8 is taken as it
  // is (PowerShell 5.1's Out-File adds a mark), UTF-16 with its mark (what
  // PowerShell 5.1's ">" writes) is converted.
  function utf8(buffer) {
    const bytes = new Uint8Array(buffer);
    if (bytes[0] === 0xef && bytes[1] === 0xbb && bytes[2] === 0xbf) return bytes.subarray(3);
    const le = bytes[0] === 0xff && bytes[1] === 0xfe;
    if (le || (bytes[0] === 0xfe && bytes[1] === 0xff)) {
      return new TextEncoder().encode(new TextDecoder(le ? "utf-16le" : "utf-16be").decode(bytes.subarray(2)));
    }
    return bytes;
  }

  // ---- Reading the report ----------------------------------------------------

  // Member names the report uses, by their bytes.
  const KEYS = ["tool", "version", "path", "total_bytes", "files", "dirs", "denied", "elapsed_ms", "tree",
    "greens", "name", "bytes", "mark", "children", "state", "pattern", "source", "reason", "action"];
  const K = Object.fromEntries(KEYS.map((key, i) => [key, i]));
  // A key the file spells with escapes is looked up here: a Map, so that
  // "constructor" or "__proto__" are keys like any other, not inherited
  // members.
  const KEY_INDEX = new Map(KEYS.map((key, i) => [key, i]));
  const KEY_BYTES = KEYS.map((key) => Array.from(key, (c) => c.charCodeAt(0)));

  // What a container is, for the reader: the report, a node of the tree, a
  // list of children, the greens, one green, a verdict, or something the
  // viewer does not use (still checked to be JSON).
  const REPORT = 0;
  const NODE = 1;
  const CHILDREN = 2;
  const GREENS = 3;
  const GREEN = 4;
  const MARK = 5;
  const OTHER = 6;

  // Members a node must have.
  const NODE_FIELDS = (1 << K.name) | (1 << K.path) | (1 << K.bytes) | (1 << K.files) | (1 << K.dirs);
  const MARK_FIELDS = (1 << K.state) | (1 << K.pattern) | (1 << K.source) | (1 << K.reason) | (1 << K.action);

  const decoder = new TextDecoder();

  // A strict JSON reader over UTF-8 bytes, driven by an explicit stack, that
  // keeps what a report holds and checks the rest.
  function read(bytes) {
    const end = bytes.length;
    let pos = 0;
    let toolSeen = false;

    const fail = () => {
      throw new BadDocument(pos >= end && toolSeen ? CUT_SHORT : NOT_A_REPORT);
    };

    // Nodes, in the order they open (depth first); grown by doubling.
    let capacity = 1024;
    let parent = new Int32Array(capacity);
    let sizes = new Float64Array(capacity);
    let files = new Float64Array(capacity);
    let dirs = new Float64Array(capacity);
    let mark = new Int32Array(capacity);
    let nameAt = new Uint32Array(capacity);
    let nameLen = new Uint32Array(capacity);
    let pathAt = new Uint32Array(capacity);
    let pathLen = new Uint32Array(capacity);
    let nodes = 0;
    const grow = (Type, array) => {
      const bigger = new Type(capacity);
      bigger.set(array);
      return bigger;
    };
    function newNode(parentIndex) {
      if (nodes === capacity) {
        capacity *= 2;
        parent = grow(Int32Array, parent);
        sizes = grow(Float64Array, sizes);
        files = grow(Float64Array, files);
        dirs = grow(Float64Array, dirs);
        mark = grow(Int32Array, mark);
        nameAt = grow(Uint32Array, nameAt);
        nameLen = grow(Uint32Array, nameLen);
        pathAt = grow(Uint32Array, pathAt);
        pathLen = grow(Uint32Array, pathLen);
      }
      parent[nodes] = parentIndex;
      mark[nodes] = -1;
      return nodes++;
    }

    // Names and paths, unescaped, one after another.
    let text = new Uint8Array(Math.max(1024, end >> 2));
    let textLen = 0;
    function reserve(more) {
      if (textLen + more <= text.length) return;
      let size = text.length * 2;
      while (size < textLen + more) size *= 2;
      const bigger = new Uint8Array(size);
      bigger.set(text.subarray(0, textLen));
      text = bigger;
    }

    const marks = [];
    const markIds = new Map();
    const greens = [];
    const header = {};
    let sawTree = false;

    // A string token: checks it and leaves pos after the closing quote.
    // Returns its content's start; `escaped` says whether it holds escapes.
    let escaped = false;
    let ascii = true;
    function scanString() {
      ++pos;  // the opening quote
      const start = pos;
      escaped = false;
      ascii = true;
      for (;;) {
        if (pos >= end) fail();
        const c = bytes[pos];
        if (c === 0x22) break;
        if (c === 0x5c) {
          escaped = true;
          ++pos;
          if (pos >= end) fail();
          const e = bytes[pos];
          if (e === 0x75) {  // \uXXXX
            for (let k = 1; k <= 4; ++k) {
              if (pos + k >= end) fail();
              if (hex(bytes[pos + k]) < 0) fail();
            }
            pos += 4;
          } else if (e !== 0x22 && e !== 0x5c && e !== 0x2f && e !== 0x62 && e !== 0x66 && e !== 0x6e &&
                     e !== 0x72 && e !== 0x74) {
            fail();
          }
        } else if (c < 0x20) {
          fail();
        } else if (c >= 0x80) {
          ascii = false;
        }
        ++pos;
      }
      const start0 = start;
      ++pos;  // the closing quote
      return start0;
    }

    function hex(c) {
      if (c >= 0x30 && c <= 0x39) return c - 0x30;
      if (c >= 0x61 && c <= 0x66) return c - 0x57;
      if (c >= 0x41 && c <= 0x46) return c - 0x37;
      return -1;
    }

    // Writes the content of the string token [start, stop) unescaped, as
    // UTF-8, into `out` at `at`; returns the length written. An unpaired
    // surrogate becomes U+FFFD.
    function unescapeInto(start, stop, out, at) {
      let o = at;
      for (let p = start; p < stop; ++p) {
        const c = bytes[p];
        if (c !== 0x5c) {
          out[o++] = c;
          continue;
        }
        const e = bytes[++p];
        if (e !== 0x75) {
          out[o++] = e === 0x62 ? 8 : e === 0x66 ? 12 : e === 0x6e ? 10 : e === 0x72 ? 13 : e === 0x74 ? 9 : e;
          continue;
        }
        let u = (hex(bytes[p + 1]) << 12) | (hex(bytes[p + 2]) << 8) | (hex(bytes[p + 3]) << 4) | hex(bytes[p + 4]);
        p += 4;
        if (u >= 0xd800 && u <= 0xdbff && bytes[p + 1] === 0x5c && bytes[p + 2] === 0x75) {
          const low = (hex(bytes[p + 3]) << 12) | (hex(bytes[p + 4]) << 8) | (hex(bytes[p + 5]) << 4) | hex(bytes[p + 6]);
          if (low >= 0xdc00 && low <= 0xdfff) {
            u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
            p += 6;
          }
        }
        if (u >= 0xd800 && u <= 0xdfff) u = 0xfffd;
        if (u < 0x80) out[o++] = u;
        else if (u < 0x800) {
          out[o++] = 0xc0 | (u >> 6);
          out[o++] = 0x80 | (u & 63);
        } else if (u < 0x10000) {
          out[o++] = 0xe0 | (u >> 12);
          out[o++] = 0x80 | ((u >> 6) & 63);
          out[o++] = 0x80 | (u & 63);
        } else {
          out[o++] = 0xf0 | (u >> 18);
          out[o++] = 0x80 | ((u >> 12) & 63);
          out[o++] = 0x80 | ((u >> 6) & 63);
          out[o++] = 0x80 | (u & 63);
        }
      }
      return o - at;
    }

    // The string token just scanned, kept in the names buffer.
    function keepString(start) {
      const stop = pos - 1;
      reserve(stop - start);
      const at = textLen;
      if (escaped) textLen += unescapeInto(start, stop, text, at);
      else {
        text.set(bytes.subarray(start, stop), at);
        textLen += stop - start;
      }
      return at;
    }

    // The string token just scanned, as a JavaScript string.
    function jsString(start) {
      const stop = pos - 1;
      if (!escaped) {
        if (ascii && stop - start < 64) return String.fromCharCode.apply(null, bytes.subarray(start, stop));
        return decoder.decode(bytes.subarray(start, stop));
      }
      const out = new Uint8Array((stop - start) * 2);
      return decoder.decode(out.subarray(0, unescapeInto(start, stop, out, 0)));
    }

    // The string token just scanned, for texts that repeat from node to node
    // (a verdict is copied to everything beneath it): the same bytes give the
    // same string, made once.
    const seenStrings = new Map();  // hash -> [{start, length, string}]
    function repeatedString(start) {
      const stop = pos - 1;
      let hash = 2166136261;
      for (let p = start; p < stop; ++p) hash = Math.imul(hash ^ bytes[p], 16777619);
      const bucket = seenStrings.get(hash);
      if (bucket) {
        for (const known of bucket) {
          if (known.length !== stop - start) continue;
          let same = true;
          for (let j = 0; j < known.length && same; ++j) same = bytes[known.start + j] === bytes[start + j];
          if (same) return known.string;
        }
      }
      const string = jsString(start);
      const entry = { start, length: stop - start, string };
      if (bucket) bucket.push(entry);
      else seenStrings.set(hash, [entry]);
      return string;
    }

    // The key token just scanned, as an index into KEYS, or -1.
    function keyOf(start) {
      const stop = pos - 1;
      const length = stop - start;
      if (escaped) {
        const k = KEY_INDEX.get(jsString(start));
        return k === undefined ? -1 : k;
      }
      for (let k = 0; k < KEY_BYTES.length; ++k) {
        const key = KEY_BYTES[k];
        if (key.length !== length) continue;
        let same = true;
        for (let j = 0; j < length && same; ++j) same = bytes[start + j] === key[j];
        if (same) return k;
      }
      return -1;
    }

    function scanNumber() {
      const start = pos;
      let value = 0;
      let plain = true;
      if (bytes[pos] === 0x2d) {
        plain = false;
        ++pos;
      }
      if (pos >= end) fail();
      if (bytes[pos] === 0x30) ++pos;
      else if (bytes[pos] >= 0x31 && bytes[pos] <= 0x39) {
        while (pos < end && bytes[pos] >= 0x30 && bytes[pos] <= 0x39) value = value * 10 + (bytes[pos++] - 0x30);
      } else fail();
      if (pos < end && bytes[pos] === 0x2e) {
        plain = false;
        ++pos;
        if (!(pos < end && bytes[pos] >= 0x30 && bytes[pos] <= 0x39)) fail();
        while (pos < end && bytes[pos] >= 0x30 && bytes[pos] <= 0x39) ++pos;
      }
      if (pos < end && (bytes[pos] === 0x65 || bytes[pos] === 0x45)) {
        plain = false;
        ++pos;
        if (pos < end && (bytes[pos] === 0x2b || bytes[pos] === 0x2d)) ++pos;
        if (!(pos < end && bytes[pos] >= 0x30 && bytes[pos] <= 0x39)) fail();
        while (pos < end && bytes[pos] >= 0x30 && bytes[pos] <= 0x39) ++pos;
      }
      if (pos >= end) fail();  // a number never ends a report
      return plain ? value : Number(String.fromCharCode.apply(null, bytes.subarray(start, pos)));
    }

    function literal(word) {
      for (let k = 0; k < word.length; ++k) {
        if (pos + k >= end || bytes[pos + k] !== word.charCodeAt(k)) fail();
      }
      pos += word.length;
    }

    function skipSpace() {
      while (pos < end) {
        const c = bytes[pos];
        if (c !== 0x20 && c !== 0x0a && c !== 0x0d && c !== 0x09) return;
        ++pos;
      }
    }

    const isCount = (v) => typeof v === "number" && v >= 0;

    // A scalar value in a container: `key` is the member's key index (-1 for
    // an array element or an unknown member). Returns nothing; keeps what it
    // needs. `kind`: 0 string, 1 number, 2 other literal.
    function scalar(frame, key, kind, start, number) {
      switch (frame.type) {
        case REPORT:
          if (key === K.tool || key === K.version || key === K.path) {
            if (kind !== 0) fail();
            header[KEYS[key]] = jsString(start);
            if (key === K.tool) {
              if (header.tool !== "morvane-cli") fail();
              toolSeen = true;
            }
          } else if (key === K.total_bytes || key === K.files || key === K.dirs || key === K.denied ||
                     key === K.elapsed_ms) {
            if (kind !== 1 || number < 0) fail();
            header[KEYS[key]] = number;
          } else if (key === K.tree || key === K.greens) fail();
          return;
        case NODE: {
          const i = frame.node;
          if (key === K.name || key === K.path) {
            if (kind !== 0) fail();
            const at = keepString(start);
            if (key === K.name) {
              nameAt[i] = at;
              nameLen[i] = textLen - at;
            } else {
              pathAt[i] = at;
              pathLen[i] = textLen - at;
            }
          } else if (key === K.bytes || key === K.files || key === K.dirs) {
            if (kind !== 1 || number < 0) fail();
            (key === K.bytes ? sizes : key === K.files ? files : dirs)[i] = number;
          } else if (key === K.mark || key === K.children) fail();
          if (key >= 0) frame.seen |= 1 << key;
          return;
        }
        case GREEN:
          if (key === K.name || key === K.path) {
            if (kind !== 0) fail();
            frame.green[KEYS[key]] = jsString(start);
          } else if (key === K.bytes || key === K.files || key === K.dirs) {
            if (kind !== 1 || number < 0) fail();
            frame.green[KEYS[key]] = number;
          } else if (key === K.mark) fail();
          if (key >= 0) frame.seen |= 1 << key;
          return;
        case MARK:
          if (key === K.state || key === K.pattern || key === K.source || key === K.reason || key === K.action) {
            if (kind !== 0) fail();
            frame.mark[KEYS[key]] = repeatedString(start);
            frame.seen |= 1 << key;
          }
          return;
        case CHILDREN:
        case GREENS:
          fail();
          return;
        default:
          return;
      }
    }

    // A container value opening in `frame` under member `key`: the frame
    // that reads it.
    function open(frame, key, isObject) {
      switch (frame.type) {
        case REPORT:
          if (key === K.tree) {
            if (!isObject || sawTree) fail();
            sawTree = true;
            return { type: NODE, node: newNode(-1), seen: 0 };
          }
          if (key === K.greens) {
            if (isObject) fail();
            header.greens = true;
            return { type: GREENS };
          }
          if (key >= 0 && key <= K.elapsed_ms) fail();
          break;
        case NODE:
          if (key === K.children) {
            if (isObject) fail();
            frame.seen |= 1 << key;
            return { type: CHILDREN, node: frame.node };
          }
          if (key === K.mark) {
            if (!isObject) fail();
            frame.seen |= 1 << key;
            return { type: MARK, owner: frame, mark: {}, seen: 0 };
          }
          if (key === K.name || key === K.path || key === K.bytes || key === K.files || key === K.dirs) fail();
          break;
        case CHILDREN:
          if (!isObject) fail();
          return { type: NODE, node: newNode(frame.node), seen: 0 };
        case GREENS:
          if (!isObject) fail();
          return { type: GREEN, green: { mark: -1 }, seen: 0 };
        case GREEN:
          if (key === K.mark) {
            if (!isObject) fail();
            return { type: MARK, owner: frame, mark: {}, seen: 0 };
          }
          if (key === K.name || key === K.path || key === K.bytes || key === K.files || key === K.dirs) fail();
          break;
        case MARK:
          if (key >= K.state) fail();
          break;
        default:
          break;
      }
      return { type: OTHER };
    }

    function markId(m) {
      if (m.state !== "red" && m.state !== "green") fail();
      const key = [m.state, m.pattern, m.source, m.reason, m.action].join("\u0000");
      let id = markIds.get(key);
      if (id === undefined) {
        id = marks.length;
        marks.push({ state: m.state, pattern: m.pattern, source: m.source, reason: m.reason, action: m.action });
        markIds.set(key, id);
      }
      return id;
    }

    // A container closes: check it is whole and hand it to its owner.
    function close(frame) {
      switch (frame.type) {
        case NODE:
          if ((frame.seen & NODE_FIELDS) !== NODE_FIELDS) fail();
          return;
        case GREEN:
          if ((frame.seen & NODE_FIELDS) !== NODE_FIELDS) fail();
          greens.push(frame.green);
          return;
        case MARK: {
          if ((frame.seen & MARK_FIELDS) !== MARK_FIELDS) fail();
          const id = markId(frame.mark);
          if (frame.owner.type === NODE) mark[frame.owner.node] = id;
          else frame.owner.green.mark = id;
          return;
        }
        default:
          return;
      }
    }

    // The reader proper: one value, the report object, then only blanks.
    skipSpace();
    if (pos >= end || bytes[pos] !== 0x7b) fail();
    ++pos;
    const stack = [{ type: REPORT, object: true, count: 0 }];
    for (;;) {
      const frame = stack[stack.length - 1];
      skipSpace();
      if (pos >= end) fail();
      let c = bytes[pos];
      // The end of the container, or the separator before the next member.
      if (c === (frame.object ? 0x7d : 0x5d)) {
        ++pos;
        close(frame);
        stack.pop();
        if (stack.length === 0) break;
        continue;
      }
      if (frame.count > 0) {
        if (c !== 0x2c) fail();
        ++pos;
        skipSpace();
        if (pos >= end) fail();
        c = bytes[pos];
      }
      ++frame.count;
      let key = -1;
      if (frame.object) {
        if (c !== 0x22) fail();
        key = keyOf(scanString());
        skipSpace();
        if (pos >= end || bytes[pos] !== 0x3a) fail();
        ++pos;
        skipSpace();
        if (pos >= end) fail();
        c = bytes[pos];
      }
      if (c === 0x7b || c === 0x5b) {
        ++pos;
        const child = open(frame, key, c === 0x7b);
        child.object = c === 0x7b;
        child.count = 0;
        stack.push(child);
      } else if (c === 0x22) {
        scalar(frame, key, 0, scanString(), 0);
      } else if (c === 0x2d || (c >= 0x30 && c <= 0x39)) {
        scalar(frame, key, 1, 0, scanNumber());
      } else {
        literal(c === 0x74 ? "true" : c === 0x66 ? "false" : "null");
        scalar(frame, key, 2, 0, 0);
      }
    }
    skipSpace();
    if (pos !== end) throw new BadDocument(NOT_A_REPORT);
    if (!toolSeen || typeof header.path !== "string" || !sawTree || !header.greens ||
        !isCount(header.total_bytes) || !isCount(header.files) || !isCount(header.dirs) ||
        !isCount(header.denied) || !isCount(header.elapsed_ms)) {
      throw new BadDocument(NOT_A_REPORT);
    }
    delete header.greens;

    // Children side by side: kids[first[i] .. first[i] + count[i]) are the
    // children of i, in the report's order.
    const count = new Int32Array(nodes);
    for (let i = 1; i < nodes; ++i) ++count[parent[i]];
    const first = new Int32Array(nodes);
    for (let i = 1, at = 0; i < nodes; ++i) {
      first[i] = at + count[i - 1];
      at = first[i];
    }
    const fill = first.slice();
    const kids = new Int32Array(Math.max(0, nodes - 1));
    for (let i = 1; i < nodes; ++i) kids[fill[parent[i]]++] = i;

    return {
      header, size: nodes, parent: parent.slice(0, nodes), first, count, kids,
      bytes: sizes.slice(0, nodes), files: files.slice(0, nodes), dirs: dirs.slice(0, nodes),
      mark: mark.slice(0, nodes), nameAt: nameAt.slice(0, nodes), nameLen: nameLen.slice(0, nodes),
      pathAt: pathAt.slice(0, nodes), pathLen: pathLen.slice(0, nodes), text: text.slice(0, textLen),
      marks, greens,
    };
  }

  // Load from the file's bytes: read, then what the panels need.
  function load(buffer) {
    if (buffer.byteLength === 0) throw new BadDocument(NOT_A_REPORT);
    let bytes;
    try {
      bytes = utf8(buffer);
    } catch (error) {
      throw new BadDocument(UNREADABLE);
    }
    const model = read(bytes);
    model.separator = Groups.separatorOf(model.header.path);
    model.cleanable = topMostGreens(model);
    model.largest = largestFolders(model, 20);
    model.windowsFreed = windowsFreed(model);
    return model;
  }

  // The buffers that move to the page instead of being copied.
  function transferables(model) {
    return [model.parent, model.first, model.count, model.kids, model.bytes, model.files, model.dirs, model.mark,
      model.nameAt, model.nameLen, model.pathAt, model.pathLen, model.text].map((a) => a.buffer);
  }

  // Names and paths decoded when first asked for, then kept.
  function withText(model) {
    const names = new Array(model.size);
    const paths = new Array(model.size);
    const text = model.text;
    model.name = (i) => {
      let s = names[i];
      if (s === undefined) {
        s = decoder.decode(text.subarray(model.nameAt[i], model.nameAt[i] + model.nameLen[i]));
        names[i] = s;
      }
      return s;
    };
    model.path = (i) => {
      let s = paths[i];
      if (s === undefined) {
        s = decoder.decode(text.subarray(model.pathAt[i], model.pathAt[i] + model.pathLen[i]));
        paths[i] = s;
      }
      return s;
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
    const best = [];  // ascending by bytes, at most `limit`
    for (let i = 1; i < model.size; ++i) {
      const bytes = model.bytes[i];
      if (model.dirs[i] === 0 || bytes === 0) continue;
      if (best.length === limit && bytes <= model.bytes[best[0]]) continue;
      let biggest = 0;
      for (let k = model.first[i], stop = k + model.count[i]; k < stop; ++k) {
        const c = model.kids[k];
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
    BadDocument, NOT_A_REPORT, CUT_SHORT, UNREADABLE,
    load, withText, transferables, markOwner, verdictOf, formatSize,
  };
})();
