// One page, one key, both ways to it: inside the virtual machine
// (tools/vm.sh), simkey's uhid mode plugs in a key the kernel sees, and
// Chromium, with the Tallykey extension and the native host registered for
// the user, opens a page that connects through the extension and host
// (Tallykey.connect()) and through WebHID (Tallykey.connectHid()). The
// administrator lists the page's origin for the host and grants it the key
// for WebHID, so no window and no chooser open.
//
//   node tools/webhid-walk.mjs walk PASSWORD VALUE MESSAGE
//       the methods, each line saying which path it took; digests checked
//   node tools/webhid-walk.mjs bench REPS
//       time per call of GetSN, HMAC_MD5 and UpdatePassword both ways
//
// Environment as for tests/browser (TALLYKEY_BROWSER_BUILD, TALLYKEY_HOST,
// TALLYKEY_SIMKEY), without LD_LIBRARY_PATH: the host uses the system's hidapi.
import { execFileSync, spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";

import { BROWSERS, Machine, SERIAL, startServer } from "../tests/browser/browsers.mjs";

const [mode, ...args] = process.argv.slice(2);
if (!["walk", "bench"].includes(mode)) {
  console.error("usage: webhid-walk.mjs walk PASSWORD VALUE MESSAGE | bench REPS");
  process.exit(2);
}
if (!fs.existsSync("/dev/uhid")) {
  console.error("webhid-walk: no /dev/uhid; run it through tools/vm.sh");
  process.exit(77);
}
const SIMKEY = process.env.TALLYKEY_SIMKEY;
const PATHS = { "extension+host": "ext", webhid: "hid" };
const MANDATED_MS = { GetSN: 50, HMAC_MD5: 150, UpdatePassword: 600 };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Chromium hears of devices from udev, as on a desktop.
if (!fs.existsSync("/run/udev/control"))
  execFileSync("/lib/systemd/systemd-udevd", ["--daemon"]);
const folder = fs.mkdtempSync(path.join(os.tmpdir(), "tallykey-walk-"));
const devices = path.join(folder, "devices");
fs.mkdirSync(devices);
const uhid = spawn(SIMKEY, ["--dir", devices, "uhid", "--ready", path.join(folder, "ready")], { stdio: "inherit" });
execFileSync(SIMKEY, ["--dir", devices, "add-key", "key", "--serial", SERIAL]);
for (let waited = 0; !fs.existsSync(path.join(folder, "ready")); waited += 50) {
  if (waited > 30000)
    throw new Error("the key never got a kernel node");
  await sleep(50);
}

const server = await startServer();
const origin = `http://127.0.0.1:${server.address().port}`;
const settings = [["/etc/tallykey/allowed-origins.json", [origin]],
                  ["/etc/chromium/policies/managed/tallykey-walk.json", {
                    WebHidAllowDevicesForUrls: [{ devices: [{ vendor_id: 0x0111, product_id: 0x0111 }], urls: [origin] }],
                  }]];
for (const [file, content] of settings) {
  fs.mkdirSync(path.dirname(file), { recursive: true });
  fs.writeFileSync(file, JSON.stringify(content));
}
const machine = new Machine();
machine.registerHost();
const browser = await BROWSERS.chromium(machine, true);
try {
  const page = await browser.newPage();
  page.setDefaultTimeout(300000);
  await page.goto(origin + "/");
  await page.evaluate(async () => {
    window.ext = await Tallykey.connect({ timeoutMs: 60000 });
    window.hid = await Tallykey.connectHid();
  });
  // One call through one path: its result and its time in the page.
  const call = (via, method, ...callArgs) => page.evaluate(async (via, method, callArgs) => {
    const started = performance.now();
    const result = await window[via][method](...callArgs);
    return { result, ms: performance.now() - started };
  }, PATHS[via], method, callArgs);

  if (mode === "walk") {
    const [password, value, message] = args;
    const keyed = (text) => crypto.createHmac("md5", Buffer.from(value, "hex")).update(text).digest("hex");
    const steps = [["webhid", "FindKeys"], ["extension+host", "FindKeys"], ["webhid", "GetSN"],
                   ["extension+host", "GetSN"], ["webhid", "InitPassword", password],
                   ["extension+host", "ResetDigist", password, value], ["webhid", "HMAC_MD5", password, message],
                   ["extension+host", "HMAC_MD5", password, message],
                   ["extension+host", "UpdatePassword", password, password + "2"],
                   ["webhid", "HMAC_MD5_HexString", password + "2", Buffer.from(message).toString("hex")],
                   ["webhid", "UpdatePassword", password + "2", password], ["webhid", "SetLog", ""]];
    let failed = false;
    for (const [via, method, ...callArgs] of steps) {
      const { result } = await call(via, method, ...callArgs);
      const digest = /^HMAC/.test(method);
      const good = digest ? result === keyed(message) : method === "GetSN" ? result === SERIAL
                                                      : method === "FindKeys" ? result === 1 : result === 0;
      failed ||= !good;
      console.log(`[${via}] ${method}(${callArgs.map((a) => JSON.stringify(a)).join(", ")}) -> ${JSON.stringify(result)}` +
                  (good ? (digest ? "  (HMAC-MD5 checked independently)" : "") : "  UNEXPECTED"));
    }
    process.exitCode = failed ? 1 : 0;
  } else {
    const reps = Number(args[0] || 15);
    await call("webhid", "InitPassword", "pw");
    const median = (values) => values.sort((a, b) => a - b)[Math.floor(values.length / 2)];
    console.log(`Time per call in Chromium in the virtual machine (median of ${reps}), one uhid key:`);
    console.log(`${"call".padEnd(16)}${"mandated".padStart(10)}${"extension+host".padStart(16)}${"webhid".padStart(10)}` +
                `${"webhid - ext".padStart(14)}`);
    for (const [method, callArgs] of [["GetSN", []], ["HMAC_MD5", ["pw", "challenge"]], ["UpdatePassword", ["pw", "pw"]]]) {
      const times = { "extension+host": [], webhid: [] };
      for (let rep = 0; rep < reps; ++rep) {
        // Alternating, so that both paths meet the same machine.
        for (const via of rep % 2 ? ["webhid", "extension+host"] : ["extension+host", "webhid"]) {
          const { result, ms } = await call(via, method, ...callArgs);
          if (typeof result === "number" && result < 0)
            throw new Error(`${via} ${method}: ${result}`);
          times[via].push(ms);
        }
      }
      const [ext, hid] = [median(times["extension+host"]), median(times.webhid)];
      console.log(`${method.padEnd(16)}${String(MANDATED_MS[method]).padStart(10)}${ext.toFixed(1).padStart(16)}` +
                  `${hid.toFixed(1).padStart(10)}${(hid - ext).toFixed(1).padStart(14)}`);
    }
  }
} finally {
  await browser.close();
  server.close();
  uhid.kill();
  machine.cleanUp();
  fs.rmSync(folder, { recursive: true, force: true });
}
