// Makes the README's picture of a comparison: a generated home folder is
// scanned by the program, changed (a download, a new project, a grown
// cache, an old project deleted) and scanned again, and the page compares
// the two in headless chromium.
//
//   OSKRA_CLI=<program> OSKRA_VIEW=<oskra-view.html> [OSKRA_VIEWER_MODULES=<node_modules>]
//   node compare-picture.mjs --out docs/compare.png
import { closeSync, ftruncateSync, mkdirSync, openSync, rmSync } from "node:fs";
import { dirname, join, resolve } from "node:path";

import { launch, load, openViewer, scan } from "./support.mjs";

const MB = 1024 * 1024;
const out = resolve(process.argv[process.argv.indexOf("--out") + 1] || "compare.png");
const root = "/tmp/oskra-demo/home";

function file(path, bytes) {
  mkdirSync(dirname(join(root, path)), { recursive: true });
  const fd = openSync(join(root, path), "w");
  ftruncateSync(fd, bytes);
  closeSync(fd);
}

const many = (folder, n, bytes, ext) => {
  for (let k = 0; k < n; ++k) file(`${folder}/f${k}.${ext}`, bytes);
};

rmSync("/tmp/oskra-demo", { recursive: true, force: true });
many("Documents/photos", 40, 30 * MB, "jpg");
file("Documents/report.docx", 2 * MB);
file("Downloads/installer.exe", 300 * MB);
file("Downloads/movie.mkv", 2048 * MB);
many("projects/site/node_modules/pkg", 60, 6 * MB, "js");
many("projects/site/src", 30, 40 * 1024, "ts");
many("projects/old-app/build", 20, 40 * MB, "o");
many(".cache/pip/wheels", 25, 20 * MB, "whl");
many(".cache/thumbnails", 200, 400 * 1024, "png");
many("Videos/2025", 6, 512 * MB, "mp4");
scan(process.env.OSKRA_CLI, root, "/tmp/oskra-demo/before.json", 6);

file("Downloads/game-setup.iso", 6144 * MB);
rmSync(join(root, "Downloads/movie.mkv"));
rmSync(join(root, "projects/old-app"), { recursive: true });
many("projects/ml/data", 10, 250 * MB, "parquet");
many("projects/ml/.venv/lib", 100, 11 * MB, "so");
many(".cache/pip/wheels", 70, 20 * MB, "whl");
many("Documents/photos", 50, 30 * MB, "jpg");
many("Videos/2026", 4, 450 * MB, "mp4");
scan(process.env.OSKRA_CLI, root, "/tmp/oskra-demo/after.json", 6);

const browser = await launch();
const { page } = await openViewer(browser, resolve(process.env.OSKRA_VIEW), { width: 1280, height: 800 });
await load(page, "/tmp/oskra-demo/after.json");
await page.setInputFiles("#file-old", "/tmp/oskra-demo/before.json");
await page.waitForSelector("#compare-bar:not([hidden])");
await page.click("#lang");
await page.hover("#map .tile.l2");
await page.screenshot({ path: out, clip: { x: 0, y: 0, width: 1280, height: 800 } });
console.log(await page.textContent("#compare-bar"));
console.log((await page.$$eval("#rows .row", (rows) => rows.map((r) => r.innerText.replace(/\s+/g, " ")))).join("\n"));
console.log(await page.textContent("#growers"));
await browser.close();
