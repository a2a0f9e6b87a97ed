// The library's behaviour, the same for every store: each store's test
// file runs this suite against its own database. Two TallykeyServer
// objects on one database stand for two servers behind a load balancer.
import assert from "node:assert/strict";
import crypto from "node:crypto";
import fs from "node:fs";
import { describe, test } from "node:test";
import { TallykeyServer } from "../dist/index.js";
import { boundMessage } from "../dist/message.js";
import { Sealer } from "../dist/sealing.js";

const ORIGIN = "https://bank.example";
export const KEK = "11".repeat(32);
const VECTORS = JSON.parse(fs.readFileSync(new URL("../../tests/vectors/sign-in.json", import.meta.url))).vectors;

/** What the key answers, holding secret (hex), for a page on origin. */
export async function keyDigest(secret, purpose, origin, payload) {
  const message = await boundMessage(purpose, origin, purpose === "sign-in" ? Buffer.from(payload, "hex") : Buffer.from(payload));
  return crypto.createHmac("md5", Buffer.from(secret, "hex")).update(message).digest("hex");
}

export const newSerial = () => crypto.randomBytes(8).toString("hex");
export const newSession = () => crypto.randomBytes(16).toString("base64url");

/** A clock the tests move. */
export class Clock {
  at = Date.now();
  now = () => this.at;
}

/**
 * fixture.store(): a new store object on the suite's database;
 * fixture.rawKeyRow(serial): the key's row as the database holds it.
 */
export function serverSuite(fixture) {
  const servers = [];
  function server(options = {}) {
    const made = new TallykeyServer({ origin: ORIGIN, store: fixture.store(), keyEncryptionKey: KEK, ...options });
    servers.push(made);
    return made;
  }
  // An account with a key whose first sign-in has made its secret active.
  async function enrolled(site, account = "alice") {
    const serial = newSerial();
    const { secret } = await site.enrol(account, serial);
    const session = newSession();
    const challenge = await site.issueSignIn(session);
    const digest = await keyDigest(secret, "sign-in", ORIGIN, challenge);
    assert.deepEqual(await site.verifySignIn({ session, challenge, serial, digest }), { result: "ok", account });
    return { serial, secret, account };
  }
  async function signIn(site, key, { session = newSession(), answerSession = session, origin = ORIGIN, secret = key.secret } = {}) {
    const challenge = await site.issueSignIn(session);
    const digest = await keyDigest(secret, "sign-in", origin, challenge);
    return site.verifySignIn({ session: answerSession, challenge, serial: key.serial, digest });
  }

  test.after(async () => {
    await Promise.all(servers.map((s) => s.close()));
  });

  test("the shared vectors verify as sign-ins and confirmations", async () => {
    const site = server();
    await site.ready();
    const store = fixture.store();
    await store.open();
    const sealer = new Sealer(Buffer.from(KEK, "hex"));
    let checked = 0;
    for (const vector of VECTORS) {
      const payload = vector.purpose === "sign-in" ? Buffer.from(vector.challenge, "hex") : Buffer.from(vector.text);
      assert.equal((await boundMessage(vector.purpose, vector.origin, payload)).toString("hex"), vector.message);
      // Through the whole verification, where the challenge is of the server's size.
      if (vector.purpose === "sign-in" && payload.length !== 32)
        continue;
      const serial = newSerial(), session = newSession();
      const challenge = vector.purpose === "sign-in" ? payload : crypto.randomBytes(32);
      await store.changeKey(serial, () => ({ serial, account: "vectors", secret: sealer.seal(Buffer.from(vector.digestKey, "hex"), serial),
                                             pending: null, pendingUntil: 0, failures: 0, lockedUntil: 0 }));
      await store.addChallenge({ challenge, session: crypto.createHash("sha256").update(session).digest(), origin: vector.origin,
                                 purpose: vector.purpose, text: vector.text ?? null, expiresAt: Date.now() + 60_000 });
      const answer = { session, challenge: challenge.toString("hex"), serial, digest: vector.digest, origin: vector.origin };
      const verified = vector.purpose === "sign-in" ? await site.verifySignIn(answer) : await site.verifyConfirmation(answer);
      assert.equal(verified.result, "ok", JSON.stringify(vector));
      checked++;
    }
    assert.ok(checked >= 4, `${checked} vectors went through the whole verification`);
    await store.close();
  });

  describe("each named result", () => {
    test("ok, used, unknown-key, wrong-session, expired, and a challenge never issued", async () => {
      const clock = new Clock();
      const site = server({ now: clock.now, challengeMs: 1000 });
      const key = await enrolled(site);
      const session = newSession();
      const challenge = await site.issueSignIn(session);
      assert.match(challenge, /^[0-9a-f]{64}$/);
      const answer = { session, challenge, serial: key.serial, digest: await keyDigest(key.secret, "sign-in", ORIGIN, challenge) };
      assert.deepEqual(await site.verifySignIn(answer), { result: "ok", account: "alice" });
      assert.deepEqual(await site.verifySignIn(answer), { result: "used" });
      assert.deepEqual(await site.verifySignIn({ ...answer, challenge: crypto.randomBytes(32).toString("hex") }), { result: "used" });
      assert.deepEqual(await site.verifySignIn({ ...answer, challenge: "zz" }), { result: "used" });
      assert.equal((await signIn(site, { ...key, serial: newSerial() })).result, "unknown-key");
      assert.equal((await signIn(site, key, { answerSession: newSession() })).result, "wrong-session");
      const late = await site.issueSignIn(session);
      clock.at += 1000;
      assert.equal((await site.verifySignIn({ session, challenge: late, serial: key.serial,
                                              digest: await keyDigest(key.secret, "sign-in", ORIGIN, late) })).result, "expired");
    });

    test("bad-digest: another origin, another purpose, another text, another secret, a confirmation replayed", async () => {
      const site = server({ lockAfter: 100 });
      const key = await enrolled(site);
      // The look-alike site's page relayed our challenge: its digest is for its own origin.
      assert.equal((await signIn(site, key, { origin: "https://evil.test" })).result, "bad-digest");
      assert.equal((await signIn(site, key, { secret: "00".repeat(16) })).result, "bad-digest");
      const session = newSession();
      const confirmation = await site.issueConfirmation(session, "Pay 10.00 EUR to Bob");
      assert.match(confirmation.text, /^Pay 10.00 EUR to Bob \(reference [0-9a-f]{64}\)$/);
      const digest = await keyDigest(key.secret, "confirm", ORIGIN, confirmation.text);
      const answer = { session, challenge: confirmation.challenge, serial: key.serial, digest };
      // A confirmation's digest is no sign-in, and consumes its challenge all the same.
      assert.equal((await site.verifySignIn(answer)).result, "bad-digest");
      assert.equal((await site.verifyConfirmation(answer)).result, "used");
      // The same transfer once more: the first one's digest does not confirm it.
      const again = await site.issueConfirmation(session, "Pay 10.00 EUR to Bob");
      assert.equal((await site.verifyConfirmation({ ...answer, challenge: again.challenge })).result, "bad-digest");
      const twice = await site.issueConfirmation(session, "Pay 10.00 EUR to Bob");
      const good = { session, challenge: twice.challenge, serial: key.serial, digest: await keyDigest(key.secret, "confirm", ORIGIN, twice.text) };
      assert.equal((await site.verifyConfirmation({ ...good, text: "Pay 9000.00 EUR to Mallory" })).result, "bad-digest");
      const third = await site.issueConfirmation(session, "Pay 10.00 EUR to Bob");
      assert.deepEqual(await site.verifyConfirmation({ session, challenge: third.challenge, serial: key.serial, text: "Pay 10.00 EUR to Bob",
                                                       digest: await keyDigest(key.secret, "confirm", ORIGIN, third.text) }),
                       { result: "ok", account: "alice", text: third.text });
      // A sign-in challenge answered as a confirmation.
      const signInChallenge = await site.issueSignIn(session);
      assert.equal((await site.verifyConfirmation({ session, challenge: signInChallenge, serial: key.serial,
                                                    digest: await keyDigest(key.secret, "sign-in", ORIGIN, signInChallenge) })).result, "bad-digest");
    });

    test("locked: a growing lock after wrong digests in a row, and its recovery", async () => {
      const clock = new Clock();
      const site = server({ now: clock.now, lockAfter: 3, lockMs: 1000, maxLockMs: 3000, challengeMs: 60_000 });
      const key = await enrolled(site);
      const wrong = { secret: "00".repeat(16) };
      for (let i = 0; i < 3; i++)
        assert.equal((await signIn(site, key, wrong)).result, "bad-digest");
      assert.deepEqual(await signIn(site, key), { result: "locked", lockedUntil: clock.at + 1000 });
      clock.at += 1000;
      assert.equal((await signIn(site, key, wrong)).result, "bad-digest");
      assert.deepEqual(await signIn(site, key), { result: "locked", lockedUntil: clock.at + 2000 });
      clock.at += 2000;
      assert.equal((await signIn(site, key, wrong)).result, "bad-digest");
      assert.equal((await signIn(site, key)).lockedUntil, clock.at + 3000, "at most maxLockMs");
      clock.at += 3000;
      assert.equal((await signIn(site, key)).result, "ok");
      // The right digest cleared the count: the next lock needs three wrong ones again.
      for (let i = 0; i < 2; i++)
        assert.equal((await signIn(site, key, wrong)).result, "bad-digest");
      assert.equal((await signIn(site, key)).result, "ok");
    });
  });

  test("enrolment: active with its first sign-in; re-enrolment, another account, expiry and removal", async () => {
    const clock = new Clock();
    const site = server({ now: clock.now, enrolmentMs: 5000 });
    const serial = newSerial();
    const first = await site.enrol("bob", serial.toUpperCase());
    assert.match(first.secret, /^[0-9a-f]{32}$/);
    assert.deepEqual(first.steps, [{ method: "InitPassword", when: "blank-key" }, { method: "ResetDigist", digestValue: first.secret }]);
    const key = { serial, secret: first.secret };
    assert.deepEqual(await site.keys("bob"), [{ serial, active: false, pending: true, lockedUntil: 0 }]);
    // A pending secret confirms nothing until a sign-in has proved it.
    const session = newSession();
    const confirmation = await site.issueConfirmation(session, "Pay 1.00 EUR to Carol");
    assert.equal((await site.verifyConfirmation({ session, challenge: confirmation.challenge, serial,
                                                  digest: await keyDigest(first.secret, "confirm", ORIGIN, confirmation.text) })).result, "unknown-key");
    assert.deepEqual(await signIn(site, key), { result: "ok", account: "bob" });
    assert.deepEqual(await site.keys("bob"), [{ serial, active: true, pending: false, lockedUntil: 0 }]);
    await assert.rejects(site.enrol("mallory", serial), { code: "enrolled-elsewhere" });
    // Re-enrolment: the old secret serves until the new one's first sign-in.
    const second = await site.enrol("bob", serial);
    assert.equal((await signIn(site, key)).result, "ok");
    assert.equal((await signIn(site, { serial, secret: second.secret })).result, "ok");
    assert.equal((await signIn(site, key)).result, "bad-digest");
    // An enrolment that nobody finished lapses.
    const third = await site.enrol("bob", serial);
    clock.at += 5000;
    assert.equal((await signIn(site, { serial, secret: third.secret })).result, "bad-digest");
    assert.equal(await site.remove("mallory", serial), false);
    assert.equal(await site.remove("bob", serial), true);
    assert.equal((await signIn(site, { serial, secret: second.secret })).result, "unknown-key");
    assert.deepEqual(await site.keys("bob"), []);
  });

  test("secrets at rest are sealed under the key-encryption key and the serial number", async () => {
    const site = server();
    const key = await enrolled(site, "dave");
    const row = await fixture.rawKeyRow(key.serial);
    const stored = Buffer.from(row.secret);
    assert.ok(!stored.includes(Buffer.from(key.secret, "hex")), "the secret is not in the row");
    assert.ok(!JSON.stringify(row).includes(key.secret));
    assert.equal(new Sealer(Buffer.from(KEK, "hex")).open(stored, key.serial).toString("hex"), key.secret);
    assert.equal(new Sealer(Buffer.from(KEK, "hex")).open(stored, newSerial()), undefined, "bound to its serial");
    assert.equal(new Sealer(crypto.randomBytes(32)).open(stored, key.serial), undefined);
    // A server started with another key-encryption key says so and serves nothing.
    const wrong = server({ keyEncryptionKey: "22".repeat(32) });
    await assert.rejects(wrong.ready(), { code: "wrong-key-encryption-key", message: /not the one this store/ });
    await assert.rejects(wrong.issueSignIn(newSession()), { code: "wrong-key-encryption-key" });
  });

  describe("two servers on one store", () => {
    test("an answer taken on one server is used on the other", async () => {
      const a = server(), b = server();
      const key = await enrolled(a);
      const session = newSession();
      const challenge = await b.issueSignIn(session);
      const answer = { session, challenge, serial: key.serial, digest: await keyDigest(key.secret, "sign-in", ORIGIN, challenge) };
      assert.equal((await a.verifySignIn(answer)).result, "ok");
      assert.equal((await b.verifySignIn(answer)).result, "used");
    });

    test("50 concurrent submissions of one answer to two servers: exactly one ok", async () => {
      const a = server(), b = server();
      const key = await enrolled(a);
      const session = newSession();
      const challenge = await a.issueSignIn(session);
      const answer = { session, challenge, serial: key.serial, digest: await keyDigest(key.secret, "sign-in", ORIGIN, challenge) };
      const results = await Promise.all(Array.from({ length: 50 }, (_, i) => (i % 2 ? a : b).verifySignIn(answer)));
      const counts = {};
      for (const { result } of results)
        counts[result] = (counts[result] ?? 0) + 1;
      assert.deepEqual(counts, { ok: 1, used: 49 });
    });
  });
}
