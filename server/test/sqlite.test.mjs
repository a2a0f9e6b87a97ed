// The suite against the embedded store, and what only it has: its file and
// its own key-encryption key.
import assert from "node:assert/strict";
import Database from "better-sqlite3";
import { execFileSync } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import { test } from "node:test";
import { SqliteStore, TallykeyServer } from "../dist/index.js";
import { keyDigest, newSerial, newSession, serverSuite } from "./suite.mjs";

const folder = fs.mkdtempSync(path.join(os.tmpdir(), "tallykey-sqlite-"));
const file = path.join(folder, "suite.sqlite");
test.after(() => fs.rmSync(folder, { recursive: true, force: true }));

serverSuite({
  store: () => new SqliteStore(file),
  rawKeyRow: (serial) => {
    const db = new Database(file, { readonly: true });
    try {
      return db.prepare("SELECT * FROM tallykey_keys WHERE serial = ?").get(serial);
    } finally {
      db.close();
    }
  },
});

test("new TallykeyServer() works out of the box in the working folder, with its own key-encryption key", async () => {
  const here = fs.mkdtempSync(path.join(folder, "cwd-"));
  const before = process.cwd();
  process.chdir(here);
  try {
    const site = new TallykeyServer();
    await site.ready();
    const serial = newSerial();
    const { secret } = await site.enrol("erin", serial);
    const session = newSession();
    const challenge = await site.issueSignIn(session, { origin: "http://localhost:3000" });
    const digest = await keyDigest(secret, "sign-in", "http://localhost:3000", challenge);
    assert.deepEqual(await site.verifySignIn({ session, challenge, serial, digest, origin: "http://localhost:3000" }), { result: "ok", account: "erin" });
    await site.close();
    for (const name of ["tallykey.sqlite", "tallykey.sqlite.kek"])
      assert.equal(fs.statSync(name).mode & 0o777, 0o600, name);
    // The key file is kept: a second start opens the same secrets.
    const again = new TallykeyServer({ origin: "http://localhost:3000" });
    const next = await again.issueSignIn(session);
    assert.equal((await again.verifySignIn({ session, challenge: next, serial,
                                              digest: await keyDigest(secret, "sign-in", "http://localhost:3000", next) })).result, "ok");
    await again.close();
    // A key file others may read is refused, and so is a link in its place.
    fs.chmodSync("tallykey.sqlite.kek", 0o644);
    await assert.rejects(new TallykeyServer().ready(), { code: "bad-key-encryption-key", message: /mode 0600/ });
    fs.renameSync("tallykey.sqlite.kek", "elsewhere");
    fs.symlinkSync("elsewhere", "tallykey.sqlite.kek");
    await assert.rejects(new TallykeyServer().ready(), { code: "bad-key-encryption-key" });
  } finally {
    process.chdir(before);
  }
});

test("a link or a FIFO where the store's file belongs is refused, and nothing is made through it", async () => {
  const here = fs.mkdtempSync(path.join(folder, "planted-"));
  const target = path.join(here, "elsewhere.sqlite");
  fs.symlinkSync(target, path.join(here, "linked.sqlite"));
  execFileSync("mkfifo", [path.join(here, "fifo.sqlite")]);
  for (const name of ["linked.sqlite", "fifo.sqlite"]) {
    const site = new TallykeyServer({ store: new SqliteStore(path.join(here, name)), keyEncryptionKey: "33".repeat(32) });
    await assert.rejects(site.ready(), { code: "store-unavailable" }, name);
    await site.close();
  }
  assert.equal(fs.existsSync(target), false, "the link's target was not created");
});
