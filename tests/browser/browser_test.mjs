// The extension, the native host and the page library in real browsers:
// Debian's chromium and firefox-esr, headless, driven by puppeteer-core.
// The unpacked extension is loaded, the host is registered for the test
// user with its own "install --user", pages come from 127.0.0.1, and the
// keys are simulated ones (see browsers.mjs for the environment).
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import { after, before, describe, test } from "node:test";

import { BROWSERS, Machine, SERIAL, hmac, startServer, versionText } from "./browsers.mjs";

for (const [name, launch] of Object.entries(BROWSERS)) {
  describe(name, () => {
    let server, machine, browser, page, origin;

    before(async () => {
      server = await startServer();
      origin = `http://127.0.0.1:${server.address().port}`;
      machine = new Machine();
      machine.registerHost();
      browser = await launch(machine, true);
      page = await browser.newPage();
      await page.goto(origin + "/");
    });
    after(async () => {
      await browser?.close();
      server?.close();
      machine?.cleanUp();
    });

    // Runs calls in the page through the library; each result, or the error's code.
    const run = (calls) => page.evaluate(async (calls) => {
      const key = await Tallykey.connect({ timeoutMs: 10000 });
      const results = [];
      for (const [method, ...args] of calls) {
        try {
          results.push(await key[method](...args));
        } catch (error) {
          results.push("error " + error.code);
        }
      }
      return results;
    }, calls);

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
      assert.deepEqual(await run([["FindKeys"], ["GetSN"], ["InitPassword", "pw"]]), [2, -3, -3]);
      machine.removeKeys();
    });

    test("passwords, digests and the argument rules", async () => {
      machine.removeKeys();
      machine.addKey("key");
      const results = await run([
        ["InitPassword", "密码"], ["InitPassword", "again"], ["HMAC_MD5", "wrong", "challenge"],
        ["HMAC_MD5", "密码", "challenge"], ["HMAC_MD5_HexString", "密码", "0a0b"],
        ["UpdatePassword", "密码", "new"], ["HMAC_MD5", "new", "x".repeat(62)], ["HMAC_MD5", "new", 5],
        ["ResetDigist", "new", "00"], ["SetLog", "../x"], ["SetLog", "trace.log"], ["SetLog", ""],
      ]);
      assert.deepEqual(results, [0, -5, -5, hmac("challenge"), hmac(Buffer.from([10, 11])), 0, -11, -11, -11, -11,
                                 0, 0]);
      machine.removeKeys();
    });

    test("a password set through the plug-in works here, and the other way round", async () => {
      machine.removeKeys();
      machine.addKey("key");
      assert.deepEqual(machine.pluginCalls([["InitPassword", "密码 plug-in"]]), [0]);
      assert.deepEqual(await run([["HMAC_MD5", "密码 plug-in", "m"], ["UpdatePassword", "密码 plug-in", "ключ"]]),
                       [hmac("m"), 0]);
      assert.deepEqual(machine.pluginCalls([["HMAC_MD5", "密码 plug-in", "m"], ["HMAC_MD5", "ключ", "m"]]),
                       [-5, hmac("m")]);
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

  // A browser of its own for each way of failing: the page gets the named
  // error within the bounded time.
  const failures = {
    "without the extension: extension-missing": { extension: false, expected: "extension-missing" },
    "without a registered host: host-missing": { register: false, expected: "host-missing" },
    "with a host that exits mid-call: host-exited": { hostExits: true, expected: "host-exited" },
    "with no HID library for the host: -1": { noHid: true, expected: -1 },
    "from an origin outside the administrator's list: origin-refused": { policy: true, expected: "origin-refused" },
  };
  const settings = Object.entries(failures);
  for (const [title, { extension = true, register = true, hostExits = false, noHid = false, policy = false,
                       expected }] of settings) {
    test(`${name} ${title}`, async (t) => {
      // The list lives where administrators put it; only root may write there.
      if (policy && process.getuid() !== 0)
        return t.skip("NOT RUN: writing /etc/tallykey needs root (CI runs as root)");
      const server = await startServer();
      const machine = new Machine();
      if (noHid)
        machine.withoutProviders = true;
      const policyFile = "/etc/tallykey/allowed-origins.json";
      const policyFolderMade = policy && !fs.existsSync(path.dirname(policyFile));
      if (policy) {
        fs.mkdirSync(path.dirname(policyFile), { recursive: true });
        fs.writeFileSync(policyFile, JSON.stringify([`http://localhost:${server.address().port}`]));
      }
      if (register)
        machine.registerHost();
      if (hostExits) {
        // Answers the handshake as the host would, then ends at the first call.
        const script = path.join(machine.folder, "exiting-host.py");
        fs.writeFileSync(script, [
          "#!/usr/bin/python3",
          "import json, struct, sys",
          "data = sys.stdin.buffer",
          "(n,) = struct.unpack('<I', data.read(4)); request = json.loads(data.read(n))",
          `answer = json.dumps({'id': request['id'], 'result': {'host': '${versionText()}'}}).encode()`,
          "sys.stdout.buffer.write(struct.pack('<I', len(answer)) + answer); sys.stdout.flush()",
          "data.read(4)",
        ].join("\n") + "\n", { mode: 0o755 });
        for (const manifest of machine.manifests()) {
          const text = JSON.parse(fs.readFileSync(manifest, "utf8"));
          fs.writeFileSync(manifest, JSON.stringify({ ...text, path: script }));
        }
      }
      const browser = await launch(machine, extension);
      try {
        const page = await browser.newPage();
        await page.goto(`http://127.0.0.1:${server.address().port}/`);
        const started = Date.now();
        const outcome = await page.evaluate(async () => {
          try {
            const key = await Tallykey.connect({ timeoutMs: 3000, callTimeoutMs: 10000 });
            return await key.FindKeys();
          } catch (error) {
            return error.code;
          }
        });
        assert.equal(outcome, expected);
        assert.ok(Date.now() - started < 12000, "within the bounded time");
      } finally {
        await browser.close();
        server.close();
        machine.cleanUp();
        if (policy)
          fs.rmSync(policyFolderMade ? path.dirname(policyFile) : policyFile, { recursive: true, force: true });
      }
    });
  }
}

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
