// The reference bank in both browsers with the extension and the host, as
// several servers do it: two bank processes behind a balancer, on a
// PostgreSQL cluster of the test's own. A user enrols a blank key, signs
// in and confirms a transfer; the sign-in's answer replayed to either
// server is used; the look-alike site's relayed sign-in is refused.
// Without Debian's postgresql this exits 77 (CTest: skipped).
import assert from "node:assert/strict";
import crypto from "node:crypto";
import { test } from "node:test";
import { PostgresCluster, postgresBin } from "../../server/test/postgres.mjs";
import { EVIL_HOST, bankPost, startBank, startPhishing, walkBank, walkPhishing } from "./bank.mjs";
import { BROWSERS, Machine } from "./browsers.mjs";

const found = postgresBin();
if (found.missing) {
  console.error(`SKIPPED: the bank's browser tests did not run: ${found.missing}`);
  process.exit(77);
}
const cluster = new PostgresCluster(found.bin);
cluster.start();
test.after(() => cluster.remove());

const { host: PGHOST, port: PGPORT, user: PGUSER, database: PGDATABASE } = cluster.connection;
const env = { PGHOST, PGPORT: String(PGPORT), PGUSER, PGDATABASE, TALLYKEY_KEK: crypto.randomBytes(32).toString("hex"),
              TALLYKEY_BANK_COOKIE_KEY: crypto.randomBytes(32).toString("hex") };

for (const [name, launch] of Object.entries(BROWSERS)) {
  test(`${name}: enrol, sign in and confirm at a bank of two servers; replays and the look-alike refused`, async () => {
    const machine = new Machine();
    // The servers' store outlives each browser's run: each brings a key of its own.
    machine.addBlankKey("key", crypto.randomBytes(8).toString("hex"));
    machine.registerHost();
    const bank = await startBank({ count: 2, folder: machine.folder, env, postgres: true });
    const phishing = await startPhishing(bank, machine.folder);
    const browser = await launch(machine, true, { mapHost: EVIL_HOST, insecureCerts: true });
    try {
      const account = `user-${name}`;
      const seen = await walkBank(browser, await browser.newPage(), bank.origin, {
        account, password: "pass-word", amount: "250.00", payee: "ACME Ltd" });
      assert.match(seen["enrol: InitPassword"], /-> 0$/);
      assert.match(seen["enrol: ResetDigist"], /-> 0: sign in/);
      assert.equal(seen["sign-in:"], `sign-in: ok, account ${account}`);
      assert.match(seen["transfer:"], new RegExp(`^transfer: ok: Pay 250\\.00 EUR to ACME Ltd from account ${account} \\(reference [0-9a-f]{64}\\)$`));
      assert.equal(seen.window.origin, bank.origin);
      assert.match(seen.window.transaction.text, /^Pay 250\.00 EUR to ACME Ltd from account user-\w+ \(reference [0-9a-f]{64}\)$/);
      assert.deepEqual(seen.window.transaction.marks, [], "nothing in the text the window must mark");
      // The balancer sent the challenge and the answer to different servers;
      // the answer, presented again to either, is used.
      const answers = bank.posted.filter((p) => p.path === "/api/sign-in");
      assert.equal(answers.length, 1);
      for (const port of bank.ports)
        assert.deepEqual(await bankPost(port, bank.origin, "/api/sign-in", JSON.parse(answers[0].body)).then(({ status, result }) => ({ status, result })),
                         { status: 401, result: "used" });
      assert.equal(await walkPhishing(browser, await browser.newPage(), phishing.origin, { password: "pass-word" }),
                   "phishing: the bank says bad-digest");
    } finally {
      await browser.close();
      await bank.stop();
      phishing.close();
      machine.cleanUp();
    }
  });
}
