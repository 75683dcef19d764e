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
    this.spare = null;    // a worker started ahead, for the next file
  }

  // Starting a worker takes a few hundred milliseconds: the next file's
  // reader is started before the file is chosen.
  warm() {
    if (!this.spare) this.spare = this.newWorker();
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
    if (keep) {
      if (this.reading) this.reading.terminate();
      this.reading = worker;
    }
    if (!worker) {
      return file.arrayBuffer().then((buffer) => ({ model: Model.withText(Model.load(buffer)), searcher: null, timing: {} })).catch((error) => {
        throw error instanceof Model.BadDocument ? error : new Model.BadDocument(Model.UNREADABLE);
      });
    }
    return new Promise((resolve, reject) => {
      worker.onmessage = (event) => {
        if (event.data.progress !== undefined) return this.onProgress(event.data.progress);
        if (this.reading === worker) this.reading = null;
        if (!event.data.model) {
          worker.terminate();
          reject(new Model.BadDocument(event.data.error));
          return;
        }
        if (keep) worker.onmessage = this.onAnswer;
        else worker.terminate();
        resolve({ model: Model.withText(event.data.model), searcher: keep ? worker : null, timing: event.data.timing });
      };
      worker.onerror = (event) => {
        event.preventDefault();
        worker.terminate();
        reject(new Model.BadDocument(Model.UNREADABLE));
      };
      worker.postMessage({ file, chosenAt: performance.timeOrigin + performance.now() });
    });
  }
}
