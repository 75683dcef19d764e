// How the page sorts verdicts for a person about to free space: the green
// entries into "safe" and "check first" (as the text report and SKILL.md
// do; tests/data/green_groups.json holds the cases all of them are held
// to), and the red entries that only Windows' own settings free.
const Groups = (() => {
  "use strict";

  // A Linux path always starts with "/"; every Windows form (a drive letter,
  // "UNC\...", "Volume{...}\...") does not. Never guessed from names: a
  // Linux name may hold a backslash.
  function separatorOf(path) {
    return path.startsWith("/") ? "/" : "\\";
  }

  const lower = (s) => s.replace(/[A-Z]/g, (c) => c.toLowerCase());

  function components(path) {
    return lower(path).split(separatorOf(path)).filter((c) => c !== "");
  }

  const isCloud = (part) => part === "onedrive" || part.startsWith("onedrive - ");

  // "Safe" or "check first" for a green verdict at `path` (the entry the
  // rule matched, not one that inherited it), and why it is to be checked:
  // - a user rule: the user's own words are all we know;
  // - inside a cloud-synced folder (a folder named OneDrive or "OneDrive -
  //   ...": the scan has no cloud flag): deleting it there deletes it from
  //   the cloud too;
  // - a built-in path rule (its pattern holds a separator): safe, it names
  //   one well-known location;
  // - OneNote's cache (edits not yet synced) and a project's .yarn\cache
  //   (part of the project): to check, even inside application data;
  // - a built-in name rule: safe inside application data (a folder AppData,
  //   or the drive's ProgramData or Windows folder); anywhere else to check,
  //   a folder merely named so can hold a person's files.
  function greenGroup(mark, path) {
    if (mark.source !== "builtin") return { safe: false, why: "user" };
    const parts = components(path);
    if (parts.some(isCloud)) return { safe: false, why: "cloud" };
    if (/[\\/]/.test(mark.pattern)) return { safe: true, why: null };
    for (let i = 0; i + 2 < parts.length; ++i) {
      if (parts[i] === "microsoft" && parts[i + 1] === "onenote") return { safe: false, why: "oneNote" };
    }
    const last = parts.length - 1;
    if (last >= 1 && parts[last] === "cache" && parts[last - 1] === ".yarn") {
      return { safe: false, why: "projectYarn" };
    }
    const drive = /^[a-z]:$/.test(parts[0] || "") || /^volume\{/.test(parts[0] || "");
    const systemData = drive && (parts[1] === "programdata" || parts[1] === "windows");
    if (systemData || parts.includes("appdata")) return { safe: true, why: null };
    return { safe: false, why: "nameOutside" };
  }

  // Red entries that Windows frees itself, through a setting of its own,
  // by the reason of the built-in rule that marks them: never cleanable by
  // hand, but worth showing with the setting that shrinks them.
  const WINDOWS_FREED = new Map([
    ["rule.reason.recycleBin", "freeRecycleBin"],
    ["rule.reason.oldWindows", "freeOldWindows"],
    ["rule.reason.hiberFile", "freeHiberFile"],
    ["rule.reason.pageFile", "freePageFile"],
    ["rule.reason.swapFile", "freeSwapFile"],
    ["rule.reason.systemRestore", "freeRestorePoints"],
  ]);

  // The page's words for the setting that frees a red entry, or null.
  function windowsSetting(mark) {
    if (mark.source !== "builtin" || mark.state !== "red") return null;
    return WINDOWS_FREED.get(mark.reason) || null;
  }

  return { separatorOf, greenGroup, windowsSetting };
})();
