// How the extension's own pages show an origin: as the browser reports it
// (scheme, host, port), and the host in Unicode where its punycode labels
// ("xn--") differ, so that a look-alike name cannot hide behind either form.
(function (global) {
  "use strict";

  // RFC 3492 decoding of one label's part after "xn--"; null if malformed.
  function decodePunycode(input) {
    const base = 36, tMin = 1, tMax = 26, skew = 38, damp = 700;
    const output = [];
    let n = 128, i = 0, bias = 72;
    const basic = input.lastIndexOf("-");
    for (let j = 0; j < Math.max(basic, 0); ++j) {
      if (input.charCodeAt(j) >= 0x80)
        return null;
      output.push(input.charCodeAt(j));
    }
    // Only letters and digits are digits; anything else ends the decoding.
    const digit = (c) => c >= 48 && c <= 57 ? c - 22 : c >= 65 && c <= 90 ? c - 65 : c >= 97 && c <= 122 ? c - 97 : base;
    for (let at = basic > 0 ? basic + 1 : 0; at < input.length;) {
      const oldI = i;
      for (let w = 1, k = base; ; k += base) {
        if (at >= input.length)
          return null;
        const d = digit(input.charCodeAt(at++));
        if (d >= base || d > Math.floor((0x7fffffff - i) / w))
          return null;
        i += d * w;
        const t = k <= bias ? tMin : k >= bias + tMax ? tMax : k - bias;
        if (d < t)
          break;
        if (w > Math.floor(0x7fffffff / (base - t)))
          return null;
        w *= base - t;
      }
      const length = output.length + 1;
      let delta = oldI === 0 ? Math.floor((i - oldI) / damp) : (i - oldI) >> 1;
      delta += Math.floor(delta / length);
      let k = 0;
      for (; delta > ((base - tMin) * tMax) >> 1; k += base)
        delta = Math.floor(delta / (base - tMin));
      bias = Math.floor(k + (base - tMin + 1) * delta / (delta + skew));
      if (Math.floor(i / length) > 0x10ffff - n)
        return null;
      n += Math.floor(i / length);
      i %= length;
      output.splice(i++, 0, n);
    }
    if (output.length === 0 || output.length > 63)
      return null;
    try {
      return String.fromCodePoint(...output);
    } catch {
      return null;
    }
  }

  // A label's Unicode form, only if it is the very name the browser would
  // write as that label: the browser's own IDNA mapping must give the label
  // back. Otherwise (ASCII or control characters, capitals, disallowed code
  // points) null, and the window shows the punycode form alone.
  function decodeLabel(label) {
    const decoded = decodePunycode(label.slice(4));
    if (decoded === null || /[\u0000-\u002c\u002e\u002f\u003a-\u0060\u007b-\u009f]/.test(decoded))
      return null;
    try {
      return new URL(`http://${decoded}/`).hostname === label.toLowerCase() ? decoded : null;
    } catch {
      return null;
    }
  }

  // The host of an origin in Unicode, or null when it has no punycode
  // label or one that does not decode to a valid label.
  function unicodeHost(host) {
    const labels = host.split(".");
    if (!labels.some((label) => label.toLowerCase().startsWith("xn--")))
      return null;
    const decoded = labels.map((label) => label.toLowerCase().startsWith("xn--") ? decodeLabel(label) : label);
    return decoded.includes(null) ? null : decoded.join(".");
  }

  // {origin, unicodeHost}: the origin as given, and its host in Unicode or null.
  function describeOrigin(origin) {
    let host = "";
    try {
      host = new URL(origin).hostname;
    } catch {
      return { origin, unicodeHost: null };
    }
    return { origin, unicodeHost: unicodeHost(host) };
  }

  // Shows the site asking in the window's elements (ids origin, unicode,
  // unicode-host, frame, frame-origin, frame-unknown): its origin, its host
  // in Unicode, and for a frame the page it is in (an ad inside the bank's
  // page is not the bank), or that the page cannot be named (null).
  function showAsker(document, origin, embedder) {
    const asker = describeOrigin(origin);
    document.getElementById("origin").textContent = asker.origin;
    if (asker.unicodeHost) {
      document.getElementById("unicode-host").textContent = asker.unicodeHost;
      document.getElementById("unicode").hidden = false;
    }
    if (typeof embedder === "string" && embedder !== "") {
      const page = describeOrigin(embedder);
      document.getElementById("frame-origin").textContent =
        page.unicodeHost ? `${page.origin} (${page.unicodeHost})` : page.origin;
      document.getElementById("frame").hidden = false;
    } else if (embedder === null) {
      document.getElementById("frame-unknown").hidden = false;
    }
  }

  // A text as the user must see it to judge it: every character that would
  // act rather than show (controls, bidirectional embeddings, overrides and
  // isolates, invisible formatting characters, line and paragraph
  // separators) becomes a visible mark, so that nothing reorders, hides or
  // breaks what is shown. Parts in order: {text} shown as it is, or
  // {mark} for such a character. A line break is a mark followed by the
  // break itself, and a tab a mark.
  const ACTING = /[\u0000-\u001f\u007f-\u009f\u00ad\u061c\u115f\u1160\u180e\u200b-\u200f\u2028-\u202e\u2060-\u206f\u3164\ufe00-\ufe0f\ufeff\ufff9-\ufffb\u{e0000}-\u{e007f}]/u;
  function visibleTextParts(text) {
    const parts = [];
    let plain = "";
    for (const character of text) {
      if (!ACTING.test(character)) {
        plain += character;
        continue;
      }
      if (plain)
        parts.push({ text: plain });
      plain = "";
      const code = character.codePointAt(0);
      const name = `U+${code.toString(16).toUpperCase().padStart(4, "0")}`;
      if (character === "\n")
        parts.push({ mark: "\u23ce", name }, { text: "\n" });
      else if (character === "\t")
        parts.push({ mark: "\u21e5", name });
      else if (code < 0x20)
        parts.push({ mark: String.fromCodePoint(0x2400 + code), name });  // the Control Pictures block
      else if (code === 0x7f)
        parts.push({ mark: "\u2421", name });
      else if (code === 0x2028 || code === 0x2029)
        parts.push({ mark: `[${name}]`, name }, { text: "\n" });
      else
        parts.push({ mark: `[${name}]`, name });
    }
    if (plain)
      parts.push({ text: plain });
    return parts;
  }

  // Fills the element with the text's visible parts: marks as spans of
  // their own (class "mark", the character's code as their title).
  function showText(element, text) {
    element.replaceChildren();
    for (const part of visibleTextParts(text)) {
      if (part.text !== undefined) {
        element.append(part.text);
        continue;
      }
      const mark = element.ownerDocument.createElement("span");
      mark.className = "mark";
      mark.title = part.name;
      mark.textContent = part.mark;
      element.append(mark);
    }
  }

  // Fills every element with data-i18n from the extension's locale files.
  function localize(document, getMessage) {
    for (const element of document.querySelectorAll("[data-i18n]"))
      element.textContent = getMessage(element.dataset.i18n);
    document.documentElement.lang = getMessage("@@ui_locale").replace("_", "-");
  }

  global.TallykeyOriginView = Object.freeze({ decodePunycode, unicodeHost, describeOrigin, showAsker, visibleTextParts,
                                              showText, localize });
})(globalThis);
