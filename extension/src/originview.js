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

  // Fills every element with data-i18n from the extension's locale files.
  function localize(document, getMessage) {
    for (const element of document.querySelectorAll("[data-i18n]"))
      element.textContent = getMessage(element.dataset.i18n);
    document.documentElement.lang = getMessage("@@ui_locale").replace("_", "-");
  }

  global.TallykeyOriginView = Object.freeze({ decodePunycode, unicodeHost, describeOrigin, localize });
})(globalThis);
