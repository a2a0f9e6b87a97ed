// Tallykey content script: relays a page's calls to the background and the
// answers back. It runs in every http and https page, so that a page the
// key refuses hears "origin-refused" rather than nothing. Messages are
// tagged and checked in both directions; a page cannot reach the
// background in any other form.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const CHANNEL = "tallykey";
  const METHODS = new Set(["InitPassword", "FindKeys", "UpdatePassword", "GetSN", "HMAC_MD5", "ResetDigist",
                           "HMAC_MD5_HexString", "SetLog", "signIn", "confirm"]);

  // Far more than any call needs (a message is at most 61 bytes, a
  // password a few dozen): a bigger call is refused here, unsent.
  const MAX_ARGUMENT_BYTES = 64 * 1024;
  const MAX_ARGUMENTS = 16;
  const encoder = new TextEncoder();

  // "*": a document with an opaque origin cannot be named; the message
  // goes to this very window either way.
  function answer(id, body) {
    window.postMessage({ channel: CHANNEL, direction: "to-page", id, ...body }, "*");
  }

  function argumentBytes(args) {
    let bytes = 0;
    for (const arg of args) {
      if (typeof arg !== "string")
        continue;
      // UTF-8 takes at least a byte per UTF-16 unit: the cheap bound first.
      bytes += arg.length > MAX_ARGUMENT_BYTES ? arg.length : encoder.encode(arg).length;
      if (bytes > MAX_ARGUMENT_BYTES)
        break;
    }
    return bytes;
  }

  // Whether the user has just clicked or typed in this very document: only
  // then may the extension open a window to ask them. The browser keeps this
  // per document; a page cannot set it for itself, nor a frame for its parent.
  function hasGesture() {
    const activation = typeof navigator === "object" && navigator ? navigator.userActivation : undefined;
    return Boolean(activation && activation.isActive === true);
  }

  // The library's Tallykey.ASK, as the page posted it: the user is to type
  // this password into the extension's window.
  const isAsk = (arg) => arg !== null && typeof arg === "object" && !Array.isArray(arg) &&
    Object.keys(arg).length === 1 && arg.tallykey === "ask";

  // What the page posted: ignored (not ours, or no id to answer), answered
  // at once, or a request for the background. Every value that is not a
  // string becomes null ("not a string": the methods answer -11), so that
  // no call is dropped and left to time out; Tallykey.ASK becomes the
  // background's mark for it.
  function classify(data) {
    if (data === null || typeof data !== "object" || data.channel !== CHANNEL || data.direction !== "to-extension" ||
        typeof data.id !== "string" || data.id.length > 64)
      return null;
    if (data.type === "hello")
      return { request: { kind: "tallykey-hello", gesture: hasGesture() } };
    if (data.type === "withdraw")
      return { withdraw: true };
    if (data.type !== "call" || !METHODS.has(data.method) || !Array.isArray(data.args))
      return { answer: { error: "bad-request", message: "not a call of one of the key's methods" } };
    const args = data.args.slice(0, MAX_ARGUMENTS).map((arg) => typeof arg === "string" ? arg
                                                                : isAsk(arg) ? { ask: true } : null);
    if (argumentBytes(args) > MAX_ARGUMENT_BYTES)
      return { answer: { result: -11 } };
    return { request: { kind: "tallykey-call", method: data.method, args, gesture: hasGesture() } };
  }

  // One port to the background for the page's life (a message channel per
  // call costs about a millisecond more), opened on first use and again
  // after the background went away.
  let port = null;
  const waiting = new Set();  // the page's request ids not yet answered

  function failWaiting(message) {
    for (const id of waiting)
      answer(id, { error: "extension-failed", message });
    waiting.clear();
  }

  function background() {
    if (port)
      return port;
    port = api.runtime.connect({ name: CHANNEL });
    port.onMessage.addListener((message) => {
      if (message === null || typeof message !== "object" || !waiting.has(message.id))
        return;
      // The user is being asked, or types the password (the page waits
      // longer), or the call has reached the key (it will be answered: the
      // page waits for it).
      if (message.pending === "consent" || message.pending === "password" || message.pending === "started") {
        const keyMs = message.pending === "started" && Number.isSafeInteger(message.keyMs) ? message.keyMs : undefined;
        answer(message.id, keyMs === undefined ? { pending: message.pending } : { pending: message.pending, keyMs });
        return;
      }
      waiting.delete(message.id);
      const reply = message.reply;
      answer(message.id, reply && typeof reply === "object" ? reply : { error: "host-exited", message: "no answer" });
    });
    port.onDisconnect.addListener(() => {
      port = null;
      failWaiting("the extension's background stopped");
    });
    return port;
  }

  // The top document says which page its frames are in, for the window that
  // asks the user about a frame (only the extension's background asks).
  if (window === window.top && api.runtime.onMessage) {
    api.runtime.onMessage.addListener((message, sender, sendResponse) => {
      if (sender.id !== api.runtime.id || message === null || typeof message !== "object" ||
          message.kind !== "tallykey-top-origin")
        return false;
      sendResponse({ origin: window.location.origin });
      return false;
    });
  }

  window.addEventListener("message", (event) => {
    if (event.source !== window)
      return;
    const data = event.data;
    const what = classify(data);
    if (what && what.withdraw) {
      // The page gave up waiting: a call that has not reached the key never will.
      if (waiting.has(data.id) && port)
        port.postMessage({ id: data.id, withdraw: true });
      return;
    }
    if (!what || waiting.has(data.id))
      return;
    if (what.answer) {
      answer(data.id, what.answer);
      return;
    }
    const id = data.id;
    waiting.add(id);
    try {
      background().postMessage({ id, request: what.request });
    } catch (failure) {
      port = null;
      waiting.delete(id);
      answer(id, { error: "extension-failed", message: String(failure && failure.message) });
    }
  });
})();
