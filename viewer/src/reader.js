// Reads a report from its bytes, chunk by chunk, into Columns: the
// containers it opens are kept on a stack of typed arrays (a report may be
// 100,000 levels deep), each kind of container has its own small step, and
// nothing is made per entry but its row. Names and paths are kept as the
// bytes the file spells them with; they are unescaped when shown.
const Reader = (() => {
  "use strict";

  const { BadDocument, NOT_A_REPORT, NEED_MORE, Tokens } = Json;

  // Member names the report uses, by their bytes.
  const KEYS = ["tool", "version", "path", "total_bytes", "files", "dirs", "denied", "elapsed_ms", "tree",
    "greens", "name", "bytes", "mark", "children", "state", "pattern", "source", "reason", "action"];
  // Each key's index as a constant: the engine kept an object of them as a
  // dictionary, and the parser's optimised code gave up on it at every
  // lookup.
  const [K_TOOL, K_VERSION, K_PATH, K_TOTAL_BYTES, K_FILES, K_DIRS, K_DENIED, K_ELAPSED_MS, K_TREE, K_GREENS, K_NAME,
    K_BYTES, K_MARK, K_CHILDREN, K_STATE, K_PATTERN, K_SOURCE, K_REASON, K_ACTION] = KEYS.keys();
  // A key spelt with escapes is looked up here: a Map, so that "constructor"
  // or "__proto__" are keys like any other, not inherited members.
  const KEY_INDEX = new Map(KEYS.map((key, i) => [key, i]));
  const KEY_BYTES = KEYS.map((key) => Uint8Array.from(key, (c) => c.charCodeAt(0)));

  // What a container is: the report, a node of the tree, a list of
  // children, the greens, one green, a verdict, or something the viewer
  // does not use (still checked to be JSON).
  const REPORT = 0;
  const NODE = 1;
  const CHILDREN = 2;
  const GREENS = 3;
  const GREEN = 4;
  const MARK = 5;
  const OTHER = 6;

  // What is copied of a chunk to finish a member the last one cut: far
  // more than a member of a node usually needs.
  const JOIN_BYTES = 4096;

  const STRING = 0;
  const NUMBER = 1;
  const LITERAL = 2;

  const bit = (key) => 1 << key;

  const NODE_FIELDS = bit(K_NAME) | bit(K_PATH) | bit(K_BYTES) | bit(K_FILES) | bit(K_DIRS);
  const MARK_KEYS = [K_STATE, K_PATTERN, K_SOURCE, K_REASON, K_ACTION];
  const MARK_FIELDS = MARK_KEYS.reduce((all, key) => all | bit(key), 0);
  const HEADER_COUNTS = [K_TOTAL_BYTES, K_FILES, K_DIRS, K_DENIED, K_ELAPSED_MS];

  // The program writes a node's first members a line each, at one
  // indentation, in this order: read so, they need no key lookup.
  const LAYOUT = [K_NAME, K_PATH, K_BYTES, K_FILES, K_DIRS];
  const LAYOUT_HEADS = LAYOUT.map((key) => Uint8Array.from(`"${KEYS[key]}": `, (c) => c.charCodeAt(0)));
  // Digits a number may have to be added up exactly.
  const EXACT_DIGITS = 15;

  const JOINS = Columns.PATH_JOINED | Columns.PATH_APPENDED;

  // Keys are told apart by their length and their first and last bytes (no
  // two share all three), then checked whole.
  const slot = (length, first, last) => (length * 32 + first + last * 3) & 255;
  const KEY_SLOTS = new Int8Array(256).fill(-1);
  KEY_BYTES.forEach((key, k) => {
    const at = slot(key.length, key[0], key[key.length - 1]);
    if (KEY_SLOTS[at] !== -1) throw new Error(`keys ${KEYS[k]} and ${KEYS[KEY_SLOTS[at]]} share a slot`);
    KEY_SLOTS[at] = k;
  });

  function keyOf(tokens, start) {
    const { bytes, stop } = tokens;
    if (tokens.escaped) {
      const k = KEY_INDEX.get(tokens.text(start));
      return k === undefined ? -1 : k;
    }
    const length = stop - start;
    if (length === 0) return -1;
    const k = KEY_SLOTS[slot(length, bytes[start], bytes[stop - 1])];
    if (k === -1) return -1;
    const key = KEY_BYTES[k];
    if (key.length !== length) return -1;
    for (let j = 1; j < length - 1; ++j) if (bytes[start + j] !== key[j]) return -1;
    return key[0] === bytes[start] && key[length - 1] === bytes[stop - 1] ? k : -1;
  }

  // The open containers, innermost last, as columns.
  class Stack {
    constructor() {
      this.depth = 0;
      this.grow(64);
    }

    grow(capacity) {
      const keep = (Type, old) => {
        const array = new Type(capacity);
        if (old) array.set(old);
        return array;
      };
      this.type = keep(Uint8Array, this.type);
      this.object = keep(Uint8Array, this.object);
      this.node = keep(Int32Array, this.node);
      this.seen = keep(Int32Array, this.seen);
      this.count = keep(Int32Array, this.count);
    }

    push(type, isObject, node) {
      if (this.depth === this.type.length) this.grow(this.depth * 2);
      const d = this.depth++;
      this.type[d] = type;
      this.object[d] = isObject ? 1 : 0;
      this.node[d] = node;
      this.seen[d] = 0;
      this.count[d] = 0;
    }
  }

  class ReportReader {
    // `sizeHint`: the file's size, to start the buffers near what they need.
    constructor(sizeHint = 0) {
      this.tokens = new Tokens();
      this.columns = new Columns(Math.floor(sizeHint / 256));
      this.text = new ByteStore(Math.floor(sizeHint / 4));
      this.stack = new Stack();
      this.verdicts = new Verdicts(MARK_KEYS.map((key) => KEYS[key]));
      this.header = {};
      this.greens = [];
      this.green = null;  // the green being read
      this.started = false;
      this.sawTree = false;
      this.leftover = null;
      // Where the verdict being read began.
      this.verdictFrom = -1;
      this.verdictIn = null;
      this.trail = new Trail();
    }

    // Reads the next chunk; `final` when it is the last one. Chunks that
    // follow one another in one buffer are joined without a copy, so a chunk
    // must stay as it is once fed (the end of one may be read again).
    feed(chunk, final) {
      let left = this.leftover;
      this.leftover = null;
      if (!left) return this.parse(chunk, final);
      if (left.buffer === chunk.buffer && left.byteOffset + left.length === chunk.byteOffset) {
        return this.parse(new Uint8Array(chunk.buffer, left.byteOffset, left.length + chunk.length), final);
      }
      // The member the last chunk cut is read again from a copy of its start
      // and as much of this chunk as it needs, then the chunk is read where
      // it is: copying each whole chunk cost a quarter of the reading.
      let take = Math.min(chunk.length, left.length + JOIN_BYTES);
      for (;;) {
        const joined = new Uint8Array(left.length + take);
        joined.set(left);
        joined.set(chunk.subarray(0, take), left.length);
        const whole = take === chunk.length;
        this.parse(joined, whole && final);
        if (whole) return undefined;
        const cut = this.leftover;
        if (!cut) return this.parse(chunk.subarray(take), final);
        this.leftover = null;
        if (cut.byteOffset >= left.length) return this.parse(chunk.subarray(cut.byteOffset - left.length), final);
        // A member longer than what was taken: take more, from the part of
        // the old bytes it starts in.
        left = left.subarray(cut.byteOffset);
        take = Math.min(chunk.length, take * 2);
      }
    }

    // Reads `bytes` on from the last whole member; what a cut member left
    // is kept for the next chunk.
    parse(bytes, final) {
      const t = this.tokens;
      t.reset(bytes, final);
      let from = 0;
      try {
        if (!this.started) this.begin();
        while (this.stack.depth > 0) {
          from = t.pos;
          this.step();
        }
      } catch (error) {
        if (error !== NEED_MORE) throw error;
        this.leftover = bytes.subarray(from);
        return undefined;
      }
      if (!t.onlyBlanksLeft()) t.bad();
      return undefined;
    }

    begin() {
      if (this.tokens.next() !== 0x7b) this.tokens.bad();
      ++this.tokens.pos;
      this.stack.push(REPORT, true, -1);
      this.started = true;
    }

    // One member of the innermost container, or its end. Nothing is kept
    // until the member's tokens are all read, so that a member cut by the
    // end of a chunk can be read again whole.
    step() {
      const t = this.tokens;
      const s = this.stack;
      const d = s.depth - 1;
      let c = t.next();
      if (c === (s.object[d] ? 0x7d : 0x5d)) {
        ++t.pos;
        this.close(d);
        --s.depth;
        return;
      }
      if (s.count[d] > 0) {
        if (c !== 0x2c) t.bad();
        ++t.pos;
        c = t.next();
      }
      let key = -1;
      if (s.object[d]) {
        if (c !== 0x22) t.bad();
        key = keyOf(t, t.string());
        if (t.next() !== 0x3a) t.bad();
        ++t.pos;
        c = t.next();
      }
      if (c === 0x7b || c === 0x5b) {
        ++t.pos;
        ++s.count[d];
        this.open(d, key, c === 0x7b);
        return;
      }
      let kind = LITERAL;
      let start = 0;
      let number = 0;
      if (c === 0x22) {
        kind = STRING;
        start = t.string();
      } else if (c === 0x2d || (c >= 0x30 && c <= 0x39)) {
        kind = NUMBER;
        number = t.number();
      } else {
        t.literal(c === 0x74 ? "true" : c === 0x66 ? "false" : "null");
        number = c === 0x74 ? 1 : 0;  // true
      }
      ++s.count[d];
      this.scalar(d, key, kind, start, number);
    }

    scalar(d, key, kind, start, number) {
      switch (this.stack.type[d]) {
        case REPORT: return this.reportValue(key, kind, start, number);
        case NODE: return this.nodeValue(d, key, kind, start, number);
        case GREEN: return this.greenValue(d, key, kind, start, number);
        case MARK: return this.markValue(d, key, kind, start);
        case CHILDREN:
        case GREENS: return this.tokens.bad();
        default: return undefined;
      }
    }

    reportValue(key, kind, start, number) {
      const t = this.tokens;
      if (key === K_TOOL || key === K_VERSION || key === K_PATH) {
        if (kind !== STRING) t.bad();
        this.header[KEYS[key]] = t.text(start);
        if (key === K_TOOL) {
          if (this.header.tool !== "morvane-cli") t.bad();
          t.cutShort = true;
        }
      } else if (HEADER_COUNTS.includes(key)) {
        if (kind !== NUMBER || number < 0) t.bad();
        this.header[KEYS[key]] = number;
      } else if (key === K_TREE || key === K_GREENS) t.bad();
    }

    nodeValue(d, key, kind, start, number) {
      const t = this.tokens;
      const cols = this.columns;
      const i = this.stack.node[d];
      if (key === K_NAME || key === K_PATH) {
        if (kind !== STRING) t.bad();
        this.keepText(d, key === K_NAME, t.bytes, start, t.stop, t.escaped);
      } else if (key === K_BYTES || key === K_FILES || key === K_DIRS) {
        if (kind !== NUMBER || number < 0) t.bad();
        (key === K_BYTES ? cols.bytes : key === K_FILES ? cols.files : cols.dirs)[i] = number;
      } else if (key === K_DENIED) {
        // A folder that could not be read whole says so with true.
        if (kind !== LITERAL) t.bad();
        if (number === 1) cols.escaped[i] |= Columns.DENIED;
      } else if (key === K_MARK || key === K_CHILDREN) t.bad();
      if (key >= 0) this.stack.seen[d] |= bit(key);
    }

    greenValue(d, key, kind, start, number) {
      const t = this.tokens;
      if (key === K_NAME || key === K_PATH) {
        if (kind !== STRING) t.bad();
        this.green[KEYS[key]] = t.text(start);
      } else if (key === K_BYTES || key === K_FILES || key === K_DIRS) {
        if (kind !== NUMBER || number < 0) t.bad();
        this.green[KEYS[key]] = number;
      } else if (key === K_MARK) t.bad();
      if (key >= 0) this.stack.seen[d] |= bit(key);
    }

    markValue(d, key, kind, start) {
      const f = MARK_KEYS.indexOf(key);
      if (f === -1) return;
      if (kind !== STRING) this.tokens.bad();
      this.verdicts.field(f, this.tokens, start);
      this.stack.seen[d] |= bit(key);
    }

    // Node d's name or path, spelt bytes[start, stop). A path spelt as its
    // parent's, the separator and its name, as nearly every one the program
    // writes, is kept as a flag: paths were six sevenths of the text kept.
    // A node names itself once: a second name would belie a joined path.
    keepText(d, isName, bytes, start, stop, escaped) {
      const s = this.stack;
      const cols = this.columns;
      const i = s.node[d];
      const key = isName ? K_NAME : K_PATH;
      if (s.seen[d] & bit(key)) this.tokens.bad();
      s.seen[d] |= bit(key);
      if (isName) {
        cols.nameAt[i] = this.text.append(bytes, start, stop);
        cols.nameLen[i] = stop - start;
        if (escaped) cols.escaped[i] |= Columns.NAME_ESCAPED;
        return;
      }
      const joined = d >= 2 && s.type[d - 1] === CHILDREN && s.seen[d] & bit(K_NAME)
        ? this.trail.joined(d - 2, bytes, start, stop, this.text.data, cols.nameAt[i], cols.nameLen[i]) : 0;
      if (joined) {
        cols.escaped[i] |= joined;
        return;
      }
      cols.pathAt[i] = this.text.append(bytes, start, stop);
      cols.pathLen[i] = stop - start;
      if (escaped) cols.escaped[i] |= Columns.PATH_ESCAPED;
    }

    // Node d's children open: its path goes on the trail.
    placePath(d) {
      const s = this.stack;
      const cols = this.columns;
      const i = s.node[d];
      const how = cols.escaped[i] & JOINS;
      const parent = d >= 2 && s.type[d - 1] === CHILDREN ? d - 2 : -1;
      const at = !(s.seen[d] & bit(K_PATH)) ? -1 : how ? cols.nameAt[i] : cols.pathAt[i];
      this.trail.place(d, parent, how, this.text.data, at, how ? cols.nameLen[i] : cols.pathLen[i]);
    }

    // Reads the members of the node just opened at depth d in the program's
    // layout, as far as they follow it. Each is kept only once it is whole;
    // anything else, or the chunk's end, is left to step().
    layout(d) {
      const t = this.tokens;
      const s = this.stack;
      const cols = this.columns;
      const i = s.node[d];
      const bytes = t.bytes;
      const end = t.end;
      let p = t.pos;
      let indent = 0;
      while (p + 1 + indent < end && bytes[p + 1 + indent] === 0x20) ++indent;
      for (let m = 0; m < LAYOUT.length; ++m) {
        if (m > 0) {
          if (p >= end || bytes[p] !== 0x2c) return;
          ++p;
        }
        const head = LAYOUT_HEADS[m];
        let q = p + 1 + indent;
        if (q + head.length >= end || bytes[p] !== 0x0a) return;
        for (let k = p + 1; k < q; ++k) if (bytes[k] !== 0x20) return;
        for (let k = 0; k < head.length; ++k) if (bytes[q + k] !== head[k]) return;
        q += head.length;
        if (m < 2) {
          if (bytes[q] !== 0x22) return;
          const start = ++q;
          let escaped = false;
          for (;;) {
            if (q >= end) return;
            const c = bytes[q];
            if (c === 0x22) break;
            if (c === 0x5c) {
              if (q + 6 > end) return;
              escaped = true;
              q = t.escape(q);
            } else if (c < 0x20) return;
            else ++q;
          }
          this.keepText(d, m === 0, bytes, start, q, escaped);
          ++q;
        } else {
          const from = q;
          let value = 0;
          if (bytes[q] === 0x30) ++q;
          else {
            while (q < end && bytes[q] >= 0x30 && bytes[q] <= 0x39) value = value * 10 + (bytes[q++] - 0x30);
            if (q === from || q - from > EXACT_DIGITS) return;
          }
          if (q >= end || (bytes[q] !== 0x2c && bytes[q] !== 0x0a)) return;
          (m === 2 ? cols.bytes : m === 3 ? cols.files : cols.dirs)[i] = value;
        }
        s.seen[d] |= bit(LAYOUT[m]);
        ++s.count[d];
        t.pos = p = q;
      }
    }

    // A container opens in the one at depth d, under member `key`.
    open(d, key, isObject) {
      const s = this.stack;
      const t = this.tokens;
      const need = (ok) => ok || t.bad();
      const type = s.type[d];
      if (type === REPORT && key === K_TREE) {
        need(isObject && !this.sawTree);
        this.sawTree = true;
        if (typeof this.header.path === "string") {
          this.trail.separate(this.header.path);
        }
        s.push(NODE, true, this.columns.add(-1));
        this.layout(d + 1);
      } else if (type === REPORT && key === K_GREENS) {
        need(!isObject);
        this.header.greens = true;
        s.push(GREENS, false, -1);
      } else if (type === CHILDREN || type === GREENS) {
        need(isObject);
        if (type === GREENS) this.green = { mark: -1 };
        if (type === GREENS) s.push(GREEN, true, -1);
        else {
          s.push(NODE, true, this.columns.add(s.node[d]));
          this.layout(d + 1);
        }
      } else if ((type === NODE || type === GREEN) && key === K_MARK) {
        need(isObject);
        s.seen[d] |= bit(key);
        const repeated = type === NODE ? this.verdicts.repeated(d, t.bytes, t.pos - 1, t.end) : 0;
        if (repeated) {
          this.columns.mark[s.node[d]] = this.verdicts.idAt[d];
          t.pos += repeated - 1;
          return;
        }
        this.verdicts.begin();
        this.verdictFrom = t.pos - 1;
        this.verdictIn = t.bytes;
        s.push(MARK, true, -1);
      } else if (type === NODE && key === K_CHILDREN) {
        need(!isObject);
        s.seen[d] |= bit(key);
        this.placePath(d);
        s.push(CHILDREN, false, s.node[d]);
      } else {
        // A member the viewer does not use; the ones it does cannot be
        // containers.
        const known = type === REPORT ? key >= 0 && key <= K_ELAPSED_MS
          : type === NODE || type === GREEN ? bit(key) & NODE_FIELDS && key >= 0
            : type === MARK ? key >= K_STATE : false;
        need(!known);
        s.push(OTHER, isObject, -1);
      }
    }

    // The container at depth d closes: it must be whole.
    close(d) {
      const s = this.stack;
      const type = s.type[d];
      const has = (fields) => (s.seen[d] & fields) === fields || this.tokens.bad();
      if (type === NODE) has(NODE_FIELDS);
      else if (type === GREEN) {
        has(NODE_FIELDS);
        this.greens.push(this.green);
      } else if (type === MARK) {
        has(MARK_FIELDS);
        const id = this.verdicts.end();
        if (s.type[d - 1] !== NODE) this.green.mark = id;
        else {
          this.columns.mark[s.node[d - 1]] = id;
          const t = this.tokens;
          if (t.bytes === this.verdictIn) this.verdicts.remember(d - 1, t.bytes, this.verdictFrom, t.pos, id);
        }
      }
    }

    // After the last chunk: what was read, or why it is not a report.
    finish() {
      const h = this.header;
      const count = (v) => typeof v === "number" && v >= 0;
      if (!this.started || this.stack.depth > 0 || !this.sawTree || !h.greens || typeof h.path !== "string" ||
          !HEADER_COUNTS.every((key) => count(h[KEYS[key]]))) {
        throw new BadDocument(NOT_A_REPORT);
      }
      delete h.greens;
      return {
        header: h, columns: this.columns, text: this.text.view(), marks: this.verdicts.list, greens: this.greens,
        joinedWith: this.trail.separator === Trail.BACKSLASH ? "\\" : "/",
      };
    }
  }

  return { ReportReader };
})();
