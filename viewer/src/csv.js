// Lists saved as CSV files: UTF-8 with a byte-order mark (so that a
// spreadsheet reads the Chinese), CRLF line ends, fields quoted where they
// must be, and text that a spreadsheet would run as a formula made inert.
const Csv = (() => {
  "use strict";

  // A name may start with "=", "+", "-" or "@" (or a tab or CR): a
  // spreadsheet would take the cell for a formula. A leading apostrophe
  // keeps it text. Numbers are written as numbers.
  function field(value) {
    if (typeof value === "number") return String(value);
    let text = String(value);
    if (/^[=+\-@\t\r]/.test(text)) text = `'${text}`;
    return /[",\r\n]/.test(text) || text !== text.trim() ? `"${text.replace(/"/g, '""')}"` : text;
  }

  function text(rows) {
    return `\ufeff${rows.map((row) => row.map(field).join(",")).join("\r\n")}\r\n`;
  }

  // A download of a blob made here: nothing leaves the machine.
  function save(name, rows) {
    const url = URL.createObjectURL(new Blob([text(rows)], { type: "text/csv;charset=utf-8" }));
    const link = Dom.h("a", { href: url, download: name });
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  }

  // The current folder's entries in the list's order.
  function listRows(c, order) {
    const m = c.app.model;
    const rows = [["path", "name", "bytes", "files", "dirs", "verdict"]];
    for (const i of order) {
      const folder = m.dirs[i] > 0;
      rows.push([m.path(i), m.name(i), m.bytes[i], folder ? m.files[i] : "", folder ? m.dirs[i] : "",
        Model.verdictOf(m, i)]);
    }
    return rows;
  }

  // The cleanable panel: each top-most green entry with its group and words.
  function cleanableRows(c) {
    const m = c.app.model;
    const rows = [["group", "path", "bytes", "reason", "action"]];
    for (const index of m.cleanable) {
      const green = m.greens[index];
      const mark = m.marks[green.mark];
      if (!mark) continue;
      const group = Groups.greenGroup(mark, green.path);
      rows.push([group.safe ? "safe" : "check", green.path, green.bytes, c.ruleWords(mark, "reason"),
        group.why ? c.t(Panels.WHY.get(group.why)) : c.ruleWords(mark, "action")]);
    }
    return rows;
  }

  // The largest files of the scan, largest first.
  function fileRows(c) {
    const m = c.app.model;
    const rows = [["path", "bytes", "verdict"]];
    for (const i of m.largestFiles) rows.push([m.path(i), m.bytes[i], Model.verdictOf(m, i)]);
    return rows;
  }

  return { field, text, save, listRows, cleanableRows, fileRows };
})();
