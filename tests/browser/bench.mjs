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
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import path from "node:path";

import { BROWSERS, Machine, allowSite, startServer, versionText, writePolicy } from "./browsers.mjs";

const repeat = Number(process.argv[2] || 5);
const VALUE = "00112233445566778899aabbccddeeff";
// method, arguments, mandated wait in ms per call in a row (a call that
// checks a password identifies the key once more after its answer has gone:
// 50 ms the page does not wait for, but the next call does)
const CALLS = [
  ["FindKeys", [], 0],
  ["GetSN", [], 50],
  ["InitPassword", ["pw"], 150],
  ["UpdatePassword", ["pw", "pw"], 650],
  ["HMAC_MD5", ["pw", "challenge"], 200],
  ["signIn", ["pw", "00112233445566778899aabbccddeeff"], 200],
  ["confirm", ["pw", "Pay 100 EUR to ACME"], 200],
  ["ResetDigist", ["pw", VALUE], 200],
  ["HMAC_MD5_HexString", ["pw", "6368616c6c656e6765"], 200],
  ["SetLog", [""], 0],
];

const CHANGES = new Set(["InitPassword", "UpdatePassword", "ResetDigist"]);

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
  // A change to the key from a site the user allowed asks the user to type
  // the password: the site is one the administrator lists (root only), or
  // the changes go unmeasured.
  const listed = !nullHost && process.getuid && process.getuid() === 0;
  const restore = listed ? writePolicy([`http://127.0.0.1:${server.address().port}`]) : null;
  const browser = await launch(machine, true);
  const times = {};
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    if (!nullHost && !listed)
      await allowSite(browser, page);
    for (const [method, args] of CALLS) {
      if (!nullHost && !listed && CHANGES.has(method))
        continue;
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
    restore?.();
  }
  return times;
}

// A fresh browser session's first call against a warm one, in ms (medians
// of REPEAT sessions), for an origin the administrator lists (no window):
// connect() in a fresh session (the background started, the host started,
// the handshake), the first signIn after it, a warm connect() and a warm
// signIn; and, outside the browser, the host's start with one handshake.
async function firstCalls(launch) {
  const restore = writePolicy([`http://127.0.0.1:${server.address().port}`]);
  const machine = new Machine();
  machine.registerHost();
  machine.addKey("key", "--password", "pw");
  const samples = { coldConnect: [], firstCall: [], warmConnect: [], warmCall: [], hostStart: [] };
  try {
    for (let i = 0; i < repeat; ++i) {
      const browser = await launch(machine, true);
      try {
        const page = await browser.newPage();
        await page.goto(`http://127.0.0.1:${server.address().port}/`);
        const times = await page.evaluate(async () => {
          const challenge = "00112233445566778899aabbccddeeff";
          const at = [performance.now()];
          let key = await Tallykey.connect({ timeoutMs: 10000 });
          at.push(performance.now());
          await key.signIn("pw", challenge);
          at.push(performance.now());
          key = await Tallykey.connect({ timeoutMs: 10000 });
          at.push(performance.now());
          await key.signIn("pw", challenge);
          at.push(performance.now());
          return at.slice(1).map((t, j) => t - at[j]);
        });
        ["coldConnect", "firstCall", "warmConnect", "warmCall"].forEach((name, j) => samples[name].push(times[j]));
      } finally {
        await browser.close();
      }
      const hello = Buffer.from(JSON.stringify({ id: 1, method: "hello", origin: "https://bank.example" }));
      const frame = Buffer.concat([Buffer.from([hello.length, 0, 0, 0]), hello]);
      const started = performance.now();
      execFileSync(process.env.TALLYKEY_HOST, [], { input: frame, env: machine.env() });
      samples.hostStart.push(performance.now() - started);
    }
  } finally {
    machine.cleanUp();
    restore();
  }
  const median = (list) => [...list].sort((a, b) => a - b)[Math.floor(list.length / 2)];
  return Object.fromEntries(Object.entries(samples).map(([name, list]) => [name, median(list)]));
}

if (!NULL_HOST || !fs.existsSync(NULL_HOST))
  throw new Error("set TALLYKEY_NULL_HOST to the built nullhost");
const server = await startServer();
// ms/call: the product; null: the do-nothing host, the browser's own cost;
// null+wait: the same host sleeping the mandated waits; ours: the product
// over that, the host's and the key's own work.
console.log(row(["browser", "call", "ms/call", "plug-in", "over plug-in", "null", "over null", "null+wait",
                 "ours", "mandated"]));
const firsts = {};
for (const [name, launch] of Object.entries(BROWSERS)) {
  const times = {};
  for (const [kind, nullHost] of Object.entries(HOSTS))
    times[kind] = await measure(launch, nullHost);
  for (const [method, , mandated] of CALLS) {
    const ms = times.real[method], plugin = pluginMs[method];
    const figure = (value) => Number.isFinite(value) ? value.toFixed(1) : "-";
    console.log(row([name, method, figure(ms), figure(plugin), figure(plugin === undefined ? undefined : ms - plugin),
                     figure(times.idle[method]), figure(ms - times.idle[method]), figure(times.waiting[method]),
                     figure(ms - times.waiting[method]), mandated]));
  }
  console.log(row([name, "signIn - HMAC_MD5", (times.real.signIn - times.real.HMAC_MD5).toFixed(1)]));
  firsts[name] = process.getuid && process.getuid() === 0 ? await firstCalls(launch) : null;
}
// The first call of a fresh session: what each step costs, and the whole
// over a warm call (the background's start is what remains of a cold
// connect() once the host's start and a warm handshake are taken off).
console.log();
console.log(row(["browser", "fresh session", "cold connect", "first signIn", "warm connect", "warm signIn",
                 "host start", "background", "first - warm"]));
for (const [name, first] of Object.entries(firsts)) {
  if (!first) {
    console.log(`${name}: NOT MEASURED: the administrator's list (/etc/tallykey) needs root`);
    continue;
  }
  const figure = (value) => value.toFixed(1);
  console.log(row([name, "", figure(first.coldConnect), figure(first.firstCall), figure(first.warmConnect),
                   figure(first.warmCall), figure(first.hostStart),
                   figure(first.coldConnect - first.warmConnect - first.hostStart),
                   figure(first.coldConnect + first.firstCall - first.warmConnect - first.warmCall)]));
}
server.close();
