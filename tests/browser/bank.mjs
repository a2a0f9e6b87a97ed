// The reference bank (examples/bank) for the browser tests and the demo:
// its servers (one, or several behind a round-robin balancer), a phishing
// site on https://evil.test that relays the bank's challenges, and a user
// who walks through both in a browser with the extension.
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import https from "node:https";
import path from "node:path";
import readline from "node:readline";
import { answerConsent, answerPasswordWindow } from "./browsers.mjs";

const ROOT = new URL("../../", import.meta.url).pathname;
const BANK = path.join(ROOT, "examples", "bank", "server.mjs");
const LIBRARY = path.join(process.env.TALLYKEY_BROWSER_BUILD ?? "", "tallykey.js");
export const EVIL_HOST = "evil.test";

const listening = (server, host = "127.0.0.1") => new Promise((resolve) => server.listen(0, host, () => resolve(server.address().port)));

// One bank process (for origin, or its own http://127.0.0.1:PORT);
// resolves once it listens, with its port.
function bankProcess(origin, { folder, env = {}, postgres = false }) {
  const child = spawn(process.execPath, [BANK, "--port", "0", "--library", LIBRARY, ...(origin ? ["--origin", origin] : []),
                                         ...(postgres ? ["--postgres"] : [])],
                      { cwd: folder, env: { ...process.env, ...env }, stdio: ["ignore", "pipe", "pipe"] });
  const errors = [];
  child.stderr.on("data", (chunk) => errors.push(chunk));
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      child.kill();
      reject(new Error(`the bank did not start within 15 s: ${Buffer.concat(errors)}`));
    }, 15000);
    readline.createInterface({ input: child.stdout }).on("line", (line) => {
      const port = /^bank: listening on http:\/\/127\.0\.0\.1:(\d+) /.exec(line);
      if (port) {
        clearTimeout(timer);
        resolve({ child, port: Number(port[1]), errors });
      }
    });
    child.on("exit", (code) => {
      clearTimeout(timer);
      reject(new Error(`the bank exited (${code}): ${Buffer.concat(errors)}`));
    });
  });
}

/**
 * The bank: count processes sharing one origin. With more than one, a
 * balancer in front sends each request to the next. folder: their working
 * folder (the embedded store's file is there).
 */
export async function startBank({ count = 1, folder, env, postgres = false }) {
  let processes = [];
  let balancer = null;
  // What the pages posted through the balancer, in order: {path, body}.
  const posted = [];
  let origin;
  if (count > 1) {
    let next = 0;
    balancer = http.createServer(async (request, response) => {
      const target = processes[next++ % processes.length];
      const chunks = [];
      for await (const chunk of request)
        chunks.push(chunk);
      const body = Buffer.concat(chunks);
      if (request.method === "POST")
        posted.push({ path: request.url, body: body.toString() });
      const forwarded = http.request({ host: "127.0.0.1", port: target.port, path: request.url, method: request.method,
                                       headers: request.headers }, (answer) => {
        response.writeHead(answer.statusCode, answer.headers);
        answer.pipe(response);
      });
      forwarded.on("error", () => response.destroy());
      forwarded.end(body);
    });
    origin = `http://127.0.0.1:${await listening(balancer)}`;
  }
  const started = await Promise.allSettled(Array.from({ length: count }, () => bankProcess(origin, { folder, env, postgres })));
  const failed = started.find((outcome) => outcome.status === "rejected");
  if (failed) {
    // Nothing of a bank that did not start stays behind to keep the test alive.
    for (const outcome of started)
      if (outcome.status === "fulfilled")
        outcome.value.child.kill();
    balancer?.close();
    throw failed.reason;
  }
  processes = started.map((outcome) => outcome.value);
  return {
    origin: origin ?? `http://127.0.0.1:${processes[0].port}`,
    ports: processes.map((p) => p.port),
    posted,
    async stop() {
      balancer?.close();
      await Promise.all(processes.map(({ child }) => new Promise((resolve) => {
        if (child.exitCode !== null)
          return resolve();
        child.on("exit", resolve);
        child.kill("SIGTERM");
      })));
    },
  };
}

/** POSTs to one bank process as its page would (same-origin), with no session of the page's. */
export async function bankPost(port, origin, pathname, body, cookie = "") {
  const response = await fetch(`http://127.0.0.1:${port}${pathname}`, {
    method: "POST", body: JSON.stringify(body),
    headers: { "content-type": "application/json", origin, ...(cookie ? { cookie } : {}) },
  });
  return { status: response.status, cookie: response.headers.get("set-cookie")?.split(";")[0] ?? cookie,
           ...(await response.json()) };
}

const PHISHING_PAGE = `<!doctype html><meta charset="utf-8"><title>Tallykey Bank</title>
<h1>Tallykey Bank</h1><button id="connect">Use my Tallykey</button> <button id="sign-in">Sign in with the key</button>
<pre id="log"></pre><script src="/tallykey.js"></script><script>
let key;
const log = (line) => { document.getElementById("log").textContent += line + "\\n"; };
const post = (path, body) => fetch(path, { method: "POST", body: JSON.stringify(body) }).then((r) => r.json());
document.getElementById("connect").onclick = async () => { key = await Tallykey.connect(); log("connect: done"); };
document.getElementById("sign-in").onclick = async () => {
  const { challenge } = await post("/relay/challenge", {});
  const digest = await key.signIn(Tallykey.ASK, challenge);
  const sn = await key.GetSN();
  const answer = await post("/relay/sign-in", { challenge, serial: sn, digest });
  log("phishing: the bank says " + answer.result);
};
</script>`;

/**
 * The look-alike site: https://evil.test:PORT (a self-signed certificate
 * the browsers are told to accept), whose server fetches a real challenge
 * from the bank and relays its page's answer back, as a phishing proxy does.
 */
export async function startPhishing(bank, folder) {
  const key = path.join(folder, "evil.key"), cert = path.join(folder, "evil.crt");
  execFileSync("openssl", ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "1",
                           "-subj", `/CN=${EVIL_HOST}`, "-addext", `subjectAltName=DNS:${EVIL_HOST}`], { stdio: "ignore" });
  let cookie = "";
  const server = https.createServer({ key: fs.readFileSync(key), cert: fs.readFileSync(cert) }, async (request, response) => {
    const reply = (type, body) => { response.writeHead(200, { "content-type": type }); response.end(body); };
    if (request.url === "/tallykey.js")
      return reply("text/javascript", fs.readFileSync(LIBRARY));
    if (request.method !== "POST")
      return reply("text/html; charset=utf-8", PHISHING_PAGE);
    const chunks = [];
    for await (const chunk of request)
      chunks.push(chunk);
    // Its server is no browser: it says what Origin it likes.
    const path = request.url === "/relay/challenge" ? "/api/sign-in/challenge" : "/api/sign-in";
    const answer = await bankPost(bank.ports[0], bank.origin, path, JSON.parse(Buffer.concat(chunks).toString() || "{}"), cookie);
    cookie = answer.cookie;
    reply("application/json", JSON.stringify(answer));
  });
  return { origin: `https://${EVIL_HOST}:${await listening(server)}`, close: () => server.close() };
}

async function logLine(tab, prefix, timeout = 30000) {
  const handle = await tab.waitForFunction((prefix) =>
    document.getElementById("log").textContent.split("\n").find((line) => line.startsWith(prefix)), { timeout }, prefix);
  return handle.jsonValue();
}

/**
 * A user at the bank: connects (allowing the site in the consent window),
 * opens the account, enrols the key, signs in and sends a transfer, each
 * password typed into the extension's window. say(line): each step and
 * what the page said. Returns what the page logged, by step.
 */
export async function walkBank(browser, tab, origin, { account, password, amount, payee, say = () => {}, shots = {} }) {
  const seen = {};
  const step = async (prefix, act) => {
    await act();
    seen[prefix] = await logLine(tab, prefix);
    say(`page: ${seen[prefix]}`);
  };
  const typed = async (button, passwords, screenshot) => {
    say(`user clicks "${await tab.$eval(button, (b) => b.textContent)}"`);
    await tab.click(button);
    const window = await answerPasswordWindow(browser, passwords, { screenshot }).catch(async (error) => {
      throw new Error(`${error.message}; the page said: ${await tab.$eval("#log", (log) => log.textContent)}`);
    });
    say(`password window "${window.heading}" for ${window.origin}${window.transaction ? `, showing "${window.transaction.text.replace(/\n/g, " / ")}"` : ""}: the user types the password`);
    return window;
  };
  await tab.goto(origin + "/");
  await step("connect:", async () => {
    await tab.click("#connect");
    const shown = await answerConsent(browser, true, { screenshot: shots.consent });
    say(`consent window names ${shown.origin}: the user allows it`);
  });
  await step("open:", async () => {
    await tab.type("#account", account);
    await tab.click("#open");
  });
  await step("enrol: InitPassword", () => typed("#enrol-password", { new: password }));
  await step("enrol: ResetDigist", () => typed("#enrol-secret", { current: password }));
  await step("sign-in:", () => typed("#sign-in", { current: password }));
  await tab.type("#amount", amount);
  await tab.type("#payee", payee);
  await step("transfer:", async () => {
    seen.window = await typed("#transfer", { current: password }, shots.confirm);
  });
  return seen;
}

/** The same user, tricked onto the look-alike site: allows it, and types the password for its sign-in. */
export async function walkPhishing(browser, tab, origin, { password, say = () => {} }) {
  await tab.goto(origin + "/");
  await tab.click("#connect");
  const shown = await answerConsent(browser, true);
  say(`consent window names ${shown.origin}: the user, fooled, allows it`);
  await logLine(tab, "connect:");
  await tab.click("#sign-in");
  const window = await answerPasswordWindow(browser, { current: password });
  say(`password window for ${window.origin}: the user types the password`);
  const line = await logLine(tab, "phishing:");
  say(`page: ${line}`);
  return line;
}
