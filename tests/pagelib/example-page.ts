// A page script written against the page library's declarations, as a page
// developer who installed the npm package would write it.
import "tallykey";
import type { Digest, ErrorCode, Key, KeyCode, TallykeyError } from "tallykey";

// The extension where it answers, WebHID otherwise.
export function connectKey(): Promise<Key> {
  return Tallykey.connect({ timeoutMs: 2000 }).catch((error: TallykeyError) =>
    error.code === "extension-missing" ? Tallykey.connectHid({ callTimeoutMs: 30000 }) : Promise.reject(error));
}

export async function signIn(password: string, challenge: string): Promise<Digest> {
  const key = await connectKey();
  const path = key.versions.webhid ? "WebHID" : key.versions.plugin ? "plug-in" : `host ${key.versions.host}`;
  console.log(`through ${path}: ${await key.FindKeys()} key(s), serial ${await key.GetSN()}`);
  const digest = await key.HMAC_MD5(password, challenge);
  if (typeof digest === "number")
    throw new Error(`the key answered ${digest}`);
  return digest;
}

export async function setUp(key: Key, first: string, value: string): Promise<KeyCode[]> {
  return Promise.all([key.InitPassword(first), key.ResetDigist(first, value), key.SetLog("")]);
}

export function describe(error: unknown): string {
  if (error instanceof Tallykey.Error) {
    const code: ErrorCode = error.code;
    return `${code}: ${Tallykey.ERRORS[code]}`;
  }
  return String(error);
}

export const methods: readonly string[] = Tallykey.METHODS;

// A sign-in bound to this page's origin: the site checks the digest against
// the challenge it issued and the key's secret.
export async function boundSignIn(password: string, challenge: string): Promise<string | null> {
  const key = await Tallykey.connect();
  const digest = await key.signIn(password, challenge);
  return typeof digest === "string" ? digest : null;
}
