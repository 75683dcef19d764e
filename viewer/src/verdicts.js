// The verdicts of a report, each made once: a verdict is copied to
// everything beneath the entry it was made for, so the same five texts come
// again and again, and most often spelt exactly as the one before.
// Compared as bytes, each made into an object only the first time.
class Verdicts {
  // `names`: the members of a verdict, in the order field() numbers them.
  constructor(names) {
    this.names = names;
    this.list = [];
    this.known = new Map();  // hash -> [{fields, id}]
    this.scratch = new ByteStore(256);
    this.at = new Int32Array(names.length);
    this.length = new Int32Array(names.length);
    // The last verdict read whole under an entry at each depth, as the
    // bytes it was spelt with, and its id.
    this.spelt = [];
    this.idAt = [];
  }

  begin() {
    this.scratch.length = 0;
  }

  // Field f (an index into `names`) of the verdict being read.
  field(f, tokens, start) {
    const s = this.scratch;
    if (tokens.escaped) {
      s.append(tokens.bytes, start, tokens.stop);  // room for the unescaped text
      s.length -= tokens.stop - start;
      this.at[f] = s.length;
      s.length += Json.unescapeInto(tokens.bytes, start, tokens.stop, s.data, s.length);
    } else {
      this.at[f] = s.append(tokens.bytes, start, tokens.stop);
    }
    this.length[f] = s.length - this.at[f];
  }

  // The id of the verdict just read.
  end() {
    const data = this.scratch.data;
    let hash = 2166136261;
    for (let f = 0; f < this.names.length; ++f) {
      for (let p = this.at[f], stop = p + this.length[f]; p < stop; ++p) hash = Math.imul(hash ^ data[p], 16777619);
      hash = Math.imul(hash ^ 0xff, 16777619);
    }
    const bucket = this.known.get(hash);
    for (const entry of bucket || []) if (this.same(entry.fields)) return entry.id;
    const fields = this.names.map((name, f) => data.slice(this.at[f], this.at[f] + this.length[f]));
    const mark = Object.fromEntries(this.names.map((name, f) => [name, Json.decode(fields[f], 0, fields[f].length, false)]));
    if (mark.state !== "red" && mark.state !== "green") throw new Json.BadDocument(Json.NOT_A_REPORT);
    const id = this.list.length;
    this.list.push(mark);
    if (bucket) bucket.push({ fields, id });
    else this.known.set(hash, [{ fields, id }]);
    return id;
  }

  // A verdict is mostly the parent's, copied whole: spelt byte for byte as
  // the last one read at `depth`, bytes[from, ...) is that verdict. Returns
  // how many bytes it took, or 0.
  repeated(depth, bytes, from, end) {
    const known = this.spelt[depth];
    if (!known || from + known.length > end) return 0;
    for (let k = 0; k < known.length; ++k) if (bytes[from + k] !== known[k]) return 0;
    return known.length;
  }

  // The verdict `id`, read whole at `depth` from bytes[from, to).
  remember(depth, bytes, from, to, id) {
    this.spelt[depth] = bytes.slice(from, to);
    this.idAt[depth] = id;
  }

  same(fields) {
    const data = this.scratch.data;
    for (let f = 0; f < fields.length; ++f) {
      const field = fields[f];
      if (field.length !== this.length[f]) return false;
      const at = this.at[f];
      for (let j = 0; j < field.length; ++j) if (field[j] !== data[at + j]) return false;
    }
    return true;
  }
}
