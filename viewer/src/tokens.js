// The JSON tokens of a report, read from UTF-8 bytes that may arrive in
// chunks: a token cut by the end of a chunk throws NEED_MORE, and the reader
// reads the whole member again once the next chunk has come. Strings are
// checked and located, never copied here.
const Json = (() => {
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

  const NEED_MORE = Symbol("the chunk ends inside a token");

  const SPACES = 0x20202020;  // four blanks as one word, in either byte order

  // The characters that may follow a backslash, besides "u".
  const SIMPLE_ESCAPE = new Uint8Array(256);
  for (const c of "\"\\/bfnrt") SIMPLE_ESCAPE[c.charCodeAt(0)] = 1;

  function hex(c) {
    if (c >= 0x30 && c <= 0x39) return c - 0x30;
    if (c >= 0x61 && c <= 0x66) return c - 0x57;
    if (c >= 0x41 && c <= 0x46) return c - 0x37;
    return -1;
  }

  const hex4 = (bytes, p) => (hex(bytes[p]) << 12) | (hex(bytes[p + 1]) << 8) | (hex(bytes[p + 2]) << 4) | hex(bytes[p + 3]);

  function putUtf8(out, o, u) {
    if (u < 0x80) {
      out[o] = u;
      return 1;
    }
    if (u < 0x800) {
      out[o] = 0xc0 | (u >> 6);
      out[o + 1] = 0x80 | (u & 63);
      return 2;
    }
    if (u < 0x10000) {
      out[o] = 0xe0 | (u >> 12);
      out[o + 1] = 0x80 | ((u >> 6) & 63);
      out[o + 2] = 0x80 | (u & 63);
      return 3;
    }
    out[o] = 0xf0 | (u >> 18);
    out[o + 1] = 0x80 | ((u >> 12) & 63);
    out[o + 2] = 0x80 | ((u >> 6) & 63);
    out[o + 3] = 0x80 | (u & 63);
    return 4;
  }

  // Writes the checked string content bytes[start, stop) unescaped, as UTF-8,
  // into `out` at `at`; returns the length written (never more than the
  // escaped length). An unpaired surrogate becomes U+FFFD.
  function unescapeInto(bytes, start, stop, out, at) {
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
      let u = hex4(bytes, p + 1);
      p += 4;
      if (u >= 0xd800 && u <= 0xdbff && p + 6 < stop && bytes[p + 1] === 0x5c && bytes[p + 2] === 0x75) {
        const low = hex4(bytes, p + 3);
        if (low >= 0xdc00 && low <= 0xdfff) {
          u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
          p += 6;
        }
      }
      if (u >= 0xd800 && u <= 0xdfff) u = 0xfffd;
      o += putUtf8(out, o, u);
    }
    return o - at;
  }

  const decoder = new TextDecoder();

  // The string content bytes[start, stop) as JavaScript text.
  function decode(bytes, start, stop, escaped) {
    if (!escaped) return decoder.decode(bytes.subarray(start, stop));
    const out = new Uint8Array(stop - start);
    return decoder.decode(out.subarray(0, unescapeInto(bytes, start, stop, out, 0)));
  }

  // A cursor over the bytes at hand. `final` says no more will come.
  class Tokens {
    constructor() {
      this.reset(new Uint8Array(0), false);
      this.cutShort = false;  // what running out at the very end means
      this.escaped = false;   // of the last string
      this.stop = 0;          // where the last string's content ends
    }

    reset(bytes, final) {
      this.bytes = bytes;
      this.pos = 0;
      this.end = bytes.length;
      this.final = final;
      // The same bytes four at a time, from the first that starts a word of
      // the buffer: most of a report is indentation, skipped by words.
      const first = (bytes.byteOffset + 3) & ~3;
      this.wordsAt = first - bytes.byteOffset;
      this.words = new Int32Array(bytes.buffer, first, Math.max(0, (bytes.byteOffset + bytes.length - first) >> 2));
    }

    bad() {
      throw new BadDocument(NOT_A_REPORT);
    }

    // The bytes ran out inside a token.
    short() {
      if (!this.final) throw NEED_MORE;
      throw new BadDocument(this.cutShort ? CUT_SHORT : NOT_A_REPORT);
    }

    // Skips blanks; returns the byte after them.
    next() {
      const bytes = this.bytes;
      const end = this.end;
      let pos = this.pos;
      while (pos < end) {
        const c = bytes[pos];
        if (c === 0x20) {
          ++pos;
          const at = pos - this.wordsAt;
          if ((at & 3) === 0 && at >= 0) {
            const words = this.words;
            let w = at >> 2;
            while (w < words.length && words[w] === SPACES) ++w;
            pos = this.wordsAt + (w << 2);
          }
          continue;
        }
        if (c !== 0x0a && c !== 0x0d && c !== 0x09) break;
        ++pos;
      }
      this.pos = pos;
      if (pos >= end) this.short();
      return bytes[pos];
    }

    // Blanks only, to the end of what is at hand.
    onlyBlanksLeft() {
      for (let pos = this.pos; pos < this.end; ++pos) {
        const c = this.bytes[pos];
        if (c !== 0x20 && c !== 0x0a && c !== 0x0d && c !== 0x09) return false;
      }
      return true;
    }

    // A string token at pos: checks it and moves past it. Returns where its
    // content starts; `stop` and `escaped` describe the rest.
    string() {
      const bytes = this.bytes;
      const end = this.end;
      let pos = this.pos + 1;
      const start = pos;
      let escaped = false;
      for (;;) {
        if (pos >= end) this.short();
        const c = bytes[pos];
        if (c === 0x22) break;
        if (c === 0x5c) {
          escaped = true;
          pos = this.escape(pos);
        } else {
          if (c < 0x20) this.bad();
          ++pos;
        }
      }
      this.escaped = escaped;
      this.stop = pos;
      this.pos = pos + 1;
      return start;
    }

    // The escape at pos (a backslash); returns the position after it.
    escape(pos) {
      const bytes = this.bytes;
      if (pos + 1 >= this.end) this.short();
      const e = bytes[pos + 1];
      if (e !== 0x75) {
        if (!SIMPLE_ESCAPE[e]) this.bad();
        return pos + 2;
      }
      if (pos + 5 >= this.end) this.short();
      for (let k = 2; k <= 5; ++k) if (hex(bytes[pos + k]) < 0) this.bad();
      return pos + 6;
    }

    // The last string token as JavaScript text.
    text(start) {
      return decode(this.bytes, start, this.stop, this.escaped);
    }

    // A number token at pos. A number never ends a report, so one that
    // reaches the end of the bytes at hand may go on in the next chunk.
    number() {
      const bytes = this.bytes;
      const end = this.end;
      const start = this.pos;
      let pos = start;
      let value = 0;
      let plain = bytes[pos] !== 0x2d;
      if (!plain) ++pos;
      const digits = () => {
        const from = pos;
        while (pos < end && bytes[pos] >= 0x30 && bytes[pos] <= 0x39) ++pos;
        if (pos >= end) this.short();
        if (pos === from) this.bad();
      };
      if (pos >= end) this.short();
      if (bytes[pos] === 0x30) ++pos;
      else if (bytes[pos] >= 0x31 && bytes[pos] <= 0x39) {
        while (pos < end && bytes[pos] >= 0x30 && bytes[pos] <= 0x39) value = value * 10 + (bytes[pos++] - 0x30);
      } else this.bad();
      if (pos >= end) this.short();
      if (bytes[pos] === 0x2e) {
        plain = false;
        ++pos;
        digits();
      }
      if (bytes[pos] === 0x65 || bytes[pos] === 0x45) {
        plain = false;
        ++pos;
        if (pos < end && (bytes[pos] === 0x2b || bytes[pos] === 0x2d)) ++pos;
        digits();
      }
      this.pos = pos;
      return plain ? value : Number(String.fromCharCode.apply(null, bytes.subarray(start, pos)));
    }

    literal(word) {
      for (let k = 0; k < word.length; ++k) {
        if (this.pos + k >= this.end) this.short();
        if (this.bytes[this.pos + k] !== word.charCodeAt(k)) this.bad();
      }
      this.pos += word.length;
    }
  }

  return { BadDocument, NOT_A_REPORT, CUT_SHORT, UNREADABLE, NEED_MORE, Tokens, unescapeInto, decode };
})();
