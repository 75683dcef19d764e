// What the page answers to: the file pickers and drops, clicks on the map,
// the list, the panels and the search, the language, copy and save, and
// the browser's Back. `c` is the page's context; `p` its other pieces.
const Events = (() => {
  "use strict";

  // A file dropped anywhere is opened, never navigated to.
  function wireFiles(c, p) {
    const { ui } = c;
    ui.open.addEventListener("click", () => ui.file.click());
    ui.file.addEventListener("change", () => {
      p.openFile(ui.file.files[0]);
      ui.file.value = "";
    });
    ui.compareOpen.addEventListener("click", () => ui.fileOld.click());
    ui.fileOld.addEventListener("change", () => {
      p.compare.open(ui.fileOld.files[0]);
      ui.fileOld.value = "";
    });
    window.addEventListener("dragover", (event) => {
      event.preventDefault();
      event.dataTransfer.dropEffect = "copy";
      document.body.classList.add("dragging");
    });
    window.addEventListener("dragleave", () => document.body.classList.remove("dragging"));
    window.addEventListener("drop", (event) => {
      event.preventDefault();
      document.body.classList.remove("dragging");
      const files = event.dataTransfer && event.dataTransfer.files;
      if (files && files.length) p.openFile(files[0]);
    });
  }

  function wireView(c, p) {
    const { ui, app } = c;
    ui.map.addEventListener("click", (event) => {
      const el = event.target.closest(".tile");
      if (el) c.activateTile(el);
    });
    ui.crumbs.addEventListener("click", (event) => {
      const button = event.target.closest("button[data-node]");
      if (button) c.go(Number(button.dataset.node));
    });
    ui.back.addEventListener("click", () => c.back());
    ui.listHead.addEventListener("click", (event) => {
      const button = event.target.closest("button[data-sort]");
      if (!button) return;
      const key = button.dataset.sort;
      app.sort = app.sort.key === key ? { key, dir: -app.sort.dir } : { key, dir: key === "name" ? 1 : -1 };
      p.list.render(0);
    });
    ui.rows.addEventListener("scroll", () => p.list.renderRows(), { passive: true });
    ui.rows.addEventListener("click", (event) => {
      const button = event.target.closest("button.enter");
      if (button) c.go(Number(button.dataset.node));
    });
    let resizeTimer = 0;
    window.addEventListener("resize", () => {
      clearTimeout(resizeTimer);
      resizeTimer = setTimeout(() => {
        if (!app.model) return;
        c.renderMap();
        p.list.renderRows();
      }, 100);
    });
    window.addEventListener("popstate", p.onPop);
  }

  function wireSearch(c, p) {
    const { ui } = c;
    const jump = (event) => {
      const button = event.target.closest("button.jump");
      if (!button) return;
      ui.results.hidden = true;
      c.reveal(button.dataset.node !== undefined ? Number(button.dataset.node) : c.nodeForPath(button.dataset.path));
    };
    for (const el of [ui.clean, ui.largest, ui.files, ui.denied, ui.results, ui.growers]) el.addEventListener("click", jump);
    let searchTimer = 0;
    ui.search.addEventListener("input", () => {
      clearTimeout(searchTimer);
      searchTimer = setTimeout(p.finder.run, 150);
    });
    ui.search.addEventListener("keydown", (event) => {
      if (event.key === "Escape") {
        ui.search.value = "";
        ui.results.hidden = true;
      } else if (event.key === "Enter") {
        clearTimeout(searchTimer);
        p.finder.run().then(() => {
          const first = ui.results.querySelector("button.jump");
          if (first) first.click();
        });
      }
    });
    // The answers close when anything else is clicked.
    document.addEventListener("pointerdown", (event) => {
      if (!ui.find.contains(event.target)) ui.results.hidden = true;
    });
    ui.search.addEventListener("focus", () => {
      if (ui.search.value.trim() !== "" && ui.results.childElementCount) ui.results.hidden = false;
    });
  }

  // Copy buttons anywhere in the page, and the two CSV saves.
  function wireCopySave(c, p) {
    const { ui, app } = c;
    document.addEventListener("click", (event) => {
      const button = event.target.closest("button.copy[data-path]");
      if (button) p.tip.copy(button.dataset.path);
      if (event.target.closest("#save-clean")) Csv.save("oskra-cleanable.csv", Csv.cleanableRows(c));
      if (event.target.closest("#save-files")) Csv.save("oskra-largest-files.csv", Csv.fileRows(c));
    });
    ui.saveList.addEventListener("click", () => {
      const changes = c.changes();
      const rows = changes ? changes.csv() : Csv.listRows(c, p.list.sorted());
      Csv.save(changes ? "oskra-changes.csv" : "oskra-list.csv", rows);
    });
    ui.lang.addEventListener("click", () => {
      app.lang = app.lang === "zh" ? "en" : "zh";
      p.list.forget();
      c.renderAll();
    });
  }

  // Skip links move the focus, not the address: a new fragment would be
  // a history step, and Back here means up a level. The list takes the
  // focus at its current row; a panel at itself, its first control a Tab on.
  function wireSkips(c, p) {
    document.getElementById("skips").addEventListener("click", (event) => {
      const link = event.target.closest("a[href^='#']");
      if (!link) return;
      event.preventDefault();
      const target = document.getElementById(link.getAttribute("href").slice(1));
      if (!target || !c.app.model) return;
      if (target === c.ui.list) {
        p.keys.focusRow(p.keys.rowCursor);
        return;
      }
      target.tabIndex = -1;
      target.focus();
    });
  }

  function wire(c, p) {
    wireSkips(c, p);
    wireFiles(c, p);
    wireView(c, p);
    wireSearch(c, p);
    wireCopySave(c, p);
    p.keys.wire();
    p.tip.wire();
    p.compare.wire();
  }

  return { wire };
})();
