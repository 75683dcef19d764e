// Making elements: strings only ever become text nodes, never markup.
const Dom = (() => {
  "use strict";

  function h(tag, props, ...children) {
    const el = document.createElement(tag);
    if (props) {
      for (const [key, value] of Object.entries(props)) {
        if (value === undefined || value === null || value === false) continue;
        if (key === "class") el.className = value;
        else if (key === "text") el.textContent = value;
        else if (key.startsWith("on")) el.addEventListener(key.slice(2), value);
        else if (key === "dataset") Object.assign(el.dataset, value);
        else el.setAttribute(key, value === true ? "" : value);
      }
    }
    for (const child of children) {
      if (child === null || child === undefined || child === false) continue;
      el.append(typeof child === "string" ? document.createTextNode(child) : child);
    }
    return el;
  }

  // append() and replaceChildren() would write a null as the text "null".
  const present = (...nodes) => nodes.filter((node) => node !== null && node !== undefined && node !== false);

  // Wording may hold `commands` in back-quotes: shown as code, as text.
  function richText(text) {
    const out = document.createDocumentFragment();
    String(text).split("`").forEach((piece, i) => {
      if (piece === "") return;
      out.append(i % 2 ? h("code", { text: piece }) : document.createTextNode(piece));
    });
    return out;
  }

  return { h, present, richText };
})();
