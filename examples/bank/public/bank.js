// The bank's page: every key operation starts from the user's click, and
// every password is typed into the extension's window (Tallykey.ASK).
"use strict";
let key = null;
// The secret from the bank, between enrolment's two steps; never shown or stored.
let enrolSecret = null;

const $ = (id) => document.getElementById(id);
function log(line) {
  $("log").textContent += line + "\n";
}

async function call(path, body = {}) {
  const response = await fetch(path, { method: "POST", headers: { "content-type": "application/json" },
                                       body: JSON.stringify(body) });
  const answer = await response.json().catch(() => ({ error: `HTTP ${response.status}` }));
  return { ok: response.ok, ...answer };
}

async function showStatus() {
  const { account } = await call("/api/me");
  $("status").textContent = account ? `Signed in as ${account}.` : "Not signed in.";
}

async function serial() {
  const sn = await key.GetSN();
  if (typeof sn !== "string")
    throw new Error(`GetSN -> ${sn}`);
  return sn;
}

// A button's work, with what went wrong in the log rather than lost.
function onClick(id, work) {
  $(id).addEventListener("click", () => {
    work().catch((error) => log(`${id}: ${error.code ?? "error"}: ${error.message}`)).finally(showStatus);
  });
}

onClick("connect", async () => {
  key = await Tallykey.connect();
  log(`connect: the key is there (host ${key.versions.host})`);
});

onClick("open", async () => {
  const opened = await call("/api/open", { account: $("account").value });
  log(opened.ok ? `open: account ${opened.account}` : `open: ${opened.error}`);
});

onClick("enrol-password", async () => {
  const sn = await serial();
  const enrolment = await call("/api/enrol", { serial: sn });
  if (!enrolment.ok)
    return log(`enrol: ${enrolment.error}`);
  enrolSecret = enrolment.steps.find((step) => step.method === "ResetDigist").digestValue;
  // A key that has a password already answers -5: it keeps it.
  const code = await key.InitPassword(Tallykey.ASK);
  log(`enrol: InitPassword(Tallykey.ASK) -> ${code}`);
  if (code === 0 || code === -5)
    $("enrol-secret").disabled = false;
});

onClick("enrol-secret", async () => {
  const secret = enrolSecret;
  enrolSecret = null;
  $("enrol-secret").disabled = true;
  if (!secret)
    return log("enrol: start again from step 1");
  const code = await key.ResetDigist(Tallykey.ASK, secret);
  log(`enrol: ResetDigist(Tallykey.ASK, secret) -> ${code}${code === 0 ? ": sign in with the key to finish" : ""}`);
});

onClick("sign-in", async () => {
  const sn = await serial();
  const { challenge } = await call("/api/sign-in/challenge");
  const digest = await key.signIn(Tallykey.ASK, challenge);
  if (typeof digest !== "string")
    return log(`sign-in: signIn -> ${digest}`);
  const verified = await call("/api/sign-in", { challenge, serial: sn, digest });
  log(verified.ok ? `sign-in: ok, account ${verified.account}` : `sign-in: ${verified.result ?? verified.error}`);
});

onClick("sign-out", async () => {
  await call("/api/sign-out");
  log("sign-out: done");
});

onClick("transfer", async () => {
  const asked = await call("/api/transfer", { amount: $("amount").value, payee: $("payee").value });
  if (!asked.ok)
    return log(`transfer: ${asked.error}`);
  const sn = await serial();
  const digest = await key.confirm(Tallykey.ASK, asked.text);
  if (typeof digest !== "string")
    return log(`transfer: confirm -> ${digest}`);
  const verified = await call("/api/transfer/confirm", { challenge: asked.challenge, serial: sn, digest });
  log(verified.ok ? `transfer: ok: ${verified.text}` : `transfer: ${verified.result ?? verified.error}`);
});

showStatus();
