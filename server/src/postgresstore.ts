// The shared store: PostgreSQL, for several servers behind a load balancer.
// Challenges, secrets and lockouts live in the database alone, so any
// server can answer any step of a sign-in.
import pg from "pg";
import { TallykeyError } from "./errors.js";
import type { Purpose } from "./message.js";
import { schemaSql, type ChallengeRecord, type KeyChange, type KeyRecord, type TallykeyStore } from "./store.js";

const SCHEMA = schemaSql({ bytes: "BYTEA", bigint: "BIGINT" });
// Servers that start together must not race to make the schema.
const SCHEMA_LOCK = 0x54414c4c;

// The take: the challenge's row goes in the same statement that reads it,
// so two servers can never both get it. The key's row comes along.
const TAKE = `
WITH taken AS (DELETE FROM tallykey_challenges WHERE challenge = $1 RETURNING *)
SELECT t.challenge, t.session, t.origin, t.purpose, t.text, t.expires_at,
       k.serial, k.account, k.secret, k.pending, k.pending_until, k.failures, k.locked_until
FROM (SELECT 1) AS one LEFT JOIN taken AS t ON true LEFT JOIN tallykey_keys AS k ON k.serial = $2`;

type Row = Record<string, unknown>;

function challengeOf(row: Row): ChallengeRecord {
  return { challenge: row.challenge as Buffer, session: row.session as Buffer, origin: row.origin as string,
           purpose: row.purpose as Purpose, text: row.text as string | null, expiresAt: Number(row.expires_at) };
}

function keyOf(row: Row): KeyRecord {
  return { serial: row.serial as string, account: row.account as string, secret: row.secret as Buffer | null,
           pending: row.pending as Buffer | null, pendingUntil: Number(row.pending_until),
           failures: Number(row.failures), lockedUntil: Number(row.locked_until) };
}

export interface PostgresStoreOptions extends pg.PoolConfig {}

export class PostgresStore implements TallykeyStore {
  readonly #pool: pg.Pool;

  /** Connection settings as node-postgres takes them (PGHOST and the like apply). */
  constructor(options: PostgresStoreOptions = {}) {
    // No wait is unbounded: connecting, each statement, and a lock.
    this.#pool = new pg.Pool({ connectionTimeoutMillis: 5000, query_timeout: 10000, statement_timeout: 10000,
                               lock_timeout: 5000, ...options });
    // A pooled connection that the server drops must not end the process;
    // the next request gets a fresh connection, or a clear error.
    this.#pool.on("error", () => {});
  }

  async open(): Promise<void> {
    await this.#transaction(async (client) => {
      await client.query("SELECT pg_advisory_xact_lock($1)", [SCHEMA_LOCK]);
      await client.query(SCHEMA);
    });
  }

  async keepMeta(name: string, value: Buffer): Promise<Buffer> {
    // A server that adds the value at the same moment as another sees
    // neither its own row nor the other's in that statement: it asks again.
    for (let attempt = 0; attempt < 3; attempt++) {
      const result = await this.#query(
        `WITH added AS (INSERT INTO tallykey_meta (name, value) VALUES ($1, $2) ON CONFLICT (name) DO NOTHING RETURNING value)
         SELECT value FROM added UNION ALL SELECT value FROM tallykey_meta WHERE name = $1 LIMIT 1`, [name, value]);
      if (result.rows.length > 0)
        return result.rows[0].value as Buffer;
    }
    throw new TallykeyError("store-unavailable", `the PostgreSQL store keeps no ${name}`);
  }

  async addChallenge(record: ChallengeRecord): Promise<void> {
    await this.#query(
      "INSERT INTO tallykey_challenges (challenge, session, origin, purpose, text, expires_at) VALUES ($1, $2, $3, $4, $5, $6)",
      [record.challenge, record.session, record.origin, record.purpose, record.text, record.expiresAt], "tallykey-add");
  }

  async takeChallenge(challenge: Buffer, serial: string): Promise<{ challenge?: ChallengeRecord; key?: KeyRecord }> {
    // Named: each connection plans it once.
    const row = (await this.#query(TAKE, [challenge, serial], "tallykey-take")).rows[0] as Row;
    return { challenge: row.challenge ? challengeOf(row) : undefined, key: row.serial ? keyOf(row) : undefined };
  }

  async dropExpiredChallenges(before: number): Promise<number> {
    return (await this.#query("DELETE FROM tallykey_challenges WHERE expires_at < $1", [before])).rowCount ?? 0;
  }

  async changeKey(serial: string, change: KeyChange): Promise<KeyRecord | undefined> {
    return this.#transaction(async (client) => {
      // The lock is the serial's, so that it holds before the row exists.
      await client.query("SELECT pg_advisory_xact_lock(hashtextextended($1, 0))", [serial]);
      const found = (await client.query("SELECT * FROM tallykey_keys WHERE serial = $1", [serial])).rows[0] as Row | undefined;
      const current = found && keyOf(found);
      const next = change(current);
      if (next === undefined)
        return current;
      if (next === "remove") {
        await client.query("DELETE FROM tallykey_keys WHERE serial = $1", [serial]);
        return undefined;
      }
      await client.query(
        `INSERT INTO tallykey_keys (serial, account, secret, pending, pending_until, failures, locked_until)
         VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (serial) DO UPDATE SET account = excluded.account,
         secret = excluded.secret, pending = excluded.pending, pending_until = excluded.pending_until,
         failures = excluded.failures, locked_until = excluded.locked_until`,
        [serial, next.account, next.secret, next.pending, next.pendingUntil, next.failures, next.lockedUntil]);
      return next;
    });
  }

  async keysOf(account: string): Promise<KeyRecord[]> {
    return (await this.#query("SELECT * FROM tallykey_keys WHERE account = $1 ORDER BY serial", [account])).rows.map(keyOf);
  }

  async close(): Promise<void> {
    await this.#pool.end();
  }

  async #query(text: string, values: unknown[], name?: string): Promise<pg.QueryResult> {
    try {
      return await this.#pool.query({ text, values, ...(name ? { name } : {}) });
    } catch (error) {
      throw unavailable(error);
    }
  }

  async #transaction<T>(step: (client: pg.PoolClient) => Promise<T>): Promise<T> {
    let client: pg.PoolClient;
    try {
      client = await this.#pool.connect();
    } catch (error) {
      throw unavailable(error);
    }
    let broken: unknown;
    try {
      await client.query("BEGIN");
      const result = await step(client);
      await client.query("COMMIT");
      return result;
    } catch (error) {
      broken = error;
      // A failed rollback means the connection is gone: the server rolls back.
      await client.query("ROLLBACK").catch(() => {});
      throw error instanceof TallykeyError ? error : unavailable(error);
    } finally {
      client.release(broken instanceof Error && !(broken instanceof TallykeyError) ? broken : undefined);
    }
  }
}

function unavailable(error: unknown): TallykeyError {
  return new TallykeyError("store-unavailable", `the PostgreSQL store failed: ${(error as Error).message}`);
}
