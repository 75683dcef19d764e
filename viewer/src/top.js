// The `limit` largest of a stream of entries, by a value per entry: what
// every "largest N" list in the viewer keeps. Insertion into a short sorted
// list beats a heap for the few dozen kept, and a value no larger than the
// smallest kept is turned away at once, so a million offers cost a million
// comparisons. Equal values keep the order they were offered in.
class TopN {
  // `values` is indexed by the entries offered (a typed array or a function
  // of the entry).
  constructor(limit, values) {
    this.limit = limit;
    this.value = typeof values === "function" ? values : (i) => values[i];
    this.kept = [];  // ascending by value; among equals, the later offered first
  }

  // Whether `value` could still be kept; for callers that skip work first.
  wants(value) {
    const kept = this.kept;
    return kept.length < this.limit || value > this.value(kept[0]);
  }

  offer(i) {
    const v = this.value(i);
    if (!this.wants(v)) return;
    const kept = this.kept;
    if (kept.length === this.limit) kept.shift();
    let at = kept.length;
    while (at > 0 && this.value(kept[at - 1]) >= v) --at;
    kept.splice(at, 0, i);
  }

  // Largest first; equal values in the order offered.
  largest() {
    return this.kept.slice().reverse();
  }
}
