// The parsing worker: the page reads the chosen File and hands it over
// chunk by chunk; each is parsed as it comes, and taken back as credit so
// that only a few are ever on their way. Answers with the flat model (its
// typed arrays moved, not copied) and how long waiting and parsing took,
// or with the kind of failure. It then stays to answer searches over its
// own copy of the names, so that the page never builds the index.
let kept = null;    // what is searched: the names' bytes, then the columns the page hands back
let index = null;   // made once they are all back
const queries = []; // asked before then
let shown = false;  // the page has painted its first picture
let load = null;    // the scan being read

function answer(query) {
  if (!index) {
    queries.push(query);
    return;
  }
  const run = new Search.Query(index, kept.bytes, query.text, query.limit);
  run.runUntil(Infinity);
  self.postMessage({ search: query.id, ...run.result() });
}

function fail(error) {
  load = null;
  self.postMessage({ error: error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE });
}

// The whole file at once: only for UTF-16, which is converted first.
async function readWhole(file, timing) {
  try {
    const started = performance.now();
    const model = Model.load(await file.arrayBuffer());
    timing.parseMs = Math.round(performance.now() - started);
    send(model, model.text.slice(), timing);
  } catch (error) {
    fail(error);
  }
}

function begin({ file, chosenAt }) {
  const started = performance.now();
  load = { file, reading: Model.reading(file.size), timing: {}, started, waitMs: 0, idleSince: started, first: true };
  // From the page's choice to the worker's first step, on the clock both share.
  load.timing.startMs = Math.round(performance.timeOrigin + started - chosenAt);
}

function take(chunk) {
  if (!load) return;
  const now = performance.now();
  load.waitMs += now - load.idleSince;
  try {
    if (load.first && Model.utf16Endian(chunk)) {
      const { file, timing } = load;
      load = null;
      self.postMessage({ stopReading: true });
      readWhole(file, timing);
      return;
    }
    load.first = false;
    load.reading.feed(chunk, false);
  } catch (error) {
    fail(error);
    return;
  }
  // The chunk before this one is no longer read (the reader may read a
  // chunk's end again with the next one), and its buffer goes back.
  const spare = load.last;
  load.last = chunk.byteOffset === 0 && chunk.length === chunk.buffer.byteLength ? chunk.buffer : null;
  if (spare) self.postMessage({ took: chunk.length, spare }, [spare]);
  else self.postMessage({ took: chunk.length });
  load.idleSince = performance.now();
}

function end() {
  if (!load) return;
  const { reading, timing, started } = load;
  try {
    load.waitMs += performance.now() - load.idleSince;
    reading.feed(new Uint8Array(0), true);
    const finishing = performance.now();
    const read = reading.finish();
    timing.finishMs = Math.round(performance.now() - finishing);
    // Reading and parsing overlap: what waited for the file, and the rest.
    timing.readMs = Math.round(load.waitMs);
    timing.parseMs = Math.round(performance.now() - started - load.waitMs);
    load = null;
    send(read.model, read.text, timing);
  } catch (error) {
    fail(error);
  }
}

// The model moves to the page at once; the columns the search needs come
// back as copies the page makes a slice a task (copied here first, they held
// up a large scan's first picture a third of a second).
function send(model, text, timing) {
  kept = { size: model.size, separator: model.separator, joinedWith: model.joinedWith, text, missing: Search.COLUMNS.length };
  self.postMessage({ model, timing }, Model.transferables(model));
}

function column(name, values) {
  if (!kept || kept[name] || !Search.COLUMNS.includes(name)) return;
  kept[name] = values;
  if (--kept.missing > 0) return;
  index = new Search.Index(kept);
  if (shown) buildIndex();
  for (const query of queries.splice(0)) answer(query);
}

// The index is made once the page has painted the first picture (made
// before, it took the CPU the picture needed), a step at a time, so that
// a query that comes meanwhile is answered between steps (it finishes the
// index itself).
function buildIndex() {
  const build = () => {
    if (!index || index.done) return;
    index.step();
    setTimeout(build, 0);
  };
  setTimeout(build, 0);
}

// A fresh worker's parser runs slowly until the engine has compiled it
// for what it meets: a few small reports in the program's layout, read by
// a worker started ahead of the file, save a large scan's first picture a
// fifth of its parse.
function warmUp() {
  const mark = { state: "red", pattern: "?:\\Windows", source: "builtin", reason: "rule.reason.systemDir",
    action: "rule.action.dontDelete" };
  const folders = [];
  for (let k = 0; k < 300; ++k) {
    const path = `C:\\warm\\folder ${k}`;
    const files = [];
    for (let j = 0; j < 8; ++j) {
      files.push({ name: `file ${j}.dat`, path: `${path}\\file ${j}.dat`, bytes: 1000 + j, files: 0, dirs: 0, ...(k % 3 ? {} : { mark }) });
    }
    folders.push({ name: `folder ${k}`, path, bytes: 8036, files: 8, dirs: 1, ...(k % 3 ? {} : { mark }), children: files });
  }
  const report = { tool: "morvane-cli", version: "0", path: "C:\\warm", total_bytes: 1, files: 1, dirs: 1, denied: 0,
    elapsed_ms: 1, tree: { name: "", path: "C:\\warm", bytes: 1, files: 1, dirs: 1, children: folders }, greens: [] };
  const bytes = new TextEncoder().encode(JSON.stringify(report, null, 2));
  for (let run = 0; run < 3; ++run) {
    const reading = Model.reading(bytes.length);
    for (let at = 0; at < bytes.length; at += 65536) reading.feed(bytes.slice(at, at + 65536), false);
    reading.feed(new Uint8Array(0), true);
    reading.finish();
  }
}

self.onmessage = (event) => {
  const data = event.data;
  if (data.search !== undefined) answer(data.search);
  else if (data.column) column(data.column, data.values);
  else if (data.shown) {
    shown = true;
    buildIndex();
  }
  else if (data.warm) {
    try {
      warmUp();
    } catch (error) {
      // Only ever slower without it.
    }
  }
  else if (data.chunk) take(data.chunk);
  else if (data.file) begin(data);
  else if (data.end) end();
  else if (data.unreadable) fail(null);
};
