// What the server keeps, and the one interface its stores offer. Every
// method is one atomic step of the store's, so that several servers on one
// shared store never see half of another's change.
import type { Purpose } from "./message.js";

export interface ChallengeRecord {
  challenge: Buffer;
  /** SHA-256 of the session id: a session id is a bearer secret, the store keeps none. */
  session: Buffer;
  origin: string;
  purpose: Purpose;
  /** A confirmation's text as the site gave it; null for a sign-in. */
  text: string | null;
  /** Milliseconds since the epoch. */
  expiresAt: number;
}

export interface KeyRecord {
  serial: string;
  account: string;
  /** The active secret, sealed; null until a first sign-in with a pending one. */
  secret: Buffer | null;
  /** A new secret from an enrolment, sealed; it becomes the active one with its first sign-in. */
  pending: Buffer | null;
  pendingUntil: number;
  /** Wrong digests in a row, and until when the key is locked (ms since the epoch). */
  failures: number;
  lockedUntil: number;
}

/** Computes a key's new record from its current one: undefined leaves it, "remove" forgets the key. */
export type KeyChange = (current: KeyRecord | undefined) => KeyRecord | "remove" | undefined;

export interface TallykeyStore {
  /** Makes the schema where it is missing; safe when several servers start at once. */
  open(): Promise<void>;
  /** The value stored under name; the one given when there was none. */
  keepMeta(name: string, value: Buffer): Promise<Buffer>;
  addChallenge(record: ChallengeRecord): Promise<void>;
  /**
   * Deletes the challenge and answers what it was, with the key's record:
   * one atomic statement, so that of any number of concurrent takes of one
   * challenge, on any number of servers, exactly one gets it.
   */
  takeChallenge(challenge: Buffer, serial: string): Promise<{ challenge?: ChallengeRecord; key?: KeyRecord }>;
  /** Forgets the challenges that expired before the time; how many. */
  dropExpiredChallenges(before: number): Promise<number>;
  /** Applies the change to the key's record under the store's lock; the record as it then is. */
  changeKey(serial: string, change: KeyChange): Promise<KeyRecord | undefined>;
  keysOf(account: string): Promise<KeyRecord[]>;
  close(): Promise<void>;
}

/**
 * The tables every SQL store keeps, in its own types for bytes and for
 * 64-bit integers (times in ms since the epoch).
 */
export function schemaSql(types: { bytes: string; bigint: string }): string {
  const { bytes, bigint } = types;
  return `
CREATE TABLE IF NOT EXISTS tallykey_meta (name TEXT PRIMARY KEY, value ${bytes} NOT NULL);
CREATE TABLE IF NOT EXISTS tallykey_challenges (
  challenge ${bytes} PRIMARY KEY, session ${bytes} NOT NULL, origin TEXT NOT NULL, purpose TEXT NOT NULL,
  text TEXT, expires_at ${bigint} NOT NULL);
CREATE INDEX IF NOT EXISTS tallykey_challenges_expiry ON tallykey_challenges (expires_at);
CREATE TABLE IF NOT EXISTS tallykey_keys (
  serial TEXT PRIMARY KEY, account TEXT NOT NULL, secret ${bytes}, pending ${bytes},
  pending_until ${bigint} NOT NULL, failures INTEGER NOT NULL, locked_until ${bigint} NOT NULL);
CREATE INDEX IF NOT EXISTS tallykey_keys_account ON tallykey_keys (account);
`;
}
