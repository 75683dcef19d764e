// Builds oskra-view.html: one page holding its style, its script, the
// d3-hierarchy layout and the rules' wording, with a Content-Security-Policy
// that allows exactly that inline style and script (by their hashes) and a
// worker made from a blob: URL, and nothing from anywhere else.
//
//   node build.mjs --out <file> [--modules <node_modules folder>]
import { createHash } from "node:crypto";
import { readFileSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const here = dirname(fileURLToPath(import.meta.url));

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  if (at === -1) return fallback;
  if (at + 1 >= process.argv.length) throw new Error(`${name} needs a value`);
  return process.argv[at + 1];
}

const out = option("--out");
if (!out) {
  console.error("usage: node build.mjs --out <file> [--modules <node_modules folder>]");
  process.exit(2);
}
const modules = option("--modules", join(here, "node_modules"));
const read = (path) => readFileSync(path, "utf8");
const source = (name) => read(join(here, "src", name));

// Text placed inside a <script> must not close it early.
function script(text) {
  if (/<\/script/i.test(text) || /<!--/.test(text)) throw new Error("a script would end the <script> element");
  return text;
}
// Data as a JavaScript literal that is safe inside <script>.
const literal = (value) => JSON.stringify(value).replace(/</g, "\\u003c")
  .replace(/\u2028/g, "\\u2028").replace(/\u2029/g, "\\u2029");

const d3Path = join(modules, "d3-hierarchy", "dist", "d3-hierarchy.min.js");
const d3License = read(join(modules, "d3-hierarchy", "LICENSE")).trim();
const wording = JSON.parse(read(join(here, "wording.json")));
const model = ["top.js", "columns.js", "tokens.js", "verdicts.js", "trail.js", "reader.js", "model.js"].map(source).join("\n");
const workerSource = `"use strict";\n${source("groups.js")}\n${model}\n${source("search.js")}\n${source("worker.js")}`;

const js = script([
  `/* d3-hierarchy (layout), under this licence:\n${d3License.replace(/\*\//g, "* /")}\n*/`,
  // The library's UMD wrapper fills the `exports` it is given, so it adds
  // nothing to the page's global names.
  `const d3 = (() => { const exports = {}; const module = { exports };\n${read(d3Path)}\nreturn module.exports; })();`,
  // A Map: a user rule's text is never looked up as a member of an object.
  `const WORDING = new Map(Object.entries(${literal(wording)}));`,
  `const WORKER_SOURCE = ${literal(workerSource)};`,
  source("groups.js"),
  model,
  source("search.js"),
  source("text.js"),
  source("dom.js"),
  source("strings.js"),
  source("panels.js"),
  source("loader.js"),
  source("treemap.js"),
  source("list.js"),
  source("keys.js"),
  source("finder.js"),
  source("types.js"),
  source("tip.js"),
  source("csv.js"),
  source("changes.js"),
  source("compare.js"),
  source("events.js"),
  source("app.js"),
].join("\n"));
const css = source("viewer.css");
if (/<\/style/i.test(css)) throw new Error("the style would end the <style> element");

const hash = (text) => `'sha256-${createHash("sha256").update(text, "utf8").digest("base64")}'`;
const csp = [
  "default-src 'none'",
  `script-src ${hash(js)}`,
  `style-src ${hash(css)}`,
  "worker-src blob:",
  "base-uri 'none'",
  "form-action 'none'",
].join("; ");

const page = source("page.html");
const parts = page.split(/@CSP@|@STYLE@|@SCRIPT@/);
if (parts.length !== 4) throw new Error("page.html must hold @CSP@, @STYLE@ and @SCRIPT@ once each");
// Replaced by position, so that "$" in the script means nothing special.
const html = parts[0] + csp + parts[1] + css + parts[2] + js + parts[3];
writeFileSync(out, html);
console.log(`${out}: ${html.length} characters`);
