import crypto from "node:crypto";
import fs from "node:fs";
import { createRequire } from "node:module";
// A first check of the server's core (not yet part of any test): the wasm
// build of KEYMETHODS::BoundMessage against the shared vectors.
const built = new URL("../../build/wasm/server/", import.meta.url).pathname;
const factory = createRequire(import.meta.url)(built + "tallykey-server-core.cjs");
// Node 20's fetch cannot read a path: the bytes are handed over.
const core = await factory({ wasmBinary: fs.readFileSync(built + "tallykey-server-core.wasm"), tallykeySha256: (bytes) => crypto.createHash("sha256").update(bytes).digest() });
function bound(purpose, origin, payload) {
  const o = Buffer.from(origin, "utf8"), p = Buffer.from(payload);
  const at = core._malloc(o.length + p.length + 64);
  core.HEAPU8.set(o, at); core.HEAPU8.set(p, at + o.length);
  const n = core._tallykey_bound_message(purpose, at, o.length, at + o.length, p.length, at + o.length + p.length);
  const out = Buffer.from(core.HEAPU8.slice(at + o.length + p.length, at + o.length + p.length + n));
  core._free(at);
  return out;
}
const vectors = JSON.parse(fs.readFileSync(new URL("../../tests/vectors/sign-in.json", import.meta.url))).vectors;
let ok = 0;
for (const v of vectors) {
  const payload = v.purpose === "sign-in" ? Buffer.from(v.challenge, "hex") : Buffer.from(v.text, "utf8");
  const m = bound(v.purpose === "sign-in" ? 0 : 1, v.origin, payload);
  const d = crypto.createHmac("md5", Buffer.from(v.digestKey, "hex")).update(m).digest("hex");
  if (m.toString("hex") === v.message && d === v.digest) ok++;
}
console.log(ok, "of", vectors.length);
