// Key secrets at rest: AES-256-GCM under the operator's key-encryption
// key, with the key's serial number as associated data, so that a sealed
// secret moved to another key's row no longer opens.
import crypto from "node:crypto";
import fs from "node:fs";
import { TallykeyError } from "./errors.js";
import { openOwnFile } from "./files.js";

const VERSION = 1;
const IV_BYTES = 12;
const TAG_BYTES = 16;
export const KEK_BYTES = 32;

export class Sealer {
  readonly #kek: Buffer;

  constructor(keyEncryptionKey: Uint8Array) {
    if (keyEncryptionKey.length !== KEK_BYTES)
      throw new TallykeyError("bad-key-encryption-key", `the key-encryption key must be ${KEK_BYTES} bytes`);
    this.#kek = Buffer.from(keyEncryptionKey);
  }

  seal(secret: Uint8Array, associated: string): Buffer {
    const iv = crypto.randomBytes(IV_BYTES);
    const cipher = crypto.createCipheriv("aes-256-gcm", this.#kek, iv, { authTagLength: TAG_BYTES });
    cipher.setAAD(Buffer.from(associated, "utf8"));
    const body = Buffer.concat([cipher.update(secret), cipher.final()]);
    return Buffer.concat([Buffer.of(VERSION), iv, body, cipher.getAuthTag()]);
  }

  /** The secret, or undefined when this key did not seal it for this serial (or it was changed). */
  open(sealed: Uint8Array, associated: string): Buffer | undefined {
    if (sealed.length < 1 + IV_BYTES + TAG_BYTES || sealed[0] !== VERSION)
      return undefined;
    const iv = sealed.subarray(1, 1 + IV_BYTES);
    const body = sealed.subarray(1 + IV_BYTES, sealed.length - TAG_BYTES);
    try {
      const decipher = crypto.createDecipheriv("aes-256-gcm", this.#kek, iv, { authTagLength: TAG_BYTES });
      decipher.setAAD(Buffer.from(associated, "utf8"));
      decipher.setAuthTag(sealed.subarray(sealed.length - TAG_BYTES));
      return Buffer.concat([decipher.update(body), decipher.final()]);
    } catch {
      return undefined;
    }
  }

  wipe(): void {
    this.#kek.fill(0);
  }
}

/** A key-encryption key given as 32 bytes or 64 hexadecimal digits. */
export function keyEncryptionKeyFrom(given: Uint8Array | string): Buffer {
  if (typeof given === "string") {
    if (!/^[0-9a-fA-F]{64}$/.test(given))
      throw new TallykeyError("bad-key-encryption-key", `the key-encryption key must be ${KEK_BYTES * 2} hexadecimal digits`);
    return Buffer.from(given, "hex");
  }
  if (given.length !== KEK_BYTES)
    throw new TallykeyError("bad-key-encryption-key", `the key-encryption key must be ${KEK_BYTES} bytes`);
  return Buffer.from(given);
}

/**
 * The embedded store's own key-encryption key, in a file beside it: made
 * once (0600, never over an existing file), then read, but only from a
 * regular file of this user's that nobody else can read or write.
 */
export function keyEncryptionKeyFile(path: string): Buffer {
  const { O_RDONLY, O_WRONLY, O_CREAT, O_EXCL, O_NOFOLLOW } = fs.constants;
  let made: number | undefined;
  try {
    made = fs.openSync(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0o600);
  } catch (error) {
    if ((error as NodeJS.ErrnoException).code !== "EEXIST")
      throw new TallykeyError("bad-key-encryption-key", `cannot make the key-encryption key file ${path}: ${(error as Error).message}`);
  }
  if (made !== undefined) {
    const kek = crypto.randomBytes(KEK_BYTES);
    try {
      fs.writeSync(made, kek.toString("hex") + "\n");
      fs.fsyncSync(made);
      return kek;
    } catch (error) {
      // Half a key file would stop every later start: the file was this call's own, so it goes.
      fs.rmSync(path, { force: true });
      throw new TallykeyError("bad-key-encryption-key", `cannot write the key-encryption key file ${path}: ${(error as Error).message}`);
    } finally {
      fs.closeSync(made);
    }
  }
  let fd: number;
  try {
    fd = openOwnFile(path, O_RDONLY);
  } catch (error) {
    throw new TallykeyError("bad-key-encryption-key", `cannot open the key-encryption key file ${path}: ${(error as Error).message}`);
  }
  try {
    if ((fs.fstatSync(fd).mode & 0o077) !== 0)
      throw new TallykeyError("bad-key-encryption-key",
        `the key-encryption key file ${path} must be a regular file of this user's, mode 0600`);
    const text = Buffer.alloc(KEK_BYTES * 2 + 2);
    const read = fs.readSync(fd, text, 0, text.length, 0);
    const hex = text.subarray(0, read).toString("latin1").trim();
    text.fill(0);
    return keyEncryptionKeyFrom(hex);
  } finally {
    fs.closeSync(fd);
  }
}
