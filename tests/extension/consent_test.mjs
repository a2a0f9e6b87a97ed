// The extension's consent logic in node, against fake browser APIs and a
// scripted host: what is hard to arrange in a real browser (two windows
// asked for at once, forged answers, a window that fails to open), fast.
// The browser tests drive the same files in Chromium and Firefox.
import assert from "node:assert/strict";
import fs from "node:fs";
import { test } from "node:test";
import vm from "node:vm";

import { EXTENSION, SOURCE, makeBrowser, plain, settle } from "./fakes.mjs";

const RESULT = { extension: "1.0.0", host: "1.0.0" };

test("one window at a time, one request per origin, and every caller gets the one answer", async () => {
  const browser = makeBrowser({ "https://a.example": "ask", "https://b.example": "ask" });
  const a1 = browser.tab("https://a.example"), a2 = browser.tab("https://a.example");
  const b = browser.tab("https://b.example");
  a1.hello(); a2.hello(); b.hello();
  await settle();
  a1.call();  // a call from the origin being asked waits for the answer
  await settle();
  assert.equal(browser.openWindows().length, 1);
  const [first] = browser.openWindows();
  assert.deepEqual(await browser.fromPage(first.url, { kind: "consent-details" }),
                   { origin: "https://a.example", embedder: "", untilRestart: false });
  assert.deepEqual(plain(a1.replies.filter((r) => r.pending)), [{ id: "1", pending: "consent" }]);
  assert.deepEqual(await browser.fromPage(first.url, { kind: "consent-answer", allow: true }), { done: true });
  await settle();
  assert.deepEqual(new Set(a1.final().map(JSON.stringify)), new Set([RESULT, "ran"].map(JSON.stringify)));
  assert.deepEqual(a2.final(), [RESULT]);
  assert.equal(first.open, false, "the answered window closes");
  // Now b's window, naming b.
  assert.equal(browser.openWindows().length, 1);
  const [second] = browser.openWindows();
  assert.deepEqual((await browser.fromPage(second.url, { kind: "consent-details" })).origin, "https://b.example");
  browser.closeWindow(second);  // closing is Deny
  await settle();
  assert.deepEqual(b.final(), ["permission-denied"]);
  assert.deepEqual(Object.keys(browser.areas.local.allowedOrigins), ["https://a.example"]);
  assert.deepEqual(Object.keys(browser.areas.session.deniedOrigins), ["https://b.example"]);
  // Remembered: no new window either way.
  const again = browser.tab("https://b.example"), allowed = browser.tab("https://a.example");
  again.hello(); allowed.hello(); allowed.call();
  await settle();
  assert.deepEqual(again.final(), ["permission-denied"]);
  assert.deepEqual(new Set(allowed.final().map(JSON.stringify)), new Set([RESULT, "ran"].map(JSON.stringify)));
  assert.equal(browser.windows.length, 2);
});

test("only the open window's own page may answer", async () => {
  const browser = makeBrowser({ "https://a.example": "ask" });
  const a = browser.tab("https://a.example");
  a.hello();
  await settle();
  const [window] = browser.openWindows();
  for (const url of ["https://a.example/", EXTENSION + "consent.html", EXTENSION + "consent.html#other-nonce",
                     EXTENSION + "options.html" + window.url.slice(window.url.indexOf("#"))])
    assert.equal(await browser.fromPage(url, { kind: "consent-answer", allow: true }), "ignored", url);
  // A content script's message carries the page's address: ignored too.
  await settle();
  assert.deepEqual(a.final(), []);
  await browser.fromPage(window.url, { kind: "consent-answer", allow: "yes" });
  await settle();
  assert.deepEqual(a.final(), [], "only a boolean answers");
  await browser.fromPage(window.url, { kind: "consent-answer", allow: false });
  await settle();
  assert.deepEqual(a.final(), ["permission-denied"]);
});

test("listed and refused origins never see a window; calls carry consent only for allowed origins", async () => {
  const browser = makeBrowser({ "https://listed.example": "listed", "https://ask.example": "ask" });
  const listed = browser.tab("https://listed.example"), refused = browser.tab("http://plain.example");
  const asking = browser.tab("https://ask.example");
  listed.hello(); listed.call(); refused.hello(); asking.call();
  await settle();
  assert.deepEqual(listed.final(), [RESULT, "refused-without-consent"], "the host decides for listed origins");
  assert.deepEqual(refused.final(), ["origin-refused"]);
  assert.deepEqual(asking.final(), ["refused-without-consent"], "a call without connect() opens no window");
  assert.equal(browser.windows.length, 0);
  assert.ok(browser.hostRequests.filter((r) => r.method === "GetSN").every((r) => r.consent === false));
  // A sender without an origin is never judged by its address.
  const unknown = browser.tab(undefined);
  unknown.hello();
  await settle();
  assert.deepEqual(unknown.final(), ["origin-refused"]);
});

test("the consent page shows punycode hosts in Unicode too", () => {
  const context = {};
  vm.runInNewContext(fs.readFileSync(new URL("originview.js", SOURCE), "utf8"), { globalThis: context, URL });
  const view = context.TallykeyOriginView;
  for (const [ascii, unicode] of [["xn--bcher-kva", "bücher"], ["xn--80ak6aa92e", "аррӏе"], ["xn--fiqs8s", "中国"],
                                  ["xn--mnchen-3ya", "münchen"], ["xn--4gbrim", "موقع"]])
    assert.equal(view.decodePunycode(ascii.slice(4)), unicode, ascii);
  for (const broken of ["99999999999", "-", "\u00e9", "zzzzzzzzzzzz"])
    assert.equal(view.decodePunycode(broken), null, broken);
  // Labels that are no valid name show only in their punycode form: one
  // that decodes to plain ASCII ("paypal") or to punctuation and controls
  // would otherwise put a name of the page's choosing in the window.
  for (const malformed of ["xn--paypal-", "xn--abc-", "xn--ba:a", "xn--a-;;;", "xn--@", "xn--a-z[", "xn--!!!!",
                           "xn--BCHER-KVA"])
    assert.equal(view.unicodeHost(`${malformed}.example`), null, malformed);
  assert.deepEqual({ ...view.describeOrigin("https://xn--80ak6aa92e.com:8443") },
                   { origin: "https://xn--80ak6aa92e.com:8443", unicodeHost: "аррӏе.com" });
  assert.deepEqual({ ...view.describeOrigin("https://bank.example") },
                   { origin: "https://bank.example", unicodeHost: null });
  assert.equal(view.describeOrigin("https://xn--zz.example").unicodeHost, null, "undecodable: the ASCII form only");
});

test("every message has an English and a Simplified Chinese text", () => {
  const english = JSON.parse(fs.readFileSync(new URL("_locales/en/messages.json", SOURCE)));
  const chinese = JSON.parse(fs.readFileSync(new URL("_locales/zh_CN/messages.json", SOURCE)));
  assert.deepEqual(Object.keys(chinese).sort(), Object.keys(english).sort());
  const used = new Set();
  for (const page of ["consent.html", "options.html", "options.js", "password.html", "password.js"])
    for (const match of fs.readFileSync(new URL(page, SOURCE), "utf8").matchAll(/(?:data-i18n="|message\("|text\(")(\w+)/g))
      used.add(match[1]);
  // The password window's texts for each of its actions.
  for (const action of ["signIn", "confirm", "change", "replace"])
    for (const prefix of ["passwordHeading_", "passwordWhat_", "passwordOk_"])
      used.add(prefix + action);
  for (const name of used)
    assert.ok(english[name] && chinese[name], name);
  assert.ok(Object.values(chinese).every((m) => /[\u4e00-\u9fff]/.test(m.message)));
});
