// The password window's decisions, in node against the background with
// fakes: the typed password goes to the host marked "typed" and nowhere
// else; a wrong one goes back to the window with the host's wait; cancel,
// closing and the page giving up end the call unsent; no window without a
// gesture or beside another; the host's "presence-required" opens one.
import assert from "node:assert/strict";
import { test } from "node:test";

import { makeBrowser, plain, settle } from "./fakes.mjs";

const SITE = "https://site.example";
const ASK = { ask: true };  // what the content script makes of Tallykey.ASK
const CHALLENGE = "00112233445566778899aabbccddeeff";
const keyCalls = (browser) => browser.hostRequests.filter((r) => r.method !== "hello" && r.method !== "withdraw");

// A page of an allowed site whose every call the test answers for the host.
async function allowedSite() {
  const browser = makeBrowser({ [SITE]: "ask", "https://listed.example": "listed", "https://unasked.example": "ask" },
                              { hold: (r) => r.method !== "hello" });
  await browser.storage("local").set({ allowedOrigins: { [SITE]: 1 } });
  const tab = browser.tab(SITE);
  const fromWindow = (message) => browser.fromPage(browser.openWindows()[0].url, message);
  return { browser, tab, fromWindow };
}

test("the typed password reaches the host marked typed and nothing else; a wrong one is tried again", async () => {
  const { browser, tab, fromWindow } = await allowedSite();
  tab.call("signIn", [ASK, CHALLENGE], true);
  await settle();
  assert.equal(browser.openWindows().length, 1);
  assert.match(browser.openWindows()[0].url, /\/password\.html#[0-9a-f-]{36}$/);
  assert.deepEqual(tab.interim(), [{ id: "1", pending: "password" }]);
  assert.deepEqual(keyCalls(browser), [], "nothing reaches the host before the user types");
  assert.deepEqual(await fromWindow({ kind: "password-details" }),
                   { origin: SITE, embedder: "", action: "signIn", fields: ["current"] });

  const wrong = fromWindow({ kind: "password-answer", passwords: { current: "not it" } });
  await settle();
  const first = keyCalls(browser)[0];
  assert.deepEqual(plain(first.args), ["not it", CHALLENGE]);
  assert.equal(first.typed, true);
  browser.answer(first.id, { result: -5, waitMs: 2000 });
  assert.deepEqual(await wrong, { wrong: true, waitMs: 2000 });
  assert.deepEqual(tab.final(), [], "the page hears nothing of a wrong try");
  assert.equal(tab.interim().length, 2, "the page's wait starts again");

  const right = fromWindow({ kind: "password-answer", passwords: { current: "pw" } });
  await settle();
  browser.answer(keyCalls(browser)[1].id, { result: "d".repeat(32) });
  assert.deepEqual(await right, { done: true });
  await settle();
  assert.deepEqual(tab.final(), ["d".repeat(32)]);
  assert.equal(browser.openWindows().length, 0, "the window closes with the answer");
  assert.ok(!JSON.stringify(tab.replies).includes("pw") && !JSON.stringify(tab.replies).includes("not it"));
  assert.ok(!JSON.stringify(browser.areas).includes("not it"), "no password in storage");
});

test("cancel, closing the window and the page giving up end the call before the key; no window beside another", async () => {
  const { browser, tab, fromWindow } = await allowedSite();
  // Cancel; then the window closed; then the page's own timeout.
  tab.call("confirm", [ASK, "Pay 100 EUR"], true);
  await settle();
  assert.deepEqual((await fromWindow({ kind: "password-details" })).text, "Pay 100 EUR");
  const other = browser.tab("https://listed.example");
  other.call("HMAC_MD5", [ASK, "m"], true);
  await settle();
  assert.deepEqual(other.final(), ["busy"], "one window at a time");
  await fromWindow({ kind: "password-cancel" });
  await settle();
  tab.call("UpdatePassword", [ASK, ASK], true);
  await settle();
  assert.deepEqual((await fromWindow({ kind: "password-details" })).fields, ["current", "new"]);
  browser.closeWindow(browser.openWindows()[0]);
  await settle();
  const id = tab.call("ResetDigist", [ASK, CHALLENGE], true);
  await settle();
  tab.withdraw(id);
  await settle();
  assert.deepEqual(tab.final(), ["cancelled", "cancelled", "timeout"]);
  assert.equal(browser.openWindows().length, 0);
  assert.deepEqual(keyCalls(browser), []);

  // No window without a gesture in the asking document, nor for a site
  // neither the user nor the administrator let use the key.
  tab.call("signIn", [ASK, CHALLENGE], false);
  const unasked = browser.tab("https://unasked.example"), refused = browser.tab("https://refused.example");
  unasked.call("signIn", [ASK, CHALLENGE], true);
  await settle();
  refused.call("signIn", [ASK, CHALLENGE], true);
  await settle();
  assert.deepEqual([tab.final().at(-1), unasked.final(), refused.final()],
                   ["needs-gesture", ["permission-denied"], ["origin-refused"]]);
  assert.equal(browser.windows.length, 3);

  // A frame's window names the page it is in.
  const frame = browser.tab(SITE, 40, "https://top.example");
  frame.call("signIn", [ASK, CHALLENGE], true);
  await settle();
  assert.equal((await fromWindow({ kind: "password-details" })).embedder, "https://top.example");
});

test("a change the host wants the user present for opens the window; the page's passwords go unused", async () => {
  const { browser, tab, fromWindow } = await allowedSite();
  tab.call("UpdatePassword", ["page's old", "page's new"], true);
  await settle();
  const refused = keyCalls(browser)[0];
  assert.equal(refused.typed, undefined);
  browser.answer(refused.id, { error: "presence-required", message: "typed only" });
  await settle();
  assert.equal(browser.openWindows().length, 1);
  assert.deepEqual((await fromWindow({ kind: "password-details" })).action, "change");
  const done = fromWindow({ kind: "password-answer", passwords: { current: "old", new: "new" } });
  await settle();
  const typed = keyCalls(browser)[1];
  assert.deepEqual([plain(typed.args), typed.typed], [["old", "new"], true]);
  browser.answer(typed.id, { result: 0 });
  assert.deepEqual(await done, { done: true });
  await settle();
  assert.deepEqual(tab.final(), [0]);
  // Without a gesture the page hears that it needs one.
  tab.call("InitPassword", ["pw"], false);
  await settle();
  browser.answer(keyCalls(browser)[2].id, { error: "presence-required", message: "typed only" });
  await settle();
  assert.deepEqual(tab.final(), [0, "needs-gesture"]);
});
