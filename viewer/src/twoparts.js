// A large file read by two workers at once: the kept one reads the first
// half, a helper the second from the first line there that opens an entry
// of a children list (see Parts). The helper tells where that line is and
// hands over the bytes before it, which follow the first half; its rows are
// then joined to the kept worker's. Where the helper finds no such line,
// fails, or its part does not join, the kept worker reads on from where it
// stopped, as if alone.
class TwoParts {
  constructor(file, worker, helper, progress) {
    this.file = file;
    this.worker = worker;
    this.helper = helper;
    this.progress = progress;
    this.mid = Math.floor(file.size / 2);
    this.first = new Pump(file.slice(0, this.mid), worker, progress, { end: false, onDone: () => this.firstDone() });
    this.second = new Pump(file.slice(this.mid), helper, progress, { end: true });
    this.head = null;       // the bytes between the half and the cut
    this.headSent = false;
    this.part = null;       // what the helper read, to be joined
    this.firstRead = false;
    this.alone = false;     // the kept worker reads the rest itself
    this.stopped = false;
    this.rest = null;       // that pump
    helper.onmessage = (event) => this.fromHelper(event.data);
    helper.onerror = (event) => {
      event.preventDefault();
      this.readAlone();
    };
  }

  run() {
    this.helper.postMessage({ file: this.file, part: true, chosenAt: performance.timeOrigin + performance.now() });
    this.first.run();
    this.second.run();
  }

  fromHelper(data) {
    if (this.stopped || this.alone) return;
    if (data.took !== undefined) this.second.took(data.took);
    else if (data.head) {
      this.head = data.head;
      this.sendHead();
    } else if (data.part) {
      this.part = data;
      this.join();
    } else this.readAlone();  // declined, or failed
  }

  firstDone() {
    this.firstRead = true;
    if (this.alone) this.readRest();
    else this.sendHead();
  }

  sendHead() {
    if (!this.firstRead || !this.head || this.headSent) return;
    this.headSent = true;
    this.first.send(this.head);
    this.join();
  }

  join() {
    if (!this.headSent || !this.part) return;
    const { part, depth } = this.part;
    this.worker.postMessage({ join: part, depth }, Parts.PART_BUFFERS(part));
    this.part = null;
  }

  // The kept worker parsed a chunk: the worker takes them in the order
  // sent, the first pump's (the head last) before the rest's.
  took(length) {
    if (this.first.inFlight > 0 || !this.rest) this.first.took(length);
    else this.rest.took(length);
  }

  joinRefused() {
    this.readAlone();
  }

  readAlone() {
    if (this.alone || this.stopped) return;
    this.alone = true;
    this.second.stop();
    this.helper.terminate();
    if (this.firstRead) this.readRest();
  }

  readRest() {
    const from = this.mid + (this.headSent ? this.head.length : 0);
    this.rest = new Pump(this.file.slice(from), this.worker, this.progress, { end: true });
    this.rest.run();
  }

  stop() {
    this.stopped = true;
    this.first.stop();
    this.second.stop();
    if (this.rest) this.rest.stop();
    this.helper.terminate();
  }
}
TwoParts.MIN_BYTES = 32 * 1024 * 1024;
