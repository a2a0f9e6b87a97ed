/** Why the server could not do what it was asked; never carries a secret. */
export type TallykeyErrorCode =
  | "bad-argument"
  | "bad-key-encryption-key"
  | "wrong-key-encryption-key"
  | "store-unavailable"
  | "enrolled-elsewhere"
  | "unknown-key";

export class TallykeyError extends Error {
  readonly code: TallykeyErrorCode;

  constructor(code: TallykeyErrorCode, message: string) {
    super(message);
    this.name = "TallykeyError";
    this.code = code;
  }
}
