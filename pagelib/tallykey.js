// Tallykey page library: the key's eight methods for pages in current
// browsers, through the Tallykey extension and its native host; with
// nothing installed, through WebHID where the browser has it (Chrome,
// Edge); or, where the old plug-in is there, through the plug-in, with the
// same Promises.
//
//   const key = await Tallykey.connect();      // or connectHid(), or fromPlugin(element)
//   await key.FindKeys();                       // 1
//   await key.HMAC_MD5("pw", "challenge");      // 32 hex digits, or a negative code
//   await key.signIn("pw", challengeHex);       // the same, bound to this page's origin
//
// A classic script defines globalThis.Tallykey; as an ES module,
// `import "./tallykey.js"` does the same. Failures reject with a
// Tallykey.Error whose code is one of Tallykey.ERRORS.
(function (global) {
  "use strict";

  const VERSION = "@VERSION@";
  const CHANNEL = "tallykey";
  const METHODS = ["InitPassword", "FindKeys", "UpdatePassword", "GetSN", "HMAC_MD5", "ResetDigist",
                   "HMAC_MD5_HexString", "SetLog"];
  // Digests bound to the page's origin as the browser reports it: through
  // the extension and the host, and through WebHID; the plug-in has none.
  const BOUND_METHODS = ["signIn", "confirm"];
  const ERRORS = {
    "extension-missing": "the Tallykey extension is not installed or does not run on this page",
    "host-missing": "the Tallykey native host is not installed for this browser",
    "host-exited": "the Tallykey native host ended during the call",
    "origin-refused": "this page's origin may not use the key",
    "permission-denied": "the user has not allowed this site to use the key",
    "needs-gesture": "the user is asked only from a click or a key press: call connect() from one",
    "version-mismatch": "the library, the extension and the host are of different major versions",
    "timeout": "no answer in time",
    "bad-request": "the host refused the request",
    "extension-failed": "the extension could not pass the call on",
    "busy": "too many calls are waiting for the key",
    "password-entry-required": "the administrator requires the password to be typed into Tallykey's own window",
    "password-entry-unavailable": "only the Tallykey extension has a window for the password: pass it here",
    "cancelled": "the user cancelled",
    "hid-unavailable": "this browser has no WebHID, or a policy blocks it for this site",
    "hid-needs-gesture": "this site has no key yet: call connectHid() from a click, so that the user can pick one",
    "hid-denied": "the user picked no key",
    "no-key": "the key is no longer there",
  };

  class TallykeyError extends Error {
    constructor(code, detail) {
      super((ERRORS[code] || code) + (detail ? ": " + detail : ""));
      this.name = "TallykeyError";
      this.code = code;
    }
  }

  function major(version) {
    return String(version || "").split(".")[0];
  }

  // A request id no other copy of this library, in this page or another
  // tab, will draw: 122 random bits in the form of a version 4 UUID
  // (crypto.randomUUID exists only in secure contexts).
  function newId() {
    const bytes = new Uint8Array(16);
    global.crypto.getRandomValues(bytes);
    bytes[6] = (bytes[6] & 0x0f) | 0x40;
    bytes[8] = (bytes[8] & 0x3f) | 0x80;
    const hex = Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
    return `tk-${hex.slice(0, 8)}-${hex.slice(8, 12)}-${hex.slice(12, 16)}-${hex.slice(16, 20)}-${hex.slice(20)}`;
  }

  const MAX_TIMER_MS = 2147483647;

  // How long the extension has to confirm that a call is withdrawn.
  const WITHDRAW_GRACE_MS = 5000;
  // A call at the key is answered within the key's worst case for it, which
  // the host tells (keyMs); past that and this margin the extension is gone
  // (Firefox tells a page nothing when it is removed). Without a figure, the
  // longest any call can take at the key.
  const KEY_MARGIN_MS = 5000;
  const LONGEST_AT_KEY_MS = 25000;

  // This copy's requests in flight, by id, and its one listener for all
  // of them: the cost of an answer does not grow with the calls waiting.
  const inFlight = new Map();
  let listening = false;

  function onAnswer(event) {
    const data = event.data;
    if (event.source !== global || data === null || typeof data !== "object" || data.channel !== CHANNEL ||
        data.direction !== "to-page" || typeof data.id !== "string")
      return;
    const request = inFlight.get(data.id);
    if (!request)
      return;  // another copy's, or one that timed out
    clearTimeout(request.timer);
    if (data.pending === "consent") {
      // The extension found, the user asked: any silence from now on is a timeout.
      request.silentCode = "timeout";
      request.timer = setTimeout(request.expire, request.consentTimeoutMs);
      return;
    }
    if (data.pending === "password") {
      // The user types the password in the extension's window (again, after a wrong one).
      request.timer = setTimeout(request.expire, request.passwordEntryMs);
      return;
    }
    if (data.pending === "started") {
      // At the key: a command in progress is never withdrawn, but it is
      // answered within the key's own bound, or the extension is gone.
      const keyMs = Number.isSafeInteger(data.keyMs) && data.keyMs >= 0 && data.keyMs <= LONGEST_AT_KEY_MS
        ? data.keyMs : LONGEST_AT_KEY_MS;
      request.timer = setTimeout(() => {
        inFlight.delete(data.id);
        request.reject(new TallykeyError("extension-failed", "no answer from the key in time"));
      }, keyMs + KEY_MARGIN_MS);
      return;
    }
    inFlight.delete(data.id);
    if (typeof data.error === "string")
      request.reject(new TallykeyError(data.error, typeof data.message === "string" ? data.message : ""));
    else
      request.resolve(data.result);
  }

  // One request to the content script; settles with its answer, or with
  // "timeout" (or the given code) when none comes in time. While the
  // extension asks the user about this site, the wait is consentTimeoutMs.
  function ask(body, timeoutMs, silentCode, consentTimeoutMs, passwordEntryMs) {
    return new Promise((resolve, reject) => {
      if (!listening) {
        global.addEventListener("message", onAnswer);
        listening = true;
      }
      const id = newId();
      const request = { resolve, reject, silentCode, consentTimeoutMs: consentTimeoutMs || timeoutMs,
                        passwordEntryMs: passwordEntryMs || timeoutMs };
      const fail = (code) => {
        inFlight.delete(id);
        reject(new TallykeyError(code));
      };
      request.expire = () => {
        if (body.type !== "call") {
          fail(request.silentCode || "timeout");
          return;
        }
        // A call is withdrawn, and "timeout" means it was not done: the
        // extension confirms (answering "timeout"), or the call turns out
        // to have reached the key and its answer comes. An extension that
        // does neither is no longer there.
        global.postMessage({ channel: CHANNEL, direction: "to-extension", id, type: "withdraw" }, "*");
        request.timer = setTimeout(() => fail("extension-failed"), WITHDRAW_GRACE_MS);
      };
      request.timer = setTimeout(request.expire, timeoutMs);
      inFlight.set(id, request);
      // "*": a document with an opaque origin ("null": sandboxed and data:
      // frames) cannot name its own origin; the message goes to this very
      // window either way, and the extension judges such a document.
      global.postMessage({ channel: CHANNEL, direction: "to-extension", id, ...body }, "*");
    });
  }

  // In a password's place: the user types it into the extension's own
  // window, and the page gets the call's result and nothing else.
  const ASK = Object.freeze({ tallykey: "ask" });

  // What a page passes becomes a string or "not a string" (null) here, so
  // that every method answers -11 for anything else, as the plug-in does,
  // and nothing the browser cannot copy (a function, a symbol) is posted.
  // ASK goes as it is, for the extension.
  const toArgument = (value) => typeof value === "string" ? value : value === ASK ? ASK : null;

  // A timeout option: absent, the default; otherwise a positive number of
  // milliseconds (0 would fail every call at once, so it is refused).
  function duration(options, name, fallback) {
    const value = options ? options[name] : undefined;
    if (value === undefined)
      return fallback;
    if (typeof value !== "number" || !(value > 0) || !Number.isFinite(value))
      throw new TallykeyError("bad-request", `${name} must be a positive number of milliseconds`);
    // Timers fire at once beyond 2^31 - 1 ms (about 24 days): longer is that long.
    return Math.min(value, MAX_TIMER_MS);
  }

  // asks: whether this way to the key has a window for ASK (only the
  // extension's has); elsewhere a call with ASK is refused, unsent.
  function makeKey(call, versions, bound = true, asks = false) {
    const key = { versions };
    for (const method of bound ? [...METHODS, ...BOUND_METHODS] : METHODS) {
      key[method] = (...args) => !asks && args.includes(ASK)
        ? Promise.reject(new TallykeyError("password-entry-unavailable"))
        : call(method, args);
    }
    return Object.freeze(key);
  }

  // Finds the extension and the host, and the user's or the
  // administrator's permission for this site. The first time a site
  // connects, the extension asks the user in a window of its own.
  //   options.timeoutMs         the handshake (default 3 s);
  //   options.consentTimeoutMs  waiting for the user's answer (default 120 s);
  //   options.callTimeoutMs     each call (default 80 s: after wrong
  //                             passwords the host makes a site's password
  //                             calls wait up to 60 s, beyond the key's own
  //                             worst case of about six seconds);
  //   options.passwordEntryMs   the user typing a password in the
  //                             extension's window (default 120 s, from
  //                             the window's opening and again after each
  //                             wrong password).
  // Each must be a positive number: anything else (0 too) rejects with
  // "bad-request". A document with an opaque origin (a sandboxed or data:
  // frame) is refused with "origin-refused".
  // Rejects with "permission-denied" when the user denies the site (now, or
  // earlier in this browser session: no window then), "origin-refused"
  // when the administrator's settings refuse it, "needs-gesture" when the
  // user would be asked but connect() was not called from a click or a key
  // press in this document, "busy" when this tab waits for the user's answer
  // about another site already. A call rejects with
  // "permission-denied" when the user has since removed the site.
  // A call with ASK in a password's place opens the password window (from
  // a click or a key press only: "needs-gesture" otherwise; "busy" while
  // another Tallykey window is open), and rejects with "cancelled" when the
  // user cancels or closes it. InitPassword, UpdatePassword and ResetDigist
  // from a site the user allowed (not one the administrator lists) always
  // ask there, whatever password the page passes.
  async function connect(options) {
    const timeoutMs = duration(options, "timeoutMs", 3000);
    const consentTimeoutMs = duration(options, "consentTimeoutMs", 120000);
    const callTimeoutMs = duration(options, "callTimeoutMs", 80000);
    const passwordEntryMs = duration(options, "passwordEntryMs", 120000);
    const hello = await ask({ type: "hello" }, timeoutMs, "extension-missing", consentTimeoutMs);
    const versions = { library: VERSION, extension: hello && hello.extension, host: hello && hello.host };
    if (major(versions.extension) !== major(VERSION) || major(versions.host) !== major(VERSION))
      throw new TallykeyError("version-mismatch",
                              `library ${VERSION}, extension ${versions.extension}, host ${versions.host}`);
    return makeKey((method, args) => ask({ type: "call", method, args: args.map(toArgument) }, callTimeoutMs,
                                         undefined, undefined, passwordEntryMs),
                   versions, true, true);
  }

  // The plug-in element (an <embed> or <object> of type
  // application/bhrb-usbkey) behind the same interface.
  function fromPlugin(element) {
    return makeKey((method, args) => new Promise((resolve) => resolve(element[method](...args))),
                   { library: VERSION, plugin: true }, false);
  }

  // The key through WebHID, with nothing installed: a site the user or the
  // administrator has granted a key uses it at once; otherwise, from a user
  // gesture, the browser's chooser opens. Its code is a module of its own
  // (tallykey-webhid.js beside this file), fetched on the first call only.
  //   options.callTimeoutMs  waiting for the key behind the site's other tabs (80 s)
  //   options.wasmBinary     the core's bytes, where the page bundles them
  function connectHid(options) {
    const library = { Error: TallykeyError, duration, makeKey, toArgument, VERSION };
    return import("./tallykey-webhid.js").then((module) => module.connectHid(options, library));
  }

  global.Tallykey = Object.freeze({ connect, connectHid, fromPlugin, ASK, Error: TallykeyError, ERRORS, VERSION,
                                    METHODS, BOUND_METHODS });
})(globalThis);
