// What a hostile page or frame can still do to the consent window and the
// queues, in node against the background with fakes: windows only from a
// user gesture, a frame's window naming its page, one window per tab,
// places counted per document, and consent taken back at once.
import assert from "node:assert/strict";
import { test } from "node:test";

import { makeBrowser, settle } from "./fakes.mjs";

const RESULT = { extension: "1.0.0", host: "1.0.0" };
const calls = (browser) => browser.hostRequests.filter((r) => r.method !== "hello" && r.method !== "withdraw");
const details = async (browser, window) => browser.fromPage(window.url, { kind: "consent-details" });

test("a window opens only from a user gesture in the asking document, and a frame's names its page", async () => {
  const browser = makeBrowser({ "https://ads.example": "ask", "https://bank.example": "listed" });
  const bank = browser.tab("https://bank.example");
  const ad = browser.tab("https://ads.example", bank.tabId, "https://bank.example");
  ad.hello(false);
  await settle();
  assert.deepEqual(ad.final(), ["needs-gesture"]);
  assert.equal(browser.windows.length, 0);
  ad.hello(true);
  await settle();
  const [window] = browser.openWindows();
  assert.deepEqual(await details(browser, window),
                   { origin: "https://ads.example", embedder: "https://bank.example", untilRestart: false });
  // Once a window asks, a document without a gesture may wait for its answer.
  const again = browser.tab("https://ads.example", bank.tabId, "https://bank.example");
  again.hello(false);
  await browser.fromPage(window.url, { kind: "consent-answer", allow: true });
  await settle();
  assert.deepEqual(again.final(), [RESULT]);
  // A top with no content script of ours: the window says it cannot name it.
  const orphanAsk = makeBrowser({ "https://ads.example": "ask" });
  const orphan = orphanAsk.tab("https://ads.example", 7, null);
  orphan.hello();
  await settle();
  assert.equal((await details(orphanAsk, orphanAsk.openWindows()[0])).embedder, null);
});

test("a tab waits for one window at most, and its requests go when the documents asking go", async () => {
  const access = Object.fromEntries(["a", "b", "c"].map((n) => [`https://${n}.ads.example`, "ask"]));
  const browser = makeBrowser({ ...access, "https://other.example": "ask" });
  const top = browser.tab("https://bank.example");
  const frames = ["a", "b", "c"].map((n) => browser.tab(`https://${n}.ads.example`, top.tabId, "https://bank.example"));
  for (const frame of frames) {
    frame.hello();
    await settle();
  }
  assert.deepEqual(frames.map((f) => f.final()), [[], ["busy"], ["busy"]], "cycling frames open no queue of windows");
  assert.equal(browser.windows.length, 1);
  // The frame navigates away: its window closes unanswered and nothing is remembered.
  frames[0].close();
  await settle();
  assert.equal(browser.windows[0].open, false);
  assert.equal(browser.areas.session.deniedOrigins, undefined);
  // A request queued behind another tab's window goes with its tab, unshown.
  const other = browser.tab("https://other.example"), queued = browser.tab("https://c.ads.example");
  other.hello();
  await settle();
  queued.hello();
  await settle();
  queued.close();
  const [window] = browser.openWindows();
  assert.equal((await details(browser, window)).origin, "https://other.example");
  await browser.fromPage(window.url, { kind: "consent-answer", allow: false });
  await settle();
  assert.equal(browser.windows.length, 2, "no window for the closed tab");
  assert.deepEqual(other.final(), ["permission-denied"]);
});

test("places are counted per document: a frame's flood leaves its page's calls alone, and gives them back", async () => {
  const browser = makeBrowser({ "https://ads.example": "ask", "https://bank.example": "listed" }, { hold: () => true });
  const bank = browser.tab("https://bank.example");
  const ad = browser.tab("https://ads.example", bank.tabId, "https://bank.example");
  for (let i = 0; i < 17; ++i)
    ad.hello();
  await settle();
  assert.deepEqual(ad.final(), ["busy"]);
  bank.call("GetSN");
  await settle();
  assert.equal(calls(browser).length, 1, "the page's call went to the key");
  ad.close();
  await settle();
  const adAgain = browser.tab("https://ads.example", bank.tabId, "https://bank.example");
  adAgain.hello();
  await settle();
  assert.deepEqual(adAgain.final(), [], "a new document of the frame has its own places");
});

test("Remove and Deny withdraw the origin's waiting calls at once", async () => {
  const browser = makeBrowser({ "https://site.example": "ask", "https://other.example": "listed" },
                              { hold: (r) => r.method !== "hello" });
  await browser.storage("local").set({ allowedOrigins: { "https://site.example": 1 } });
  const other = browser.tab("https://other.example");
  const site = browser.tab("https://site.example");
  other.call("GetSN");                                  // at the key
  site.call("HMAC_MD5", ["wrong", "m"]);               // the host will hold it
  await settle();
  browser.answer(calls(browser)[0].id, { result: "x" });
  await settle();
  const held = calls(browser)[1];
  assert.equal(held.consent, true);
  browser.notice(held.id, "waiting");
  site.call("UpdatePassword", ["pw", "new"]);           // queued behind nothing: goes to the host too
  other.call("GetSN");
  await settle();
  const sent = calls(browser).length;
  // The options page's Remove.
  await browser.storage("local").set({ allowedOrigins: {} });
  await settle();
  assert.deepEqual(browser.hostRequests.filter((r) => r.method === "withdraw").map((r) => r.id).includes(held.id), true);
  browser.answer(held.id, { error: "timeout" });
  await settle();
  assert.ok(site.final().every((r) => r === "permission-denied"), JSON.stringify(site.final()));
  assert.ok(calls(browser).slice(sent).every((r) => r.origin !== "https://site.example"),
            "no call of the removed site reaches the host after Remove");
});

test("one read of the grants serves a handshake and its calls, and a Remove during it is read anew", async () => {
  let open = null;
  let gate = Promise.resolve();
  const browser = makeBrowser({ "https://site.example": "ask" }, { readGate: () => gate });
  await browser.storage("local").set({ allowedOrigins: { "https://site.example": 1 } });
  gate = new Promise((resolve) => { open = resolve; });
  const site = browser.tab("https://site.example");
  site.hello();
  site.call("GetSN");
  site.call("GetSN");
  await settle();
  assert.equal(browser.reads.local, 1, "the handshake's read is shared by the calls meanwhile");
  await browser.storage("local").set({ allowedOrigins: {} });  // the options page's Remove, before the read arrives
  await settle();
  open();
  await settle();
  assert.equal(browser.reads.local, 2, "the Remove overtook the read: the grants are read again");
  assert.ok(calls(browser).every((r) => r.consent === false), JSON.stringify(calls(browser)));
  assert.deepEqual(site.final().slice(-2), ["refused-without-consent", "refused-without-consent"]);
});

test("a development address's Allow lasts until the browser restarts, and the window says so", async () => {
  const browser = makeBrowser({ "http://localhost:8080": "ask" });
  const dev = browser.tab("http://localhost:8080");
  dev.hello();
  await settle();
  const [window] = browser.openWindows();
  assert.equal((await details(browser, window)).untilRestart, true);
  await browser.fromPage(window.url, { kind: "consent-answer", allow: true });
  await settle();
  assert.deepEqual(dev.final(), [RESULT]);
  assert.deepEqual(Object.keys(browser.areas.session.allowedOrigins), ["http://localhost:8080"]);
  assert.equal(browser.areas.local.allowedOrigins, undefined);
  dev.call("GetSN");
  await settle();
  assert.deepEqual(dev.final(), [RESULT, "ran"]);
});
