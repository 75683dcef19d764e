// The panels below the map: what cleaning frees (the safe group only, with
// the entries to check first beside it, never added in), the red entries
// only Windows' own settings free, and the largest folders. Each takes the
// page's view `v`: the model, its words (t, ruleWords), its formats (size,
// count, shown for names) and scanCommand.
const Panels = (() => {
  "use strict";

  const { h, richText } = Dom;
  const PANEL_SHOWN = 300;  // entries per group before "… n more"
  const LINES_PER_STEP = 60;

  const WHY = new Map([["user", "whyUser"], ["nameOutside", "whyNameOutside"], ["oneNote", "whyOneNote"],
    ["projectYarn", "whyProjectYarn"], ["cloud", "whyCloud"]]);

  // The top-most greens in their two groups, each with its bytes summed.
  function grouped(m) {
    const groups = { safe: [], check: [], safeBytes: 0, checkBytes: 0 };
    for (const index of m.cleanable) {
      const green = m.greens[index];
      const mark = m.marks[green.mark];
      if (!mark) continue;
      const group = Groups.greenGroup(mark, green.path);
      const kind = group.safe ? "safe" : "check";
      groups[kind].push({ green, mark, why: group.why });
      groups[`${kind}Bytes`] += green.bytes;
    }
    return groups;
  }

  // Where the page draws in steps (`v.later` takes the next one), the
  // lines come a slice at a time: 600 of them held the page 150 ms.
  function list(v, kind, entries, line) {
    const out = h("ol", { class: `clean-list ${kind}` });
    const more = entries.length > PANEL_SHOWN
      ? h("li", { class: "more", text: v.t("more", { n: v.count(entries.length - PANEL_SHOWN) }) }) : null;
    if (more) out.append(more);
    const shown = entries.slice(0, PANEL_SHOWN);
    const slice = v.later ? LINES_PER_STEP : shown.length;
    const add = (from) => {
      for (const entry of shown.slice(from, from + slice)) out.insertBefore(line(entry), more);
      if (from + slice < shown.length) v.later(() => add(from + slice));
    };
    add(0);
    return out;
  }

  // A safe entry: its reason and its rule's action. One to check first: its
  // reason and why to look first, never the action's "safe to clean".
  function cleanLine(v, { green, mark, why }) {
    const words = why
      ? [h("span", { class: "reason" }, richText(v.ruleWords(mark, "reason"))), " — ",
        h("span", { class: "why", text: v.t(WHY.get(why)) })]
      : [h("span", { class: "reason" }, richText(v.ruleWords(mark, "reason"))), " — ",
        h("span", { class: "action" }, richText(v.ruleWords(mark, "action")))];
    return h("li", { dataset: { bytes: String(green.bytes) } },
      h("span", { class: "size", text: v.size(green.bytes) }), " ",
      h("button", { type: "button", class: "jump", dataset: { path: green.path } },
        h("bdi", { text: v.shown(green.path) })),
      h("div", { class: "words" }, ...words));
  }

  function section(v, kind, title, total, entries) {
    return h("section", { class: `group ${kind}` },
      h("h3", { class: `v-${kind}` }, h("span", { class: "chip", text: v.t(kind) }), " ", title,
        h("span", { class: "group-total", text: ` ${v.size(total)}` })),
      list(v, kind, entries, (entry) => cleanLine(v, entry)));
  }

  function clean(v) {
    const m = v.model;
    const g = grouped(m);
    const parts = [h("h2", { text: v.t("cleanable") })];
    if (g.safe.length + g.check.length === 0) {
      parts.push(h("p", { text: v.t("cleanNone") }));
      return parts;
    }
    // The headline is what cleaning the safe group frees, nothing else.
    parts.push(h("p", { class: "clean-total", id: "clean-total", dataset: { bytes: String(g.safeBytes) } },
      v.t("cleanTotal", { safe: v.size(g.safeBytes) })));
    if (g.check.length) {
      parts.push(h("p", { class: "note", id: "check-total", dataset: { bytes: String(g.checkBytes) } },
        v.t("checkTotal", { check: v.size(g.checkBytes) })));
    }
    if (m.greens.length >= Model.GREENS_CAP) {
      parts.push(h("p", { class: "note", text: v.t("greensCut", { n: Model.GREENS_CAP }) }));
    }
    if (g.safe.length) parts.push(section(v, "safe", v.t("safeGroup"), g.safeBytes, g.safe));
    if (g.check.length) parts.push(section(v, "check", v.t("checkGroup"), g.checkBytes, g.check));
    return parts;
  }

  // Red entries Windows frees itself, each with the setting that does it;
  // nothing here is counted as cleanable.
  function windowsFreed(v) {
    const m = v.model;
    if (m.windowsFreed.length === 0) return [];
    const out = h("ol", { class: "freed-list" });
    for (const i of m.windowsFreed) {
      const setting = Groups.windowsSetting(m.marks[m.mark[i]]);
      out.append(h("li", null, h("span", { class: "size", text: v.size(m.bytes[i]) }), " ",
        h("button", { type: "button", class: "jump", dataset: { node: String(i) } }, h("bdi", { text: v.shown(m.path(i)) })),
        h("div", { class: "words" }, richText(v.t(setting)))));
    }
    return [h("h2", { text: v.t("windowsFreed") }), h("p", { class: "note", text: v.t("windowsFreedNote") }), out];
  }

  // A folder whose contents are beyond the scan's depth says so, with the
  // command that scans it deeper into a file of its own.
  function largest(v) {
    const m = v.model;
    const out = h("ol", { class: "largest-list" });
    for (const i of m.largest) {
      const beyond = m.count[i] === 0;
      out.append(h("li", null, h("span", { class: "size", text: v.size(m.bytes[i]) }), " ",
        h("button", { type: "button", class: "jump", dataset: { node: String(i) } }, h("bdi", { text: v.shown(m.path(i)) })),
        beyond ? h("div", { class: "words beyond" }, h("span", { class: "note", text: v.t("beyondDepthShort") }), " ",
          h("code", { text: v.scanCommand(m.path(i)) })) : null));
    }
    return [h("h2", { text: v.t("largest") }), h("p", { class: "note", text: v.t("largestNote") }),
      m.largest.length ? out : h("p", { text: v.t("largestNone") })];
  }

  // The folders that could not be read: their sizes are lower bounds.
  function denied(v) {
    const m = v.model;
    if (m.denied.length === 0) return [];
    const out = h("ol", { class: "denied-list" });
    for (const i of m.denied) {
      out.append(h("li", null, h("span", { class: "size", text: v.size(m.bytes[i]) }), " ",
        h("button", { type: "button", class: "jump", dataset: { node: String(i) } }, h("bdi", { text: v.shown(m.path(i)) }))));
    }
    const beyond = m.header.denied - m.denied.length;
    return [h("h2", { text: v.t("deniedTitle") }), h("p", { class: "note", text: v.t("deniedPanelNote") }), out,
      beyond > 0 ? h("p", { class: "note", text: v.t("deniedBeyond", { n: v.count(beyond) }) }) : null].filter(Boolean);
  }

  // The largest files anywhere in the scan, each with its folder's path a
  // click away and its own path to copy.
  function largestFiles(v) {
    const m = v.model;
    if (m.largestFiles.length === 0) return [];
    const out = h("ol", { class: "files-list" });
    for (const i of m.largestFiles) {
      const path = m.path(i);
      out.append(h("li", null, h("span", { class: "size", text: v.size(m.bytes[i]) }), " ",
        h("button", { type: "button", class: "jump", dataset: { node: String(i) } }, h("bdi", { text: v.shown(path) })), " ",
        h("button", { type: "button", class: "copy", title: v.t("copyPath"), "aria-label": v.t("copyPath"),
          dataset: { path }, text: v.t("copy") })));
    }
    return [h("h2", { text: v.t("largestFiles") }),
      h("p", { class: "note", text: v.t("largestFilesNote", { n: v.count(m.largestFiles.length) }) }),
      h("button", { type: "button", class: "save", id: "save-files", text: v.t("saveCsv") }), out];
  }

  return { WHY, clean, windowsFreed, largest, denied, largestFiles };
})();
