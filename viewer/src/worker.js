// The parsing worker: reads the chosen File in chunks and parses each as it
// comes (reading the next one meanwhile), telling the page how far it got;
// answers with the flat model (its typed arrays moved, not copied) and how
// long reading and parsing took, or with the kind of failure. It then stays
// to answer searches over its own copy of the names, so that the page never
// builds the index.
const CHUNK_BYTES = 4 << 20;
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

async function readChunked(file, timing) {
  const reading = Model.reading(file.size);
  const chunk = (at) => file.slice(at, Math.min(file.size, at + CHUNK_BYTES)).arrayBuffer();
  let next = chunk(0);
  let told = performance.now();
  for (let at = 0; ;) {
    const waited = performance.now();
    const bytes = new Uint8Array(await next);
    timing.waitMs += performance.now() - waited;
    if (at === 0 && Model.utf16Endian(bytes)) return readWhole(file);
    at += bytes.length;
    const final = at >= file.size || bytes.length === 0;
    if (!final) next = chunk(at);
    reading.feed(bytes, final);
    if (final) return reading.finish();
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
    const read = await readChunked(event.data, timing);
    model = read.model;
    // Reading and parsing overlap: what waited for the file, and the rest.
    timing.readMs = Math.round(timing.waitMs);
    timing.parseMs = Math.round(performance.now() - started - timing.waitMs);
    delete timing.waitMs;
    kept = Search.copyOf(model, read.text);
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
