// Types of the Tallykey page library. Loading tallykey.js (a classic
// script, or `import "tallykey"`) defines the global `Tallykey`.

/** A result code of the key: 0 done, or a negative code. */
export type KeyCode =
  | 0
  | -1   // no HID support
  | -2   // no key
  | -3   // more than one key
  | -4   // the key did not open
  | -5   // wrong password (InitPassword: the key has a password already)
  | -6   // the key refused the operation
  | -11; // a bad argument: not a string, missing, malformed hex, a message over 61 bytes

/** A key's serial number: 16 lower-case hexadecimal digits. */
export type SerialNumber = string;
/** A keyed MD5 digest: 32 lower-case hexadecimal digits. */
export type Digest = string;

/** Why a connection or a call was refused; `Tallykey.ERRORS` describes each. */
export type ErrorCode =
  // the extension and the native host
  | "extension-missing"
  | "host-missing"
  | "host-exited"
  | "origin-refused"
  | "permission-denied"
  | "needs-gesture"
  | "version-mismatch"
  | "timeout"
  | "bad-request"
  | "extension-failed"
  | "busy"
  | "password-entry-required"
  | "cancelled"
  | "password-entry-unavailable"
  // WebHID
  | "hid-unavailable"
  | "hid-needs-gesture"
  | "hid-denied"
  | "no-key";

export interface TallykeyError extends Error {
  readonly name: "TallykeyError";
  readonly code: ErrorCode;
}

export interface Versions {
  library: string;
  extension?: string;
  host?: string;
  /** Set when the key is reached through WebHID. */
  webhid?: true;
  /** Set when the key is reached through the old plug-in. */
  plugin?: true;
}

/**
 * `Tallykey.ASK` in a password's place: the user types the password into
 * the extension's own window (`connect()` only; elsewhere the call rejects
 * with "password-entry-unavailable"). The page gets the result, or
 * "cancelled", and nothing else.
 */
export type Ask = { readonly tallykey: "ask" };
export type Password = string | Ask;

/** The key's eight methods. An argument that is not a string answers -11. */
export interface Key {
  readonly versions: Versions;
  InitPassword(password: Password): Promise<KeyCode>;
  /** The number of keys (through WebHID: the keys this site may use), or -1. */
  FindKeys(): Promise<number>;
  UpdatePassword(oldPassword: Password, newPassword: Password): Promise<KeyCode>;
  GetSN(): Promise<SerialNumber | KeyCode>;
  HMAC_MD5(password: Password, message: string): Promise<Digest | KeyCode>;
  ResetDigist(password: Password, digestValue: string): Promise<KeyCode>;
  HMAC_MD5_HexString(password: Password, hexMessage: string): Promise<Digest | KeyCode>;
  /** The trace file; "" switches it off. Through WebHID there is none: 0, as if off. */
  SetLog(name: string): Promise<KeyCode>;
}

/** A challenge for signIn: 16 to 32 bytes as 32 to 64 hexadecimal digits. */
export type HexChallenge = string;

/**
 * The key through the extension and the host, or through WebHID: the eight
 * methods and the two whose digests are bound to the page's origin as the
 * browser reports it (docs/sign-in.md). A digest made here is worth nothing
 * to a site of another origin.
 */
export interface BoundKey extends Key {
  /** The key's digest of a sign-in message for this origin and the challenge; -11 for a malformed challenge. */
  signIn(password: Password, challenge: HexChallenge): Promise<Digest | KeyCode>;
  /**
   * The key's digest of a confirmation of the text (at most 1024 UTF-8 bytes) for this origin. With
   * `Tallykey.ASK` the window shows the whole text.
   */
  confirm(password: Password, text: string): Promise<Digest | KeyCode>;
}

export interface ConnectOptions {
  /** Finding the extension and the host (default 3000 ms). */
  timeoutMs?: number;
  /** Waiting for the user's answer in the consent window (default 120000 ms). */
  consentTimeoutMs?: number;
  /** Each call (default 80000 ms). */
  callTimeoutMs?: number;
  /** The user typing a password in the extension's window: from its opening, and after each wrong one (default 120000 ms). */
  passwordEntryMs?: number;
}

export interface ConnectHidOptions {
  /** Waiting for the key behind the site's other tabs (default 80000 ms). */
  callTimeoutMs?: number;
  /** The WebAssembly core's bytes, for a page that bundles them. */
  wasmBinary?: ArrayBuffer | Uint8Array;
}

/** What the old plug-in's element offers: the eight methods, synchronous. */
export type PluginElement = { [method in MethodName]?: (...args: string[]) => unknown };

export type MethodName =
  | "InitPassword"
  | "FindKeys"
  | "UpdatePassword"
  | "GetSN"
  | "HMAC_MD5"
  | "ResetDigist"
  | "HMAC_MD5_HexString"
  | "SetLog";

export interface TallykeyLibrary {
  /** Through the Tallykey extension and its native host. */
  connect(options?: ConnectOptions): Promise<BoundKey>;
  /** Through WebHID, with nothing installed (Chrome, Edge). */
  connectHid(options?: ConnectHidOptions): Promise<BoundKey>;
  /** Through the old plug-in's element. */
  fromPlugin(element: PluginElement): Key;
  /** In a password's place: the user types it into the extension's window. */
  readonly ASK: Ask;
  readonly Error: new (code: ErrorCode, detail?: string) => TallykeyError;
  readonly ERRORS: Readonly<Record<ErrorCode, string>>;
  readonly VERSION: string;
  readonly METHODS: readonly MethodName[];
  readonly BOUND_METHODS: readonly ("signIn" | "confirm")[];
}

declare global {
  const Tallykey: TallykeyLibrary;
}
