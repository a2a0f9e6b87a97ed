// The installed Debian package in real browsers: the extension as packaged
// in /usr/share/tallykey (TALLYKEY_BROWSER_BUILD), and no host registered
// for the user, so that each browser has to find the system-wide one.
import assert from "node:assert/strict";
import { describe, test } from "node:test";

import { BROWSERS, Machine, SERIAL, allowSite, hmac, startServer, versionText } from "./browsers.mjs";

for (const [name, launch] of Object.entries(BROWSERS)) {
  describe(name, () => {
    test("finds the system-wide host and digests through it", async () => {
      const server = await startServer();
      const machine = new Machine();
      let browser;
      try {
        machine.addKey("key", "--password", "pw");
        browser = await launch(machine, true);
        const page = await browser.newPage();
        await page.goto(`http://127.0.0.1:${server.address().port}/`);
        await allowSite(browser, page);
        const [versions, ...results] = await page.evaluate(async () => {
          const key = await Tallykey.connect({ timeoutMs: 10000 });
          return [key.versions, await key.FindKeys(), await key.GetSN(), await key.HMAC_MD5("pw", "packaged")];
        });
        const version = versionText();
        assert.deepEqual(versions, { library: version, extension: version, host: version });
        assert.deepEqual(results, [1, SERIAL, hmac("packaged")]);
      } finally {
        await browser?.close();
        server.close();
        machine.cleanUp();
      }
    });
  });
}
