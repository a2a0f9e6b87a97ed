// Benchmark (not a test): a page's sign-in from its first step to the
// server's verdict, in Chromium and Firefox through the extension and the
// host, against tallykey-server (embedded store): fetch a challenge, GetSN,
// signIn with the page's password, send the answer, hear "ok". Prints the
// median and the slowest of REPEAT sign-ins beside the waits the key
// protocol mandates for them.
//
//   node signin_bench.mjs REPEAT       (environment as for the tests)
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { SqliteStore, TallykeyServer } from "../../server/dist/index.js";
import { BROWSERS, Machine, SERIAL, allowSite } from "./browsers.mjs";

const repeat = Number(process.argv[2] || 10);
// GetSN identifies the key (50 ms); signIn identifies it, proves the
// password and digests (3 x 50 ms), then identifies it once more after its
// answer has gone, which the next sign-in's GetSN waits for (50 ms).
const MANDATED_MS = 250;
const library = fs.readFileSync(path.join(process.env.TALLYKEY_BROWSER_BUILD, "tallykey.js"));

async function bench(name, launch) {
  const machine = new Machine();
  machine.registerHost();
  machine.addKey("key", "--password", "pw");
  const site = new TallykeyServer({ store: new SqliteStore(path.join(machine.folder, "bench.sqlite")),
                                    keyEncryptionKey: "11".repeat(32) });
  const server = http.createServer(async (request, response) => {
    const session = "bench-session";
    const reply = (type, body) => { response.writeHead(200, { "content-type": type }); response.end(body); };
    if (request.url === "/tallykey.js")
      return reply("text/javascript", library);
    if (request.url === "/challenge")
      return reply("text/plain", await site.issueSignIn(session, { origin }));
    if (request.url === "/verify") {
      const chunks = [];
      for await (const chunk of request)
        chunks.push(chunk);
      const { challenge, serial, digest } = JSON.parse(Buffer.concat(chunks));
      return reply("text/plain", (await site.verifySignIn({ session, challenge, serial, digest, origin })).result);
    }
    reply("text/html", "<!doctype html><title>bench</title><script src=\"/tallykey.js\"></script>");
  });
  const origin = await new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(`http://127.0.0.1:${server.address().port}`)));
  const { secret } = await site.enrol("bench", SERIAL);
  execFileSync(process.env.TALLYKEY_SIMKEY, ["--dir", machine.devices, "set", "key", "--digest-key", secret]);
  const browser = await launch(machine, true);
  try {
    const page = await browser.newPage();
    await page.goto(origin + "/");
    await allowSite(browser, page);
    const times = await page.evaluate(async (repeat) => {
      const key = await Tallykey.connect({ timeoutMs: 10000 });
      const signIn = async () => {
        const challenge = await (await fetch("/challenge")).text();
        const serial = await key.GetSN();
        const digest = await key.signIn("pw", challenge);
        const result = await (await fetch("/verify", { method: "POST", body: JSON.stringify({ challenge, serial, digest }) })).text();
        if (result !== "ok")
          throw new Error(`the server says ${result}`);
      };
      await signIn();  // the first activates the enrolment, and the host is started
      const times = [];
      for (let i = 0; i < repeat; ++i) {
        const started = performance.now();
        await signIn();
        times.push(performance.now() - started);
      }
      return times.sort((a, b) => a - b);
    }, repeat);
    const median = times[Math.floor(times.length / 2)];
    console.log([name, median.toFixed(1), times.at(-1).toFixed(1), MANDATED_MS, (median - MANDATED_MS).toFixed(1)]
      .map((cell, i) => String(cell).padEnd(i ? 14 : 10)).join(""));
  } finally {
    await browser.close();
    server.close();
    await site.close();
    machine.cleanUp();
  }
}

console.log(["browser", "median ms", "slowest ms", "mandated ms", "over mandated"].map((c, i) => c.padEnd(i ? 14 : 10)).join(""));
for (const [name, launch] of Object.entries(BROWSERS))
  await bench(name, launch);
