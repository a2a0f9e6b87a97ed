// The page library's WebHID path under node: the real library, its WebHID
// module and its WebAssembly core (the same key layer and method rules as
// the plug-in's and the host's), against fake WebHID devices that answer
// with the simulated key's firmware.
//
// Environment: TALLYKEY_PAGELIB (the staged npm package folder),
// TALLYKEY_SIMKEY_FIRMWARE (see fakehid.mjs).
import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import test from "node:test";

import { FAULT_BUSY_FOREVER, FakeDevice, FakeHid, FakeLocks } from "./fakehid.mjs";

const PAGELIB = process.env.TALLYKEY_PAGELIB;
const wasmBinary = fs.readFileSync(path.join(PAGELIB, "tallykey-core.wasm"));
const SERIAL = "0a1b2c3d4e5f6071";
const VALUE = "00112233445566778899aabbccddeeff";
const keyed = (message, value = VALUE) =>
  crypto.createHmac("md5", Buffer.from(value, "hex")).update(message).digest("hex");
const md5 = (text) => crypto.createHash("md5").update(Buffer.from(text, "utf8")).digest("hex");

// The page's navigator: WebHID, Web Locks and the user's activation.
const navigator = { hid: new FakeHid(), locks: new FakeLocks(), userActivation: { isActive: false } };
Object.defineProperty(globalThis, "navigator", { value: navigator, configurable: true, writable: true });
await import(path.join(PAGELIB, "tallykey.js"));
const { Tallykey } = globalThis;

function machine(...devices) {
  navigator.hid = new FakeHid(devices);
  navigator.locks = new FakeLocks();
  navigator.userActivation = { isActive: false };
  return navigator.hid;
}

const connect = (options = {}) => Tallykey.connectHid({ wasmBinary, ...options });

// Settles within ms, or fails the test instead of hanging it.
function within(ms, promise) {
  let timer;
  return Promise.race([promise, new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`no answer within ${ms} ms`)), ms);
  })]).finally(() => clearTimeout(timer));
}

test("the eight methods through WebHID, digests checked independently", async () => {
  const device = new FakeDevice({ serial: SERIAL });
  machine(device);
  const key = await connect();
  assert.deepEqual(key.versions, { library: Tallykey.VERSION, webhid: true });
  const password = "pässwörd 密码";
  const results = [];
  for (const [method, ...args] of [["FindKeys"], ["GetSN"], ["InitPassword", "first"],
                                   ["UpdatePassword", "first", password], ["ResetDigist", password, VALUE],
                                   ["HMAC_MD5", password, "challenge"],
                                   ["HMAC_MD5_HexString", password, Buffer.from("challenge").toString("hex")],
                                   ["SetLog", "C:\\trace.txt"], ["SetLog", ""], ["InitPassword", "again"],
                                   ["HMAC_MD5", "wrong", "challenge"]])
    results.push(await key[method](...args));
  assert.deepEqual(results, [1, SERIAL, 0, 0, 0, keyed("challenge"), keyed("challenge"), 0, 0, -5, -5]);
  // The key holds the MD5 of the password's UTF-8 bytes, as the plug-in and
  // the host give it: a password set one way works the others.
  assert.equal(device.passwordDigest(), md5(password));
  // The key was opened once and stays open for the page.
  assert.equal(device.log.filter((op) => op === "open").length, 1);
  assert.equal(device.opened, true);
});

test("signIn and confirm through WebHID digest the vectors' messages for the page's origin", async () => {
  const vectors = JSON.parse(fs.readFileSync(new URL("../vectors/sign-in.json", import.meta.url)))["vectors"];
  const device = new FakeDevice({ serial: SERIAL });
  machine(device);
  const key = await connect();
  assert.equal(await key.InitPassword("pw"), 0);
  const page = Object.getOwnPropertyDescriptor(globalThis, "location");
  try {
    for (const vector of vectors.filter((v) => v.origin === "https://bank.example")) {
      Object.defineProperty(globalThis, "location", { value: { origin: vector.origin }, configurable: true });
      // The origin is the page's own, read as the core starts: a fresh key object for it.
      const bound = await connect();
      assert.equal(await bound.ResetDigist("pw", vector.digestKey), 0);
      const answer = vector.purpose === "sign-in" ? await bound.signIn("pw", vector.challenge)
                                                  : await bound.confirm("pw", vector.text);
      assert.equal(answer, vector.digest, JSON.stringify(vector));
    }
    assert.equal(await key.signIn("pw", "00"), -11, "a malformed challenge");
    assert.equal(await key.HMAC_MD5_HexString("pw", "f8544b53" + "00".repeat(32)), -11, "a hand-built sign-in");
  } finally {
    if (page)
      Object.defineProperty(globalThis, "location", page);
    else
      delete globalThis.location;
  }
});

test("FindKeys counts the keys this site may use; GetSN with none and with two", async () => {
  const first = new FakeDevice();
  const other = new FakeDevice({ vendorId: 0x046d, productId: 0xc077, key: false, productName: "Mouse" });
  const hid = machine(first, other);
  const key = await connect();
  assert.deepEqual([await key.FindKeys(), await key.GetSN()], [1, SERIAL]);
  hid.granted.push(new FakeDevice({ serial: "1111111111111111" }));
  assert.deepEqual([await key.FindKeys(), await key.GetSN()], [2, -3]);
  for (const device of hid.granted)
    device.gone = true;
  assert.deepEqual([await key.FindKeys(), await key.GetSN()], [0, -2]);
  // A device with the ids but another product string is no key.
  hid.granted.push(new FakeDevice({ productName: "www.example.cn" }));
  assert.deepEqual([await key.FindKeys(), await key.GetSN()], [0, -2]);
  assert.deepEqual(other.log, []);
});

test("arguments follow the plug-in's rules, and oversized calls never reach the key", async () => {
  const device = new FakeDevice();
  machine(device);
  const key = await connect();
  await key.InitPassword("pw");
  const notStrings = [undefined, null, 1, {}, [], () => 1, Symbol("s"), new Date()];
  for (const value of notStrings) {
    assert.equal(await key.HMAC_MD5("pw", value), -11, String(typeof value));
    assert.equal(await key.InitPassword(value), -5);  // the password check comes first
    assert.equal(await key.SetLog(value), -11);
  }
  assert.equal(await key.HMAC_MD5("pw"), -11);
  assert.match(await key.HMAC_MD5("pw", "x".repeat(61)), /^[0-9a-f]{32}$/);
  assert.equal(await key.HMAC_MD5("pw", "x".repeat(62)), -11);
  assert.equal(await key.HMAC_MD5_HexString("pw", "0g"), -11);
  assert.equal(await key.ResetDigist("pw", "00"), -11);
  device.log.length = 0;
  assert.equal(await key.HMAC_MD5("x".repeat(64 * 1024), "m"), -11);
  assert.equal(await key.UpdatePassword("pw", "密".repeat(22000)), -11);  // 66,000 UTF-8 bytes
  // No window of its own for a password: asking for one is refused, unsent.
  await assert.rejects(key.signIn(Tallykey.ASK, "00".repeat(16)), (error) => error.code === "password-entry-unavailable");
  assert.deepEqual(device.log, []);
});

test("a busy key is polled; one that stays busy fails in bounded time", async () => {
  const device = new FakeDevice();
  machine(device);
  const key = await connect();
  device.set(3);
  assert.equal(await key.GetSN(), SERIAL);
  device.set(0, FAULT_BUSY_FOREVER);
  const result = await within(20000, key.GetSN());
  assert.ok(result < 0, String(result));
  device.set(0);
  assert.equal(await key.GetSN(), SERIAL);
});

test("a key unplugged mid-call, or one that never answers, fails without a hang", async () => {
  const device = new FakeDevice();
  machine(device);
  const key = await connect();
  await key.InitPassword("pw");
  device.log.length = 0;
  device.unplugAfter = 4;  // inside the password check
  assert.ok(await within(20000, key.UpdatePassword("pw", "new")) < 0);
  device.gone = false;
  device.unplugAfter = undefined;
  device.hang = "receive";
  assert.ok(await within(20000, key.GetSN()) < 0);
  device.hang = null;
  // The next call opens the key afresh and works.
  assert.equal(await key.HMAC_MD5("pw", "m"), await key.HMAC_MD5("pw", "m"));
  assert.equal(await key.GetSN(), SERIAL);
});

test("calls take turns at the key, across the page's keys, under the site's lock", async () => {
  const log = [];
  const device = new FakeDevice({ log });
  machine(device);
  const [first, second] = [await connect(), await connect()];
  await first.InitPassword("pw");
  const calls = [];
  for (let i = 0; i < 4; ++i)
    calls.push(first.HMAC_MD5("pw", `m${i}`), second.GetSN(), second.HMAC_MD5_HexString("pw", "0a0b"));
  const results = await Promise.all(calls);
  for (let i = 0; i < 4; ++i)
    assert.deepEqual(results.slice(3 * i, 3 * i + 3), [keyed(`m${i}`, "00".repeat(16)), SERIAL,
                                                       keyed(Buffer.from([10, 11]), "00".repeat(16))]);
  // No call's reports interleave with another's: each exchange is a send
  // and its receives (more than one only while the key answers busy).
  const exchanges = log.filter((op) => op !== "open").join(" ").split("send ").slice(1);
  assert.ok(exchanges.every((exchange) => /^(receive ?)+$/.test(exchange)), log.join(" "));
  assert.ok(navigator.locks.names.length >= 13 && navigator.locks.names.every((name) => name === "tallykey-webhid"));
});

test("a call that waits too long for another tab's turn is a timeout", async () => {
  machine(new FakeDevice());
  const key = await connect({ callTimeoutMs: 200 });
  let release;
  navigator.locks.request("tallykey-webhid", {}, () => new Promise((resolve) => { release = resolve; }));
  await assert.rejects(within(5000, key.GetSN()), (error) => error.code === "timeout");
  release();
  assert.equal(await key.GetSN(), SERIAL);
});

test("connectHid: named errors for every way it cannot connect", async () => {
  const expectCode = (code) => (error) => error instanceof Tallykey.Error && error.code === code;

  navigator.hid = undefined;  // Firefox, or WebHID switched off
  await assert.rejects(connect(), expectCode("hid-unavailable"));

  // No key granted and no click: no chooser is even asked for.
  let hid = machine();
  await assert.rejects(connect(), expectCode("hid-needs-gesture"));
  assert.equal(hid.requests, 0);
  // A browser without userActivation refuses the chooser itself.
  navigator.userActivation = undefined;
  hid.pick = () => { throw new DOMException("Must be handling a user gesture", "SecurityError"); };
  await assert.rejects(connect(), expectCode("hid-needs-gesture"));

  navigator.userActivation = { isActive: true };  // a click, and a chooser the user closes
  hid.pick = () => new Promise((resolve) => setTimeout(() => resolve([]), 400));
  await assert.rejects(connect(), expectCode("hid-denied"));
  assert.equal(hid.requests, 2);

  hid.pick = () => [];  // no chooser at all: a policy blocks WebHID for the site
  await assert.rejects(connect(), expectCode("hid-unavailable"));

  hid.pick = () => { throw new DOMException("blocked", "NotAllowedError"); };  // a policy
  await assert.rejects(connect(), expectCode("hid-unavailable"));

  hid.pick = () => {  // the user picks the key, which is then unplugged
    const device = new FakeDevice();
    device.gone = true;
    return [device];
  };
  await assert.rejects(connect(), expectCode("no-key"));

  hid = machine();
  navigator.userActivation.isActive = true;
  hid.pick = ({ filters }) => {
    assert.deepEqual(filters, [{ vendorId: 0x0111, productId: 0x0111 }]);
    return [new FakeDevice()];
  };
  const key = await connect();
  assert.equal(await key.GetSN(), SERIAL);
  // Granted now: the next connect asks nobody.
  navigator.userActivation.isActive = false;
  await connect();
  assert.equal(hid.requests, 1);

  await assert.rejects(connect({ callTimeoutMs: 0 }), expectCode("bad-request"));
});

test("the extension path's library does not load the WebHID module until it is used", () => {
  const library = fs.readFileSync(path.join(PAGELIB, "tallykey.js"), "utf8");
  assert.match(library, /import\("\.\/tallykey-webhid\.js"\)/);
  assert.doesNotMatch(library, /^\s*import\s[^(]/m);
});
