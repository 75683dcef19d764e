// The parsing worker: takes the chosen File, answers with the flat model
// (its typed arrays moved, not copied) or with the kind of failure.
self.onmessage = async (event) => {
  let model;
  try {
    model = Model.load(await event.data.arrayBuffer());
  } catch (error) {
    self.postMessage({ error: error instanceof Model.BadDocument ? error.kind : Model.UNREADABLE });
    return;
  }
  self.postMessage({ model }, Model.transferables(model));
};
