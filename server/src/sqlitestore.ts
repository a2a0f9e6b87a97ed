// The embedded store: one SQLite file, for a site on a single server.
import Database from "better-sqlite3";
import fs from "node:fs";
import { TallykeyError } from "./errors.js";
import { openOwnFile } from "./files.js";
import type { Purpose } from "./message.js";
import { schemaSql, type ChallengeRecord, type KeyChange, type KeyRecord, type TallykeyStore } from "./store.js";

const SCHEMA = schemaSql({ bytes: "BLOB", bigint: "INTEGER" });

interface ChallengeRow { challenge: Buffer; session: Buffer; origin: string; purpose: string; text: string | null; expires_at: number }
interface KeyRow { serial: string; account: string; secret: Buffer | null; pending: Buffer | null; pending_until: number; failures: number; locked_until: number }

function challengeOf(row: ChallengeRow): ChallengeRecord {
  return { challenge: row.challenge, session: row.session, origin: row.origin, purpose: row.purpose as Purpose,
           text: row.text, expiresAt: row.expires_at };
}

function keyOf(row: KeyRow): KeyRecord {
  return { serial: row.serial, account: row.account, secret: row.secret, pending: row.pending,
           pendingUntil: row.pending_until, failures: row.failures, lockedUntil: row.locked_until };
}

export class SqliteStore implements TallykeyStore {
  readonly path: string;
  #db: Database.Database | undefined;
  // Each statement compiled once per connection: compiling costs more than running.
  readonly #statements = new Map<string, Database.Statement>();

  constructor(path = "tallykey.sqlite") {
    this.path = path;
  }

  async open(): Promise<void> {
    this.#guard(() => {
      // The file holds sealed secrets and lockouts: made this user's alone
      // (0600), and never reached through a link, which SQLite would follow
      // and even create the file it points to.
      fs.closeSync(openOwnFile(this.path, fs.constants.O_RDWR | fs.constants.O_CREAT));
      const db = new Database(this.path, { timeout: 5000 });
      this.#db = db;
      db.pragma("journal_mode = WAL");
      // A take must outlive a power cut: otherwise a used challenge could come back.
      db.pragma("synchronous = FULL");
      db.exec(SCHEMA);
    });
  }

  async keepMeta(name: string, value: Buffer): Promise<Buffer> {
    return this.#run((db) => {
      this.#sql(db, "INSERT INTO tallykey_meta (name, value) VALUES (?, ?) ON CONFLICT (name) DO NOTHING").run(name, value);
      return (this.#sql(db, "SELECT value FROM tallykey_meta WHERE name = ?").get(name) as { value: Buffer }).value;
    });
  }

  async addChallenge(record: ChallengeRecord): Promise<void> {
    this.#run((db) => {
      this.#sql(db, "INSERT INTO tallykey_challenges (challenge, session, origin, purpose, text, expires_at) VALUES (?, ?, ?, ?, ?, ?)")
        .run(record.challenge, record.session, record.origin, record.purpose, record.text, record.expiresAt);
    });
  }

  async takeChallenge(challenge: Buffer, serial: string): Promise<{ challenge?: ChallengeRecord; key?: KeyRecord }> {
    return this.#run((db) => {
      // The DELETE alone is the take, atomic as it stands; the key's row is
      // read after it, as fresh as in any later step.
      const taken = this.#sql(db, "DELETE FROM tallykey_challenges WHERE challenge = ? RETURNING *").get(challenge) as ChallengeRow | undefined;
      const key = taken && this.#sql(db, "SELECT * FROM tallykey_keys WHERE serial = ?").get(serial) as KeyRow | undefined;
      return { challenge: taken && challengeOf(taken), key: key ? keyOf(key) : undefined };
    });
  }

  async dropExpiredChallenges(before: number): Promise<number> {
    return this.#run((db) => this.#sql(db, "DELETE FROM tallykey_challenges WHERE expires_at < ?").run(before).changes);
  }

  async changeKey(serial: string, change: KeyChange): Promise<KeyRecord | undefined> {
    return this.#run((db) => {
      const apply = db.transaction(() => {
        const row = this.#sql(db, "SELECT * FROM tallykey_keys WHERE serial = ?").get(serial) as KeyRow | undefined;
        const current = row && keyOf(row);
        const next = change(current);
        if (next === undefined)
          return current;
        if (next === "remove") {
          this.#sql(db, "DELETE FROM tallykey_keys WHERE serial = ?").run(serial);
          return undefined;
        }
        this.#sql(db, `INSERT INTO tallykey_keys (serial, account, secret, pending, pending_until, failures, locked_until)
                    VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (serial) DO UPDATE SET account = excluded.account,
                    secret = excluded.secret, pending = excluded.pending, pending_until = excluded.pending_until,
                    failures = excluded.failures, locked_until = excluded.locked_until`)
          .run(serial, next.account, next.secret, next.pending, next.pendingUntil, next.failures, next.lockedUntil);
        return next;
      });
      return apply.immediate();
    });
  }

  async keysOf(account: string): Promise<KeyRecord[]> {
    return this.#run((db) => (this.#sql(db, "SELECT * FROM tallykey_keys WHERE account = ? ORDER BY serial").all(account) as KeyRow[]).map(keyOf));
  }

  #sql(db: Database.Database, text: string): Database.Statement {
    let statement = this.#statements.get(text);
    if (!statement) {
      statement = db.prepare(text);
      this.#statements.set(text, statement);
    }
    return statement;
  }

  async close(): Promise<void> {
    this.#statements.clear();
    this.#db?.close();
    this.#db = undefined;
  }

  #run<T>(step: (db: Database.Database) => T): T {
    return this.#guard(() => {
      if (!this.#db)
        throw new Error("the store is not open");
      return step(this.#db);
    });
  }

  // What failed, as the store's error; never a secret, which no statement's message holds.
  #guard<T>(step: () => T): T {
    try {
      return step();
    } catch (error) {
      if (error instanceof TallykeyError)
        throw error;
      throw new TallykeyError("store-unavailable", `the SQLite store ${this.path} failed: ${(error as Error).message}`);
    }
  }
}
