// Benchmark (not a test): tallykey-server's verifications per second with
// each store, against the limit, which is the bare database doing the same
// single-use take (DELETE … RETURNING on the same schema, from the same
// client library, as many at once) in the same run; the goal is at least
// 0.8 of it. Then issue and verify latency (50th and 99th percentiles) with
// 1, 8 and 64 concurrent clients. PostgreSQL is a cluster of the bench's
// own (skipped, and said, without Debian's postgresql).
//
//   node server/bench.mjs [COUNT]      (after tools/build.sh)
import Database from "better-sqlite3";
import crypto from "node:crypto";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import pg from "pg";
import { PostgresStore, SqliteStore, TallykeyServer } from "./dist/index.js";
import { PostgresCluster, postgresBin } from "./test/postgres.mjs";
import { keyDigest } from "./test/suite.mjs";

const COUNT = Number(process.argv[2] || 2000);
const ORIGIN = "https://bank.example";
const KEK = crypto.randomBytes(32);
// Clients at once for the throughput: the pool's size, node-postgres's default.
const AT_ONCE = 10;

const row = (cells) => cells.map((cell, i) => String(cell).padEnd(i === 0 ? 12 : 14)).join("");
const percentile = (sorted, p) => sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * p))];

// Runs task(i) for i < count, at most atOnce at a time; the seconds it took.
async function timed(count, atOnce, task) {
  let next = 0;
  const started = performance.now();
  await Promise.all(Array.from({ length: atOnce }, async () => {
    while (next < count)
      await task(next++);
  }));
  return (performance.now() - started) / 1000;
}

async function enrolledKey(site) {
  const serial = crypto.randomBytes(8).toString("hex");
  const { secret } = await site.enrol("bench", serial);
  const session = "s";
  const challenge = await site.issueSignIn(session);
  const verified = await site.verifySignIn({ session, challenge, serial, digest: await keyDigest(secret, "sign-in", ORIGIN, challenge) });
  if (verified.result !== "ok")
    throw new Error(`enrolment: ${verified.result}`);
  return { serial, secret };
}

// Answers ready to verify: the key's digests computed before the clock starts.
async function answers(site, key, count) {
  const list = [];
  for (let i = 0; i < count; i++) {
    const session = `session-${i}`;
    const challenge = await site.issueSignIn(session);
    list.push({ session, challenge, serial: key.serial, digest: await keyDigest(key.secret, "sign-in", ORIGIN, challenge) });
  }
  return list;
}

const bareRow = () => [crypto.randomBytes(32), crypto.randomBytes(32), ORIGIN, "sign-in", null, Date.now() + 600_000];

// This machine's figures swing within a run (two cores shared with the
// database, a disk whose flushes vary): ours and the limit take turns in
// small batches, so that both meet the same conditions.
const BATCH = 50;

async function bench(name, store, bare) {
  const site = new TallykeyServer({ origin: ORIGIN, store, keyEncryptionKey: KEK });
  await site.ready();
  const key = await enrolledKey(site);
  const ready = await answers(site, key, COUNT);
  const limit = await bare.prepare(COUNT);
  let ours = 0, theirs = 0;
  for (let at = 0; at < COUNT; at += BATCH) {
    const size = Math.min(BATCH, COUNT - at);
    ours += await timed(size, AT_ONCE, async (i) => {
      const { result } = await site.verifySignIn(ready[at + i]);
      if (result !== "ok")
        throw new Error(`verify: ${result}`);
    });
    theirs += await timed(size, AT_ONCE, (i) => limit.take(at + i));
  }
  await limit.close();
  const rate = COUNT / ours, limitRate = COUNT / theirs;
  console.log(row([name, rate.toFixed(0), limitRate.toFixed(0), (rate / limitRate).toFixed(2), "0.80"]));
  const latency = [];
  for (const clients of [1, 8, 64]) {
    const issue = [], verify = [];
    const rounds = Math.max(200, clients * 10);
    await timed(rounds, clients, async (i) => {
      const session = `latency-${clients}-${i}`;
      let at = performance.now();
      const challenge = await site.issueSignIn(session);
      issue.push(performance.now() - at);
      const digest = await keyDigest(key.secret, "sign-in", ORIGIN, challenge);
      at = performance.now();
      const { result } = await site.verifySignIn({ session, challenge, serial: key.serial, digest });
      verify.push(performance.now() - at);
      if (result !== "ok")
        throw new Error(`verify: ${result}`);
    });
    issue.sort((a, b) => a - b);
    verify.sort((a, b) => a - b);
    latency.push(row([name, clients, ...[issue, verify].flatMap((list) => [0.5, 0.99].map((p) => percentile(list, p).toFixed(2)))]));
  }
  await site.close();
  return latency;
}

const folder = fs.mkdtempSync(path.join(os.tmpdir(), "tallykey-bench-"));
const latencies = [];
console.log(`${COUNT} verifications of right answers, ${AT_ONCE} at once, in batches of ${BATCH} taking turns with the limit:`);
console.log("the bare DELETE … RETURNING of as many challenges, on the same schema, from the same client library");
console.log(row(["store", "verified/s", "limit/s", "ratio", "goal"]));
try {
  const file = path.join(folder, "bench.sqlite");
  latencies.push(...await bench("sqlite", new SqliteStore(file), { prepare(count) {
    // The store's own settings: WAL, and every take durable.
    const db = new Database(file, { timeout: 5000 });
    db.pragma("journal_mode = WAL");
    db.pragma("synchronous = FULL");
    const insert = db.prepare("INSERT INTO tallykey_challenges VALUES (?, ?, ?, ?, ?, ?)");
    const ids = Array.from({ length: count }, () => {
      const values = bareRow();
      insert.run(...values);
      return values[0];
    });
    const take = db.prepare("DELETE FROM tallykey_challenges WHERE challenge = ? RETURNING *");
    return {
      async take(i) {
        if (!take.get(ids[i]))
          throw new Error("bare take: nothing");
      },
      async close() {
        db.close();
      },
    };
  } }));
  const found = postgresBin();
  if (found.missing) {
    console.log(row(["postgres", `SKIPPED: ${found.missing}`]));
  } else {
    const cluster = new PostgresCluster(found.bin);
    cluster.start();
    try {
      latencies.push(...await bench("postgres", new PostgresStore(cluster.connection), { async prepare(count) {
        const pool = new pg.Pool(cluster.connection);
        const ids = [];
        for (let i = 0; i < count; i++) {
          const values = bareRow();
          await pool.query("INSERT INTO tallykey_challenges VALUES ($1, $2, $3, $4, $5, $6)", values);
          ids.push(values[0]);
        }
        return {
          async take(i) {
            if ((await pool.query("DELETE FROM tallykey_challenges WHERE challenge = $1 RETURNING *", [ids[i]])).rowCount !== 1)
              throw new Error("bare take: nothing");
          },
          close: () => pool.end(),
        };
      } }));
    } finally {
      cluster.remove();
    }
  }
} finally {
  fs.rmSync(folder, { recursive: true, force: true });
}
console.log();
console.log("latency in ms, each client issuing then verifying in turn");
console.log(row(["store", "clients", "issue p50", "issue p99", "verify p50", "verify p99"]));
for (const line of latencies)
  console.log(line);
