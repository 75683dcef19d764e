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

import {
  HOSTILE_DIR, HOSTILE_FILE, REVERSED, contrasts, launch, load, longestTaskOfSearch, makeTree, openViewer, rowOverlaps, scan,
  writeReport,
} from "./support.mjs";

const program = process.env.OSKRA_CLI;
const view = process.env.OSKRA_VIEW && resolve(process.env.OSKRA_VIEW);
assert.ok(program && view, "set OSKRA_CLI and OSKRA_VIEW");

const scratch = mkdtempSync(join(tmpdir(), "oskra-view-test-"));
const scanFile = join(scratch, "scan.json");
// A Linux scan whose root name holds a backslash: its separator is still "/".
const treeRoot = join(scratch, "tree\\root");
const artifacts = process.env.OSKRA_ARTIFACTS || scratch;
let browser;
let doc;
let session;  // one page on the generated scan, shared by the tests below

before(async () => {
  makeTree(treeRoot);
  doc = scan(program, treeRoot, scanFile);
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
      path: el.title.split("\n")[0].replace(/[\u2068\u2069]/g, ""), text: el.textContent, x: r.x, y: r.y, w: r.width, h: r.height };
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
  await page.screenshot({ path: join(artifacts, "oskra-view-test.png"), fullPage: true });
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

// The grouping is the one of tests/data/green_groups.json, which the C++
// tests and the skill's snippets are held to as well.
test("every case of the shared grouping table is grouped as the table says", async () => {
  const cases = JSON.parse(readFileSync(new URL("../../tests/data/green_groups.json", import.meta.url), "utf8"));
  const got = await session.page.evaluate((rows) => rows.map((row) =>
    (Groups.greenGroup({ source: row.source, pattern: row.pattern }, row.path).safe ? "safe" : "check first")), cases);
  assert.deepEqual(got, cases.map((row) => row.group));
});

test("cleanable: the headline is the safe group's top-most greens; those to check first stand apart", async () => {
  const { page } = session;
  const root = doc.path;
  // Greens inside another green are already counted by it (the root's name
  // holds a backslash, which is no separator on Linux).
  const paths = doc.greens.map((g) => g.path);
  const topMost = doc.greens.filter((g) => !paths.some((p) => g.path.startsWith(`${p}/`)));
  assert.ok(topMost.length < doc.greens.length, "the scan has nested greens");
  const safe = [`${root}/Users/a/AppData/Local/Temp`, `${root}/Users/a/AppData/Local/npm-cache`];
  const group = async (kind) => page.$$eval(`#clean .clean-list.${kind} .jump`, (els) => els.map((el) => el.textContent));
  assert.deepEqual(await group("safe"), safe);
  const safeBytes = topMost.filter((g) => safe.includes(g.path)).reduce((sum, g) => sum + g.bytes, 0);
  assert.equal(Number(await page.getAttribute("#clean-total", "data-bytes")), safeBytes);
  const checkBytes = topMost.filter((g) => !safe.includes(g.path)).reduce((sum, g) => sum + g.bytes, 0);
  assert.equal(Number(await page.getAttribute("#check-total", "data-bytes")), checkBytes);
  const check = await group("check");
  for (const path of ["Users/a/Documents/Thesis/cache", "projects/app/.yarn/cache",
    "Users/a/AppData/Local/Microsoft/OneNote/16.0/cache", "projects/app/src/cache"]) {
    assert.ok(check.includes(`${root}/${path}`), `${path} is to be checked first`);
  }
  // Nothing to check first is called safe to clean, in the panel or the list.
  assert.equal(await page.$$eval("#clean .clean-list.check .action", (els) => els.length), 0);
  await page.locator("#clean .clean-list.check .jump", { hasText: `${root}/Users/a/Documents/Thesis/cache` }).click();
  const row = await page.textContent(`#rows .row:has(.v-check)`);
  assert.doesNotMatch(row, /可以清理|Safe to clean/);
  // The page file is listed apart, with its setting, and counted nowhere.
  assert.match(await page.textContent("#freed"), /pagefile\.sys[\s\S]*虚拟内存/);
  await page.click("#crumbs button");
});

test("names that look like markup are shown as text and run nothing", async () => {
  const { page } = session;
  const names = await page.$$eval("#map .tile .name, #rows bdi", (els) => els.map((el) => el.textContent));
  assert.ok(names.includes(HOSTILE_FILE) && names.includes(HOSTILE_DIR), names.join(" | "));
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
  assert.equal(await page.$$eval("img, svg", (els) => els.length), 0);
});

test("a right-to-left override in a name is shown as \\u202E and reorders nothing", async () => {
  const { page } = session;
  await page.fill("#search", "gnp.exe");
  await page.waitForSelector("#results ol li");
  const result = await page.textContent("#results ol li .path");
  assert.ok(result.includes("/projects/\\u202Egnp.exe"), result);
  await page.keyboard.press("Escape");
  // Nowhere in the page's text, its tooltips or its labels.
  const raw = await page.evaluate((c) => [document.body.textContent,
    ...[...document.querySelectorAll("[title], [aria-label]")].flatMap((el) => [el.title, el.getAttribute("aria-label") || ""])]
    .filter((text) => text.includes(c)).length, "\u202e");
  assert.equal(raw, 0);
  assert.ok((await page.textContent("#clean")).includes("\\u202Egnp.exe"));
});

test("list rows never overlap and headings are whole, at 800, 1280 and 1920 px, in both languages", async () => {
  for (const [width, height] of [[800, 800], [1280, 800], [1920, 1080]]) {
    const { page, context } = await openViewer(browser, view, { width, height });
    await load(page, scanFile);
    for (const lang of ["zh", "en"]) {
      if (lang === "en") await page.click("#lang");
      assert.deepEqual(await rowOverlaps(page), [], `${width}x${height} ${lang}`);
      await page.screenshot({ path: join(artifacts, `oskra-view-${width}x${height}-${lang}.png`), fullPage: true });
    }
    await context.close();
  }
});

test("every chip and tile label reads at a contrast of 4.5:1 or more", async () => {
  const shown = await contrasts(session.page);
  assert.ok(shown.length >= 10, `${shown.length} labels`);
  const low = shown.filter((label) => label.ratio < 4.5).map((label) => `${label.text}: ${label.ratio.toFixed(2)}`);
  assert.deepEqual(low, []);
});

test("a scan of one file draws that file, with its verdict, as a tile and a row", async () => {
  const { page, context, errors } = await openViewer(browser, view);
  const file = join(scratch, "one-file.json");
  scan(program, join(treeRoot, "pagefile.sys"), file);
  await load(page, file);
  const shown = await tiles(page);
  assert.equal(shown.length, 1);
  assert.equal(await page.getAttribute("#map .tile", "class").then((c) => c.includes("v-red")), true);
  assert.equal(await page.$$eval("#rows .row", (rows) => rows.length), 1);
  assert.match(await page.textContent("#rows .row"), /pagefile\.sys[\s\S]*红/);
  assert.equal(await page.isVisible("#map-note"), false);
  assert.deepEqual(errors, []);
  await context.close();
});

test("user rules' texts are shown as they are, never looked up: constructor, __proto__, toString", async () => {
  const { page, context, errors } = await openViewer(browser, view);
  const user = (state, reason, action) => ({ state, pattern: "x*", source: "user", reason, action });
  const tree = { name: "", dir: true, children: [
    { name: "xa", bytes: 300, mark: user("green", "constructor", "hasOwnProperty") },
    { name: "xb", bytes: 200, mark: user("red", "toString", "__proto__") },
    { name: "xc", bytes: 100, mark: user("red", "valueOf", "constructor") },
  ] };
  const file = join(scratch, "user-rules.json");
  writeReport(file, { rootPath: "D:\\", tree, greens: [tree.children[0]] });
  await load(page, file);
  assert.deepEqual(errors, []);
  const words = await page.$$eval("#rows .row .c-verdict", (cells) =>
    cells.map((cell) => [...cell.querySelectorAll(".reason, .action")].map((el) => el.textContent)));
  assert.deepEqual(words, [["constructor"], ["toString", "__proto__"], ["valueOf", "constructor"]]);
  assert.match(await page.textContent("#clean .clean-list.check"), /constructor/);
  await context.close();
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
    // The file is named, and the scan shown before it is gone.
    assert.ok((await message.textContent()).includes(name), name);
    assert.equal(await page.isVisible("#summary"), false);
    assert.equal(await page.isVisible("#view"), false);
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
  // The first search indexes a million names off the page's thread.
  const longest = await longestTaskOfSearch(page, "f99999");
  console.log(`first search over 1,000,001 entries: longest main-thread task ${longest} ms`);
  assert.ok(longest < 1000, `a task of ${longest} ms`);
  assert.match(await page.textContent("#results .caption"), /11/);
  await page.context().close();
});
