// The viewer's model in node, without a browser: the report reader against
// JSON.parse on a scan the program made, whole and in chunks as small as one
// byte; what fails and how; the search's count; the largest-N helper.
//
//   OSKRA_CLI=<program> node --test model.node.test.mjs
import assert from "node:assert/strict";
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join } from "node:path";
import { after, test } from "node:test";
import { fileURLToPath } from "node:url";

import { makeTree, scan } from "./support.mjs";

const here = dirname(fileURLToPath(import.meta.url));
const SOURCES = ["groups.js", "top.js", "columns.js", "tokens.js", "verdicts.js", "trail.js", "reader.js", "model.js", "search.js",
  "changes.js"];
const { Model, Search, TopN, Changes } = new Function(
  `${SOURCES.map((name) => readFileSync(join(here, "..", "src", name), "utf8")).join("\n")}\nreturn { Model, Search, TopN, Changes };`)();

const program = process.env.OSKRA_CLI;
const scratch = mkdtempSync(join(tmpdir(), "oskra-model-test-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

const bytesOf = (text) => new Uint8Array(Buffer.from(text, "utf8"));

// The model of `bytes`, fed in chunks of `size` bytes (0: all at once).
function read(bytes, size = 0) {
  if (size === 0) return Model.withText(Model.load(bytes.slice().buffer));
  const reading = Model.reading(bytes.length);
  for (let at = 0; at < bytes.length; at += size) {
    reading.feed(bytes.slice(at, at + size), at + size >= bytes.length);
  }
  return Model.withText(reading.finish().model);
}

// Every node of `doc` in the order the reader numbers them (depth first),
// checked against row i of the model.
function assertSameTree(model, doc) {
  assert.deepEqual(model.header, {
    tool: doc.tool, version: doc.version, path: doc.path, total_bytes: doc.total_bytes, files: doc.files,
    dirs: doc.dirs, denied: doc.denied, elapsed_ms: doc.elapsed_ms,
  });
  const stack = [{ node: doc.tree, parent: -1 }];
  let i = 0;
  while (stack.length) {
    const { node, parent } = stack.pop();
    const kids = node.children || [];
    const row = { name: model.name(i), path: model.path(i), bytes: model.bytes[i], files: model.files[i],
      dirs: model.dirs[i], parent: model.parent[i], children: model.count[i],
      mark: model.mark[i] === -1 ? undefined : model.marks[model.mark[i]] };
    assert.deepEqual(row, { name: node.name, path: node.path, bytes: node.bytes, files: node.files, dirs: node.dirs,
      parent, children: kids.length, mark: node.mark }, `node ${i}, ${node.path}`);
    for (let k = kids.length - 1; k >= 0; --k) stack.push({ node: kids[k], parent: i });
    ++i;
  }
  assert.equal(model.size, i);
  assert.deepEqual(model.greens.map((g) => ({ ...g, mark: g.mark === -1 ? undefined : model.marks[g.mark] })),
    doc.greens.map((g) => ({ ...g, mark: g.mark })));
}

test("a scan the program made reads back as JSON.parse reads it, whole and in chunks of any size", { skip: !program }, () => {
  const root = join(scratch, "tree");
  makeTree(root);
  const doc = scan(program, root, join(scratch, "scan.json"));
  const bytes = new Uint8Array(readFileSync(join(scratch, "scan.json")));
  for (const size of [0, 1, 7, 4096]) assertSameTree(read(bytes, size), doc);
});

test("escapes in names and paths read as JSON.parse reads them, even cut between chunks", () => {
  const names = ["quote\" back\\ slash/", "tab\tnew\nline", "é 中文", "😀 face", "\u0001"];
  // Enough entries to be cut in many places by large chunks, and a name
  // longer than what is copied to finish a cut member.
  for (let k = 0; k < 400; ++k) names.push(k === 200 ? `${"long ".repeat(2000)}é` : `entry ${k}`);
  const tree = { name: "r", path: "/r", bytes: 2 * names.length, files: names.length, dirs: 1,
    children: names.map((name) => ({ name, path: `/r/${name}`, bytes: 2, files: 0, dirs: 0 })) };
  let text = JSON.stringify({ tool: "morvane-cli", version: "1", path: "/r", total_bytes: tree.bytes, files: tree.files, dirs: 1,
    denied: 0, elapsed_ms: 3, tree, greens: [] }, null, 2);
  // The program may spell any character as \u: these must come out the same.
  text = text.replace(/é/g, "\\u00e9").replace(/😀/g, "\\ud83d\\ude00").replace(/\//g, "\\/");
  const doc = JSON.parse(text);
  for (const size of [0, 1, 5, 4500, 20000]) assertSameTree(read(bytesOf(text), size), doc);
});

test("the program's own layout, read without key lookups, keeps the reader's rules", () => {
  // Each entry's verdict as the program copies it down: the second equals
  // the first byte for byte, the third differs in its last member.
  const mark = (action) => ({ state: "green", pattern: "Temp", source: "builtin", reason: "rule.reason.tempFiles", action });
  const children = ["Empty", "Empty", "Clean", "Empty"].map((action, k) => ({ name: `e${k}`, path: `/r/e${k}`, bytes: 1,
    files: 0, dirs: 0, mark: mark(`rule.action.safeTo${action}`) }));
  const text = JSON.stringify({ tool: "morvane-cli", version: "1", path: "/r", total_bytes: 4, files: 4, dirs: 1, denied: 0,
    elapsed_ms: 3, tree: { name: "r", path: "/r", bytes: 4, files: 4, dirs: 1, children }, greens: [] }, null, 2);
  for (const size of [0, 1, 61]) assertSameTree(read(bytesOf(text), size), JSON.parse(text));
  // Paths spelt as the parent's, the separator and the name are kept as a
  // flag; these must still read back as spelt, and the others as they are.
  const file = (path, name) => ({ name, path, bytes: 1, files: 0, dirs: 0 });
  const folder = { ...file("C:\\d", "d"), children: [file("C:\\d\\\"q\" é", "\"q\" é"), file("C:\\elsewhere\\x", "x"),
    file("C:\\d/y", "y"), file("C:\\dz", "z")] };
  const windows = JSON.stringify({ tool: "morvane-cli", version: "1", path: "C:\\", total_bytes: 5, files: 5, dirs: 1,
    denied: 0, elapsed_ms: 3, tree: { ...file("C:\\", ""), children: [file("C:\\e0", "e0"), folder] }, greens: [] }, null, 2);
  const joined = read(bytesOf(windows));
  assertSameTree(joined, JSON.parse(windows));
  assert.deepEqual([...joined.pathLen].map((length) => length > 0), [true, false, false, false, true, true, true]);
  const broken = [['"bytes": 1,', '"bytes": -1,'], ['"bytes": 1,', '"bytes": 01,'], ['"name": "e1"', '"name": "e\u0001"'],
    ['"name": "e1"', '"name": "e\\x"'], ['"dirs": 0,\n', '"dirs": 0 0,\n'],
    ['"dirs": 0,\n', '"dirs": 0, "name": "again",\n']];
  for (const [from, to] of broken) {
    assert.notEqual(text.replace(from, to), text);
    for (const size of [0, 3]) {
      assert.throws(() => read(bytesOf(text.replace(from, to)), size), (error) => error.kind === "notReport", to);
    }
  }
});

test("what is not a report, or is cut short, fails with its kind", () => {
  const good = JSON.stringify({ tool: "morvane-cli", version: "1", path: "/r", total_bytes: 1, files: 1, dirs: 1,
    denied: 0, elapsed_ms: 3, tree: { name: "r", path: "/r", bytes: 1, files: 1, dirs: 1,
      children: [{ name: "a\u00e9", path: "/r/a", bytes: 1, files: 0, dirs: 0 }] }, greens: [] });
  assert.equal(read(bytesOf(good)).size, 2);
  const cases = [
    ["notReport", "hello, world"],
    ["notReport", ""],
    ["notReport", good.replace("morvane-cli", "something-else")],
    ["notReport", `${good} {}`],
    ["notReport", good.replace('"bytes":1,"files":0', '"files":0')],
    ["notReport", good.replace('"bytes":1,"files":0', '"bytes":-1,"files":0')],
    ["notReport", good.replace('"name":"r"', '"name":"r\\x"')],
    ["cutShort", good.slice(0, good.indexOf('"a') + 2)],   // inside a string
    ["cutShort", good.slice(0, good.indexOf('"bytes":1') + 8)],  // a number that may go on
    ["cutShort", good.slice(0, -1)],
  ];
  for (const [kind, text] of cases) {
    for (const size of [0, 3]) {
      assert.throws(() => read(bytesOf(text), size), (error) => error instanceof Model.BadDocument && error.kind === kind,
        `${kind} in chunks of ${size}: ${text.slice(-30)}`);
    }
  }
});

test("the greens cap is the program's", () => {
  const header = readFileSync(join(here, "..", "..", "cli", "src", "walk", "green_list.h"), "utf8");
  assert.equal(Model.GREENS_CAP, Number(header.match(/DEFAULT_CAPACITY = (\d+)/)[1]));
});

test("search counts the entries whose own name holds the text, not everything beneath a matching folder", () => {
  const file = (name, bytes) => ({ name, bytes, files: 0, dirs: 0 });
  const pkg = { name: "pkg-017", children: [{ name: "cache", children: [file("c.bin", 5)] }] };
  for (let k = 0; k < 40; ++k) pkg.children.push(file(`f${k}`, 1));
  const tree = { name: "r", children: [pkg, { name: "x", children: [file("old-PKG-017.zip", 100)] }] };
  const order = [tree];
  for (let i = 0; i < order.length; ++i) for (const c of order[i].children || []) order.push(c);
  for (const n of order) for (const c of n.children || []) c.path = `${n.path || "/r"}/${c.name}`;
  for (const n of order.reverse()) {
    if (!n.children) continue;
    Object.assign(n, { bytes: 0, files: 0, dirs: 1 });
    for (const c of n.children) Object.assign(n, { bytes: n.bytes + c.bytes, files: n.files + c.files + !c.children, dirs: n.dirs + c.dirs });
  }
  tree.path = "/r";
  const model = read(bytesOf(JSON.stringify({ tool: "morvane-cli", version: "1", path: "/r", total_bytes: tree.bytes,
    files: tree.files, dirs: tree.dirs, denied: 0, elapsed_ms: 1, tree, greens: [] })));
  const search = (text) => {
    const query = new Search.Query(new Search.Index(model), model.bytes, text, 10);
    query.runUntil(Infinity);
    const { found, best } = query.result();
    return { found, paths: best.map((i) => model.path(i)) };
  };
  assert.deepEqual(search("pkg-017"), { found: 2, paths: ["/r/x/old-PKG-017.zip", "/r/pkg-017"] });
  assert.deepEqual(search("017/ca"), { found: 1, paths: ["/r/pkg-017/cache"] });
});

test("TopN keeps the largest, equal values in the order offered", () => {
  let seed = 7;
  const values = Array.from({ length: 5000 }, () => (seed = (seed * 48271) % 2147483647) % 50);
  for (const limit of [1, 20, 100]) {
    const top = new TopN(limit, values);
    values.forEach((v, i) => top.offer(i));
    const sorted = values.map((v, i) => i).sort((a, b) => values[b] - values[a] || a - b);
    assert.deepEqual(top.largest(), sorted.slice(0, limit));
  }
});

test("the page's check-first sentences are the ones references/wording.md gives the skill", () => {
  const { STRINGS } = new Function(`${readFileSync(join(here, "..", "src", "strings.js"), "utf8")}\nreturn { STRINGS };`)();
  const doc = readFileSync(join(here, "..", "..", "references", "wording.md"), "utf8");
  const section = doc.split("## Check-first sentences")[1];
  assert.ok(section, "references/wording.md has no check-first table");
  const rows = section.split("\n").filter((line) => line.startsWith("|") && !line.startsWith("|---"))
    .slice(1).map((line) => line.split("|").slice(2, 4));
  for (const language of ["zh", "en"]) {
    const page = Object.keys(STRINGS[language]).filter((key) => /^why[A-Z]/.test(key)).map((key) => STRINGS[language][key]);
    assert.deepEqual(rows.map((row) => row[language === "zh" ? 0 : 1]).sort(), page.sort(), language);
  }
});

test("comparing scans: a folder renamed only in letter case is the same folder on Windows, two on Linux", () => {
  const scanOf = (root, sep, folder, bytes) => {
    const at = (name) => (root.endsWith(sep) ? root : root + sep) + name;
    const doc = { tool: "morvane-cli", version: "0", path: root, total_bytes: bytes + 5, files: 2, dirs: 3, denied: 0, elapsed_ms: 0,
      tree: { name: "", path: root, bytes: bytes + 5, files: 2, dirs: 3, children: [
        { name: folder, path: at(folder), bytes, files: 1, dirs: 2, children: [
          { name: "in", path: at(folder) + sep + "in", bytes, files: 1, dirs: 1 }] },
        { name: "x", path: at("x"), bytes: 5, files: 0, dirs: 0 }] }, greens: [] };
    return Model.withText(Model.load(bytesOf(JSON.stringify(doc, null, 2)).buffer));
  };
  const kinds = (d) => [...d.kind].sort();
  const windows = Changes.diff(scanOf("D:\\", "\\", "PHOTOS", 400), scanOf("D:\\", "\\", "Photos", 400));
  assert.deepEqual(kinds(windows), ["renamed", "same", "same", "same"]);
  assert.deepEqual(windows.growers, []);
  const linux = Changes.diff(scanOf("/home", "/", "PHOTOS", 400), scanOf("/home", "/", "Photos", 400));
  assert.deepEqual(kinds(linux), ["gone", "gone", "new", "new", "same", "same"]);
});
