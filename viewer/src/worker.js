// The parsing worker: reads the chosen File as a stream and parses each
// chunk as it comes (the browser reads the next meanwhile), telling the page
// how far it got; answers with the flat model (its typed arrays moved, not
// copied) and how long reading and parsing took, or with the kind of
// failure. It then stays to answer searches over its own copy of the names,
// so that the page never builds the index.
const PROGRESS_EVERY_MS = 100;

let kept = null;    // what is searched
let index = null;   // made after the model is sent

function answer(query) {
  const run = new Search.Query(index, kept.bytes, query.text, query.limit);
  run.runUntil(Infinity);
  self.postMessage({ search: query.id, ...run.result() });
}

// The whole file at once: only for UTF-16, which is converted first.
async function readWhole(file) {
  const model = Model.load(await file.arrayBuffer());
  return { model, text: model.text.slice() };
}

async function readStreamed(file, timing) {
  const reading = Model.reading(file.size);
  const chunks = file.stream().getReader();
  let at = 0;
  let told = performance.now();
  for (;;) {
    const waited = performance.now();
    const { done, value } = await chunks.read();
    timing.waitMs += performance.now() - waited;
    if (done) {
      reading.feed(new Uint8Array(0), true);
      const finishing = performance.now();
      return { ...reading.finish(), finishMs: performance.now() - finishing };
    }
    if (at === 0 && Model.utf16Endian(value)) {
      chunks.cancel();
      return readWhole(file);
    }
    reading.feed(value, false);
    at += value.length;
    if (performance.now() - told >= PROGRESS_EVERY_MS) {
      told = performance.now();
      self.postMessage({ progress: at / file.size });
    }
  }
}

self.onmessage = async (event) => {
  if (event.data.search !== undefined) {
    answer(event.data.search);
    return;
  }
  let model;
  const timing = { waitMs: 0 };
  try {
    const started = performance.now();
    // From the page's choice to the worker's first step, on the clock both share.
    timing.startMs = Math.round(performance.timeOrigin + started - event.data.chosenAt);
    const read = await readStreamed(event.data.file, timing);
    model = read.model;
    timing.finishMs = Math.round(read.finishMs);
    // Reading and parsing overlap: what waited for the file, and the rest.
    timing.readMs = Math.round(timing.waitMs);
    timing.parseMs = Math.round(performance.now() - started - timing.waitMs);
    delete timing.waitMs;
    const copying = performance.now();
    kept = Search.copyOf(model, read.text);
    timing.copyMs = Math.round(performance.now() - copying);
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
