// The background's queues in node, against a host that holds calls until
// the test answers them: the per-tab bound, the tabs' turns, and
// withdrawals, which are hard to time in a real browser.
import assert from "node:assert/strict";
import { test } from "node:test";

import { makeBrowser, settle } from "./fakes.mjs";

const LISTED = { "https://a.example": "listed", "https://b.example": "listed" };
const calls = (browser) => browser.hostRequests.filter((r) => r.method !== "hello" && r.method !== "withdraw");

test("a tab has at most 16 calls waiting; more are busy at once", async () => {
  const browser = makeBrowser(LISTED, { hold: () => true });
  const a = browser.tab("https://a.example");
  for (let i = 0; i < 18; ++i)
    a.call("GetSN");
  await settle();
  assert.equal(calls(browser).length, 1, "one call at the key at a time");
  assert.deepEqual(a.final(), ["busy", "busy"], "all came at once: 16 waiting, two refused");
  a.call("GetSN");  // the place of the one that went to the key
  a.call("GetSN");
  await settle();
  assert.deepEqual(a.final(), ["busy", "busy", "busy"], "1 at the key, 16 waiting, one more refused");
  const other = browser.tab("https://a.example");  // another tab of the same site has its own 16
  other.call("GetSN");
  await settle();
  assert.deepEqual(other.final(), []);
});

// Requests that wait for something other than the key count too, or a tab
// could pile up handshakes, or calls behind a consent window, without bound.
for (const [what, send] of [["handshakes", (tab) => tab.hello()], ["calls", (tab) => tab.call("GetSN")]]) {
  test(`${what} waiting for the user's answer count against the tab's 16`, async () => {
    const browser = makeBrowser({ "https://ask.example": "ask" });
    const a = browser.tab("https://ask.example");
    a.hello();  // opens the window
    await settle();
    for (let i = 0; i < 16; ++i)
      send(a);
    await settle();
    assert.deepEqual(a.final(), ["busy"], "the handshake and 15 more wait; the 17th is refused");
    const [window] = browser.openWindows();
    await browser.fromPage(window.url, { kind: "consent-answer", allow: true });
    await settle();
    send(a);
    await settle();
    assert.equal(a.final().filter((r) => r === "busy").length, 1, "answered requests gave their places back");
  });
}

test("calls the host holds after wrong passwords count against their tab", async () => {
  const browser = makeBrowser(LISTED, { hold: () => true });
  const guesser = browser.tab("https://a.example");
  for (let i = 0; i < 16; ++i)
    guesser.call("HMAC_MD5", ["wrong", "m"]);
  for (let i = 0; i < 16; ++i) {
    await settle();
    browser.notice(calls(browser)[i].id, "waiting");
  }
  await settle();
  assert.equal(calls(browser).length, 16, "each went to the host and waits there");
  guesser.call("GetSN");
  await settle();
  assert.deepEqual(guesser.final(), ["busy"]);
  browser.notice(calls(browser)[0].id, "running");  // reached the key: no longer waiting
  guesser.call("GetSN");
  await settle();
  assert.deepEqual(guesser.final(), ["busy"]);
});

test("tabs take turns: a flood holds another tab's call back by one call at most", async () => {
  const browser = makeBrowser(LISTED, { hold: () => true });
  const flood = browser.tab("https://a.example"), single = browser.tab("https://b.example");
  for (let i = 0; i < 16; ++i)
    flood.call("HMAC_MD5", ["pw", `flood ${i}`]);
  await settle();
  single.call("GetSN");
  await settle();
  const first = calls(browser)[0];
  browser.answer(first.id, { result: "done" });
  await settle();
  assert.equal(calls(browser)[1].method, "GetSN", "the other tab's call is next");
  assert.equal(calls(browser)[1].origin, "https://b.example");
});

test("a withdrawn call that has not reached the key never does, and says timeout", async () => {
  const browser = makeBrowser(LISTED, { hold: () => true });
  const a = browser.tab("https://a.example");
  const running = a.call("UpdatePassword", ["pw", "one"]);
  const queued = a.call("UpdatePassword", ["pw", "two"]);
  await settle();
  a.withdraw(queued);
  await settle();
  assert.deepEqual(a.final(), ["timeout"]);
  // The first reaches the key: withdrawing it changes nothing, its answer comes.
  const [atKey] = calls(browser);
  browser.notice(atKey.id, "running");
  a.withdraw(running);
  await settle();
  assert.deepEqual(a.interim(), [{ id: running, pending: "started" }]);
  browser.answer(atKey.id, { result: 0 });
  await settle();
  assert.deepEqual(a.final(), ["timeout", 0]);
  assert.deepEqual(calls(browser).map((r) => r.args[1]), ["one"], "the withdrawn call was never sent");
});

test("a call the host holds frees the key for others, and can be withdrawn there", async () => {
  const browser = makeBrowser(LISTED, { hold: () => true });
  const guesser = browser.tab("https://a.example"), other = browser.tab("https://b.example");
  const held = guesser.call("HMAC_MD5", ["wrong", "m"]);
  other.call("GetSN");
  await settle();
  const [first] = calls(browser);
  assert.equal(calls(browser).length, 1);
  browser.notice(first.id, "waiting");
  await settle();
  assert.equal(calls(browser).length, 2, "the next call went while the first waits at the host");
  guesser.withdraw(held);
  await settle();
  assert.deepEqual(browser.hostRequests.filter((r) => r.method === "withdraw").map((r) => r.id), [first.id]);
});

test("a closed tab's waiting calls are withdrawn", async () => {
  const browser = makeBrowser(LISTED, { hold: () => true });
  const a = browser.tab("https://a.example"), b = browser.tab("https://b.example");
  a.call("GetSN");
  a.call("UpdatePassword", ["pw", "never"]);
  await settle();
  a.close();
  b.call("GetSN");
  await settle();
  browser.answer(calls(browser)[0].id, { result: "x" });
  await settle();
  assert.deepEqual(calls(browser).map((r) => r.origin), ["https://a.example", "https://b.example"]);
});
