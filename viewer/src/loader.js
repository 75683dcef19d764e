// Reading a chosen file into a model: off the page's thread where a worker
// can be made, so that a 135 MB scan does not freeze the page; otherwise on
// it. The worker that read the loaded scan stays to search it.
class Loader {
  // `onAnswer` hears the kept worker's search answers, `onProgress` the
  // share of a file read so far.
  constructor(onAnswer, onProgress) {
    this.onAnswer = onAnswer;
    this.onProgress = onProgress;
    this.url = null;
    this.reading = null;  // the worker reading the scan to be loaded
    this.pump = null;     // what hands it the file
    this.spare = null;    // a worker started ahead, for the next file
  }

  // Starting a worker takes a few hundred milliseconds, and its parser
  // runs slowly at first: the next file's reader is started, and reads a
  // few small reports, before the file is chosen.
  warm() {
    if (this.spare) return;
    this.spare = this.newWorker();
    if (this.spare) this.spare.postMessage({ warm: true });
  }

  newWorker() {
    if (this.spare) {
      const worker = this.spare;
      this.spare = null;
      return worker;
    }
    try {
      if (!this.url) this.url = URL.createObjectURL(new Blob([WORKER_SOURCE], { type: "text/javascript" }));
      return new Worker(this.url);
    } catch (error) {
      return null;
    }
  }

  // Resolves with {model, searcher, timing}: the searcher is the worker,
  // kept when `keep` (null without a worker, or when not kept). A scan
  // chosen while another is still being read and kept replaces it.
  parse(file, { keep = true } = {}) {
    const worker = this.newWorker();
    const pump = worker ? new Pump(file, worker, this.onProgress) : null;
    if (keep) {
      if (this.reading) {
        this.reading.terminate();
        this.pump.stop();
      }
      this.reading = worker;
      this.pump = pump;
    }
    if (!worker) {
      return file.arrayBuffer().then((buffer) => ({ model: Model.withText(Model.load(buffer)), searcher: null, timing: {} })).catch((error) => {
        throw error instanceof Model.BadDocument ? error : new Model.BadDocument(Model.UNREADABLE);
      });
    }
    return new Promise((resolve, reject) => {
      worker.onmessage = (event) => {
        const data = event.data;
        if (data.took !== undefined) return pump.took(data.took, data.spare);
        if (data.stopReading) return pump.stop();
        pump.stop();
        // The next file's reader, once this one's first picture is drawn.
        setTimeout(() => this.warm(), Loader.WARM_AGAIN_MS);
        if (this.reading === worker) this.reading = null;
        if (!data.model) {
          worker.terminate();
          reject(new Model.BadDocument(data.error));
          return undefined;
        }
        if (keep) {
          worker.onmessage = this.onAnswer;
          Loader.handBack(worker, data.model);
        } else worker.terminate();
        return resolve({ model: Model.withText(data.model), searcher: keep ? worker : null, timing: data.timing });
      };
      worker.onerror = (event) => {
        event.preventDefault();
        pump.stop();
        worker.terminate();
        reject(new Model.BadDocument(Model.UNREADABLE));
      };
      worker.postMessage({ file, chosenAt: performance.timeOrigin + performance.now() });
      pump.run();
    });
  }
}
Loader.WARM_AGAIN_MS = 2000;

// The worker that read the scan searches its own copies of the columns it
// needs, made here a slice a task after the first picture and moved, not
// copied again (a column is a view of a larger buffer, which a message
// would copy whole).
Loader.handBack = (worker, model) => {
  const names = Search.COLUMNS.slice();
  let values = null;
  let at = 0;
  const next = () => {
    if (!values) {
      if (names.length === 0) return;
      values = new model[names[0]].constructor(model.size);
      at = 0;
    }
    const column = model[names[0]];
    const stop = Math.min(model.size, at + Loader.COPY_SLICE);
    values.set(column.subarray(at, stop), at);
    at = stop;
    if (at === model.size) {
      worker.postMessage({ column: names.shift(), values }, [values.buffer]);
      values = null;
    }
    setTimeout(next, 0);
  };
  setTimeout(next, 0);
};
Loader.COPY_SLICE = 1 << 20;  // entries of a column copied in one task

// Reads the file on the page's thread and hands each chunk to the worker
// (moved, not copied). Taking a chunk out of the browser's pipe costs about
// as much as parsing it: on the worker's own thread the two took turns,
// here they run side by side. At most IN_FLIGHT bytes wait for the
// worker, so a slow parse never holds the whole file in memory.
//
// The stream's reads resolve as promise jobs, which never give the page
// back its turn: a run of reads held the page's thread for 200 ms at a
// time. The pump lets the page in every SLICE_MS.
//
// The chunks are read into buffers the worker hands back once parsed:
// every new buffer is fresh memory, and touching 500 MB of it cost the
// page's thread more than the reading itself. Where the browser's stream
// cannot fill a given buffer, its own chunks are handed over.
class Pump {
  constructor(file, worker, onProgress) {
    this.file = file;
    this.worker = worker;
    this.onProgress = onProgress;
    this.inFlight = 0;
    this.parsed = 0;
    this.told = 0;
    this.stopped = false;
    this.wake = null;
    this.spare = [];  // buffers back from the worker
    this.since = 0;   // when the page last had its turn
  }

  // Lets the page's other tasks run, when the reading has held it a while.
  async pause() {
    if (performance.now() - this.since < Pump.SLICE_MS) return;
    if (globalThis.scheduler && typeof scheduler.yield === "function") await scheduler.yield();
    else await new Promise((resume) => setTimeout(resume, 0));
    this.since = performance.now();
  }

  async run() {
    let chunks = null;
    try {
      let fill = true;
      try {
        chunks = this.file.stream().getReader({ mode: "byob" });
      } catch (error) {
        chunks = this.file.stream().getReader();
        fill = false;
      }
      for (;;) {
        while (this.inFlight >= Pump.IN_FLIGHT && !this.stopped) await new Promise((wake) => { this.wake = wake; });
        if (this.stopped) break;
        await this.pause();
        if (this.stopped) break;
        const { done, value } = fill ? await this.fill(chunks) : await chunks.read();
        if (this.stopped) break;
        if (value && value.length > 0) {
          this.inFlight += value.length;
          this.worker.postMessage({ chunk: value }, [value.buffer]);
        }
        if (done) {
          this.worker.postMessage({ end: true });
          return;
        }
      }
      chunks.cancel().catch(() => {});
    } catch (error) {
      if (!this.stopped) this.worker.postMessage({ unreadable: true });
    }
  }

  // A whole buffer of the file (less at its end), read in as many steps as
  // the stream takes.
  async fill(chunks) {
    let buffer = this.spare.pop() || new ArrayBuffer(Pump.CHUNK);
    let filled = 0;
    while (filled < buffer.byteLength) {
      await this.pause();
      const { done, value } = await chunks.read(new Uint8Array(buffer, filled));
      if (this.stopped) return { done: true, value: null };
      if (done) return { done: true, value: new Uint8Array(value ? value.buffer : buffer, 0, filled) };
      buffer = value.buffer;
      filled += value.length;
    }
    return { done: false, value: new Uint8Array(buffer) };
  }

  // The worker has parsed a chunk of `length` bytes and may give back a
  // buffer to read into again.
  took(length, spare) {
    if (this.stopped) return;
    this.inFlight -= length;
    this.parsed += length;
    if (spare && spare.byteLength === Pump.CHUNK) this.spare.push(spare);
    if (this.wake) {
      this.wake();
      this.wake = null;
    }
    if (performance.now() - this.told >= Pump.PROGRESS_EVERY_MS) {
      this.told = performance.now();
      this.onProgress(this.parsed / this.file.size);
    }
  }

  stop() {
    this.stopped = true;
    if (this.wake) this.wake();
    this.wake = null;
  }
}
Pump.IN_FLIGHT = 16 << 20;
Pump.CHUNK = 1 << 20;
Pump.PROGRESS_EVERY_MS = 100;
Pump.SLICE_MS = 10;
