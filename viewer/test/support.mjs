// What the browser tests and the load benchmark share: Debian's chromium
// driven by playwright-core (never a browser download), a scan made by the
// real program of a generated tree, and reports synthesized in the program's
// own layout.
import { execFileSync } from "node:child_process";
import { mkdirSync, openSync, closeSync, ftruncateSync, readFileSync, writeFileSync } from "node:fs";
import { createRequire } from "node:module";
import { dirname, join, resolve } from "node:path";

// playwright-core lives in the node_modules that `npm ci` filled, which may
// be in the build folder rather than beside these files.
export function playwright() {
  const modules = process.env.OSKRA_VIEWER_MODULES || join(dirname(new URL(import.meta.url).pathname), "..", "node_modules");
  return createRequire(join(resolve(modules), "noop.js"))("playwright-core");
}

// axe-core's script, to be put into a page: the browser never fetches it.
export function axeSource() {
  const modules = process.env.OSKRA_VIEWER_MODULES || join(dirname(new URL(import.meta.url).pathname), "..", "node_modules");
  return readFileSync(createRequire(join(resolve(modules), "noop.js")).resolve("axe-core/axe.min.js"), "utf8");
}

// axe-core's findings on the page as it stands, as "impact rule: targets"
// lines, and their count by impact.
export async function accessibility(page) {
  if (!(await page.evaluate(() => typeof window.axe !== "undefined"))) await page.addScriptTag({ content: axeSource() });
  const found = await page.evaluate(async () => (await window.axe.run(document)).violations.map((v) =>
    ({ id: v.id, impact: v.impact, targets: v.nodes.slice(0, 3).map((n) => n.target.join(" ")) })));
  const counts = {};
  for (const v of found) counts[v.impact] = (counts[v.impact] || 0) + 1;
  return { counts, lines: found.map((v) => `${v.impact} ${v.id}: ${v.targets.join(", ")}`) };
}

export const CHROMIUM = process.env.OSKRA_CHROMIUM || "/usr/bin/chromium";

// Headless, and with every background connection of the browser's own off,
// so that the only requests are the page's.
export async function launch() {
  return playwright().chromium.launch({
    executablePath: CHROMIUM,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
      "--disable-component-update", "--disable-sync", "--disable-default-apps", "--disable-extensions"],
  });
}

// A page of the viewer opened from file://, with every request and every
// policy violation recorded.
// `bypassCSP` lets a test put a script of its own into the page.
export async function openViewer(browser, htmlPath, { width = 1400, height = 1000, bypassCSP = false } = {}) {
  const context = await browser.newContext({ viewport: { width, height }, bypassCSP });
  const page = await context.newPage();
  const requests = [];
  page.on("request", (request) => requests.push(request.url()));
  context.on("request", (request) => requests.push(request.url()));
  const errors = [];
  page.on("pageerror", (error) => errors.push(String(error)));
  await page.addInitScript(() => {
    window.__violations = [];
    document.addEventListener("securitypolicyviolation",
      (event) => window.__violations.push(`${event.violatedDirective} ${event.blockedURI}`));
  });
  await page.goto(`file://${htmlPath}`);
  return { context, page, requests, errors };
}

// Opens a scan through the page's own file picker; resolves when the first
// picture, the list beside it and (unless `whole` is false) the panels below
// are drawn, or a message is there.
export async function load(page, file, { whole = true } = {}) {
  await page.evaluate(() => {
    const message = document.getElementById("message");
    message.hidden = true;
    delete message.dataset.kind;
    document.getElementById("map").replaceChildren();
    document.getElementById("map-note").hidden = true;
    delete document.getElementById("view").dataset.node;
  });
  await page.setInputFiles("#file", file);
  await page.waitForFunction((all) => ((document.querySelector("#map .tile") || !document.getElementById("map-note").hidden) &&
    document.getElementById("view").dataset.node !== undefined && !(all && document.getElementById("panels").hasAttribute("aria-busy"))) ||
    document.getElementById("message").dataset.kind, whole,
  { timeout: 120000, polling: 20 });
}

// Sparse files: sizes cost no disk.
function file(path, bytes) {
  mkdirSync(dirname(path), { recursive: true });
  const fd = openSync(path, "w");
  try {
    ftruncateSync(fd, bytes);
  } finally {
    closeSync(fd);
  }
}

const MB = 1024 * 1024;

// A profile-like tree with the cases the viewer has to tell apart: well-known
// caches, caches by name only in a person's documents and in projects,
// nested greens, a red name rule, and names that look like markup.
export const HOSTILE_FILE = "<img src=x onerror=window.__pwned=1>.txt";
export const HOSTILE_DIR = "<svg onload=window.__pwned=2>&amp;";
// A right-to-left override would show the rest of its path reversed.
export const REVERSED = "\u202egnp.exe";
export function makeTree(root) {
  const files = [
    ["Users/a/AppData/Local/Temp/t1.tmp", 200 * MB],
    ["Users/a/AppData/Local/Temp/t2.tmp", 100 * MB],
    ["Users/a/AppData/Local/Temp/cache/c.bin", 50 * MB],
    ["Users/a/AppData/Local/npm-cache/_cacache/index", 150 * MB],
    ["Users/a/AppData/Local/Microsoft/OneNote/16.0/cache/0001.bin", 80 * MB],
    ["Users/a/Documents/Thesis/cache/interview.wav", 3072 * MB],
    ["Users/a/Documents/Thesis/thesis.docx", 2 * MB],
    ["Users/a/Videos/holiday.mp4", 4096 * MB],
    ["Users/a/Videos/clips/a.mp4", 1024 * MB],
    ["Users/a/Videos/clips/b.mp4", 512 * MB],
    ["Users/a/ntuser.dat", 8 * MB],
    ["projects/app/.yarn/cache/lodash.zip", 120 * MB],
    ["projects/app/src/cache/x.o", 1 * MB],
    ["projects/app/src/main.c", 10 * 1024],
    ["projects/app/node_modules/pkg/cache/y.bin", 5 * MB],
    ["pagefile.sys", 2048 * MB],
    [HOSTILE_FILE, 700 * MB],
    [`${HOSTILE_DIR}/inside.txt`, 300 * MB],
    [`projects/${REVERSED}/npm-cache/x.bin`, 1 * MB],
  ];
  for (const [path, bytes] of files) file(join(root, path), bytes);
  for (let k = 0; k < 40; ++k) file(join(root, "projects/app/src", `s${k}.c`), (k + 1) * 4096);
}

export function scan(program, root, out, depth = 8) {
  const json = execFileSync(program, [root, "--json", "--depth", String(depth)], { maxBuffer: 1 << 30 });
  writeFileSync(out, json);
  return JSON.parse(json.toString("utf8"));
}

// A report with the program's layout (two-space indentation, its key order),
// written piece by piece: `shape` yields nodes as {name, children?, bytes?}.
export function writeReport(out, { rootPath, tree, greens = [], separator = "\\", pretty = true }) {
  const fd = openSync(out, "w");
  let buffer = "";
  const put = (text) => {
    buffer += text;
    if (buffer.length > 1 << 20) {
      writeFileSync(fd, buffer);
      buffer = "";
    }
  };
  const nl = (depth) => (pretty ? `\n${"  ".repeat(depth)}` : "");
  const sp = pretty ? " " : "";
  const str = (s) => JSON.stringify(s);
  // Totals first, bottom-up, without recursion (a tree may be very deep).
  const order = [tree];
  for (let i = 0; i < order.length; ++i) for (const c of order[i].children || []) order.push(c);
  for (let i = order.length - 1; i >= 0; --i) {
    const n = order[i];
    if (n.children && n.children.length) {
      n.bytes = 0;
      n.files = 0;
      n.dirs = 1;
      for (const c of n.children) {
        n.bytes += c.bytes;
        n.files += c.files;
        n.dirs += c.dirs;
      }
    } else if (n.dir) {
      n.bytes = n.bytes || 0;
      n.files = n.files || 0;
      n.dirs = n.dirs || 1;
    } else {
      n.files = 0;
      n.dirs = 0;
    }
  }
  const markText = (mark, depth) => `{${nl(depth + 1)}"state":${sp}${str(mark.state)},${nl(depth + 1)}"pattern":${sp}${str(mark.pattern)},` +
    `${nl(depth + 1)}"source":${sp}${str(mark.source)},${nl(depth + 1)}"reason":${sp}${str(mark.reason)},` +
    `${nl(depth + 1)}"action":${sp}${str(mark.action)}${nl(depth)}}`;
  const head = (n, depth) => `{${nl(depth + 1)}"name":${sp}${str(n.name)},${nl(depth + 1)}"path":${sp}${str(n.path)},` +
    `${nl(depth + 1)}"bytes":${sp}${n.bytes},${nl(depth + 1)}"files":${sp}${n.files},${nl(depth + 1)}"dirs":${sp}${n.dirs}` +
    (n.mark ? `,${nl(depth + 1)}"mark":${sp}${markText(n.mark, depth + 1)}` : "");
  // Paths: parent path, separator, name.
  tree.path = rootPath;
  for (const n of order) for (const c of n.children || []) c.path = c.path || (n.path.endsWith(separator) ? n.path : n.path + separator) + c.name;
  put(`{${nl(1)}"tool":${sp}"morvane-cli",${nl(1)}"version":${sp}"0.9.9",${nl(1)}"path":${sp}${str(rootPath)},` +
    `${nl(1)}"total_bytes":${sp}${tree.bytes},${nl(1)}"files":${sp}${tree.files},${nl(1)}"dirs":${sp}${tree.dirs},` +
    `${nl(1)}"denied":${sp}0,${nl(1)}"elapsed_ms":${sp}1234,${nl(1)}"tree":${sp}`);
  // Depth-first writing with an explicit stack.
  const stack = [{ n: tree, depth: 1, next: -1 }];
  while (stack.length) {
    const top = stack[stack.length - 1];
    const kids = top.n.children || [];
    if (top.next === -1) {
      put(head(top.n, top.depth));
      if (kids.length) put(`,${nl(top.depth + 1)}"children":${sp}[`);
      top.next = 0;
    }
    if (top.next < kids.length) {
      put(`${top.next ? "," : ""}${nl(top.depth + 2)}`);
      stack.push({ n: kids[top.next++], depth: top.depth + 2, next: -1 });
      continue;
    }
    if (kids.length) put(`${nl(top.depth + 1)}]`);
    put(`${nl(top.depth)}}`);
    stack.pop();
  }
  put(`,${nl(1)}"greens":${sp}`);
  if (greens.length === 0) put("[]");
  else {
    put("[");
    greens.forEach((g, k) => put(`${k ? "," : ""}${nl(2)}${head(g, 2)}${nl(2)}}`));
    put(`${nl(1)}]`);
  }
  put(`${nl(0)}}\n`);
  writeFileSync(fd, buffer);
  closeSync(fd);
}

// Pairs of list rows whose content reaches into the next row, and list
// headings whose words are cut, as "what: how" lines.
export async function rowOverlaps(page) {
  return page.evaluate(() => {
    const faults = [];
    const rows = [...document.querySelectorAll("#rows .row")];
    rows.forEach((row, k) => {
      const next = rows[k + 1];
      if (!next) return;
      const bottom = Math.max(...[row, ...row.querySelectorAll("*")].map((el) => el.getBoundingClientRect().bottom));
      const top = next.getBoundingClientRect().top;
      if (bottom > top + 0.5) faults.push(`row ${k} (${row.textContent.slice(0, 40)}): ${bottom} over ${top}`);
    });
    for (const cell of document.querySelectorAll("#list-head .cell")) {
      for (const el of [cell, ...cell.querySelectorAll("*")]) {
        if (el.scrollWidth > el.clientWidth + 1 || el.scrollHeight > el.clientHeight + 1) {
          faults.push(`heading ${cell.textContent}: ${el.scrollWidth}x${el.scrollHeight} in ${el.clientWidth}x${el.clientHeight}`);
        }
      }
    }
    return faults;
  });
}

// The contrast of every chip and every tile label with what lies beneath
// it, as {text, ratio}: the first ancestor with a background colour, its
// translucency laid over white.
export async function contrasts(page) {
  return page.evaluate(() => {
    const rgb = (css) => {
      const [r, g, b, a = 1] = css.match(/[\d.]+/g).map(Number);
      return { r, g, b, a };
    };
    const over = (top, under) => ({
      r: top.r * top.a + under.r * (1 - top.a), g: top.g * top.a + under.g * (1 - top.a),
      b: top.b * top.a + under.b * (1 - top.a), a: 1,
    });
    const luminance = ({ r, g, b }) => {
      const lin = (v) => ((v /= 255) <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4);
      return 0.2126 * lin(r) + 0.7152 * lin(g) + 0.0722 * lin(b);
    };
    const white = { r: 255, g: 255, b: 255, a: 1 };
    const background = (el) => {
      for (let e = el; e; e = e.parentElement) {
        const bg = rgb(getComputedStyle(e).backgroundColor);
        if (bg.a > 0) return over(bg, white);
      }
      return white;
    };
    const els = document.querySelectorAll(".chip, .tile .name, .tile .size");
    return [...els].filter((el) => el.getClientRects().length > 0 && el.textContent.trim()).map((el) => {
      const fg = over(rgb(getComputedStyle(el).color), background(el));
      const [hi, lo] = [luminance(fg), luminance(background(el))].sort((x, y) => y - x);
      return { text: el.textContent, ratio: (hi + 0.05) / (lo + 0.05) };
    });
  });
}

// The longest main-thread task, in milliseconds, from typing `query` into
// the search box until its results are shown (0 when no task took 50 ms,
// the least the browser reports).
export async function longestTaskOfSearch(page, query) {
  await page.evaluate(() => {
    window.__longest = 0;
    window.__tasks = new PerformanceObserver((list) => {
      for (const entry of list.getEntries()) window.__longest = Math.max(window.__longest, entry.duration);
    });
    window.__tasks.observe({ type: "longtask" });
  });
  await page.fill("#search", query);
  await page.waitForFunction(() => {
    const caption = document.querySelector("#results .caption");
    return caption && document.querySelector("#results ol");
  }, null, { timeout: 120000, polling: 20 });
  // Tasks are reported after they end: one more frame to hear of the last.
  await page.evaluate(() => new Promise((resolve) => requestAnimationFrame(() => setTimeout(resolve, 50))));
  return page.evaluate(() => {
    window.__tasks.disconnect();
    return Math.round(window.__longest);
  });
}
