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
    this.spares = [];     // workers started ahead, for the next file
  }

  // Starting a worker takes a few hundred milliseconds, and its parser
  // runs slowly at first: the next file's reader is started, and reads a
  // few small reports, before the file is chosen.
  warm() {
    while (this.spares.length < Loader.SPARES) {
      const worker = this.makeWorker();
      if (!worker) return;
      worker.postMessage({ warm: true });
      this.spares.push(worker);
    }
  }

  newWorker() {
    return this.spares.length ? this.spares.shift() : this.makeWorker();
  }

  makeWorker() {
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
    const progress = { parsed: 0, size: file.size, told: 0, tell: this.onProgress };
    // A large scan kept for viewing is read by two workers, one from each half.
    const helper = worker && keep && file.size >= TwoParts.MIN_BYTES ? this.newWorker() : null;
    const pump = !worker ? null
      : helper ? new TwoParts(file, worker, helper, progress) : new Pump(file, worker, progress, { end: true });
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
        if (data.took !== undefined) return pump.took(data.took);
        if (data.stopReading) return pump.stop();
        if (data.joinRefused) return pump.joinRefused();
        pump.stop();
        // The next file's reader, once this one's first picture is drawn.
        setTimeout(() => this.warm(), Loader.WARM_AGAIN_MS);
        if (this.reading === worker) this.reading = null;
        if (!data.model) {
          worker.terminate();
          reject(new Model.BadDocument(data.error));
          return undefined;
        }
        if (keep) worker.onmessage = this.onAnswer;
        else worker.terminate();
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
Loader.SPARES = 2;

// Reads a file (or a part of it) on the page's thread and hands each
// chunk to a worker (moved, not copied). Taking a chunk out of the
// browser's pipe costs about as much as parsing it: on the worker's own
// thread the two took turns, here they run side by side. At most IN_FLIGHT
// chunks wait for the worker, so a slow parse never holds the whole file
// in memory. `progress` is shared by the pumps of one file; `end` says
// whether the worker is told the end came, `onDone` hears it came.
class Pump {
  constructor(blob, worker, progress, { end = true, onDone = null } = {}) {
    this.blob = blob;
    this.worker = worker;
    this.progress = progress;
    this.end = end;
    this.onDone = onDone;
    this.inFlight = 0;
    this.stopped = false;
    this.wake = null;
  }

  async run() {
    try {
      const chunks = this.blob.stream().getReader();
      for (;;) {
        while (this.inFlight >= Pump.IN_FLIGHT && !this.stopped) await new Promise((wake) => { this.wake = wake; });
        if (this.stopped) break;
        const { done, value } = await chunks.read();
        if (this.stopped) break;
        if (done) {
          if (this.end) this.worker.postMessage({ end: true });
          if (this.onDone) this.onDone();
          return;
        }
        this.send(value);
      }
      chunks.cancel().catch(() => {});
    } catch (error) {
      if (!this.stopped) this.worker.postMessage({ unreadable: true });
    }
  }

  send(chunk) {
    ++this.inFlight;
    this.worker.postMessage({ chunk }, [chunk.buffer]);
  }

  // The worker has parsed a chunk of `length` bytes.
  took(length) {
    if (this.stopped) return;
    --this.inFlight;
    if (this.wake) {
      this.wake();
      this.wake = null;
    }
    const p = this.progress;
    p.parsed += length;
    if (performance.now() - p.told >= Pump.PROGRESS_EVERY_MS) {
      p.told = performance.now();
      p.tell(Math.min(1, p.parsed / p.size));
    }
  }

  joinRefused() {}

  stop() {
    this.stopped = true;
    if (this.wake) this.wake();
    this.wake = null;
  }
}
Pump.IN_FLIGHT = 4;
Pump.PROGRESS_EVERY_MS = 100;
