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
