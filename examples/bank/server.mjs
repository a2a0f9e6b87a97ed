// A small bank that signs its users in with the Tallykey key and has them
// confirm each transfer with it, through tallykey-server. Node's own http
// module; the pages are in public/.
//
//   node examples/bank/server.mjs [--port N] [--origin URL] [--postgres] [--library FILE]
//
// --origin: the origin users reach the bank at (http://127.0.0.1:PORT by
//   default); several servers behind one load balancer share it.
// --postgres: the shared store, from PGHOST, PGPORT, PGUSER, PGDATABASE;
//   the key-encryption key then comes from TALLYKEY_KEK (64 hex digits).
//   Without it: the embedded store, tallykey.sqlite in the working folder.
// TALLYKEY_BANK_COOKIE_KEY (64 hex digits): the key that signs session
//   cookies; servers that share users share it. One of its own otherwise.
// --library: the page library (build/linux/browser/tallykey.js).
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import path from "node:path";
import { fileURLToPath } from "node:url";
import { parseArgs } from "node:util";
import { PostgresStore, TallykeyError, TallykeyServer } from "../../server/dist/index.js";

const HERE = path.dirname(fileURLToPath(import.meta.url));
const { values: args } = parseArgs({ options: {
  port: { type: "string", default: "0" },
  origin: { type: "string" },
  postgres: { type: "boolean", default: false },
  library: { type: "string", default: path.join(HERE, "..", "..", "build", "linux", "browser", "tallykey.js") },
} });

// Enrolment hands the key its secret through the page: only right after
// the user proved who they are.
const FRESH_MS = 5 * 60 * 1000;
const MAX_BODY = 4096;
const ACCOUNT = /^[a-z][a-z0-9_-]{1,31}$/;
const AMOUNT = /^[1-9][0-9]{0,6}\.[0-9]{2}$/;
const PAYEE = /^[\p{L}\p{N} .,&'-]{1,64}$/u;

const cookieKey = process.env.TALLYKEY_BANK_COOKIE_KEY ? Buffer.from(process.env.TALLYKEY_BANK_COOKIE_KEY, "hex")
                                                       : crypto.randomBytes(32);
const transfers = [];

// Sessions live in a signed cookie, so that any of the bank's servers can
// read one: {sid, account, at (when the user last proved it)}.
function readSession(request) {
  const cookie = /(?:^|;\s*)bank_session=([\w-]+)\.([\w-]+)/.exec(request.headers.cookie ?? "");
  if (cookie) {
    const mac = crypto.createHmac("sha256", cookieKey).update(cookie[1]).digest();
    const given = Buffer.from(cookie[2], "base64url");
    if (given.length === mac.length && crypto.timingSafeEqual(given, mac)) {
      try {
        return JSON.parse(Buffer.from(cookie[1], "base64url").toString());
      } catch {
        // A cookie we signed is JSON; anything else starts afresh.
      }
    }
  }
  return null;
}

function sessionCookie(session, secure) {
  const body = Buffer.from(JSON.stringify(session)).toString("base64url");
  const mac = crypto.createHmac("sha256", cookieKey).update(body).digest("base64url");
  return `bank_session=${body}.${mac}; Path=/; HttpOnly; SameSite=Strict${secure ? "; Secure" : ""}`;
}

const newSession = (account = null) => ({ sid: crypto.randomBytes(18).toString("base64url"), account,
                                          at: account ? Date.now() : 0 });

function send(response, status, body, headers = {}) {
  const json = typeof body !== "string";
  response.writeHead(status, { "content-type": json ? "application/json" : "text/plain", "cache-control": "no-store",
                               ...headers });
  response.end(json ? JSON.stringify(body) : body);
}

function readJson(request) {
  return new Promise((resolve, reject) => {
    let size = 0;
    const chunks = [];
    request.on("data", (chunk) => {
      size += chunk.length;
      if (size > MAX_BODY) {
        reject(new Error("too big"));
        request.destroy();
      } else {
        chunks.push(chunk);
      }
    });
    request.on("end", () => {
      try {
        const value = JSON.parse(Buffer.concat(chunks).toString("utf8"));
        resolve(value && typeof value === "object" ? value : {});
      } catch {
        reject(new Error("not JSON"));
      }
    });
    request.on("error", reject);
  });
}

const text = (value) => (typeof value === "string" ? value : "");

// What each call of the page does; session: the caller's, set: replaces it.
const api = {
  async "/api/me"({ session }) {
    return { account: session.account };
  },
  async "/api/open"({ body, set }) {
    const account = text(body.account);
    if (!ACCOUNT.test(account))
      return [400, { error: "an account name is 2 to 32 of a-z, 0-9, _ and -, starting with a letter" }];
    // A name is taken once a key is enrolled to it. A real bank opens accounts in person.
    if ((await tallykey.keys(account)).length > 0)
      return [409, { error: "that account exists" }];
    set(newSession(account));
    return { account };
  },
  async "/api/enrol"({ session, body }) {
    if (!session.account || Date.now() - session.at > FRESH_MS)
      return [403, { error: "sign in again first: a key is enrolled only right after" }];
    try {
      const enrolment = await tallykey.enrol(session.account, text(body.serial));
      return { secret: enrolment.secret, steps: enrolment.steps };
    } catch (error) {
      if (error instanceof TallykeyError && (error.code === "enrolled-elsewhere" || error.code === "bad-argument"))
        return [409, { error: error.message }];
      throw error;
    }
  },
  async "/api/sign-in/challenge"({ session }) {
    return { challenge: await tallykey.issueSignIn(session.sid) };
  },
  async "/api/sign-in"({ session, body, set }) {
    const verified = await tallykey.verifySignIn({ session: session.sid, challenge: text(body.challenge),
                                                   serial: text(body.serial), digest: text(body.digest) });
    if (verified.result !== "ok")
      return [401, { result: verified.result }];
    // A new session id at sign-in: nobody who knew the old one is signed in.
    set(newSession(verified.account));
    return { result: "ok", account: verified.account };
  },
  async "/api/transfer"({ session, body }) {
    if (!session.account)
      return [403, { error: "sign in first" }];
    const amount = text(body.amount), payee = text(body.payee).trim();
    if (!AMOUNT.test(amount) || !PAYEE.test(payee))
      return [400, { error: "an amount such as 12.50, and a payee's name" }];
    return tallykey.issueConfirmation(session.sid, `Pay ${amount} EUR to ${payee} from account ${session.account}`);
  },
  async "/api/transfer/confirm"({ session, body }) {
    if (!session.account)
      return [403, { error: "sign in first" }];
    const verified = await tallykey.verifyConfirmation({ session: session.sid, challenge: text(body.challenge),
                                                         serial: text(body.serial), digest: text(body.digest) });
    // The key must be the account's own, not just any enrolled key.
    if (verified.result === "ok" && verified.account !== session.account)
      return [401, { result: "unknown-key" }];
    if (verified.result !== "ok")
      return [401, { result: verified.result }];
    transfers.push({ account: session.account, text: verified.text, at: new Date().toISOString() });
    return { result: "ok", text: verified.text };
  },
  async "/api/sign-out"({ set }) {
    set(newSession());
    return {};
  },
};

const PAGES = { "/": ["index.html", "text/html; charset=utf-8"], "/bank.js": ["bank.js", "text/javascript"] };

let origin;
let tallykey;

async function handle(request, response) {
  const url = new URL(request.url, origin);
  let session = readSession(request);
  const headers = {};
  const set = (next) => {
    session = next;
    headers["set-cookie"] = sessionCookie(next, origin.startsWith("https:"));
  };
  if (!session)
    set(newSession());
  if (request.method === "GET" && Object.hasOwn(PAGES, url.pathname)) {
    const [file, type] = PAGES[url.pathname];
    return send(response, 200, fs.readFileSync(path.join(HERE, "public", file), "utf8"), { ...headers, "content-type": type });
  }
  if (request.method === "GET" && url.pathname === "/tallykey.js")
    return send(response, 200, fs.readFileSync(args.library, "utf8"), { "content-type": "text/javascript" });
  const step = Object.hasOwn(api, url.pathname) ? api[url.pathname] : undefined;
  if (!step || request.method !== "POST")
    return send(response, 404, { error: "no such page" });
  // Only the bank's own pages may call it.
  if (request.headers.origin !== origin || !/^application\/json\b/.test(request.headers["content-type"] ?? ""))
    return send(response, 403, { error: "not from the bank's own page" });
  let body;
  try {
    body = await readJson(request);
  } catch (error) {
    return send(response, 400, { error: `the request: ${error.message}` });
  }
  try {
    const answer = await step({ session, body, set });
    const [status, result] = Array.isArray(answer) ? answer : [200, answer];
    send(response, status, result, headers);
  } catch (error) {
    // The library's errors name no secret; a store that failed is the bank's trouble, said plainly.
    const unavailable = error instanceof TallykeyError && error.code === "store-unavailable";
    console.error(`bank: ${url.pathname}: ${error.message}`);
    send(response, unavailable ? 503 : 500, { error: unavailable ? "the bank cannot reach its records: try again" : "the bank failed" });
  }
}

const server = http.createServer((request, response) => {
  handle(request, response).catch(() => response.destroy());
});
server.listen(Number(args.port), "127.0.0.1", async () => {
  const port = server.address().port;
  origin = args.origin ?? `http://127.0.0.1:${port}`;
  // Enrolment hands a secret through the page: never over plain http to another machine.
  const { protocol, hostname } = new URL(origin);
  if (protocol !== "https:" && !(protocol === "http:" && ["127.0.0.1", "localhost", "[::1]"].includes(hostname))) {
    console.error(`bank: cannot start: ${origin} is not https (plain http only on this machine, while developing)`);
    process.exit(1);
  }
  tallykey = new TallykeyServer({
    origin,
    ...(args.postgres ? { store: new PostgresStore(), keyEncryptionKey: process.env.TALLYKEY_KEK } : {}),
  });
  try {
    await tallykey.ready();
  } catch (error) {
    console.error(`bank: cannot start: ${error.message}`);
    process.exit(1);
  }
  console.log(`bank: listening on http://127.0.0.1:${port} for ${origin}, ${args.postgres ? "PostgreSQL" : "SQLite"} store`);
});
for (const signal of ["SIGINT", "SIGTERM"]) {
  process.on(signal, () => {
    server.close();
    tallykey?.close().finally(() => process.exit(0));
  });
}
