// How long the viewer takes to show a large scan, in Debian's headless
// chromium: from choosing the file (two seconds after the page opened) to
// the first treemap, and the longest task on the page's thread over the
// whole load (from the choice until the page has been idle a while after
// the first picture); then going into a folder and back, then the first
// search (the longest task it leaves on the page's thread). Prints the
// figures; asserts nothing.
//
//   node viewer/bench/load.mjs --view <oskra-view.html> [--doc <scan.json> | <scan.json>]
//        [--nodes 300000] [--runs 3] [--screenshot <png>] [--query <text>]
//
// The search looks for --query, or else for the name of the largest file
// the page lists (the first entry's name in a scan without files), so that
// it finds something in any scan. Without a scan it writes a report of --nodes nodes in the program's own
// layout (two-space indentation, its key order, Windows paths, red and green
// verdicts inherited down whole subtrees): the size of a real C:\ scan with
// --depth 8, about 135 MB for 300,000 nodes. Needs the viewer's packages
// (npm ci in viewer/, or OSKRA_VIEWER_MODULES pointing at them).
import { execFileSync } from "node:child_process";
import { copyFileSync, mkdtempSync, readFileSync, readdirSync, rmSync, statSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";

import { launch, load, longestTaskOfSearch, openViewer, writeReport } from "../test/support.mjs";

function option(name, fallback) {
  const at = process.argv.indexOf(name);
  return at === -1 ? fallback : process.argv[at + 1];
}

const view = option("--view") && resolve(option("--view"));
// A scan named without --doc: the one argument no option takes.
const VALUED = new Set(["--view", "--doc", "--nodes", "--runs", "--screenshot", "--query", "--write", "--keep"]);
const bare = process.argv.slice(2).filter((arg, k, args) => !arg.startsWith("--") && !VALUED.has(args[k - 1]));
const given = option("--doc", bare[0]);
const nodes = Number(option("--nodes", "300000"));
if (!view && !option("--write")) {
  console.error("usage: node viewer/bench/load.mjs --view <oskra-view.html> [--doc <scan.json>] [--nodes N] [--runs N]");
  process.exit(2);
}
const runs = Number(option("--runs", "3"));
const SETTLE_MS = 2000;
// The page counts as idle after the first picture once no task of 50 ms
// or more has run for this long (the work it defers runs in that time).
const QUIET_MS = 1500;
const IDLE_LIMIT_MS = 30000;

const RED = { state: "red", pattern: "?:\\Windows", source: "builtin", reason: "rule.reason.systemDir", action: "rule.action.dontDelete" };
const TEMP = { state: "green", pattern: "Temp", source: "builtin", reason: "rule.reason.tempFiles", action: "rule.action.safeToEmpty" };
const CACHE = { state: "green", pattern: "cache", source: "builtin", reason: "rule.reason.cacheDir", action: "rule.action.safeToClean" };

// A deterministic tree of `total` nodes: folders of 4 to 30 entries, six
// levels at most (seven past 500,000 nodes, which six cannot hold), files
// with sizes spread over six orders of magnitude.
function synthesize(total) {
  const levels = total > 500000 ? 7 : 6;
  let seed = 12345;
  const random = () => {
    seed = (seed * 1103515245 + 12345) % 2147483648;
    return seed / 2147483648;
  };
  const root = { name: "", children: [], depth: 0 };
  const greens = [];
  const queue = [root];
  let made = 1;
  const tops = ["Windows", "Program Files", "Users", "ProgramData", "工作资料", "Games", "Temp", "projects"];
  for (let q = 0; q < queue.length && made < total; ++q) {
    const folder = queue[q];
    const fan = folder.depth === 0 ? tops.length : 4 + Math.floor(random() * 27);
    for (let k = 0; k < fan && made < total; ++k, ++made) {
      const isDir = folder.depth === 0 || (folder.depth < levels && random() < 0.3);
      const name = folder.depth === 0 ? tops[k]
        : isDir ? (random() < 0.03 ? "cache" : random() < 0.1 ? `资料 ${k}` : `folder ${k}`) : `file-${made}.${["dll", "jpg", "mp4", "txt"][k % 4]}`;
      const child = { name, depth: folder.depth + 1, dir: isDir };
      if (isDir) {
        child.children = [];
        queue.push(child);
      } else {
        child.bytes = Math.floor(10 ** (2 + random() * 6));
      }
      let mark = folder.mark;
      if (folder.depth === 0 && name === "Windows") mark = RED;
      else if (name === "Temp") mark = TEMP;
      else if (name === "cache" && (!mark || mark.state !== "red")) mark = CACHE;
      if (mark) child.mark = mark;
      if (isDir && mark && mark !== folder.mark) greens.push(child);
      folder.children.push(child);
    }
  }
  return { root, greens, made };
}

if (option("--write")) {
  // Run as a child: the page is timed in a process that has not just built
  // a 300,000-node tree.
  const { root, greens, made } = synthesize(nodes);
  if (made !== nodes) throw new Error(`the synthesized tree has ${made} nodes, not ${nodes}`);
  writeReport(option("--write"), { rootPath: "C:\\", tree: root, greens: greens.filter((g) => g.mark.state === "green").slice(0, 1000) });
  process.exit(0);
}

// The largest folder tile in, then Backspace out, each until the new
// picture is in the page: in the page's own figures and with the driver's
// round trips.
async function timeClick(page) {
  let at = Date.now();
  await page.locator("#map .tile.dir").first().click({ position: { x: 4, y: 4 } });
  await page.waitForFunction(() => document.querySelector("#crumbs li:nth-child(2)"));
  const inMs = Date.now() - at;
  const inPage = await page.getAttribute("#view", "data-render-ms");
  at = Date.now();
  await page.keyboard.press("Backspace");
  await page.waitForFunction(() => !document.querySelector("#crumbs li:nth-child(2)"));
  const backMs = Date.now() - at;
  const backPage = await page.getAttribute("#view", "data-render-ms");
  return { inMs, inPage, backMs, backPage };
}

// Every main-thread task of 50 ms or more from now on (the least the
// browser reports), kept in the page with its start.
async function watchTasks(page) {
  await page.evaluate(() => {
    window.__loadTasks = [];
    window.__taskWatch = new PerformanceObserver((list) => {
      for (const entry of list.getEntries()) window.__loadTasks.push({ start: entry.startTime, duration: entry.duration });
    });
    window.__taskWatch.observe({ type: "longtask" });
    window.__choosing = performance.now();
  });
}

// Waits until no long task has run for QUIET_MS; the tasks since
// watchTasks, their starts from the choice, longest first.
async function tasksUntilIdle(page) {
  await page.waitForFunction(({ quiet }) => {
    const tasks = window.__loadTasks;
    const last = tasks.length ? Math.max(...tasks.map((t) => t.start + t.duration)) : window.__choosing;
    return performance.now() - Math.max(last, window.__pictureAt || 0) >= quiet;
  }, { quiet: QUIET_MS }, { timeout: IDLE_LIMIT_MS, polling: 100 });
  return page.evaluate(() => {
    window.__taskWatch.disconnect();
    return window.__loadTasks.map((t) => ({ start: Math.round(t.start - window.__choosing), duration: Math.round(t.duration) }))
      .sort((a, b) => b.duration - a.duration);
  });
}

// What to search for when not told: the name of the largest file the page
// lists, else the name of the first entry of the list.
async function queryFromPage(page) {
  return page.evaluate(() => {
    const file = document.querySelector("#files .files-list bdi");
    if (file) return file.textContent.split(/[\\/]/).pop();
    const row = document.querySelector("#rows .row .c-name bdi");
    return row ? row.textContent : "";
  });
}

// The pids of this process's descendants: the browser's processes.
function descendants() {
  const parentOf = new Map();
  for (const pid of readdirSync("/proc").filter((name) => /^\d+$/.test(name))) {
    try {
      const stat = readFileSync(`/proc/${pid}/stat`, "utf8");
      parentOf.set(Number(pid), Number(stat.slice(stat.lastIndexOf(")") + 2).split(" ")[1]));
    } catch {
      // gone meanwhile
    }
  }
  const ours = (pid) => {
    for (let p = pid; p > 1; p = parentOf.get(p) || 0) if (p === process.pid) return true;
    return false;
  };
  return [...parentOf.keys()].filter((pid) => pid !== process.pid && ours(pid));
}

// CPU time the browser's processes have used, in ms: a figure the machine's
// load disturbs far less than the time on the clock.
function browserCpuMs() {
  let ticks = 0;
  for (const pid of descendants()) {
    try {
      const fields = readFileSync(`/proc/${pid}/stat`, "utf8").split(") ")[1].split(" ");
      ticks += Number(fields[11]) + Number(fields[12]);  // utime, stime
    } catch {
      // gone meanwhile
    }
  }
  return ticks * 10;  // USER_HZ is 100 on Linux
}

// The largest renderer among this process's descendants (the page and its
// worker live in one), as {rss, peak} in MiB: resident now, and the most it
// has been (VmHWM). Other browsers on the machine are not ours and not read.
function rendererMemory() {
  let best = { rss: 0, peak: 0 };
  for (const pid of descendants()) {
    try {
      if (!readFileSync(`/proc/${pid}/cmdline`, "utf8").includes("--type=renderer")) continue;
      const status = readFileSync(`/proc/${pid}/status`, "utf8");
      const kib = (field) => Number((status.match(new RegExp(`${field}:\\s+(\\d+)`)) || [0, 0])[1]);
      if (kib("VmRSS") > best.rss * 1024) best = { rss: kib("VmRSS") / 1024, peak: kib("VmHWM") / 1024 };
    } catch {
      // gone meanwhile
    }
  }
  return best;
}

const scratch = mkdtempSync(join(tmpdir(), "oskra-view-bench-"));
try {
  let doc = given;
  if (!doc) {
    doc = join(scratch, "scan.json");
    execFileSync(process.execPath, [new URL(import.meta.url).pathname, "--write", doc, "--nodes", String(nodes)],
      { stdio: "inherit" });
  }
  if (option("--keep")) copyFileSync(doc, option("--keep"));
  const megabytes = statSync(doc).size / (1024 * 1024);
  console.log(`scan: ${doc}, ${megabytes.toFixed(1)} MiB${given ? "" : `, ${nodes} nodes (synthesized)`}`);
  console.log(`page: ${view}, ${statSync(view).size} bytes; load average ${(await import("node:os")).loadavg().map((l) => l.toFixed(1)).join(" ")} on ${(await import("node:os")).cpus().length} cores`);
  const browser = await launch();
  try {
    for (let run = 1; run <= runs; ++run) {
      const { page, context } = await openViewer(browser, view);
      // A person takes a few seconds to choose a file; the page uses them
      // to start its reader, as it does here.
      await page.waitForTimeout(SETTLE_MS);
      await watchTasks(page);
      const started = Date.now();
      const cpuBefore = browserCpuMs();
      await load(page, doc, { whole: false });
      const loaded = Date.now() - started;
      const cpu = browserCpuMs() - cpuBefore;
      const memory = rendererMemory();
      if (await page.isVisible("#message")) throw new Error(await page.textContent("#message"));
      await page.evaluate(() => { window.__pictureAt = performance.now(); });
      const tasks = await tasksUntilIdle(page);
      const afterIdle = rendererMemory();
      // A click, where the scan has a folder to click (a flat one has none).
      const click = await page.locator("#map .tile.dir").count() > 0 ? await timeClick(page) : null;
      const tiles = await page.$$eval("#map .tile", (els) => els.length);
      await page.waitForFunction(() => document.getElementById("view").dataset.timing);
      const split = JSON.parse(await page.getAttribute("#view", "data-timing"));
      const searchStarted = Date.now();
      const query = option("--query") || await queryFromPage(page);
      const longest = await longestTaskOfSearch(page, query);
      const searchMs = Date.now() - searchStarted;
      const caption = await page.textContent("#results .caption");
      console.log(`run ${run}: first picture ${loaded} ms, the browser's CPU meanwhile ${cpu} ms (${tiles} tiles; ` +
        `the choice reached the page ${split.chosenAt - started} ms after the driver began; in the page: ` +
        `worker ready ${split.startMs} ms, file read ${split.readMs} ms, parse ${split.parseMs} ms (its end ${split.finishMs} ms), ` +
        `model in the page ${split.arriveMs} ms, first picture built ${split.showMs} ms and painted ${split.paintMs} ms later, ` +
        `choice to picture ${split.totalMs} ms); the load's longest main-thread task ${tasks.length ? tasks[0].duration : 0} ms ` +
        `(${tasks.length} of 50 ms or more, [duration@start from the choice]: ${tasks.slice(0, 6).map((t) => `${t.duration}@${t.start}`).join(" ") || "none"}); a click in: ` +
        `${click ? `${click.inPage} ms in the page (${click.inMs} ms with the driver's round trips), back: ${click.backPage} ms (${click.backMs} ms)` : "none, no folder tile"}; first search: ` +
        `${JSON.stringify(query)}: "${caption}" in ${searchMs} ms, longest main-thread task ${longest} ms (0: none of 50 ms or more); ` +
        `renderer at the first picture ${memory.rss.toFixed(0)} MiB, its peak ${memory.peak.toFixed(0)} MiB ` +
        `(${(memory.peak / megabytes).toFixed(2)}x the file), once idle ${afterIdle.rss.toFixed(0)} MiB (peak ${afterIdle.peak.toFixed(0)} MiB, ` +
        `${(afterIdle.peak / megabytes).toFixed(2)}x), after the search ${rendererMemory().rss.toFixed(0)} MiB`);
      if (run === runs && option("--screenshot")) await page.screenshot({ path: option("--screenshot") });
      await context.close();
    }
  } finally {
    await browser.close();
  }
} finally {
  rmSync(scratch, { recursive: true, force: true });
}
