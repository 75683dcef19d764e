// The viewer in a real browser: Debian's chromium opens oskra-view.html from
// file:// and loads a scan that the program made of a generated tree.
//
//   OSKRA_CLI=<program> OSKRA_VIEW=<oskra-view.html> [OSKRA_ARTIFACTS=<folder>]
//   [OSKRA_VIEWER_MODULES=<node_modules>] node --test viewer.test.mjs
import assert from "node:assert/strict";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { after, before, test } from "node:test";

import { HOSTILE_DIR, HOSTILE_FILE, launch, load, makeTree, openViewer, scan, writeReport } from "./support.mjs";

const program = process.env.OSKRA_CLI;
const view = process.env.OSKRA_VIEW && resolve(process.env.OSKRA_VIEW);
assert.ok(program && view, "set OSKRA_CLI and OSKRA_VIEW");

const scratch = mkdtempSync(join(tmpdir(), "oskra-view-test-"));
const scanFile = join(scratch, "scan.json");
let browser;
let doc;
let session;  // one page on the generated scan, shared by the tests below

before(async () => {
  makeTree(join(scratch, "tree"));
  doc = scan(program, join(scratch, "tree"), scanFile);
  browser = await launch();
  session = await openViewer(browser, view);
  await load(session.page, scanFile);
});

after(async () => {
  if (session) {
    // Nothing but the page itself and its worker's blob: URL was asked
    // for, and the policy never had to stop anything.
    const foreign = session.requests.filter((url) => url !== `file://${view}` && !url.startsWith("blob:"));
    assert.deepEqual(foreign, [], "requests besides the page and its worker");
    assert.deepEqual(await session.page.evaluate(() => window.__violations), []);
    assert.deepEqual(session.errors, []);
  }
  if (browser) await browser.close();
  rmSync(scratch, { recursive: true, force: true });
});

// Every node of the report by path.
function byPath(report) {
  const nodes = new Map();
  const stack = [report.tree];
  while (stack.length) {
    const node = stack.pop();
    nodes.set(node.path, node);
    stack.push(...(node.children || []));
  }
  return nodes;
}

async function tiles(page) {
  return page.$$eval("#map .tile", (els) => els.map((el) => {
    const r = el.getBoundingClientRect();
    return { node: el.dataset.node, parent: el.dataset.parent, level: Number(el.dataset.level),
      path: el.title.split("\n")[0], text: el.textContent, x: r.x, y: r.y, w: r.width, h: r.height };
  }));
}

test("tiles are sized by bytes and the figures are the report's", async () => {
  const { page } = session;
  const nodes = byPath(doc);
  const shown = await tiles(page);
  assert.ok(shown.some((tile) => tile.level >= 2), "the treemap is drawn two levels deep");
  // Siblings share their box by bytes: each tile's part of the area drawn for
  // its folder is its part of the folder's bytes, within 1%.
  const groups = new Map();
  for (const tile of shown) {
    if (!groups.has(tile.parent)) groups.set(tile.parent, []);
    groups.get(tile.parent).push(tile);
  }
  let checked = 0;
  for (const siblings of groups.values()) {
    const area = siblings.reduce((sum, tile) => sum + tile.w * tile.h, 0);
    const drawn = siblings.filter((tile) => tile.node !== "-1").map((tile) => nodes.get(tile.path));
    const folder = [...nodes.values()].find((node) => (node.children || []).includes(drawn[0]));
    for (const [k, tile] of siblings.filter((s) => s.node !== "-1").entries()) {
      const expected = drawn[k].bytes / folder.bytes;
      const got = (tile.w * tile.h) / area;
      assert.ok(Math.abs(got - expected) <= 0.01 * expected, `${tile.path}: ${got} of the area for ${expected} of the bytes`);
      ++checked;
    }
  }
  assert.ok(checked >= 10, `only ${checked} tiles checked`);
  const total = await page.textContent("#total");
  assert.ok(total.endsWith("12.2 GB"), total);
  await page.screenshot({ path: join(process.env.OSKRA_ARTIFACTS || scratch, "oskra-view-test.png"), fullPage: true });
});

test("going in and coming back restores the view, by Backspace, Alt+Left and the breadcrumb", async () => {
  const { page } = session;
  const before = await tiles(page);
  const users = before.find((tile) => tile.level === 1 && tile.text.startsWith("Users"));
  for (const key of ["Backspace", "Alt+ArrowLeft"]) {
    await page.click(`#map .tile[data-node="${users.node}"]`, { position: { x: 5, y: 5 } });
    assert.equal(await page.textContent("#crumbs [aria-current]"), "Users");
    assert.notDeepEqual(await tiles(page), before);
    await page.keyboard.press(key);
    assert.deepEqual(await tiles(page), before, `after ${key}`);
    assert.equal(await page.evaluate(() => document.activeElement.dataset.node), users.node, "focus returns to the tile");
  }
  // Keyboard only: Enter on the focused tile goes in; the breadcrumb comes back.
  await page.keyboard.press("Enter");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "Users");
  await page.click("#crumbs button");
  assert.deepEqual(await tiles(page), before);
});

test("cleanable: top-most greens once each, grouped safe and check first", async () => {
  const { page } = session;
  // Greens inside another green are already counted by it.
  const paths = doc.greens.map((g) => g.path);
  const topMost = doc.greens.filter((g) => !paths.some((p) => g.path.startsWith(`${p}/`)));
  const expected = topMost.reduce((sum, g) => sum + g.bytes, 0);
  assert.ok(topMost.length < doc.greens.length, "the scan has nested greens");
  assert.equal(Number(await page.getAttribute("#clean-total", "data-bytes")), expected);
  const group = async (kind) => page.$$eval(`#clean .clean-list.${kind} .jump`, (els) => els.map((el) => el.textContent));
  const root = doc.path;
  assert.deepEqual(await group("safe"), [`${root}/Users/a/AppData/Local/Temp`, `${root}/Users/a/AppData/Local/npm-cache`]);
  const check = await group("check");
  for (const path of ["Users/a/Documents/Thesis/cache", "projects/app/.yarn/cache",
    "Users/a/AppData/Local/Microsoft/OneNote/16.0/cache", "projects/app/src/cache"]) {
    assert.ok(check.includes(`${root}/${path}`), `${path} is to be checked first`);
  }
});

test("names that look like markup are shown as text and run nothing", async () => {
  const { page } = session;
  const names = await page.$$eval("#map .tile .name, #rows bdi", (els) => els.map((el) => el.textContent));
  assert.ok(names.includes(HOSTILE_FILE) && names.includes(HOSTILE_DIR), names.join(" | "));
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
  assert.equal(await page.$$eval("img, svg", (els) => els.length), 0);
});

test("a file that is not a scan, or is cut short, gets its sentence; a byte-order mark is fine", async () => {
  const { page } = session;
  const text = readFileSync(scanFile, "utf8");
  const cases = [
    ["notReport", "not-json.json", "hello, world\n"],
    ["notReport", "other.json", '{"tool": "something else", "tree": {}}\n'],
    ["cutShort", "cut.json", text.slice(0, Math.floor(text.length * 0.6))],
  ];
  for (const [kind, name, content] of cases) {
    writeFileSync(join(scratch, name), content);
    await load(page, join(scratch, name));
    const message = page.locator("#message");
    assert.equal(await message.getAttribute("data-kind"), kind, name);
    assert.ok(await message.isVisible());
    assert.match(await message.textContent(), /oskra-cli --json/);
  }
  // PowerShell 5.1 writes UTF-8 with a byte-order mark, and UTF-16 with ">".
  writeFileSync(join(scratch, "bom.json"), `\ufeff${text}`);
  writeFileSync(join(scratch, "utf16.json"), Buffer.concat([Buffer.from([0xff, 0xfe]), Buffer.from(text, "utf16le")]));
  for (const name of ["bom.json", "utf16.json"]) {
    await load(page, join(scratch, name));
    assert.equal(await page.isVisible("#message"), false, name);
    assert.equal(await page.textContent("#summary bdi"), doc.path);
  }
});

test("a very deep report and a folder of a million entries open without freezing", async () => {
  const { page } = await openViewer(browser, view);
  // 100,000 levels, written compactly: indented it would not fit on a disk.
  let node = { name: "leaf", bytes: 1, dir: false };
  for (let k = 100000; k > 0; --k) node = { name: `d${k}`, path: `/deep/d${k}`, children: [node] };
  node.name = "deep";
  writeReport(join(scratch, "deep.json"), { rootPath: "/deep", tree: node, separator: "/", pretty: false });
  const wide = { name: "wide", children: [] };
  for (let k = 0; k < 1000000; ++k) wide.children.push({ name: `f${k}`, bytes: 1 + (k % 977) });
  writeReport(join(scratch, "wide.json"), { rootPath: "/wide", tree: wide, separator: "/", pretty: false });

  await load(page, join(scratch, "deep.json"));
  await page.click("#map .tile", { position: { x: 4, y: 4 } });
  assert.equal(await page.textContent("#crumbs [aria-current]"), "d2");
  await page.click("#map .tile", { position: { x: 4, y: 4 } });
  assert.equal(await page.textContent("#crumbs [aria-current]"), "d3");
  await load(page, join(scratch, "wide.json"));
  const shown = await tiles(page);
  assert.ok(shown.length <= 2500, `${shown.length} tiles`);
  assert.ok(shown.some((tile) => tile.node === "-1" && tile.text.startsWith("其他")), "small tiles roll into other");
  assert.equal(await page.$$eval("#rows .row", (rows) => rows.length < 100), true, "the list draws only what is seen");
  await page.context().close();
});
