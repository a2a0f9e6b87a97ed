// The bound messages a key digests, built by the key layer's own code
// (KEYMETHODS::BoundMessage compiled to WebAssembly), so that the server
// verifies byte for byte what the host had the key digest. SHA-256 is
// node:crypto's.
import crypto from "node:crypto";
import fs from "node:fs";
import { createRequire } from "node:module";

export type Purpose = "sign-in" | "confirm";

export const MAX_CONFIRM_TEXT_BYTES = 1024;

const CORE = new URL("./core/", import.meta.url);

interface Core {
  HEAPU8: Uint8Array;
  _malloc(bytes: number): number;
  _free(at: number): void;
  _tallykey_bound_message(purpose: number, origin: number, originLength: number, payload: number,
                          payloadLength: number, out: number): number;
}
type CoreFactory = (options: { wasmBinary: Uint8Array; tallykeySha256: (bytes: Uint8Array) => Buffer }) => Promise<Core>;

let loading: Promise<Core> | undefined;

function loadCore(): Promise<Core> {
  loading ??= (async () => {
    const factory = createRequire(import.meta.url)(new URL("tallykey-server-core.cjs", CORE).pathname) as CoreFactory;
    // Node 20's fetch cannot read a file: the module gets the bytes.
    const wasmBinary = fs.readFileSync(new URL("tallykey-server-core.wasm", CORE));
    return factory({ wasmBinary, tallykeySha256: (bytes) => crypto.createHash("sha256").update(bytes).digest() });
  })();
  return loading;
}

/** The message for a canonical origin and the payload: the challenge's bytes, or the text's UTF-8 bytes. */
export async function boundMessage(purpose: Purpose, origin: string, payload: Uint8Array): Promise<Buffer> {
  const core = await loadCore();
  const originBytes = Buffer.from(origin, "utf8");
  const at = core._malloc(originBytes.length + payload.length + 64);
  if (!at)
    throw new Error("the message core is out of memory");
  try {
    core.HEAPU8.set(originBytes, at);
    core.HEAPU8.set(payload, at + originBytes.length);
    const out = at + originBytes.length + payload.length;
    const length = core._tallykey_bound_message(purpose === "sign-in" ? 0 : 1, at, originBytes.length,
                                                at + originBytes.length, payload.length, out);
    if (length <= 0)
      throw new RangeError(`no ${purpose} message for this payload (${payload.length} bytes)`);
    return Buffer.from(core.HEAPU8.slice(out, out + length));
  } finally {
    core._free(at);
  }
}

/**
 * An origin as browsers serialise it, the form the host binds messages to:
 * lower-case scheme and host, punycode, no default port, no path.
 */
export function canonicalOrigin(origin: string): string {
  let url: URL;
  try {
    url = new URL(origin);
  } catch {
    throw new TypeError(`not an origin: ${JSON.stringify(origin)}`);
  }
  if ((url.protocol !== "https:" && url.protocol !== "http:") || url.username || url.password ||
      url.pathname !== "/" || url.search || url.hash)
    throw new TypeError(`not an origin (scheme, host and port only): ${JSON.stringify(origin)}`);
  return url.origin;
}
