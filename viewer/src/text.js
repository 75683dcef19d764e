// Names as a person should see them. A name is the file system's, so it
// may hold characters that change how the text around them reads: a
// right-to-left override (U+202E) would show "gnp.exe" as "exe.png" and
// reverse the rest of a path. Such characters, and every other one that
// shows nothing (controls, zero-width and format characters), are written
// out as "\u202E", and whatever is set as plain text (a tooltip, a label)
// is also wrapped in isolates so that it cannot reorder what follows it.
const Shown = (() => {
  "use strict";

  const INVISIBLE = /[\p{Cc}\p{Cf}\p{Zl}\p{Zp}\p{Default_Ignorable_Code_Point}]/gu;
  // Variation selectors only pick a glyph for the character before them
  // (emoji); they move nothing.
  const SELECTOR = /^\p{Variation_Selector}$/u;

  function escape(c) {
    if (SELECTOR.test(c)) return c;
    const hex = c.codePointAt(0).toString(16).toUpperCase();
    return hex.length > 4 ? `\\u{${hex}}` : `\\u${hex.padStart(4, "0")}`;
  }

  function visible(text) {
    return text.replace(INVISIBLE, escape);
  }

  // For plain-text places (title, aria-label): first strong isolate ...
  // pop directional isolate.
  function isolated(text) {
    return `\u2068${visible(text)}\u2069`;
  }

  return { visible, isolated };
})();
