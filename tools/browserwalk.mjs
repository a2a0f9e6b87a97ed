// Opens tools/pages/walkthrough-library.html in a headless browser with the
// Tallykey extension, the native host registered for the user, and runs its
// walk-through against the keys of TALLYKEY_SIMKEY_DIR; prints what the page
// printed.
//
//   node tools/browserwalk.mjs [--system-host] chromium|firefox PASSWORD VALUE MESSAGE
//
// --system-host: the host is not registered for the user; the browser must
// find a system-wide one (the Debian package's).
// The page's first connect() opens the extension's consent window; it is
// shown (and, with TALLYKEY_CONSENT_SHOT, saved as a PNG) and Allow is
// clicked as a user would, then the walk goes on.
// Environment as for tests/browser (TALLYKEY_BROWSER_BUILD, TALLYKEY_HOST,
// TALLYKEY_SIMKEY, LD_LIBRARY_PATH), plus TALLYKEY_SIMKEY_DIR.
import path from "node:path";
import { fileURLToPath } from "node:url";
import { BROWSERS, Machine, answerConsent, startServer } from "../tests/browser/browsers.mjs";

const argv = process.argv.slice(2);
const systemHost = argv[0] === "--system-host";
const [browserName, password, value, message] = systemHost ? argv.slice(1) : argv;
const launch = BROWSERS[browserName];
if (!launch || message === undefined) {
  console.error("usage: browserwalk.mjs [--system-host] chromium|firefox PASSWORD VALUE MESSAGE");
  process.exit(2);
}
const page = path.join(path.dirname(fileURLToPath(import.meta.url)), "pages", "walkthrough-library.html");
const server = await startServer({ "/walkthrough.html": page });
const machine = new Machine(process.env.TALLYKEY_SIMKEY_DIR);
let browser;
try {
  if (!systemHost)
    machine.registerHost();
  browser = await launch(machine, true);
  const tab = await browser.newPage();
  await tab.goto(`http://127.0.0.1:${server.address().port}/walkthrough.html`);
  const walked = tab.evaluate((...args) => walk(...args), password, value, message);
  const shown = await answerConsent(browser, true, { screenshot: process.env.TALLYKEY_CONSENT_SHOT });
  const lines = shown.text.split("\n").filter((line) => line.trim());
  console.log(`consent window (${shown.lang}) names ${shown.origin}:`);
  for (const line of lines)
    console.log(`  | ${line}`);
  console.log("user clicks Allow");
  console.log(await walked);
} finally {
  await browser?.close();
  machine.cleanUp();
  server.close();
}
