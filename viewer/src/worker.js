// The parsing worker: takes the chosen File, answers with the flat model
// (its typed arrays moved, not copied) and how long reading and parsing
// took, or with the kind of failure. It then stays to answer searches over
// its own copy of the names, so that the page never builds the index.
let kept = null;    // what is searched
let index = null;   // made after the model is sent

function answer(query) {
  const run = new Search.Query(index, kept.bytes, query.text, query.limit);
  run.runUntil(Infinity);
  self.postMessage({ search: query.id, ...run.result() });
}

self.onmessage = async (event) => {
  if (event.data.search !== undefined) {
    answer(event.data.search);
    return;
  }
  let model;
  const timing = {};
  try {
    const started = performance.now();
    const buffer = await event.data.arrayBuffer();
    timing.readMs = Math.round(performance.now() - started);
    model = Model.load(buffer);
    timing.parseMs = Math.round(performance.now() - started) - timing.readMs;
    kept = Search.copyOf(model);
  } catch (error) {
    self.postMessage({ error: error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE });
    return;
  }
  self.postMessage({ model, timing }, Model.transferables(model));
  // The index is made while the person looks at the first picture, a step
  // at a time, so that a query that comes meanwhile is answered between
  // steps (it finishes the index itself).
  index = new Search.Index(kept);
  const build = () => {
    if (index.done) return;
    index.step();
    setTimeout(build, 0);
  };
  setTimeout(build, 0);
};
