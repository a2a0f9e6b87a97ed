// The relying party's side of a Tallykey sign-in: single-use challenges
// bound to a session, an origin and a purpose; verification of the key's
// digest of the bound message; enrolment; and a lock against guessing.
import crypto from "node:crypto";
import { TallykeyError } from "./errors.js";
import { boundMessage, canonicalOrigin, MAX_CONFIRM_TEXT_BYTES, type Purpose } from "./message.js";
import { keyEncryptionKeyFile, keyEncryptionKeyFrom, Sealer } from "./sealing.js";
import { SqliteStore } from "./sqlitestore.js";
import type { ChallengeRecord, KeyRecord, TallykeyStore } from "./store.js";

export type VerifyResult = "ok" | "unknown-key" | "expired" | "used" | "wrong-session" | "bad-digest" | "locked";

export interface Verification {
  result: VerifyResult;
  /** The key's account, when the result is ok. */
  account?: string;
  /** The confirmed text, when a confirmation is ok. */
  text?: string;
  /** Until when the key is locked (ms since the epoch), when the result is locked. */
  lockedUntil?: number;
}

export interface Answer {
  session: string;
  /** The challenge as issued: 64 hexadecimal digits. */
  challenge: string;
  /** The key's serial number (GetSN): 16 hexadecimal digits. */
  serial: string;
  /** The key's digest: 32 hexadecimal digits. */
  digest: string;
  /** The origin the page had; the server's own when left out. */
  origin?: string;
}

export interface ConfirmationAnswer extends Answer {
  /** The text the site asked to confirm; when given, the answer must be for it. */
  text?: string;
}

export interface Confirmation {
  challenge: string;
  /** The text for the page to have confirmed: the site's, with the challenge as its reference. */
  text: string;
}

export type EnrolmentStep =
  | { method: "InitPassword"; when: "blank-key" }
  | { method: "ResetDigist"; digestValue: string };

export interface Enrolment {
  serial: string;
  /** The new secret (32 hexadecimal digits): for the page's ResetDigist, once, and nowhere else. */
  secret: string;
  /** The first sign-in with the new secret must come before this (ms since the epoch). */
  expiresAt: number;
  steps: EnrolmentStep[];
}

export interface KeySummary {
  serial: string;
  active: boolean;
  pending: boolean;
  lockedUntil: number;
}

export interface TallykeyServerOptions {
  /** The site's origin (https://bank.example); a call may give its own. */
  origin?: string;
  /** The store; a SQLite file tallykey.sqlite in the working folder by default. */
  store?: TallykeyStore;
  /**
   * The operator's key-encryption key (32 bytes, or 64 hexadecimal digits).
   * A SQLite store without one makes and keeps its own beside its file
   * (FILE.kek, 0600); every other store needs it.
   */
  keyEncryptionKey?: Uint8Array | string;
  /** How long a challenge stands (default 2 minutes). */
  challengeMs?: number;
  /** How long an enrolment's secret waits for its first sign-in (default 10 minutes). */
  enrolmentMs?: number;
  /** Wrong digests in a row before the key is locked (default 5). */
  lockAfter?: number;
  /** The first lock (default 1 minute), doubling with each further wrong digest, at most maxLockMs (default 1 hour). */
  lockMs?: number;
  maxLockMs?: number;
  /** The clock (ms since the epoch); for tests. */
  now?: () => number;
}

const CHALLENGE_BYTES = 32;
const SECRET_BYTES = 16;
const MAX_SESSION_LENGTH = 1024;
const MAX_ACCOUNT_LENGTH = 256;
// Expired challenges stay a while, so that a late answer hears "expired".
const EXPIRED_KEPT_MS = 10 * 60 * 1000;
const PURGE_EVERY_MS = 60 * 1000;
const KEK_CHECK = "tallykey key-encryption key check";

const HEX = (digits: number) => new RegExp(`^[0-9a-fA-F]{${digits}}$`);
const CHALLENGE_HEX = HEX(CHALLENGE_BYTES * 2);
const SERIAL_HEX = HEX(16);
const DIGEST_HEX = HEX(32);

/**
 * The text a confirmation's key digests: the site's text, then the
 * challenge that makes it single-use, on the same line (a line break
 * would be marked in the window as a character that moves text around).
 */
export function confirmationText(text: string, challenge: string): string {
  return `${text} (reference ${challenge.toLowerCase()})`;
}

export class TallykeyServer {
  readonly #options: Required<Omit<TallykeyServerOptions, "origin" | "store" | "keyEncryptionKey">>;
  readonly #origin: string | undefined;
  readonly #store: TallykeyStore;
  readonly #opening: Promise<Sealer>;
  #lastPurge = 0;

  constructor(options: TallykeyServerOptions = {}) {
    this.#options = {
      challengeMs: positive(options.challengeMs, 120_000, "challengeMs"),
      enrolmentMs: positive(options.enrolmentMs, 600_000, "enrolmentMs"),
      lockAfter: positive(options.lockAfter, 5, "lockAfter"),
      lockMs: positive(options.lockMs, 60_000, "lockMs"),
      maxLockMs: positive(options.maxLockMs, 3_600_000, "maxLockMs"),
      now: options.now ?? Date.now,
    };
    this.#origin = options.origin === undefined ? undefined : canonicalOrigin(options.origin);
    this.#store = options.store ?? new SqliteStore();
    this.#opening = this.#open(options.keyEncryptionKey);
    // A failed start is reported by ready() and by every call, not as an unhandled rejection.
    this.#opening.catch(() => {});
  }

  /** Resolves once the store is open and the key-encryption key is proved the store's; rejects with why not. */
  async ready(): Promise<void> {
    await this.#opening;
  }

  async #open(given: Uint8Array | string | undefined): Promise<Sealer> {
    let kek: Buffer;
    if (given !== undefined)
      kek = keyEncryptionKeyFrom(given);
    else if (this.#store instanceof SqliteStore)
      kek = keyEncryptionKeyFile(`${this.#store.path}.kek`);
    else
      throw new TallykeyError("bad-key-encryption-key", "this store needs the operator's key-encryption key (keyEncryptionKey)");
    const sealer = new Sealer(kek);
    kek.fill(0);
    await this.#store.open();
    const check = await this.#store.keepMeta("kek-check", sealer.seal(Buffer.from(KEK_CHECK), "kek-check"));
    if (sealer.open(check, "kek-check")?.toString() !== KEK_CHECK) {
      sealer.wipe();
      throw new TallykeyError("wrong-key-encryption-key",
        "the key-encryption key is not the one this store's secrets were sealed with");
    }
    return sealer;
  }

  /** A sign-in challenge for the page's signIn: 64 hexadecimal digits. */
  async issueSignIn(session: string, options: { origin?: string } = {}): Promise<string> {
    return (await this.#issue(session, "sign-in", null, options.origin)).toString("hex");
  }

  /** A confirmation of the text (at most about 940 UTF-8 bytes, with room for the reference) for the page's confirm. */
  async issueConfirmation(session: string, text: string, options: { origin?: string } = {}): Promise<Confirmation> {
    if (typeof text !== "string" || text.length === 0)
      throw new TallykeyError("bad-argument", "a confirmation needs its text");
    const challenge = crypto.randomBytes(CHALLENGE_BYTES);
    const full = confirmationText(text, challenge.toString("hex"));
    if (Buffer.byteLength(full, "utf8") > MAX_CONFIRM_TEXT_BYTES)
      throw new TallykeyError("bad-argument", `the confirmation's text is over ${MAX_CONFIRM_TEXT_BYTES} UTF-8 bytes with its reference`);
    await this.#issue(session, "confirm", full, options.origin, challenge);
    return { challenge: challenge.toString("hex"), text: full };
  }

  async #issue(session: string, purpose: Purpose, text: string | null, origin: string | undefined,
               challenge = crypto.randomBytes(CHALLENGE_BYTES)): Promise<Buffer> {
    const record: ChallengeRecord = {
      challenge, session: sessionDigest(session), origin: this.#originFor(origin), purpose, text,
      expiresAt: this.#options.now() + this.#options.challengeMs,
    };
    await this.#opening;
    await this.#purge();
    await this.#store.addChallenge(record);
    return challenge;
  }

  async #purge(): Promise<void> {
    const now = this.#options.now();
    if (now - this.#lastPurge < PURGE_EVERY_MS)
      return;
    this.#lastPurge = now;
    await this.#store.dropExpiredChallenges(now - EXPIRED_KEPT_MS);
  }

  async verifySignIn(answer: Answer): Promise<Verification> {
    return this.#verify("sign-in", answer, undefined);
  }

  async verifyConfirmation(answer: ConfirmationAnswer): Promise<Verification> {
    return this.#verify("confirm", answer, answer.text);
  }

  async #verify(purpose: Purpose, answer: Answer, expectedText: string | undefined): Promise<Verification> {
    const sealer = await this.#opening;
    const origin = this.#originFor(answer.origin);
    const session = sessionDigest(answer.session);
    // A challenge that is not one of ours was never issued, so none is there to take.
    if (typeof answer.challenge !== "string" || !CHALLENGE_HEX.test(answer.challenge))
      return { result: "used" };
    const serial = typeof answer.serial === "string" && SERIAL_HEX.test(answer.serial) ? answer.serial.toLowerCase() : "";
    // Taken first, whatever follows: an answer is worth one try.
    const taken = await this.#store.takeChallenge(Buffer.from(answer.challenge, "hex"), serial);
    const challenge = taken.challenge;
    const now = this.#options.now();
    if (!challenge)
      return { result: "used" };
    if (challenge.expiresAt <= now)
      return { result: "expired" };
    if (!crypto.timingSafeEqual(challenge.session, session))
      return { result: "wrong-session" };
    const key = taken.key;
    const usable = key && usableSecrets(key, purpose, now);
    if (!key || !usable || (!usable.active && !usable.pending))
      return { result: "unknown-key" };
    if (key.lockedUntil > now)
      return { result: "locked", lockedUntil: key.lockedUntil };

    const boundHere = challenge.origin === origin && challenge.purpose === purpose &&
      (expectedText === undefined || challenge.text === confirmationText(expectedText, answer.challenge));
    const digest = typeof answer.digest === "string" && DIGEST_HEX.test(answer.digest) ? Buffer.from(answer.digest, "hex") : undefined;
    let matched: "active" | "pending" | undefined;
    if (boundHere && digest) {
      const payload = purpose === "sign-in" ? challenge.challenge : Buffer.from(challenge.text ?? "", "utf8");
      const message = await boundMessage(purpose, origin, payload);
      for (const which of ["active", "pending"] as const) {
        const sealed = usable[which];
        const secret = sealed && sealer.open(sealed, serial);
        if (!secret)
          continue;
        const expected = crypto.createHmac("md5", secret).update(message).digest();
        secret.fill(0);
        if (crypto.timingSafeEqual(expected, digest) && !matched)
          matched = which;
      }
    }
    if (!matched) {
      await this.#store.changeKey(serial, (current) => current && this.#afterWrongDigest(current, now));
      return { result: "bad-digest" };
    }
    if (matched === "pending" || key.failures > 0 || key.lockedUntil > 0) {
      const pending = key.pending;
      await this.#store.changeKey(serial, (current) => {
        if (!current)
          return undefined;
        const promote = matched === "pending" && current.pending !== null && pending !== null && current.pending.equals(pending);
        return { ...current, failures: 0, lockedUntil: 0, ...(promote ? { secret: current.pending, pending: null, pendingUntil: 0 } : {}) };
      });
    }
    return purpose === "confirm" ? { result: "ok", account: key.account, text: challenge.text ?? "" }
                                 : { result: "ok", account: key.account };
  }

  #afterWrongDigest(key: KeyRecord, now: number): KeyRecord {
    const failures = key.failures + 1;
    const { lockAfter, lockMs, maxLockMs } = this.#options;
    const lockedUntil = failures >= lockAfter ? now + Math.min(maxLockMs, lockMs * 2 ** Math.min(failures - lockAfter, 40))
                                              : key.lockedUntil;
    return { ...key, failures, lockedUntil };
  }

  /**
   * A new secret for the key, for the account: the page hands it to the key
   * (the steps), and it replaces the key's old one with its first sign-in.
   * A key that is another account's must be removed there first.
   */
  async enrol(account: string, serial: string): Promise<Enrolment> {
    const sealer = await this.#opening;
    checkAccount(account);
    if (typeof serial !== "string" || !SERIAL_HEX.test(serial))
      throw new TallykeyError("bad-argument", "a serial number is 16 hexadecimal digits");
    serial = serial.toLowerCase();
    const secret = crypto.randomBytes(SECRET_BYTES);
    const now = this.#options.now();
    const expiresAt = now + this.#options.enrolmentMs;
    const sealed = sealer.seal(secret, serial);
    await this.#store.changeKey(serial, (current) => {
      if (current && current.account !== account && current.secret)
        throw new TallykeyError("enrolled-elsewhere", "this key is enrolled to another account: remove it there first");
      const own = current && current.account === account;
      return { serial, account, secret: own ? current.secret : null, pending: sealed, pendingUntil: expiresAt,
               failures: own ? current.failures : 0, lockedUntil: own ? current.lockedUntil : 0 };
    });
    const hex = secret.toString("hex");
    secret.fill(0);
    return { serial, secret: hex, expiresAt,
             steps: [{ method: "InitPassword", when: "blank-key" }, { method: "ResetDigist", digestValue: hex }] };
  }

  /** Forgets the account's key; false when the account has no such key. */
  async remove(account: string, serial: string): Promise<boolean> {
    await this.#opening;
    checkAccount(account);
    if (typeof serial !== "string" || !SERIAL_HEX.test(serial))
      return false;
    let removed = false;
    await this.#store.changeKey(serial.toLowerCase(), (current) => {
      if (!current || current.account !== account)
        return undefined;
      removed = true;
      return "remove";
    });
    return removed;
  }

  async keys(account: string): Promise<KeySummary[]> {
    await this.#opening;
    checkAccount(account);
    const now = this.#options.now();
    return (await this.#store.keysOf(account)).map((key) => ({
      serial: key.serial, active: key.secret !== null, pending: key.pending !== null && key.pendingUntil > now,
      lockedUntil: key.lockedUntil,
    }));
  }

  async close(): Promise<void> {
    try {
      (await this.#opening).wipe();
    } catch {
      // It never opened: nothing to wipe.
    }
    await this.#store.close();
  }

  #originFor(origin: string | undefined): string {
    if (origin !== undefined)
      return canonicalOrigin(origin);
    if (this.#origin === undefined)
      throw new TallykeyError("bad-argument", "no origin: give the server the site's origin, or give it with the call");
    return this.#origin;
  }
}

function usableSecrets(key: KeyRecord, purpose: Purpose, now: number): { active: Buffer | null; pending: Buffer | null } {
  // A pending secret proves itself with a sign-in; until then it confirms nothing.
  const pending = purpose === "sign-in" && key.pendingUntil > now ? key.pending : null;
  return { active: key.secret, pending };
}

function sessionDigest(session: string): Buffer {
  if (typeof session !== "string" || session.length === 0 || session.length > MAX_SESSION_LENGTH)
    throw new TallykeyError("bad-argument", `a session id is a text of 1 to ${MAX_SESSION_LENGTH} characters`);
  return crypto.createHash("sha256").update(session, "utf8").digest();
}

function checkAccount(account: string): void {
  if (typeof account !== "string" || account.length === 0 || account.length > MAX_ACCOUNT_LENGTH)
    throw new TallykeyError("bad-argument", `an account is a text of 1 to ${MAX_ACCOUNT_LENGTH} characters`);
}

function positive(value: number | undefined, fallback: number, name: string): number {
  if (value === undefined)
    return fallback;
  if (!Number.isFinite(value) || value <= 0)
    throw new TallykeyError("bad-argument", `${name} must be a positive number`);
  return value;
}
