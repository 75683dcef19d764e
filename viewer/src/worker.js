// The parsing worker: takes the chosen File, answers with the flat model
// (its typed arrays moved, not copied) and how long reading and parsing
// took, or with the kind of failure.
self.onmessage = async (event) => {
  let model;
  const timing = {};
  try {
    const started = performance.now();
    const buffer = await event.data.arrayBuffer();
    timing.readMs = Math.round(performance.now() - started);
    model = Model.load(buffer);
    timing.parseMs = Math.round(performance.now() - started) - timing.readMs;
  } catch (error) {
    self.postMessage({ error: error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE });
    return;
  }
  self.postMessage({ model, timing }, Model.transferables(model));
};
