// Tallykey content script: relays a page's calls to the background and the
// answers back. It runs in https pages and in pages of localhost and
// 127.0.0.1. Messages are tagged and checked in both directions; a page
// cannot reach the background in any other form.
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

  window.addEventListener("message", (event) => {
    if (event.source !== window || !isWellFormed(event.data))
      return;
    const { id, type, method, args } = event.data;
    const request = type === "hello" ? { kind: "tallykey-hello" } : { kind: "tallykey-call", method, args };
    api.runtime.sendMessage(request).then(
      (reply) => answer(id, reply && typeof reply === "object" ? reply : { error: "host-exited", message: "no answer" }),
      (failure) => answer(id, { error: "extension-failed", message: String(failure && failure.message) }));
  });
})();
