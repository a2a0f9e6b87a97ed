// Tallykey page library: the key's eight methods for pages in current
// browsers, through the Tallykey extension and its native host; or, where
// the old plug-in is there, through the plug-in, with the same Promises.
//
//   const key = await Tallykey.connect();      // or Tallykey.fromPlugin(element)
//   await key.FindKeys();                       // 1
//   await key.HMAC_MD5("pw", "challenge");      // 32 hex digits, or a negative code
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
  const ERRORS = {
    "extension-missing": "the Tallykey extension is not installed or does not run on this page",
    "host-missing": "the Tallykey native host is not installed for this browser",
    "host-exited": "the Tallykey native host ended during the call",
    "origin-refused": "this page's origin may not use the key",
    "permission-denied": "the user has not allowed this site to use the key",
    "version-mismatch": "the library, the extension and the host are of different major versions",
    "timeout": "no answer in time",
    "bad-request": "the host refused the request",
    "extension-failed": "the extension could not pass the call on",
    "busy": "too many calls are waiting for the key",
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

  let nextId = 1;

  // One request to the content script; settles with its answer, or with
  // "timeout" (or the given code) when none comes in time. While the
  // extension asks the user about this site, the wait is consentTimeoutMs.
  function ask(body, timeoutMs, silentCode, consentTimeoutMs) {
    return new Promise((resolve, reject) => {
      const id = "tk-" + Date.now().toString(36) + "-" + nextId++;
      const expire = () => {
        global.removeEventListener("message", listen);
        reject(new TallykeyError(silentCode || "timeout"));
      };
      let timer = setTimeout(expire, timeoutMs);
      function listen(event) {
        const data = event.data;
        if (event.source !== global || !data || data.channel !== CHANNEL || data.direction !== "to-page" ||
            data.id !== id)
          return;
        clearTimeout(timer);
        if (data.pending === "consent") {
          // The extension found, the user asked: any silence from now on is a timeout.
          silentCode = "timeout";
          timer = setTimeout(expire, consentTimeoutMs || timeoutMs);
          return;
        }
        global.removeEventListener("message", listen);
        if (typeof data.error === "string")
          reject(new TallykeyError(data.error, data.message));
        else
          resolve(data.result);
      }
      global.addEventListener("message", listen);
      global.postMessage({ channel: CHANNEL, direction: "to-extension", id, ...body }, global.location.origin);
    });
  }

  function makeKey(call, versions) {
    const key = { versions };
    for (const method of METHODS)
      key[method] = (...args) => call(method, args);
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
  //                             worst case of about six seconds).
  // Rejects with "permission-denied" when the user denies the site (now, or
  // earlier in this browser session: no window then), "origin-refused"
  // when the administrator's settings refuse it. A call rejects with
  // "permission-denied" when the user has since removed the site.
  async function connect(options) {
    const timeoutMs = (options && options.timeoutMs) || 3000;
    const consentTimeoutMs = (options && options.consentTimeoutMs) || 120000;
    const callTimeoutMs = (options && options.callTimeoutMs) || 80000;
    const hello = await ask({ type: "hello" }, timeoutMs, "extension-missing", consentTimeoutMs);
    const versions = { library: VERSION, extension: hello && hello.extension, host: hello && hello.host };
    if (major(versions.extension) !== major(VERSION) || major(versions.host) !== major(VERSION))
      throw new TallykeyError("version-mismatch",
                              `library ${VERSION}, extension ${versions.extension}, host ${versions.host}`);
    return makeKey((method, args) => ask({ type: "call", method, args }, callTimeoutMs), versions);
  }

  // The plug-in element (an <embed> or <object> of type
  // application/bhrb-usbkey) behind the same interface.
  function fromPlugin(element) {
    return makeKey((method, args) => new Promise((resolve) => resolve(element[method](...args))),
                   { library: VERSION, plugin: true });
  }

  global.Tallykey = Object.freeze({ connect, fromPlugin, Error: TallykeyError, ERRORS, VERSION, METHODS });
})(globalThis);
