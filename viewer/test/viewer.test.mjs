// The viewer in a real browser: Debian's chromium opens oskra-view.html from
// file:// and loads a scan that the program made of a generated tree.
//
//   OSKRA_CLI=<program> OSKRA_VIEW=<oskra-view.html> [OSKRA_ARTIFACTS=<folder>]
//   [OSKRA_VIEWER_MODULES=<node_modules>] node --test viewer.test.mjs
import assert from "node:assert/strict";
import { chmodSync, mkdirSync, mkdtempSync, readFileSync, rmSync, truncateSync, writeFileSync } from "node:fs";
import { execFileSync } from "node:child_process";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { after, before, test } from "node:test";

import {
  HOSTILE_DIR, HOSTILE_FILE, REVERSED, accessibility, contrasts, launch, load, longestTaskOfSearch, makeTree, openViewer, rowOverlaps, scan,
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
  // Keyboard only: Enter on the focused tile goes in and the keyboard stays
  // in the map (Home and End reach its ends); the breadcrumb comes back.
  await page.keyboard.press("Enter");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "Users");
  const inside = await tiles(page);
  const focusedTile = () => page.evaluate(() => document.activeElement.closest("#map .tile")?.dataset.node);
  assert.ok(await focusedTile(), "a tile has the focus");
  await page.keyboard.press("End");
  assert.equal(await focusedTile(), inside.at(-1).node);
  await page.keyboard.press("Home");
  assert.equal(await focusedTile(), inside[0].node);
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
  // The view it changed is brought on screen, not redrawn out of sight.
  assert.ok(await page.evaluate(() => document.getElementById("map").getBoundingClientRect().top >= 0 &&
    document.getElementById("map").getBoundingClientRect().top < innerHeight));
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
  // A click elsewhere closes the answers.
  await page.click("footer");
  assert.equal(await page.isVisible("#results"), false);
  await page.focus("#search");
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

test("axe-core finds nothing critical or serious: start page, a scan, a comparison; skip links reach the types", async () => {
  const root = join(scratch, "axe", "home");
  makeTree(root);
  const olderFile = join(scratch, "axe-older.json");
  const newerFile = join(scratch, "axe-newer.json");
  scan(program, root, olderFile);
  writeFileSync(join(root, "Users/a/Videos/clips/c.mp4"), Buffer.alloc(3 * 1024 * 1024));
  rmSync(join(root, "Users/a/Documents/Thesis"), { recursive: true });
  scan(program, root, newerFile);
  // The policy would stop axe's inline script; this page only is opened without it.
  const { page, context, errors } = await openViewer(browser, view, { width: 1280, height: 800, bypassCSP: true });
  const states = {};
  const check = async (state) => {
    const { counts, lines } = await accessibility(page);
    states[state] = counts;
    assert.deepEqual(lines.filter((line) => /^(critical|serious) /.test(line)), [], state);
  };
  await check("start");
  await load(page, newerFile);
  await check("scan");
  // From the top of the page, the third Tab is the link to the file types,
  // seen when it has the focus, and Enter puts the focus there.
  await page.evaluate(() => document.activeElement.blur());
  for (let k = 0; k < 3; ++k) await page.keyboard.press("Tab");
  const link = await page.evaluate(() => {
    const r = document.activeElement.getBoundingClientRect();
    return { href: document.activeElement.getAttribute("href"), seen: r.left >= 0 && r.top >= 0 && r.width > 0 };
  });
  assert.deepEqual(link, { href: "#types", seen: true });
  await page.keyboard.press("Enter");
  await page.keyboard.press("Tab");
  assert.ok(await page.evaluate(() => document.getElementById("types").contains(document.activeElement) &&
    document.activeElement.matches("button")), "a Tab after the skip is on a file type");
  // The link to the list puts the focus on its row, where the arrows work.
  await page.focus("#skips a[href='#list']");
  await page.keyboard.press("Enter");
  assert.ok(await page.evaluate(() => document.activeElement.matches("#rows .row")));
  await compareWith(page, olderFile);
  assert.equal(await page.isVisible("#compare-bar"), true);
  await check("comparison");
  console.log(`axe-core findings by impact: ${JSON.stringify(states)}`);
  assert.deepEqual(errors, []);
  await context.close();
});

// What each list row shows as its name, and which rows say less than
// that: a name cut by the browser's own ellipsis, or a row over one line.
async function shownNames(page) {
  return page.$$eval("#rows .row", (rows) => rows.map((row) => {
    const cell = row.querySelector(".c-name");
    const shown = cell.querySelector(".cut") || cell.querySelector("bdi");
    const text = shown.textContent;
    const boxes = [cell, ...cell.querySelectorAll(".enter"), shown];
    const clipped = boxes.some((el) => el.scrollWidth > el.clientWidth + 1);
    const line = parseFloat(getComputedStyle(cell).lineHeight) || 20;
    return { text, clipped, tall: row.getBoundingClientRect().height > 2 * line };
  }));
}

test("names first: at 1280 px siblings never look alike, rows are one line, the panels are in view", async () => {
  const root = join(scratch, "drive");
  // Largest first, so that all the look-alikes are among the rows drawn.
  const names = ["Program Files", "Program Files (x86)", "ProgramData",
    "Microsoft.VisualStudio.Component.Windows10SDK.19041.1", "Microsoft.VisualStudio.Component.Windows10SDK.22621.1",
    "family-photos-backup-2023-summer-holiday-in-the-mountains.zip",
    "family-photos-backup-2024-summer-holiday-in-the-mountains.zip", "pagefile.sys", "Temp", "hiberfil.sys",
    "$Recycle.Bin", "$WinREAgent", "$SysReset", "System Volume Information", "Windows", "Users", "swapfile.sys",
    "DumpStack.log.tmp"];
  names.forEach((name, k) => {
    const file = /\.(sys|tmp|zip|1)$/.test(name) ? name : `${name}/Temp/data.bin`;
    mkdirSync(dirname(join(root, file)), { recursive: true });
    writeFileSync(join(root, file), "");
    truncateSync(join(root, file), (names.length - k) * 64 * 1024 * 1024);
  });
  const file = join(scratch, "drive.json");
  scan(program, root, file);
  for (const [width, height] of [[1280, 800], [1920, 1080]]) {
    const { page, context, errors } = await openViewer(browser, view, { width, height });
    await load(page, file);
    for (const lang of ["zh", "en"]) {
      if (lang === "en") await page.click("#lang");
      const shown = await shownNames(page);
      assert.ok(shown.length >= 10, `${shown.length} rows drawn`);
      const at = `${width}x${height} ${lang}`;
      assert.deepEqual(shown.filter((row) => row.clipped || row.tall), [], at);
      const texts = shown.map((row) => row.text);
      assert.equal(new Set(texts).size, texts.length, `${at}: ${texts.join(" | ")}`);
      // The cleaning and the largest-folders panels start in the first screen.
      for (const panel of ["#clean h2", "#largest h2", "#largest li"]) {
        const top = await page.$eval(panel, (el) => el.getBoundingClientRect().bottom);
        assert.ok(top <= height, `${at}: ${panel} ends at ${top}`);
      }
      await page.screenshot({ path: join(artifacts, `oskra-view-names-${width}x${height}-${lang}.png`) });
    }
    assert.deepEqual(errors, []);
    await context.close();
  }
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
  // A scan chosen while another is still being read replaces it, and the
  // one left behind never comes back over it.
  await page.setInputFiles("#file", join(scratch, "wide.json"));
  await load(page, join(scratch, "deep.json"));
  await page.waitForTimeout(2000);
  assert.equal(await page.textContent("#summary bdi"), "/deep");
  assert.equal(await page.isVisible("#message"), false);
  await page.context().close();
});

// ---- Comparing two scans, the keyboard, file types, CSV --------------------

// Opens `file` as the older scan beside the loaded one; resolves when the
// comparison or a message is there.
async function compareWith(page, file) {
  await page.evaluate(() => {
    document.getElementById("message").hidden = true;
    document.getElementById("compare-bar").hidden = true;
  });
  await page.setInputFiles("#file-old", file);
  await page.waitForFunction(() => !document.getElementById("compare-bar").hidden ||
    (!document.getElementById("message").hidden && !document.body.classList.contains("loading") &&
      !/…$/.test(document.getElementById("message").textContent)), null, { timeout: 60000, polling: 20 });
}

// The change list as the page shows it: path -> change in bytes, and kinds.
async function changeRows(page) {
  return page.$$eval("#rows .row", (rows) => rows.map((row) => ({
    path: row.dataset.path, change: Number(row.querySelector(".c-change").dataset.bytes),
    kind: [...row.querySelector(".c-state").classList].find((c) => c.startsWith("g-")).slice(2),
  })));
}

// What the two documents say changed among the entries of folder `path`.
function expectedChanges(now, before, path) {
  const kids = (doc) => new Map((doc.get(path).children || []).map((n) => [n.path, n]));
  const a = kids(now);
  const b = kids(before);
  const out = new Map();
  for (const p of new Set([...a.keys(), ...b.keys()])) {
    const change = (a.get(p) ? a.get(p).bytes : 0) - (b.get(p) ? b.get(p).bytes : 0);
    out.set(p, { change, kind: !b.has(p) ? "new" : !a.has(p) ? "gone" : change > 0 ? "grew" : change < 0 ? "shrank" : "same" });
  }
  return out;
}

test("comparing two scans: every change is the documents' difference; other paths are refused", async () => {
  const root = join(scratch, "cmp", "home");
  makeTree(root);
  const beforeFile = join(scratch, "cmp-before.json");
  const shallowFile = join(scratch, "cmp-shallow.json");
  const afterFile = join(scratch, "cmp-after.json");
  const older = byPath(scan(program, root, beforeFile));
  scan(program, root, shallowFile, 1);
  // A folder added, two grown (one by a new file, one by a larger file), one
  // deleted and one file gone.
  writeFileSync(join(root, "Users/a/Videos/clips/c.mp4"), Buffer.alloc(3 * 1024 * 1024));
  writeFileSync(join(root, "projects/app/src/main.c"), Buffer.alloc(64 * 1024));
  mkdirSync(join(root, "Users/a/Downloads"));
  writeFileSync(join(root, "Users/a/Downloads/setup.exe"), Buffer.alloc(5 * 1024 * 1024));
  rmSync(join(root, "Users/a/Documents/Thesis"), { recursive: true });
  rmSync(join(root, "pagefile.sys"));
  const newer = byPath(scan(program, root, afterFile));

  const { page, context, errors } = await openViewer(browser, view, { width: 1280, height: 800 });
  await load(page, afterFile);
  await compareWith(page, beforeFile);
  assert.equal(await page.isVisible("#compare-bar"), true);
  assert.equal(await page.isVisible("#shallower"), false, "same depth: nothing is said about depth");
  const total = newer.get(root).bytes - older.get(root).bytes;
  assert.equal(Number(await page.getAttribute("#change-total", "data-bytes")), total);
  for (const folder of [root, `${root}/Users`, `${root}/Users/a`, `${root}/Users/a/Videos`, `${root}/Users/a/Videos/clips`]) {
    if (folder !== root) await page.click(`#rows .row[data-path="${folder}"] .enter`);
    const expected = expectedChanges(newer, older, folder);
    const shown = await changeRows(page);
    assert.deepEqual(new Map(shown.map((r) => [r.path, { change: r.change, kind: r.kind }])), expected, folder);
    // Sorted by growth; the tiles coloured by what happened.
    assert.deepEqual(shown.map((r) => r.change), shown.map((r) => r.change).sort((x, y) => y - x), folder);
    const painted = await page.$$eval("#map .tile.l1[data-path]", (els) => els.map((el) =>
      [el.dataset.path, [...el.classList].find((c) => c.startsWith("g-")).slice(2)]));
    assert.ok(painted.length > 0, folder);
    for (const [path, kind] of painted) assert.equal(kind, expected.get(path).kind, path);
  }
  // The deleted folder opens on what it held in the older scan, by its row
  // and by its folder's tile, and the keys come back out to where they went in.
  const thesis = `${root}/Users/a/Documents/Thesis`;
  await page.click('#crumbs button[data-node="0"]');
  for (const folder of ["Users", "Users/a", "Users/a/Documents"]) await page.click(`#rows .row[data-path="${root}/${folder}"] .enter`);
  await page.focus(`#rows .row[data-path="${thesis}"]`);
  await page.keyboard.press("Enter");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "Thesis");
  const went = (path) => new Map(older.get(path).children.map((n) => [n.path, { change: -n.bytes, kind: "gone" }]));
  assert.deepEqual(new Map((await changeRows(page)).map((r) => [r.path, { change: r.change, kind: r.kind }])), went(thesis));
  await page.click(`#map .tile.l1[data-path="${thesis}/cache"]`, { position: { x: 8, y: 6 } });
  assert.deepEqual(new Map((await changeRows(page)).map((r) => [r.path, { change: r.change, kind: r.kind }])), went(`${thesis}/cache`));
  await page.keyboard.press("Backspace");
  assert.equal(await page.evaluate(() => document.activeElement.dataset.path), `${thesis}/cache`);
  await page.keyboard.press("Backspace");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "Documents");
  assert.equal(await page.evaluate(() => document.activeElement.dataset.path), thesis);
  // The largest growth anywhere leads the growers.
  assert.match(await page.textContent("#growers li"), /Downloads\/setup\.exe/);
  await page.click("#compare-bar button[data-mode=sizes]");
  assert.equal(await page.$$eval("#rows .row .c-change", (els) => els.length), 0);
  await page.screenshot({ path: join(artifacts, "oskra-view-compare-1280x800-zh.png"), fullPage: true });
  await page.click("#compare-bar button[data-mode=changes]");
  await page.click("#lang");
  assert.deepEqual(await rowOverlaps(page), []);
  await page.screenshot({ path: join(artifacts, "oskra-view-compare-1280x800-en.png"), fullPage: true });

  // The same path scanned shallower: compared as far as both go, and said so.
  await compareWith(page, shallowFile);
  assert.equal(await page.isVisible("#shallower"), true);
  // Users/a is only a total in the shallow scan: nothing inside it is matched.
  await page.click("#crumbs button");
  await page.click(`#rows .row[data-path="${root}/Users"] .enter`);
  assert.deepEqual(new Map((await changeRows(page)).map((r) => [r.path, r.change])),
    new Map([[`${root}/Users/a`, newer.get(`${root}/Users/a`).bytes - byPath(JSON.parse(readFileSync(shallowFile, "utf8"))).get(`${root}/Users/a`).bytes]]));
  await page.click(`#rows .row[data-path="${root}/Users/a"] .enter`);
  assert.equal(await page.getAttribute("#map-note", "data-kind"), "notCompared");
  // Another path: one sentence naming both, and the comparison is gone.
  await page.click("#compare-bar button[data-mode=close]");
  await compareWith(page, scanFile);
  assert.equal(await page.isVisible("#compare-bar"), false);
  const message = await page.textContent("#message");
  assert.ok(message.includes(root) && message.includes(doc.path), message);
  assert.deepEqual(errors, []);
  await context.close();
});

const focused = (page) => page.evaluate(() => {
  const el = document.activeElement;
  return { node: el.dataset.node, row: el.classList.contains("row"), tile: el.classList.contains("tile"),
    name: el.classList.contains("row") ? el.querySelector("bdi").textContent : "" };
});

test("keys alone: one Tab stop each for map and list, a file row reached, in and back up, its path copied", async () => {
  const { page, context, errors } = await openViewer(browser, view, { width: 1280, height: 800 });
  await context.grantPermissions(["clipboard-read", "clipboard-write"]);
  await load(page, scanFile);
  await page.focus("#back");
  const stops = [];
  for (let k = 0; k < 40 && !(await focused(page)).row; ++k) {
    await page.keyboard.press("Tab");
    const at = await focused(page);
    stops.push(at.tile ? "tile" : at.row ? "row" : "other");
  }
  assert.equal(stops.filter((s) => s === "tile").length, 1, stops.join(" "));
  assert.equal(stops.at(-1), "row");
  // The list's first row is the largest, Users; below it a file.
  assert.equal((await focused(page)).name, "Users");
  await page.keyboard.press("ArrowDown");
  assert.deepEqual(await focused(page).then((f) => f.name), "pagefile.sys");
  await page.keyboard.press("ArrowUp");
  await page.keyboard.press("Enter");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "Users");
  await page.keyboard.press("Enter");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "a");
  await page.keyboard.press("End");
  assert.equal((await focused(page)).name, "ntuser.dat");
  // "c" copies the path the scan gives for it, through the clipboard.
  await page.keyboard.press("c");
  await page.waitForFunction(() => document.body.dataset.copied !== undefined);
  const file = [...byPath(doc).values()].find((node) => node.name === "ntuser.dat");
  assert.equal(await page.evaluate(() => navigator.clipboard.readText()), file.path);
  await page.keyboard.press("Backspace");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "Users");
  assert.equal((await focused(page)).name, "a", "focus returns to the row left");
  await page.keyboard.press("Escape");
  assert.equal((await focused(page)).name, "Users");
  // In the map, arrows move between tiles and Enter goes in.
  await page.focus("#map .tile[tabindex='0']");
  const first = (await focused(page)).node;
  await page.keyboard.press("ArrowRight");
  assert.notEqual((await focused(page)).node, first);
  assert.deepEqual(errors, []);
  await context.close();
});

test("the browser's Back goes up a level at a time and never leaves a loaded scan", async () => {
  const { page, context } = await openViewer(browser, view);
  await load(page, scanFile);
  await page.click("#rows .row[data-node] .enter >> text=Users");
  await page.click("#rows .row .enter >> text=a");
  assert.equal(await page.textContent("#crumbs [aria-current]"), "a");
  // Each step back is awaited in the page before the next.
  const crumb = (want) => page.waitForFunction((text) => document.querySelector("#crumbs [aria-current]").textContent === text, want)
    .then(() => page.textContent("#crumbs [aria-current]"), () => page.textContent("#crumbs [aria-current]"));
  await page.goBack();
  assert.equal(await crumb("Users"), "Users");
  await page.goBack();
  assert.equal(await crumb("tree\\root"), "tree\\root");
  for (let k = 0; k < 2; ++k) {
    await page.goBack();
    await page.waitForFunction(() => history.state && history.state.depth === 0);
  }
  assert.equal(page.url(), `file://${view}`);
  assert.equal(await page.isVisible("#map .tile"), true);
  assert.equal(await page.textContent("#summary bdi"), doc.path);
  await context.close();
});

test("file types: the breakdown adds up to the files the scan holds, and marks its tiles", async () => {
  const { page } = session;
  const nodes = byPath(doc);
  for (const path of [doc.path, `${doc.path}/projects/app`]) {
    await page.evaluate((p) => { document.querySelector("#crumbs button") && document.querySelector("#crumbs button").click(); return p; }, path);
    if (path !== doc.path) {
      await page.click("#rows .row .enter >> text=projects");
      await page.click("#rows .row .enter >> text=app");
    }
    let files = 0;
    let bytes = 0;
    const stack = [nodes.get(path)];
    while (stack.length) {
      const node = stack.pop();
      if (node.dirs === 0) {
        ++files;
        bytes += node.bytes;
      }
      stack.push(...(node.children || []));
    }
    // Worked out once the panel is in sight.
    await page.locator("#types").scrollIntoViewIfNeeded();
    await page.waitForFunction(() => document.getElementById("types").dataset.node === document.getElementById("view").dataset.node);
    const shown = await page.$$eval("#types li", (items) => items.map((li) => [Number(li.dataset.bytes), Number(li.dataset.files)]));
    assert.equal(shown.reduce((sum, [b]) => sum + b, 0), bytes, path);
    assert.equal(shown.reduce((sum, [, f]) => sum + f, 0), files, path);
  }
  await page.click("#rows .row .enter >> text=src");
  // The click scrolled the list into view: the panel is drawn once seen again.
  await page.locator("#types").scrollIntoViewIfNeeded();
  await page.click('#types button.ext >> text=".c"');
  const marked = await page.$$eval("#map .tile.highlight", (els) => els.map((el) => el.title.split("\n")[0]));
  assert.ok(marked.length > 0 && marked.every((p) => /\.c\u2069$/.test(p)), marked.join(" | "));
  assert.ok(marked.length >= 10, `${marked.length} tiles marked`);
  await page.click('#types button.ext >> text=".c"');
  assert.equal(await page.$$eval("#map .tile.highlight", (els) => els.length), 0);
  await page.click("#crumbs button");
});

test("colour by type: the toggle paints the tiles by the legend's types, the rest grey; a tile's panel", async () => {
  const { page } = session;
  const painted = () => page.$$eval("#map .tile.file", (els) => els.map((el) => ({
    name: el.title.split("\n")[0].replace(/[\u2068\u2069]/g, "").split("/").pop(),
    colour: [...el.classList].find((c) => /^[pv]-/.test(c)),
  })));
  const byVerdict = await painted();
  await page.click('#paint button[data-paint="types"]');
  assert.equal(await page.isVisible("#type-legend"), true);
  assert.equal(await page.isVisible("#legend"), false);
  const legend = new Map(await page.$$eval("#type-legend li", (items) => items.map((li) => [li.textContent.split(" ")[0], li.className])));
  const files = await painted();
  const dot = (name) => (name.lastIndexOf(".") > 0 ? name.slice(name.lastIndexOf(".")).toLowerCase() : "");
  for (const tile of files) assert.equal(tile.colour, legend.get(dot(tile.name)) || "p-rest", tile.name);
  assert.ok(files.filter((tile) => tile.colour !== "p-rest").length >= 2, JSON.stringify(files));
  assert.ok(legend.get(".mp4") && legend.has(dot(HOSTILE_FILE)), [...legend.keys()].join(" "));
  assert.deepEqual((await contrasts(page)).filter((label) => label.ratio < 4.5), []);
  // A tile focused, or pointed at, says what it is in a panel by it.
  const total = doc.tree.bytes;
  const pagefile = doc.tree.children.find((n) => n.name === "pagefile.sys");
  await page.$$eval("#map .tile", (els, path) => els.find((el) => el.title.startsWith(`\u2068${path}\u2069`)).focus(), pagefile.path);
  assert.equal(await page.isVisible("#hover"), true);
  const said = await page.textContent("#hover");
  assert.ok(said.includes("pagefile.sys") && said.includes(`${((pagefile.bytes / total) * 100).toFixed(1)}%`), said);
  assert.equal(await page.isVisible("#hover .v-red .chip"), true);
  await page.hover(`#map .tile.file.p-rest >> nth=0`);
  assert.ok((await page.textContent("#hover .name")) !== "pagefile.sys");
  await page.click('#paint button[data-paint="verdict"]');
  assert.deepEqual(await painted(), byVerdict);
  assert.equal(await page.isVisible("#legend"), true);
});

// RFC 4180 fields, for reading saved files back.
function parseCsv(text) {
  const rows = [];
  let row = [];
  let field = "";
  let quoted = false;
  for (let k = 0; k < text.length; ++k) {
    const ch = text[k];
    if (quoted) {
      if (ch === '"' && text[k + 1] === '"') field += text[++k];
      else if (ch === '"') quoted = false;
      else field += ch;
    } else if (ch === '"') quoted = true;
    else if (ch === ",") {
      row.push(field);
      field = "";
    } else if (ch === "\r" && text[k + 1] === "\n") {
      row.push(field);
      rows.push(row);
      row = [];
      field = "";
      ++k;
    } else field += ch;
  }
  return rows;
}

async function saved(page, selector) {
  const [download] = await Promise.all([page.waitForEvent("download"), page.click(selector)]);
  return readFileSync(await download.path(), "utf8");
}

test("CSV: the list and the cleanable panel read back as shown, formulas inert", async () => {
  const { page, context } = await openViewer(browser, view);
  const names = ["=HYPERLINK(\"x\")", "-2+3", "+1", "@SUM(A1)", "a,b\"c\nd", "报告 2026.txt", " lead"];
  const tree = { name: "", dir: true, children: names.map((name, k) => ({ name, bytes: 1000 - k })) };
  const file = join(scratch, "csv.json");
  writeReport(file, { rootPath: "D:\\", tree });
  await load(page, file);
  const text = await saved(page, "#save-list");
  assert.equal(text[0], "\ufeff");
  const rows = parseCsv(text.slice(1));
  assert.deepEqual(rows[0], ["path", "name", "bytes", "files", "dirs", "verdict"]);
  const inert = (s) => (/^[=+\-@]/.test(s) ? `'${s}` : s);
  assert.deepEqual(rows.slice(1).map((r) => [r[1], Number(r[2])]), names.map((n, k) => [inert(n), 1000 - k]));
  await load(page, scanFile);
  const clean = parseCsv((await saved(page, "#save-clean")).slice(1));
  const safe = clean.filter((r) => r[0] === "safe").reduce((sum, r) => sum + Number(r[2]), 0);
  assert.equal(safe, Number(await page.getAttribute("#clean-total", "data-bytes")));
  await context.close();
});

test("a folder that could not be read is marked in the list and the map, and listed with its path", async () => {
  // Root reads every folder: the scan runs as nobody, like a user without the rights.
  const root = join(scratch, "denied");
  mkdirSync(join(root, "locked"), { recursive: true });
  mkdirSync(join(root, "open"));
  writeFileSync(join(root, "locked", "f"), "x".repeat(5000));
  writeFileSync(join(root, "open", "f"), "x".repeat(3000));
  chmodSync(scratch, 0o755);
  chmodSync(join(root, "locked"), 0);
  const asNobody = process.getuid() === 0 ? ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] : [];
  let json;
  try {
    json = asNobody.length ? execFileSync(asNobody[0], [...asNobody.slice(1), resolve(program), root, "--json"])
      : execFileSync(program, [root, "--json"]);
  } finally {
    chmodSync(join(root, "locked"), 0o755);
  }
  const file = join(scratch, "denied.json");
  writeFileSync(file, json);
  const report = JSON.parse(json.toString("utf8"));
  assert.equal(report.denied, 1);
  const { page, context } = await openViewer(browser, view, { width: 1280, height: 800 });
  await load(page, file);
  const lockedPath = join(root, "locked");
  const marks = await page.$$eval("#rows .row", (rows) => rows.map((row) =>
    [row.querySelector(".c-name bdi").textContent, row.querySelectorAll(".denied-mark").length]));
  assert.deepEqual(marks.sort(), [["locked", 1], ["open", 0]]);
  // Never opened, it holds 0 bytes and draws no tile; no other tile is marked.
  assert.equal(await page.locator("#map .tile.denied").count(), 0);
  assert.equal(await page.isHidden("#denied"), false);
  assert.deepEqual(await page.$$eval("#denied li bdi", (els) => els.map((el) => el.textContent)), [lockedPath]);
  await context.close();
});

test("the largest files of the whole scan are listed, largest first, with their paths", async () => {
  const { page } = session;
  const files = [...byPath(doc).values()].filter((node) => node.dirs === 0 && node.files === 0 && node.path !== doc.path)
    .sort((a, b) => b.bytes - a.bytes);
  // Each line's copy button holds the path as the scan spells it.
  const shown = await page.$$eval("#files li button.copy", (buttons) => buttons.map((b) => b.dataset.path));
  assert.equal(shown.length, Math.min(100, files.length));
  const bytesOf = new Map(files.map((f) => [f.path, f.bytes]));
  assert.deepEqual(shown.map((path) => bytesOf.get(path)), files.slice(0, shown.length).map((f) => f.bytes));
});
