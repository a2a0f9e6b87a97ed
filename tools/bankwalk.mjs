// The reference bank (examples/bank) in a headless browser with the
// extension and the native host, against the embedded store in FOLDER: a
// user opens an account, enrols a blank simulated key, signs in, confirms
// a transfer, and is then fooled onto a look-alike site on evil.test, whose
// relayed sign-in the bank refuses. Prints each step.
//
//   node tools/bankwalk.mjs chromium|firefox FOLDER
//
// Environment as for tests/browser (TALLYKEY_BROWSER_BUILD, TALLYKEY_HOST,
// TALLYKEY_SIMKEY, LD_LIBRARY_PATH); TALLYKEY_CONFIRM_SHOT: the transfer's
// password window, saved as a PNG.
import fs from "node:fs";
import { EVIL_HOST, startBank, startPhishing, walkBank, walkPhishing } from "../tests/browser/bank.mjs";
import { BROWSERS, Machine } from "../tests/browser/browsers.mjs";

const [browserName, folder] = process.argv.slice(2);
const launch = BROWSERS[browserName];
if (!launch || !folder) {
  console.error("usage: bankwalk.mjs chromium|firefox FOLDER");
  process.exit(2);
}
fs.mkdirSync(folder, { recursive: true });
const machine = new Machine();
machine.addBlankKey("tallykey");
machine.registerHost();
const bank = await startBank({ folder });
const phishing = await startPhishing(bank, machine.folder);
let browser;
try {
  console.log(`bank at ${bank.origin} (store: ${folder}/tallykey.sqlite); look-alike at ${phishing.origin}`);
  browser = await launch(machine, true, { mapHost: EVIL_HOST, insecureCerts: true });
  const say = (line) => console.log(line);
  await walkBank(browser, await browser.newPage(), bank.origin, {
    account: "alice", password: "demo-password", amount: "12.50", payee: "ACME Ltd", say,
    shots: { confirm: process.env.TALLYKEY_CONFIRM_SHOT } });
  await walkPhishing(browser, await browser.newPage(), phishing.origin, { password: "demo-password", say });
} finally {
  await browser?.close();
  await bank.stop();
  phishing.close();
  machine.cleanUp();
}
