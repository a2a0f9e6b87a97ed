// Benchmark (not a test): time from a page's call to its result, per method,
// in Chromium and Firefox through the extension and the host, against a
// simulated key with a password. Prints one line per browser and call:
// milliseconds per call (median of REPEAT), the plug-in's time for the same
// call (TALLYKEY_PLUGIN_MS, a JSON object by method, from
// tools/bench-browser.sh), the overhead over it, the same call against a
// host that does nothing (the browser's own native-messaging cost) and the
// product's time over that, and the waits the key protocol mandates.
//
//   node bench.mjs REPEAT          (environment as for the tests)
import fs from "node:fs";
import path from "node:path";

import { BROWSERS, Machine, allowSite, startServer, versionText } from "./browsers.mjs";

const repeat = Number(process.argv[2] || 5);
const VALUE = "00112233445566778899aabbccddeeff";
// method, arguments, mandated wait in ms
const CALLS = [
  ["FindKeys", [], 0],
  ["GetSN", [], 50],
  ["InitPassword", ["pw"], 100],
  ["UpdatePassword", ["pw", "pw"], 600],
  ["HMAC_MD5", ["pw", "challenge"], 150],
  ["ResetDigist", ["pw", VALUE], 150],
  ["HMAC_MD5_HexString", ["pw", "6368616c6c656e6765"], 150],
  ["SetLog", [""], 0],
];

const pluginMs = JSON.parse(process.env.TALLYKEY_PLUGIN_MS || "{}");
const row = (cells) => cells.map((t, i) => String(t).padEnd(i === 1 ? 20 : 12)).join("");

// A host that does nothing (tools/nullhost.c): it answers every frame at
// once, so that the browsers' own native-messaging cost is measured in the
// same run; "waiting", it first sleeps each method's mandated wait, so the
// real host's time over it is our own work (the host's and the key's).
const NULL_HOST = process.env.TALLYKEY_NULL_HOST;
const HOSTS = { real: null, idle: [], waiting: ["--wait"] };

// Median ms per call of each method in one browser, with the real host or
// the do-nothing one (nullHost: its arguments).
async function measure(launch, nullHost) {
  const machine = new Machine();
  machine.registerHost();
  machine.addKey("key", "--password", "pw");
  if (nullHost) {
    // Manifests name a program without arguments; the browsers add their own.
    const script = path.join(machine.folder, "null-host.sh");
    const command = [NULL_HOST, versionText(), ...nullHost].map((word) => `'${word}'`).join(" ");
    fs.writeFileSync(script, `#!/bin/sh\nexec ${command}\n`, { mode: 0o755 });
    for (const manifest of machine.manifests())
      fs.writeFileSync(manifest, JSON.stringify({ ...JSON.parse(fs.readFileSync(manifest, "utf8")), path: script }));
  }
  const browser = await launch(machine, true);
  const times = {};
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    if (!nullHost)
      await allowSite(browser, page);
    for (const [method, args] of CALLS) {
      times[method] = await page.evaluate(async (method, args, repeat) => {
        const key = await Tallykey.connect({ timeoutMs: 10000 });
        await key[method](...args);  // the host is started and the key found once before timing
        const times = [];
        for (let i = 0; i < repeat; ++i) {
          const started = performance.now();
          await key[method](...args);
          times.push(performance.now() - started);
        }
        times.sort((a, b) => a - b);
        return times[Math.floor(times.length / 2)];
      }, method, args, repeat);
    }
  } finally {
    await browser.close();
    machine.cleanUp();
  }
  return times;
}

if (!NULL_HOST || !fs.existsSync(NULL_HOST))
  throw new Error("set TALLYKEY_NULL_HOST to the built nullhost");
const server = await startServer();
// ms/call: the product; null: the do-nothing host, the browser's own cost;
// null+wait: the same host sleeping the mandated waits; ours: the product
// over that, the host's and the key's own work.
console.log(row(["browser", "call", "ms/call", "plug-in", "over plug-in", "null", "over null", "null+wait",
                 "ours", "mandated"]));
for (const [name, launch] of Object.entries(BROWSERS)) {
  const times = {};
  for (const [kind, nullHost] of Object.entries(HOSTS))
    times[kind] = await measure(launch, nullHost);
  for (const [method, , mandated] of CALLS) {
    const ms = times.real[method], plugin = pluginMs[method];
    const figure = (value) => value === undefined ? "-" : value.toFixed(1);
    console.log(row([name, method, figure(ms), figure(plugin), figure(plugin === undefined ? undefined : ms - plugin),
                     figure(times.idle[method]), figure(ms - times.idle[method]), figure(times.waiting[method]),
                     figure(ms - times.waiting[method]), mandated]));
  }
}
server.close();
