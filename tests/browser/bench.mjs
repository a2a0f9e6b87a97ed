// Benchmark (not a test): time from a page's call to its result, per method,
// in Chromium and Firefox through the extension and the host, against a
// simulated key with a password. Prints one line per browser and call:
// milliseconds per call (median of REPEAT), the plug-in's time for the same
// call (TALLYKEY_PLUGIN_MS, a JSON object by method, from
// tools/bench-browser.sh), the overhead over it, and the waits the key
// protocol mandates.
//
//   node bench.mjs REPEAT          (environment as for the tests)
import { BROWSERS, Machine, allowSite, startServer } from "./browsers.mjs";

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
const row = (cells) => cells.map((t, i) => String(t).padEnd(i === 1 ? 22 : 14)).join("");
const server = await startServer();
console.log(row(["browser", "call", "ms/call", "plug-in", "over plug-in", "mandated"]));
for (const [name, launch] of Object.entries(BROWSERS)) {
  const machine = new Machine();
  machine.registerHost();
  machine.addKey("key", "--password", "pw");
  const browser = await launch(machine, true);
  try {
    const page = await browser.newPage();
    await page.goto(`http://127.0.0.1:${server.address().port}/`);
    await allowSite(browser, page);
    for (const [method, args, mandated] of CALLS) {
      const ms = await page.evaluate(async (method, args, repeat) => {
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
      const plugin = pluginMs[method];
      console.log(row([name, method, ms.toFixed(1), plugin === undefined ? "-" : plugin.toFixed(1),
                       plugin === undefined ? "-" : (ms - plugin).toFixed(1), mandated]));
    }
  } finally {
    await browser.close();
    machine.cleanUp();
  }
}
server.close();
