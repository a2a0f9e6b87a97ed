// Tallykey content script: relays a page's calls to the background and the
// answers back. It runs in every http and https page, so that a page the
// key refuses hears "origin-refused" rather than nothing. Messages are
// tagged and checked in both directions; a page cannot reach the
// background in any other form.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const CHANNEL = "tallykey";
  const METHODS = new Set(["InitPassword", "FindKeys", "UpdatePassword", "GetSN", "HMAC_MD5", "ResetDigist",
                           "HMAC_MD5_HexString", "SetLog"]);

  function answer(id, body) {
    window.postMessage({ channel: CHANNEL, direction: "to-page", id, ...body }, window.location.origin);
  }

  // What a page may send: a call of one of the eight methods with plain
  // values, or the handshake.
  function isWellFormed(data) {
    if (data === null || typeof data !== "object" || data.channel !== CHANNEL || data.direction !== "to-extension")
      return false;
    if (typeof data.id !== "string" || data.id.length > 64)
      return false;
    if (data.type === "hello")
      return true;
    return data.type === "call" && METHODS.has(data.method) && Array.isArray(data.args) && data.args.length <= 16 &&
      data.args.every((arg) => arg === null || ["string", "number", "boolean"].includes(typeof arg));
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
      if (message.pending === "consent") {
        answer(message.id, { pending: "consent" });  // the user is being asked: the page waits longer
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

  window.addEventListener("message", (event) => {
    if (event.source !== window || !isWellFormed(event.data) || waiting.has(event.data.id))
      return;
    const { id, type, method, args } = event.data;
    const request = type === "hello" ? { kind: "tallykey-hello" } : { kind: "tallykey-call", method, args };
    waiting.add(id);
    try {
      background().postMessage({ id, request });
    } catch (failure) {
      port = null;
      waiting.delete(id);
      answer(id, { error: "extension-failed", message: String(failure && failure.message) });
    }
  });
})();
