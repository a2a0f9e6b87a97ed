// The page library's WebHID path in real Chromium, against keys the kernel
// sees: inside the virtual machine (tools/vm.sh), simkey's uhid mode plugs
// simulated keys in as /dev/hidraw devices, Chromium's own policy grants
// them to one test origin and blocks WebHID for another, and pages call
// the eight methods through Tallykey.connectHid(). The native host on the
// same key checks that a password set one way works the other.
//
// Environment: TALLYKEY_BUILD (the linux build folder), TALLYKEY_SOURCE.
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import { after, before, test } from "node:test";

const BUILD = process.env.TALLYKEY_BUILD;
const SOURCE = process.env.TALLYKEY_SOURCE;
const BIN = path.join(BUILD, "bin");
const PACKAGE = path.join(BUILD, "browser", "package");
const { default: puppeteer } = await import(path.join(SOURCE, "tests/browser/node_modules/puppeteer-core/lib/esm/puppeteer/puppeteer-core.js"));

const SERIAL = "0a1b2c3d4e5f6071";
const VALUE = "00112233445566778899aabbccddeeff";
const POLICY = "/etc/chromium/policies/managed/tallykey-test.json";
const HOST_POLICY = "/etc/tallykey/allowed-origins.json";
const keyed = (message, value = VALUE) => crypto.createHmac("md5", Buffer.from(value, "hex")).update(message).digest("hex");
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

if (!fs.existsSync("/dev/uhid")) {
  console.log("SKIPPED: no /dev/uhid, not inside the virtual machine");
  process.exit(77);
}

// simkey's uhid server over a folder of simulated devices.
const folder = fs.mkdtempSync(path.join(os.tmpdir(), "tallykey-webhid-"));
const devices = path.join(folder, "devices");
const ready = path.join(folder, "ready");
fs.mkdirSync(devices);
const simkey = (...args) => execFileSync(path.join(BIN, "simkey"), ["--dir", devices, ...args], { encoding: "utf8" });
const server = spawn(path.join(BIN, "simkey"), ["--dir", devices, "uhid", "--ready", ready], { stdio: "inherit" });

// Waits until exactly these devices have kernel nodes and, once the page
// is open, until Chromium lists as many keys to it (udev tells it of each
// change a moment later).
async function plugged(...names) {
  await nodes(...names);
  if (!page)
    return;
  const deadline = Date.now() + 30000;
  while (await page.evaluate(async () => (await navigator.hid.getDevices()).length) !== names.length) {
    if (Date.now() > deadline)
      throw new Error(`Chromium never listed ${names.length} keys`);
    await sleep(100);
  }
}

async function nodes(...names) {
  const deadline = Date.now() + 30000;
  while (Date.now() < deadline) {
    const listed = fs.existsSync(ready) ? fs.readFileSync(ready, "utf8").split("\n").filter(Boolean).map((l) => l.split(" ")[0]) : [];
    if (listed.sort().join() === [...names].sort().join())
      return;
    await sleep(50);
  }
  throw new Error(`the devices ${names} never all had nodes`);
}

// Pages: the library with its WebHID module and core, and a button.
function serve() {
  const page = '<!doctype html><title>page</title><script src="/tallykey.js"></script><button id="b">connect</button>';
  const httpServer = http.createServer((request, response) => {
    const name = new URL(request.url, "http://page").pathname.slice(1);
    if (["tallykey.js", "tallykey-webhid.js", "tallykey-core.js", "tallykey-core.wasm"].includes(name)) {
      response.writeHead(200, { "content-type": name.endsWith(".wasm") ? "application/wasm" : "text/javascript" });
      response.end(fs.readFileSync(path.join(PACKAGE, name)));
    } else {
      response.writeHead(200, { "content-type": "text/html" });
      response.end(page);
    }
  });
  return new Promise((resolve) => httpServer.listen(0, "127.0.0.1", () => resolve(httpServer)));
}

// The native host on the same machine: one process, these calls, their results.
function host(origin, ...calls) {
  const frames = [{ id: 0, method: "hello", origin }, ...calls.map(([method, ...args], i) => ({ id: i + 1, method, args, origin }))];
  const input = Buffer.concat(frames.map((frame) => {
    const body = Buffer.from(JSON.stringify(frame));
    const length = Buffer.alloc(4);
    length.writeUInt32LE(body.length);
    return Buffer.concat([length, body]);
  }));
  const env = { ...process.env, XDG_STATE_HOME: path.join(folder, "state") };
  delete env.LD_LIBRARY_PATH;  // the system's hidapi
  const output = execFileSync(path.join(BIN, "tallykey-host"), [], { input, env, timeout: 60000 });
  const answers = new Map();
  for (let at = 0; at + 4 <= output.length;) {
    const length = output.readUInt32LE(at);
    const message = JSON.parse(output.subarray(at + 4, at + 4 + length));
    if (!("state" in message))
      answers.set(message.id, "result" in message ? message.result : message.error);
    at += 4 + length;
  }
  return calls.map((_, i) => answers.get(i + 1));
}

let granted, blocked, browser, page;
const origins = {};

before(async () => {
  // Chromium hears of devices coming and going from udev, as on any desktop.
  if (!fs.existsSync("/run/udev/control"))
    execFileSync("/lib/systemd/systemd-udevd", ["--daemon"]);
  [granted, blocked] = [await serve(), await serve()];
  origins.granted = `http://localhost:${granted.address().port}`;
  origins.ungranted = `http://127.0.0.1:${granted.address().port}`;
  origins.blocked = `http://localhost:${blocked.address().port}`;
  fs.mkdirSync(path.dirname(POLICY), { recursive: true });
  fs.writeFileSync(POLICY, JSON.stringify({
    WebHidAllowDevicesForUrls: [{ devices: [{ vendor_id: 0x0111, product_id: 0x0111 }], urls: [origins.granted] }],
    WebHidBlockedForUrls: [origins.blocked],
  }));
  fs.mkdirSync(path.dirname(HOST_POLICY), { recursive: true });
  fs.writeFileSync(HOST_POLICY, JSON.stringify([origins.granted]));
  simkey("add-key", "key", "--serial", SERIAL);
  await nodes("key");
  // Under emulation Chromium takes a minute to start.
  browser = await puppeteer.launch({ executablePath: "/usr/lib/chromium/chromium", headless: true, pipe: true,
                                     args: ["--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu"],
                                     timeout: 300000, protocolTimeout: 300000 });
  page = await browser.newPage();
  await page.goto(origins.granted + "/");
});

after(async () => {
  await browser?.close();
  granted?.close();
  blocked?.close();
  server.kill();
  fs.rmSync(folder, { recursive: true, force: true });
});

// Runs the calls in the granted page through one connectHid() key.
async function calls(...list) {
  if (!page.url().startsWith(origins.granted))
    await page.goto(origins.granted + "/");
  return page.evaluate(async (list) => {
    window.key ||= await Tallykey.connectHid();
    const results = [];
    for (const [method, ...args] of list)
      results.push(await window.key[method](...args));
    return results;
  }, list);
}

test("a granted site: the eight methods on one key, and a password shared with the native host", async () => {
  const password = "pässwörd 密码";
  assert.deepEqual(await calls(["FindKeys"], ["GetSN"], ["InitPassword", "first"], ["UpdatePassword", "first", password],
                               ["ResetDigist", password, VALUE], ["HMAC_MD5", password, "challenge"],
                               ["HMAC_MD5_HexString", password, Buffer.from("challenge").toString("hex")],
                               ["SetLog", "trace.txt"], ["InitPassword", "again"]),
                   [1, SERIAL, 0, 0, 0, keyed("challenge"), keyed("challenge"), 0, -5]);
  // The host accepts the password WebHID set, and sets one WebHID accepts.
  assert.deepEqual(host(origins.granted, ["HMAC_MD5", password, "native"], ["UpdatePassword", password, "host's"]),
                   [keyed("native"), 0]);
  assert.deepEqual(await calls(["HMAC_MD5", "host's", "page"], ["HMAC_MD5", password, "page"]), [keyed("page"), -5]);
  // signIn through WebHID binds the page's own origin, as the host binds the
  // origin Chromium reports: the same digest both ways.
  const challenge = "00112233445566778899aabbccddeeff";
  const digest16 = (bytes) => crypto.createHash("sha256").update(bytes).digest().subarray(0, 16);
  const expected = keyed(Buffer.concat([Buffer.from("f8544b53", "hex"), digest16(Buffer.from(origins.granted)),
                                        Buffer.from(challenge, "hex")]));
  assert.deepEqual(await calls(["signIn", "host's", challenge]), [expected]);
  assert.deepEqual(host(origins.granted, ["signIn", "host's", challenge]), [expected]);
});

test("two tabs of the site calling at once take turns at the key", async () => {
  assert.deepEqual(await calls(["HMAC_MD5", "host's", "tab"]), [keyed("tab")]);
  const second = await browser.newPage();
  try {
    await second.goto(origins.granted + "/");
    const burst = (tab) => tab.evaluate(async () => {
      window.key ||= await Tallykey.connectHid();
      return Promise.all(Array.from({ length: 5 }, () => window.key.HMAC_MD5("host's", "tab")));
    });
    const [first, other] = await Promise.all([burst(page), burst(second)]);
    assert.deepEqual([...first, ...other], Array(10).fill(keyed("tab")));
  } finally {
    await second.close();
  }
});

test("two keys, and none", async () => {
  simkey("add-key", "second", "--serial", "1111111111111111");
  await plugged("key", "second");
  assert.deepEqual(await calls(["FindKeys"], ["GetSN"]), [2, -3]);
  simkey("remove", "second");
  simkey("remove", "key");
  await plugged();
  assert.deepEqual(await calls(["FindKeys"], ["GetSN"]), [0, -2]);
  simkey("add-key", "key", "--serial", SERIAL, "--password", "pw");
  await plugged("key");
  assert.deepEqual(await calls(["FindKeys"], ["GetSN"]), [1, SERIAL]);
});

test("a key that stays busy, and a key unplugged mid-call, fail in bounded time", async () => {
  simkey("set", "key", "--busy", "3");
  await plugged("key");
  assert.deepEqual(await calls(["GetSN"]), [SERIAL]);
  simkey("set", "key", "--fault", "busy-forever");
  await plugged("key");
  const [busy] = await calls(["GetSN"]);
  assert.ok(busy < 0, String(busy));
  simkey("set", "key", "--clear-faults", "--busy", "0");
  await plugged("key");
  // UpdatePassword holds the key for half a second after the new password.
  const pending = calls(["UpdatePassword", "pw", "new"]);
  await sleep(300);
  simkey("remove", "key");
  const [unplugged] = await pending;
  assert.ok(unplugged < 0, String(unplugged));
  simkey("add-key", "key", "--serial", SERIAL);
  await plugged("key");
});

test("a blocked site hears hid-unavailable; a site without a grant needs a click, and no call hangs", async () => {
  const connectHid = "Tallykey.connectHid().then(() => 'connected', (error) => error.code)";
  // From a click (puppeteer's evaluations count as one): Chromium answers a
  // blocked site's chooser at once, with no device.
  await page.goto(origins.blocked + "/");
  assert.equal(await page.evaluate(connectHid), "hid-unavailable");
  // As a script runs by itself: named at once, and no chooser asked for.
  // (DevTools answers no HID chooser, so the chooser itself is not tested.)
  await page.goto(origins.ungranted + "/");
  const session = await page.createCDPSession();
  const { result } = await session.send("Runtime.evaluate", { expression: connectHid, awaitPromise: true,
                                                               userGesture: false, returnByValue: true });
  assert.equal(result.value, "hid-needs-gesture");
});
