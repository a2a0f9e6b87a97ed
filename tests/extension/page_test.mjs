// The page library and the content script in node, in a fake window whose
// postMessage clones as a browser's does (and refuses what a browser
// refuses), against a fake background: the decisions a page's values meet
// before anything leaves the page.
import assert from "node:assert/strict";
import fs from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

const LIBRARY = fs.readFileSync(new URL("../../pagelib/tallykey.js", import.meta.url), "utf8")
  .replace("@VERSION@", "1.0.0");
const CONTENT = fs.readFileSync(new URL("../../extension/src/content.js", import.meta.url), "utf8");

// A window of the given origin ("null" for an opaque one).
function makeWindow(origin) {
  const listeners = new Set();
  const window = {
    location: { origin },
    crypto: globalThis.crypto,
    setTimeout, clearTimeout,
    addEventListener: (type, listener) => type === "message" && listeners.add(listener),
    removeEventListener: (type, listener) => listeners.delete(listener),
    postMessage(message, targetOrigin) {
      // As a browser: a target that is no origin is a SyntaxError, a value
      // that cannot be cloned a DataCloneError, both thrown at the caller.
      if (targetOrigin !== "*" && targetOrigin !== "/" && !/^[a-z][a-z0-9+.-]*:\/\/[^/]+$/i.test(targetOrigin))
        throw new SyntaxError(`invalid target origin '${targetOrigin}'`);
      const data = structuredClone(message);
      setImmediate(() => {
        for (const listener of [...listeners])
          listener({ source: window, data });
      });
    },
    listenerCount: () => listeners.size,
  };
  return window;
}

// The content script in that window, its background answering each call
// with what it received (or holding calls when `hold` is set).
function withExtension(window) {
  const sent = [];
  let onMessage = null;
  const port = {
    onMessage: { addListener: (f) => { onMessage = f; } },
    onDisconnect: { addListener() {} },
    postMessage(message) {
      sent.push(structuredClone(message));
      const { id, request } = message;
      const reply = request.kind === "tallykey-hello" ? { result: { extension: "1.0.0", host: "1.0.0" } }
        : { result: { method: request.method, args: request.args } };
      setImmediate(() => onMessage({ id, reply }));
    },
  };
  const chrome = { runtime: { connect: () => port } };
  vm.runInNewContext(CONTENT, { window, chrome, TextEncoder });
  return sent;
}

// One copy of the library in that window (a page may load several).
function loadLibrary(window) {
  vm.runInNewContext(LIBRARY.replace("})(globalThis);", "})(window);"),
                     { window, setTimeout, clearTimeout, Uint8Array });
  return window.Tallykey;
}

const plain = (value) => JSON.parse(JSON.stringify(value));

test("every value a page passes is a string or not a string, and no call hangs", async () => {
  const window = makeWindow("https://bank.example");
  const sent = withExtension(window);
  const key = await loadLibrary(window).connect();
  const results = await Promise.all([
    key.UpdatePassword("pw", {}), key.UpdatePassword("pw", ["new"]), key.UpdatePassword("pw", undefined),
    key.HMAC_MD5("pw", new Date(0)), key.HMAC_MD5("pw", () => "x"), key.HMAC_MD5("pw", Symbol("s")),
    key.HMAC_MD5(new String("pw"), 5n), key.UpdatePassword("pw"), key.GetSN(1, 2),
  ]);
  assert.deepEqual(plain(results.map((r) => r.args)), [
    ["pw", null], ["pw", null], ["pw", null], ["pw", null], ["pw", null], ["pw", null], [null, null], ["pw"], [null, null],
  ]);
  assert.equal(sent.length, 10);
});

test("Tallykey.ASK reaches the background as its mark and nothing else does; elsewhere it is refused unsent", async () => {
  const window = makeWindow("https://bank.example");
  const sent = withExtension(window);
  const Tallykey = loadLibrary(window);
  const key = await Tallykey.connect();
  const results = await Promise.all([key.signIn(Tallykey.ASK, "00"), key.UpdatePassword({ tallykey: "ask", x: 1 }, ["ask"])]);
  assert.deepEqual(plain(results.map((r) => r.args)), [[{ ask: true }, "00"], [null, null]]);
  assert.equal(sent.at(-2).request.gesture, false, "no user activation in this window");
  // The plug-in's element has no window for the password.
  let touched = false;
  const plugin = Tallykey.fromPlugin({ HMAC_MD5: () => { touched = true; return 0; } });
  await assert.rejects(plugin.HMAC_MD5(Tallykey.ASK, "m"), (error) => error.code === "password-entry-unavailable");
  assert.equal(touched, false);
});

test("a document with an opaque origin connects without a SyntaxError", async () => {
  const window = makeWindow("null");
  withExtension(window);
  const key = await loadLibrary(window).connect();
  assert.equal((await key.FindKeys()).method, "FindKeys");
});

test("ten thousand calls at once with one listener; two copies never take each other's answers", async () => {
  const window = makeWindow("https://bank.example");
  withExtension(window);
  const first = await loadLibrary(window).connect();
  const second = await loadLibrary(window).connect();
  const calls = [];
  for (let i = 0; i < 10000; ++i)
    calls.push(first.HMAC_MD5("pw", `first ${i}`));
  assert.equal(window.listenerCount(), 3, "the content script's and one per library copy");
  for (let i = 0; i < 100; ++i)
    calls.push(second.HMAC_MD5("pw", `second ${i}`));
  const results = await Promise.all(calls);
  results.forEach((result, i) => assert.equal(result.args[1], i < 10000 ? `first ${i}` : `second ${i - 10000}`));
});

test("over 64 KiB of arguments is -11 at once and unsent; malformed calls are answered", async () => {
  const window = makeWindow("https://bank.example");
  const sent = withExtension(window);
  const key = await loadLibrary(window).connect();
  const limit = 64 * 1024;
  assert.equal(await key.HMAC_MD5("pw", "x".repeat(2 * 1024 * 1024)), -11);
  assert.equal(await key.HMAC_MD5("pw", "密".repeat(limit / 3)), -11, "counted in UTF-8 bytes");
  assert.equal((await key.HMAC_MD5("", "x".repeat(limit))).method, "HMAC_MD5", "exactly 64 KiB goes");
  assert.equal(sent.filter((m) => m.request.kind === "tallykey-call").length, 1);
  // What a page posts by hand, not through the library.
  const posted = (data) => new Promise((resolve) => {
    window.addEventListener("message", (event) => event.data.direction === "to-page" && event.data.id === data.id &&
                                                  resolve(event.data.error ?? event.data.result));
    window.postMessage({ channel: "tallykey", direction: "to-extension", ...data }, "*");
  });
  assert.equal(await posted({ id: "a", type: "call", method: "GetSn", args: [] }), "bad-request");
  assert.equal(await posted({ id: "b", type: "call", method: "GetSN", args: "x" }), "bad-request");
  assert.equal(await posted({ id: "c", type: "other" }), "bad-request");
});

test("timeouts are positive numbers of milliseconds; anything else is bad-request", async () => {
  const window = makeWindow("https://bank.example");
  withExtension(window);
  const Tallykey = loadLibrary(window);
  for (const options of [{ timeoutMs: 0 }, { callTimeoutMs: -1 }, { consentTimeoutMs: "5" }, { timeoutMs: NaN },
                         { timeoutMs: Infinity }])
    await assert.rejects(Tallykey.connect(options), (error) => error.code === "bad-request", JSON.stringify(options));
  await Tallykey.connect({ timeoutMs: 1000, callTimeoutMs: 5000 });
});

test("without the extension: extension-missing, within the handshake's time", async () => {
  const window = makeWindow("https://bank.example");
  const started = Date.now();
  await assert.rejects(loadLibrary(window).connect({ timeoutMs: 50 }), (error) => error.code === "extension-missing");
  assert.ok(Date.now() - started < 1000);
});

test("a call that reached the key is bounded by the key's worst case: past it, extension-failed", async (t) => {
  // An extension that says the call started, then is gone without a word
  // (Firefox tells a page nothing when the extension is removed).
  const window = makeWindow("https://bank.example");
  window.addEventListener("message", ({ data }) => {
    if (data.direction !== "to-extension")
      return;
    const reply = data.type === "hello" ? { result: { extension: "1.0.0", host: "1.0.0" } }
      : { pending: "started", keyMs: data.args[0] === "unbounded" ? 10 ** 9 : 100 };
    window.postMessage({ channel: "tallykey", direction: "to-page", id: data.id, ...reply }, "*");
  });
  const turns = async () => { for (let i = 0; i < 5; ++i) await new Promise((resolve) => setImmediate(resolve)); };
  t.mock.timers.enable({ apis: ["setTimeout"] });
  const key = await loadLibrary(window).connect();
  let settled = null;
  key.GetSN().catch((error) => { settled = error.code; });
  await turns();
  t.mock.timers.tick(100 + 5000 - 1);
  await turns();
  assert.equal(settled, null, "within the key's bound and the margin it waits");
  t.mock.timers.tick(2);
  await turns();
  assert.equal(settled, "extension-failed");
  // A figure beyond any call's worst case is not believed.
  settled = null;
  key.GetSN("unbounded").catch((error) => { settled = error.code; });
  await turns();
  t.mock.timers.tick(25000 + 5000 + 1);
  await turns();
  assert.equal(settled, "extension-failed");
});
