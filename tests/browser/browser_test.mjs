// The extension, the native host and the page library in real browsers:
// Debian's chromium and firefox-esr, headless, driven by puppeteer-core.
// The unpacked extension is loaded, the host is registered for the test
// user with its own "install --user", pages come from 127.0.0.1, and the
// keys are simulated ones (see browsers.mjs for the environment).
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { BROWSERS, DIGEST_KEY, Machine, SERIAL, allowSite, answerConsent, answerPasswordWindow, boundDigest,
         consentWindow, extensionPage, fromClick, hmac, passwordWindow, startServer, versionText, waitForFrame,
         writePolicy } from "./browsers.mjs";

// Stands for Tallykey.ASK in calls handed to a page, where it becomes the real one.
const ASK = "<Tallykey.ASK>";

for (const [name, launch] of Object.entries(BROWSERS)) {
  // A browser with the extension, a host registered for its user, and a
  // page of an allowed site (as the site's user would allow it, once).
  const allowedPage = async (...keyOptions) => {
    const server = await startServer();
    const origin = `http://127.0.0.1:${server.address().port}`;
    const machine = new Machine();
    machine.registerHost();
    if (keyOptions.length > 0)
      machine.addKey("key", ...keyOptions);
    const browser = await launch(machine, true);
    const page = await browser.newPage();
    await page.goto(origin + "/");
    await allowSite(browser, page);
    const close = async () => {
      await browser.close();
      server.close();
      machine.cleanUp();
    };
    return { origin, machine, browser, page, close };
  };

  describe(name, () => {
    let machine, browser, page, origin, close;
    before(async () => ({ origin, machine, browser, page, close } = await allowedPage()));
    after(async () => close?.());

    // Runs calls in the page through the library; each result, or the error's code.
    // From a click in the page: a change asks the user in a window.
    const run = (calls) => fromClick(page, async (calls, ask) => {
      const key = await Tallykey.connect({ timeoutMs: 10000 });
      const results = [];
      for (const [method, ...args] of calls) {
        try {
          results.push(await key[method](...args.map((arg) => arg === ask ? Tallykey.ASK : arg)));
        } catch (error) {
          results.push("error " + error.code);
        }
      }
      return results;
    }, calls, ASK);

    test("connect reports the versions", async () => {
      const versions = await page.evaluate(async () => (await Tallykey.connect({ timeoutMs: 10000 })).versions);
      const version = versionText();
      assert.deepEqual(versions, { library: version, extension: version, host: version });
    });

    test("every method against no key, one key and two keys", async () => {
      machine.removeKeys();
      assert.deepEqual(await run([["FindKeys"], ["GetSN"], ["HMAC_MD5", "pw", "m"]]), [0, -2, -2]);
      machine.addKey("a");
      assert.deepEqual(await run([["FindKeys"], ["GetSN"]]), [1, SERIAL]);
      machine.addKey("b");
      assert.deepEqual(await run([["FindKeys"], ["GetSN"], ["HMAC_MD5", "pw", "m"]]), [2, -3, -3]);
      machine.removeKeys();
    });

    test("passwords, digests and the argument rules; a change from an allowed site always asks the user", async () => {
      machine.removeKeys();
      machine.addKey("key");
      // Each change opens the password window, whatever the page passed, and
      // what the user types there counts. Each asks from a fresh gesture.
      const steps = [
        [["InitPassword", "page's"], { new: "密码" }], [["InitPassword", "again"], { new: "again" }],
        [["HMAC_MD5", "wrong", "challenge"]], [["HMAC_MD5", "密码", "challenge"]],
        [["HMAC_MD5_HexString", "密码", "0a0b"]], [["UpdatePassword", "密码", "page's"], { current: "密码", new: "new" }],
        [["HMAC_MD5", "new", "x".repeat(62)]], [["HMAC_MD5", "new", 5]], [["ResetDigist", "new", "00"], { current: "new" }],
        [["SetLog", "../x"]], [["SetLog", "trace.log"]], [["SetLog", ""]],
      ];
      const results = [], shown = [];
      for (const [call, passwords] of steps) {
        const result = run([call]);
        if (passwords)
          shown.push(await answerPasswordWindow(browser, passwords));
        results.push(...await result);
      }
      assert.deepEqual(shown.map((s) => [s.origin, s.fields]),
                       [[origin, ["new", "repeat"]], [origin, ["new", "repeat"]],
                        [origin, ["current", "new", "repeat"]], [origin, ["current"]]]);
      assert.deepEqual(results, [0, -5, -5, hmac("challenge"), hmac(Buffer.from([10, 11])), 0, -11, -11, -11, -11, 0,
                                 0]);
      machine.removeKeys();
    });

    test("a password set through the plug-in works here, and the other way round", async () => {
      machine.removeKeys();
      machine.addKey("key");
      assert.deepEqual(machine.pluginCalls([["InitPassword", "密码 plug-in"]]), [0]);
      const results = run([["HMAC_MD5", "密码 plug-in", "m"], ["UpdatePassword", ASK, ASK]]);
      await answerPasswordWindow(browser, { current: "密码 plug-in", new: "ключ" });
      assert.deepEqual(await results, [hmac("m"), 0]);
      assert.deepEqual(machine.pluginCalls([["HMAC_MD5", "密码 plug-in", "m"], ["HMAC_MD5", "ключ", "m"]]),
                       [-5, hmac("m")]);
      machine.removeKeys();
    });

    test("signIn and confirm are bound to the page's origin: a relaying page's digest is not the site's", async () => {
      // The test's own layout agrees with the shared vectors.
      const vectors = JSON.parse(fs.readFileSync(new URL("../vectors/sign-in.json", import.meta.url))).vectors;
      for (const v of vectors.filter((v) => v.digestKey === DIGEST_KEY))
        assert.equal(boundDigest(v.purpose, v.origin, v.challenge ?? v.text), v.digest);
      machine.removeKeys();
      machine.addKey("key", "--password", "pw");
      // The look-alike: another origin the user allowed, relaying the site's challenge.
      const relayOrigin = `http://localhost:${new URL(origin).port}`;
      const relay = await browser.newPage();
      await relay.goto(relayOrigin + "/?relay");
      await allowSite(browser, relay);
      const challenge = "00112233445566778899aabbccddeeff0011223344556677";
      const sign = (target) => target.evaluate(async (challenge) => {
        const key = await Tallykey.connect({ timeoutMs: 10000 });
        return [await key.signIn("pw", challenge), await key.confirm("pw", "Pay 100 EUR to ACME"),
                await key.HMAC_MD5_HexString("pw", "f8544b53" + challenge), await key.signIn("pw", "00")];
      }, challenge);
      const [site, relayed] = [await sign(page), await sign(relay)];
      assert.deepEqual(site, [boundDigest("sign-in", origin, challenge),
                              boundDigest("confirm", origin, "Pay 100 EUR to ACME"), -11, -11]);
      assert.deepEqual(relayed, [boundDigest("sign-in", relayOrigin, challenge),
                                 boundDigest("confirm", relayOrigin, "Pay 100 EUR to ACME"), -11, -11]);
      assert.notEqual(relayed[0], site[0]);
      // A frame of the relaying origin inside the site's page signs for its own origin.
      const framing = await browser.newPage();
      await framing.goto(`${origin}/framed?src=${encodeURIComponent(relayOrigin + "/?framed")}`);
      const frame = await waitForFrame(framing, relayOrigin);
      assert.equal((await sign(frame))[0], boundDigest("sign-in", relayOrigin, challenge));
      for (const opened of [framing, relay])
        await opened.close();
      machine.removeKeys();
    });

    test("two tabs calling at the same time get their own answers", async () => {
      machine.removeKeys();
      machine.addKey("key", "--password", "pw");
      const other = await browser.newPage();
      await other.goto(origin + "/?other");
      const call = (target, message) => target.evaluate(async (message) => {
        const key = await Tallykey.connect({ timeoutMs: 10000 });
        return Promise.all([key.HMAC_MD5("pw", message), key.GetSN(), key.HMAC_MD5("pw", message + "!")]);
      }, message);
      const [first, second] = await Promise.all([call(page, "first"), call(other, "second")]);
      assert.deepEqual(first, [hmac("first"), SERIAL, hmac("first!")]);
      assert.deepEqual(second, [hmac("second"), SERIAL, hmac("second!")]);
      await other.close();
      machine.removeKeys();
    });
  });

  // The password typed into the extension's own window, never into the page.
  describe(`${name} password window`, () => {
    const SECRET = "s3cret-typed-密";
    const CHALLENGE = "00112233445566778899aabbccddeeff";
    let machine, browser, page, origin, close;
    before(async () => ({ origin, machine, browser, page, close } = await allowedPage("--password", SECRET)));
    after(async () => close?.());

    test("signIn with the password typed there, wrong then right: the page sees no trace of it, nor the host's files",
         async () => {
      // Whatever the page can watch: messages to its window, its document's changes, key and input events.
      await page.evaluate(() => {
        window.seen = [];
        addEventListener("message", (event) => window.seen.push(JSON.stringify(event.data)), true);
        for (const type of ["keydown", "keyup", "input", "paste"])
          addEventListener(type, (event) => window.seen.push(`${type} ${event.key}`), true);
        new MutationObserver((records) => records.forEach((r) => window.seen.push(r.target.textContent)))
          .observe(document, { subtree: true, childList: true, attributes: true, characterData: true });
      });
      const outcome = fromClick(page, async (challenge) => {
        const key = await Tallykey.connect({ timeoutMs: 10000 });
        await key.SetLog("trace.log");
        return key.signIn(Tallykey.ASK, challenge).catch((error) => error.code);
      }, CHALLENGE);
      const first = await answerPasswordWindow(browser, { current: "not-the-password" }, { staysOpen: true });
      assert.deepEqual([first.origin, first.heading, first.fields], [origin, "Sign in with your Tallykey key", ["current"]]);
      await first.window.waitForFunction(() => /try again in \d+ s/.test(document.getElementById("problem").textContent));
      assert.equal(await first.window.evaluate(() => document.getElementById("current").value), "",
                   "the field empties as the password goes");
      await first.window.waitForFunction(() => document.getElementById("problem").textContent.endsWith("Try again."),
                                         { timeout: 5000 });
      await answerPasswordWindow(browser, { current: SECRET });
      assert.equal(await outcome, boundDigest("sign-in", origin, CHALLENGE));
      const seen = await page.evaluate(() => window.seen.join("\n"));
      assert.match(seen, /"result":"[0-9a-f]{32}"/, "the recorder saw the call's own answer");
      const hostFiles = fs.readdirSync(path.join(machine.folder, "state"), { recursive: true, withFileTypes: true })
        .filter((entry) => entry.isFile()).map((entry) => path.join(entry.parentPath ?? entry.path, entry.name));
      assert.ok(hostFiles.some((file) => file.endsWith("trace.log")), hostFiles.join(" "));
      for (const secret of [SECRET, "not-the-password"]) {
        assert.ok(!seen.includes(secret), `the page saw ${secret}`);
        for (const file of hostFiles)
          assert.ok(!fs.readFileSync(file, "utf8").includes(secret), `${file} holds ${secret}`);
      }
      await page.evaluate(async () => (await Tallykey.connect({ timeoutMs: 10000 })).SetLog(""));
    });

    test("confirm shows the whole text, marks what would act unseen; Cancel and closing the window: cancelled, unsent",
         async () => {
      const text = "Pay 100 EUR to ACME \u202eRCA\u202c Ltd\u0007\n" + "transfer reference ".repeat(40) + "שלום עולם end";
      const writes = machine.keyWrites("key");
      const confirming = fromClick(page, async (text) => (await Tallykey.connect({ timeoutMs: 10000 }))
        .confirm(Tallykey.ASK, text).catch((error) => error.code), text);
      const shown = await answerPasswordWindow(browser, null);
      assert.equal(shown.heading, "Confirm with your Tallykey key");
      assert.deepEqual(shown.transaction.marks, ["U+202E", "U+202C", "U+0007", "U+000A"]);
      for (const part of ["Pay 100 EUR to ACME ", "transfer reference ".repeat(40) + "שלום עולם end"])
        assert.ok(shown.transaction.text.includes(part), part);
      assert.equal(shown.transaction.cut, false, "wrapped, not cut");
      assert.equal(await confirming, "cancelled");
      const changing = fromClick(page, async () => (await Tallykey.connect({ timeoutMs: 10000 }))
        .UpdatePassword(Tallykey.ASK, Tallykey.ASK).catch((error) => error.code));
      await (await passwordWindow(browser)).close();
      assert.equal(await changing, "cancelled");
      assert.equal(machine.keyWrites("key"), writes, "the key saw neither call");
    });
  });

  // What a careless or hostile page sends: nothing hangs, nothing crosses.
  describe(`${name} containment`, () => {
    let browser, page, origin, close;
    before(async () => ({ origin, browser, page, close } = await allowedPage("--password", "pw")));
    after(async () => close?.());

    test("values that are no strings answer -11 at once, as the plug-in does", async () => {
      const started = Date.now();
      const results = await page.evaluate(async () => {
        const key = await Tallykey.connect({ timeoutMs: 10000, callTimeoutMs: 5000 });
        const calls = [key.HMAC_MD5_HexString("pw", {}), key.signIn("pw", ["00".repeat(16)]),
                       key.confirm("pw", undefined), key.HMAC_MD5("pw", new Date(0)),
                       key.HMAC_MD5("pw", () => "x"), key.HMAC_MD5("pw", Symbol("s")), key.HMAC_MD5("pw")];
        return Promise.all(calls.map((call) => call.catch((error) => `${error.name} ${error.code}`)));
      });
      assert.deepEqual(results, [-11, -11, -11, -11, -11, -11, -11]);
      assert.ok(Date.now() - started < 4000, "no call waited for its timeout");
    });

    test("documents with an opaque origin get a named refusal", async () => {
      const outcomes = await page.evaluate(async () => {
        const library = await (await fetch("/tallykey.js")).text();
        const probe = `<script>${library}<\/script><script>Tallykey.connect({timeoutMs: 5000}).then(
          () => parent.postMessage("connected", "*"),
          (e) => parent.postMessage(e.name + " " + e.code, "*"));<\/script>`;
        const run = (setup) => new Promise((resolve) => {
          const frame = document.createElement("iframe");
          setup(frame);
          addEventListener("message", function heard(event) {
            if (event.source === frame.contentWindow) {
              removeEventListener("message", heard);
              frame.remove();
              resolve(event.data);
            }
          });
          document.body.append(frame);
        });
        return [await run((frame) => { frame.sandbox = "allow-scripts"; frame.srcdoc = probe; }),
                await run((frame) => { frame.src = "data:text/html," + encodeURIComponent(probe); })];
      });
      assert.deepEqual(outcomes, ["TallykeyError origin-refused", "TallykeyError origin-refused"]);
    });

    test("ten thousand calls at once are all answered: done, or busy beyond the tab's 16", async () => {
      const outcomes = await page.evaluate(async () => {
        const key = await Tallykey.connect({ timeoutMs: 10000 });
        const flood = [];
        for (let i = 0; i < 10000; ++i)
          flood.push(key.SetLog(i % 2 ? "" : "../bad").then((result) => result === (i % 2 ? 0 : -11) ? "right" : "wrong",
                                                             (error) => error.code));
        const counts = {};
        for (const outcome of await Promise.all(flood))
          counts[outcome] = (counts[outcome] || 0) + 1;
        return counts;
      });
      assert.deepEqual(Object.keys(outcomes).sort(), ["busy", "right"]);
      assert.ok(outcomes.right >= 16, JSON.stringify(outcomes));
    });

    test("two copies of the library in one page, 100 calls each, never take each other's answers", async () => {
      const wrong = await page.evaluate(async () => {
        const first = await Tallykey.connect({ timeoutMs: 10000 });
        const script = document.createElement("script");
        script.src = "/tallykey.js?second-copy";
        await new Promise((resolve) => { script.onload = resolve; document.head.append(script); });
        const second = await Tallykey.connect({ timeoutMs: 10000 });
        // Eight calls of each copy in flight at a time: within the tab's 16.
        const run = async (copy, call, check) => {
          let bad = 0;
          for (let batch = 0; batch < 100; batch += 8) {
            const results = await Promise.all(Array.from({ length: 8 }, (_, i) => call(copy, batch + i)));
            bad += results.filter((result, i) => !check(result, batch + i)).length;
          }
          return bad;
        };
        const counts = await Promise.all([
          run(first, (key) => key.GetSN(), (result) => result === "0a1b2c3d4e5f6071"),
          run(second, (key, i) => key.SetLog(i % 2 ? "" : "../x"), (result, i) => result === (i % 2 ? 0 : -11)),
        ]);
        return counts[0] + counts[1];
      });
      assert.equal(wrong, 0);
    });

    test("a tab flooding the key holds another tab's call back by one call at most", async () => {
      const other = await browser.newPage();
      await other.goto(origin + "/?other");
      await other.evaluate(() => Tallykey.connect().then((key) => { window.key = key; }));
      const flood = page.evaluate(async () => {
        const key = await Tallykey.connect();
        window.floodDone = [];
        const calls = Array.from({ length: 16 }, (_, i) =>
          key.HMAC_MD5("pw", `flood ${i}`).then(() => window.floodDone.push(Date.now())));
        await Promise.all(calls);
        return window.floodDone;
      });
      // Once the flood is under way, the other tab calls. (A tab in the
      // background runs no animation frames: poll by time.)
      await page.waitForFunction(() => window.floodDone && window.floodDone.length >= 1, { polling: 20 });
      const [issued, answered] = await other.evaluate(async () => {
        const issued = Date.now();
        await window.key.GetSN();
        return [issued, Date.now()];
      });
      const floodDone = await flood;
      const between = floodDone.filter((time) => time > issued && time < answered).length;
      assert.ok(between <= 1, `the other tab waited for ${between} flood calls`);
      assert.equal(floodDone.length, 16);
      await other.close();
    });

    test("a call whose time runs out while waiting is withdrawn: timeout, and the key never sees it", async () => {
      const outcome = await page.evaluate(async () => {
        const patient = await Tallykey.connect();
        const hasty = await Tallykey.connect({ callTimeoutMs: 400 });
        const ahead = Array.from({ length: 8 }, (_, i) => patient.HMAC_MD5("pw", `ahead ${i}`));
        const change = hasty.UpdatePassword("pw", "changed").then((r) => r, (e) => e.code);
        await Promise.all(ahead);
        const changed = await change;
        await new Promise((resolve) => setTimeout(resolve, 1500));
        const after = await (await Tallykey.connect()).HMAC_MD5("pw", "after");
        return { changed, after };
      });
      assert.deepEqual(outcome, { changed: "timeout", after: hmac("after") });
    });

    test("a 2 MiB argument in one tab is -11 at once while another tab's call succeeds", async () => {
      const other = await browser.newPage();
      await other.goto(origin + "/?other");
      const [big, small] = await Promise.all([
        page.evaluate(async () => (await Tallykey.connect()).HMAC_MD5("pw", "x".repeat(2 * 1024 * 1024))),
        other.evaluate(async () => (await Tallykey.connect()).HMAC_MD5("pw", "small")),
      ]);
      assert.equal(big, -11);
      assert.equal(small, hmac("small"));
      await other.close();
    });
  });

  // The extension's background stops mid-call: Chromium stops its service
  // worker, Firefox's background page is reloaded (from an extension page:
  // a consent window another site opened, the only one automation reaches).
  test(`${name}: calls in flight when the background stops get extension-failed, and the next call works`,
       async () => {
    const server = await startServer(), other = await startServer();
    const machine = new Machine();
    machine.registerHost();
    machine.addKey("key", "--password", "pw");
    const browser = await launch(machine, true);
    try {
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${server.address().port}/`);
      await allowSite(browser, page);
      let window = null, asking = null;
      if (name === "firefox") {
        const askingPage = await browser.newPage();
        await askingPage.goto(`http://127.0.0.1:${other.address().port}/`);
        asking = askingPage.evaluate(() => Tallykey.connect({ timeoutMs: 10000 }).then(() => "connected",
                                                                                       (error) => error.code));
        window = await consentWindow(browser);
      }
      const inFlight = page.evaluate(async () => {
        const key = await Tallykey.connect();
        await key.HMAC_MD5("wrong", "x");  // the host holds the site's next password calls for a second
        const calls = [key.HMAC_MD5("pw", "x"), key.HMAC_MD5("pw", "y"), key.signIn("pw", "00".repeat(16))];
        return Promise.all(calls.map((call) => call.then((result) => result, (error) => error.code)));
      });
      await new Promise((resolve) => setTimeout(resolve, 600));
      if (name === "chromium") {
        const worker = browser.targets().find((target) => target.type() === "service_worker" &&
                                                          target.url().startsWith("chrome-extension://"));
        await (await worker.worker()).close();
      } else {
        await window.evaluate(async () => (await browser.runtime.getBackgroundPage()).location.reload());
      }
      assert.deepEqual(await inFlight, ["extension-failed", "extension-failed", "extension-failed"]);
      if (asking)
        assert.equal(await asking, "extension-failed", "a site waiting for its window hears it too");
      // The host that ran the first call lets go of the key once it is done.
      await new Promise((resolve) => setTimeout(resolve, 1000));
      assert.equal(await page.evaluate(async () => (await Tallykey.connect()).GetSN()), SERIAL);
    } finally {
      await browser.close();
      server.close();
      other.close();
      machine.cleanUp();
    }
  });

  // The user's say-so: a fresh profile, two origins of this machine
  // (127.0.0.1 and localhost, on one server), the window driven by clicks.
  describe(`${name} consent`, () => {
    let server, other, third, machine, browser, port;
    const connectIn = (target) => target.evaluate(() => Tallykey.connect({ timeoutMs: 10000 }).then(
      (key) => key.FindKeys(), (error) => error.code));

    before(async () => {
      server = await startServer();
      other = await startServer();  // another port: another origin
      third = await startServer();
      port = server.address().port;
      machine = new Machine();
      machine.registerHost();
      machine.addKey("key", "--password", "pw");
      browser = await launch(machine, true);
    });
    after(async () => {
      await browser?.close();
      server?.close();
      other?.close();
      third?.close();
      machine?.cleanUp();
    });

    test("a window opens only from a user gesture in the asking document; Tab and Enter do not allow", async () => {
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${third.address().port}/`);
      // Past the activation the automation's own evaluation lends (5 s in both browsers).
      const outcome = await page.evaluate(() => new Promise((resolve) => setTimeout(() => {
        const active = navigator.userActivation.isActive;
        Tallykey.connect({ timeoutMs: 10000 }).then(() => "connected", (e) => e.code).then((code) => resolve([active, code]));
      }, 6000)));
      assert.deepEqual(outcome, [false, "needs-gesture"]);
      await assert.rejects(consentWindow(browser, 500), /no consent window/);
      // A click in the page asks.
      await page.evaluate(() => {
        const button = document.createElement("button");
        button.id = "sign-in";
        button.textContent = "Sign in";
        button.onclick = () => {
          window.asked = Tallykey.connect({ timeoutMs: 10000 }).then(() => "connected", (e) => e.code);
        };
        document.body.append(button);
      });
      await page.click("#sign-in");
      const window = await consentWindow(browser);
      await window.waitForSelector("#allow:not([disabled])");
      // The buttons have woken: keys a page could have the user type do not land on Allow.
      await window.keyboard.press("Tab");
      await window.keyboard.press("Enter");
      await new Promise((resolve) => setTimeout(resolve, 1000));
      assert.equal(await page.evaluate(() => Promise.race([window.asked, "waiting"])), "waiting");
      for (const opened of await browser.pages()) {
        if (/options\.html/.test(await opened.evaluate(() => document.URL).catch(() => "")))
          await opened.close();
      }
      await answerConsent(browser, false);
      assert.equal(await page.evaluate(() => window.asked), "permission-denied");
      await page.close();
    });

    test("Deny: permission-denied without a key command, and no window again", async () => {
      const page = await browser.newPage();
      await page.goto(`http://localhost:${port}/`);
      const writes = machine.keyWrites("key");
      const outcome = connectIn(page);
      const shown = await answerConsent(browser, false);
      assert.equal(shown.origin, `http://localhost:${port}`);
      assert.match(shown.text, /serial number/);
      assert.match(shown.text, /password/);
      assert.match(shown.text, /digests/);
      assert.equal(await outcome, "permission-denied");
      // A call without connect() is refused by the host too.
      assert.deepEqual(await page.evaluate(() => new Promise((resolve) => {
        addEventListener("message", (event) => event.data?.direction === "to-page" && resolve(event.data.error));
        postMessage({ channel: "tallykey", direction: "to-extension", id: "direct", type: "call", method: "GetSN",
                      args: [] }, location.origin);
      })), "permission-denied");
      const started = Date.now();
      assert.equal(await connectIn(page), "permission-denied");
      assert.ok(Date.now() - started < 2000, "at once");
      await assert.rejects(consentWindow(browser, 500), /no consent window/);
      assert.equal(machine.keyWrites("key"), writes, "the key saw nothing");
      await page.close();
    });

    test("Allow: calls go through, across a reload and a new tab", async () => {
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${port}/`);
      const outcome = connectIn(page);
      assert.equal((await answerConsent(browser, true)).origin, `http://127.0.0.1:${port}`);
      assert.equal(await outcome, 1);
      await page.reload();
      assert.equal(await connectIn(page), 1);
      const other = await browser.newPage();
      await other.goto(`http://127.0.0.1:${port}/?other`);
      assert.deepEqual(await other.evaluate(async () => {
        const key = await Tallykey.connect({ timeoutMs: 10000 });
        return [await key.GetSN(), await key.HMAC_MD5("pw", "allowed")];
      }), [SERIAL, hmac("allowed")]);
      await assert.rejects(consentWindow(browser, 500), /no consent window/);
      await other.close();
      await page.close();
    });

    test("a frame of another origin in an allowed page asks for itself, by its own name", async () => {
      // 127.0.0.1 is allowed (above); the frame comes from another port.
      const framedOrigin = `http://localhost:${other.address().port}`;
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${port}/framed?src=${encodeURIComponent(framedOrigin + "/")}`);
      const frame = await waitForFrame(page, framedOrigin);
      const outcome = connectIn(frame);
      const shown = await answerConsent(browser, false);
      assert.equal(shown.origin, framedOrigin);
      assert.equal(shown.frameOf, `http://127.0.0.1:${port}`, "the window says which page the frame is in");
      assert.equal(await outcome, "permission-denied", "the allowed page lends the frame nothing");
      assert.equal(await connectIn(page), 1);
      await page.close();
    });

    test("Remove in the options page, reached from a consent window, brings the window back", async () => {
      const allowed = await browser.newPage();  // before the window: Firefox would open it inside the window
      await allowed.goto(`http://127.0.0.1:${port}/?held`);
      // Another site asks; the user follows the window's link to the allowed sites.
      const asking = await browser.newPage();
      await asking.goto(`http://127.0.0.1:${other.address().port}/?asking`);
      const askingOutcome = connectIn(asking);
      const window = await consentWindow(browser);
      await window.waitForSelector("#manage:not(:empty)");
      await window.click("#manage");
      const options = await extensionPage(browser, "options.html");
      const removeButton = `button[data-origin="http://127.0.0.1:${port}"]`;
      await options.waitForSelector(removeButton);
      // The allowed site has a call the host holds after wrong passwords (4 s).
      await allowed.evaluate(async () => {
        const key = await Tallykey.connect({ timeoutMs: 10000 });
        for (let i = 0; i < 3; ++i)
          await key.HMAC_MD5("wrong", "m");
        window.held = key.HMAC_MD5("pw", "m").then((r) => r, (e) => e.code);
      });
      const writes = machine.keyWrites("key");
      const removed = Date.now();
      await options.click(removeButton);
      await options.waitForSelector(removeButton, { hidden: true });
      assert.equal(await allowed.evaluate(() => window.held), "permission-denied");
      assert.ok(Date.now() - removed < 2500, "withdrawn at once, not when the host's wait ended");
      assert.equal(machine.keyWrites("key"), writes, "the key never saw the held call");
      await allowed.close();
      await answerConsent(browser, false);
      assert.equal(await askingOutcome, "permission-denied");
      const page = await browser.newPage();
      await page.goto(`http://127.0.0.1:${port}/`);
      const outcome = connectIn(page);
      assert.equal((await answerConsent(browser, true)).origin, `http://127.0.0.1:${port}`);
      assert.equal(await outcome, 1);
      for (const opened of [page, options, asking])
        await opened.close();
    });
  });

  // A browser of its own for each way of failing: the page gets the named
  // error within the bounded time.
  const failures = {
    "without the extension: extension-missing": { extension: false, expected: "extension-missing" },
    "without a registered host: host-missing": { register: false, expected: "host-missing" },
    "with a host that exits mid-call: host-exited": { hostExits: true, expected: "host-exited" },
    "with a host of another major version: version-mismatch": { hostVersion: "9.0.0", expected: "version-mismatch" },
    "with a timeout of 0: bad-request": { options: { timeoutMs: 0 }, expected: "bad-request" },
    "with no HID library for the host: -1": { noHid: true, allow: true, expected: -1 },
    "from an origin outside the administrator's list, prompts off: origin-refused, no window":
      { policy: { promptForOthers: false }, expected: "origin-refused" },
    "from a listed origin: no window, nor for a change with the page's password":
      { policy: { listed: true }, calls: [["FindKeys"], ["InitPassword", "pw"]], expected: [1, 0] },
    "with password entry required: the page's password is refused, the one typed in the window is used":
      { policy: { listed: true, requirePasswordEntry: true }, calls: [["InitPassword", "pw"], ["InitPassword", ASK]],
        typed: { new: "typed" }, expected: ["password-entry-required", 0] },
    "from a plain http origin, even listed: origin-refused":
      { policy: { listed: true }, plainHttp: true, expected: "origin-refused" },
  };
  const settings = Object.entries(failures);
  for (const [title, { extension = true, register = true, hostExits = false, noHid = false, policy = null,
                       allow = false, plainHttp = false, hostVersion = null, options = {}, calls = [["FindKeys"]],
                       typed = null, expected }] of settings) {
    test(`${name} ${title}`, async (t) => {
      // The list lives where administrators put it; only root may write there.
      if (policy && process.getuid() !== 0)
        return t.skip("NOT RUN: writing /etc/tallykey needs root (CI runs as root)");
      const server = await startServer();
      const machine = new Machine();
      machine.addKey("key");
      if (noHid)
        machine.withoutProviders = true;
      // A plain http origin that is not this machine: a name the browser maps to it.
      const pageOrigin = plainHttp ? `http://bank.tallykey.test:${server.address().port}`
                                   : `http://127.0.0.1:${server.address().port}`;
      const restorePolicy = policy && writePolicy({
        origins: policy.listed ? [pageOrigin] : [`http://localhost:${server.address().port}`],
        promptForOthers: policy.promptForOthers ?? true,
        requirePasswordEntry: policy.requirePasswordEntry ?? false,
      });
      if (register)
        machine.registerHost();
      if (hostExits || hostVersion) {
        // Answers the handshake as the host would, then ends at the first call.
        const script = path.join(machine.folder, "exiting-host.py");
        fs.writeFileSync(script, [
          "#!/usr/bin/python3",
          "import json, struct, sys",
          "data = sys.stdin.buffer",
          "(n,) = struct.unpack('<I', data.read(4)); request = json.loads(data.read(n))",
          `answer = json.dumps({'id': request['id'], 'result': {'host': '${hostVersion || versionText()}', 'access': 'listed'}}).encode()`,
          "sys.stdout.buffer.write(struct.pack('<I', len(answer)) + answer); sys.stdout.flush()",
          "data.read(4)",
        ].join("\n") + "\n", { mode: 0o755 });
        for (const manifest of machine.manifests()) {
          const text = JSON.parse(fs.readFileSync(manifest, "utf8"));
          fs.writeFileSync(manifest, JSON.stringify({ ...text, path: script }));
        }
      }
      const browser = await launch(machine, extension, { mapHost: "bank.tallykey.test" });
      try {
        const page = await browser.newPage();
        await page.goto(pageOrigin + "/");
        if (allow)
          await allowSite(browser, page);
        const started = Date.now();
        const outcome = fromClick(page, async (options, calls, ask) => {
          try {
            const key = await Tallykey.connect({ timeoutMs: 3000, callTimeoutMs: 10000, ...options });
            const results = [];
            for (const [method, ...args] of calls) {
              results.push(await key[method](...args.map((arg) => arg === ask ? Tallykey.ASK : arg))
                .catch((error) => error.code));
            }
            return results.length === 1 ? results[0] : results;
          } catch (error) {
            return error.code;
          }
        }, options, calls, ASK);
        if (typed)
          await answerPasswordWindow(browser, typed);
        assert.deepEqual(await outcome, expected);
        assert.ok(Date.now() - started < 12000, "within the bounded time");
        if (policy)
          await assert.rejects(consentWindow(browser, 500), /no consent window/);
      } finally {
        await browser.close();
        server.close();
        machine.cleanUp();
        restorePolicy?.();
      }
    });
  }
}

// Debian's Firefox takes its Simplified Chinese language pack (Debian's
// Chromium would need chromium-l10n for any language but English).
test("firefox in Simplified Chinese asks in Simplified Chinese", async () => {
  const server = await startServer();
  const machine = new Machine();
  machine.registerHost();
  const browser = await BROWSERS.firefox(machine, true, { locale: "zh-CN" });
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    const outcome = fromClick(page, async () => {
      const key = await Tallykey.connect({ timeoutMs: 10000 });
      return key.signIn(Tallykey.ASK, "00112233445566778899aabbccddeeff").catch((e) => e.code);
    });
    const shown = await answerConsent(browser, true);
    assert.equal(shown.lang, "zh-CN");
    for (const text of ["序列号", "密码", "摘要", "允许", "拒绝"])
      assert.ok(shown.text.includes(text), text);
    const entry = await answerPasswordWindow(browser, null);
    assert.equal(entry.lang, "zh-CN");
    for (const text of ["使用 Tallykey 密钥登录", "密钥密码", "登录", "取消"])
      assert.ok(entry.text.includes(text), text);
    assert.equal(await outcome, "cancelled");
  } finally {
    await browser.close();
    server.close();
    machine.cleanUp();
  }
});

test("connectHid: Firefox has no WebHID; in Chromium a site without a key needs a click, which opens the chooser",
     async () => {
  const server = await startServer();
  const machine = new Machine();
  const origin = `http://127.0.0.1:${server.address().port}`;
  const connectHid = "Tallykey.connectHid().then(() => 'connected', (error) => error.code)";
  try {
    const firefox = await BROWSERS.firefox(machine, false);
    try {
      const page = await firefox.newPage();
      await page.goto(origin + "/");
      assert.equal(await page.evaluate(connectHid), "hid-unavailable");
    } finally {
      await firefox.close();
    }
    const chromium = await BROWSERS.chromium(machine, false);
    try {
      const page = await chromium.newPage();
      await page.goto(origin + "/");
      // As a script runs by itself (puppeteer's own evaluations count as a
      // user's gesture): named at once, and no chooser.
      const session = await page.createCDPSession();
      const { result } = await session.send("Runtime.evaluate", { expression: connectHid, awaitPromise: true,
                                                                   userGesture: false, returnByValue: true });
      assert.equal(result.value, "hid-needs-gesture");
      // From a click the chooser opens and waits for the user (DevTools
      // cannot answer a HID chooser): the call is still pending, not refused.
      await page.evaluate((script) => {
        window.outcome = "pending";
        const button = document.body.appendChild(document.createElement("button"));
        button.id = "connect";
        button.textContent = "connect";
        button.onclick = () => (0, eval)(script).then((outcome) => { window.outcome = outcome; });
      }, connectHid);
      await page.click("#connect");
      await new Promise((resolve) => setTimeout(resolve, 2000));
      assert.equal(await page.evaluate(() => window.outcome), "pending");
    } finally {
      await chromium.close();
    }
  } finally {
    server.close();
    machine.cleanUp();
  }
});

test("the plug-in wrapper gives the same Promises", async () => {
  const server = await startServer();
  const machine = new Machine();
  const browser = await BROWSERS.chromium(machine, false);
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    // A stand-in for the plug-in's <embed>: synchronous methods, one of them throwing.
    const results = await page.evaluate(async () => {
      const element = { FindKeys: () => 1, GetSN: () => -2, HMAC_MD5: (pw, m) => pw + ":" + m,
                        SetLog: () => { throw new Error("refused"); } };
      const key = Tallykey.fromPlugin(element);
      const calls = [key.FindKeys(), key.GetSN(), key.HMAC_MD5("pw", "m"), key.SetLog("x")];
      return Promise.all(calls.map((call) => call.then((value) => value, (error) => "rejected " + error.message)));
    });
    assert.deepEqual(results, [1, -2, "pw:m", "rejected refused"]);
  } finally {
    await browser.close();
    server.close();
    machine.cleanUp();
  }
});
