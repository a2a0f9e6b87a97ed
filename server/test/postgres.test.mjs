// The suite against PostgreSQL, in a cluster of this test's own, and what
// only a database server shows: it goes away mid-request and comes back.
// Without Debian's postgresql this exits 77, which CTest reports as skipped.
import assert from "node:assert/strict";
import pg from "pg";
import { test } from "node:test";
import { PostgresStore, TallykeyServer } from "../dist/index.js";
import { PostgresCluster, postgresBin } from "./postgres.mjs";
import { KEK, keyDigest, newSerial, newSession, serverSuite } from "./suite.mjs";

const found = postgresBin();
if (found.missing) {
  console.error(`SKIPPED: the PostgreSQL tests did not run: ${found.missing}`);
  process.exit(77);
}
const cluster = new PostgresCluster(found.bin);
cluster.start();
test.after(() => cluster.remove());

async function query(text, values) {
  const client = new pg.Client(cluster.connection);
  await client.connect();
  try {
    return (await client.query(text, values)).rows;
  } finally {
    await client.end();
  }
}

serverSuite({
  store: () => new PostgresStore(cluster.connection),
  rawKeyRow: async (serial) => (await query("SELECT * FROM tallykey_keys WHERE serial = $1", [serial]))[0],
});

test("a database that goes away: a clear error, never ok, nothing half-done; and back again", async () => {
  const site = new TallykeyServer({ origin: "https://bank.example", keyEncryptionKey: KEK,
                                    store: new PostgresStore({ ...cluster.connection, connectionTimeoutMillis: 2000 }) });
  try {
    const serial = newSerial();
    const { secret } = await site.enrol("frank", serial);
    const session = newSession();
    const first = await site.issueSignIn(session);
    const answer = { session, challenge: first, serial, digest: await keyDigest(secret, "sign-in", "https://bank.example", first) };
    // The pool holds a connection that the crash breaks under it.
    cluster.stop("immediate");
    await assert.rejects(site.verifySignIn(answer), { code: "store-unavailable", message: /PostgreSQL store failed/ });
    await assert.rejects(site.verifySignIn(answer), { code: "store-unavailable" });
    await assert.rejects(site.issueSignIn(session), { code: "store-unavailable" });
    cluster.start();
    // The failed takes took nothing: the answer still stands, once.
    assert.deepEqual(await site.verifySignIn(answer), { result: "ok", account: "frank" });
    assert.equal((await site.verifySignIn(answer)).result, "used");
  } finally {
    await site.close();
  }
});

test("a server without the operator's key-encryption key does not start", async () => {
  const site = new TallykeyServer({ store: new PostgresStore(cluster.connection) });
  await assert.rejects(site.ready(), { code: "bad-key-encryption-key", message: /needs the operator's key-encryption key/ });
  await site.close();
});

test("servers that start together on an empty database all start, on one schema and one key check", async () => {
  await query("CREATE DATABASE together");
  const servers = Array.from({ length: 8 }, () => new TallykeyServer({
    origin: "https://bank.example", keyEncryptionKey: KEK, store: new PostgresStore({ ...cluster.connection, database: "together" }) }));
  try {
    await Promise.all(servers.map((server) => server.ready()));
  } finally {
    await Promise.all(servers.map((server) => server.close()));
  }
});
