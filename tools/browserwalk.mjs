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
// clicked as a user would, then the walk goes on. Each change to the key,
// and the sign-in, waits for the user's click on the page's button and asks
// for the password in the extension's password window, where it is typed as
// a user would (with TALLYKEY_PASSWORD_SHOT, the sign-in's window is saved
// as a PNG); a wrong one first, once, to show what the window says then.
// Environment as for tests/browser (TALLYKEY_BROWSER_BUILD, TALLYKEY_HOST,
// TALLYKEY_SIMKEY, LD_LIBRARY_PATH), plus TALLYKEY_SIMKEY_DIR.
import path from "node:path";
import { fileURLToPath } from "node:url";
import { BROWSERS, Machine, answerConsent, answerPasswordWindow, startServer } from "../tests/browser/browsers.mjs";

const argv = process.argv.slice(2);
const systemHost = argv[0] === "--system-host";
const [browserName, password, value, message, challenge = "00112233445566778899aabbccddeeff"] =
  systemHost ? argv.slice(1) : argv;
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
  const walked = tab.evaluate((...args) => walk(...args), password, value, message, challenge);
  const shown = await answerConsent(browser, true, { screenshot: process.env.TALLYKEY_CONSENT_SHOT });
  const lines = shown.text.split("\n").filter((line) => line.trim());
  console.log(`consent window (${shown.lang}) names ${shown.origin}:`);
  for (const line of lines)
    console.log(`  | ${line}`);
  console.log("user clicks Allow");
  // What the user clicks in the page, and types into each password window it opens.
  const typing = [
    ["InitPassword(password)", [{ new: password }]],
    ["UpdatePassword(wrong, password)", [{ current: password + "?", new: password }, { current: password, new: password }]],
    ["UpdatePassword(password, password)", [{ current: password, new: password }]],
    ["ResetDigist(password, value)", [{ current: password }]],
    ["signIn(Tallykey.ASK, challenge)", [{ current: password }]],
  ];
  for (const [label, tries] of typing) {
    const button = await tab.waitForSelector("button.step", { timeout: 30000 });
    const shown = await button.evaluate((element) => element.textContent);
    if (shown !== label)
      throw new Error(`the page asks for a click on "${shown}", not "${label}"`);
    console.log(`user clicks "${label}" in the page`);
    await button.click();
    for (const [at, passwords] of tries.entries()) {
      const last = at === tries.length - 1;
      const signIn = label.startsWith("signIn");
      const window = await answerPasswordWindow(browser, passwords, {
        staysOpen: !last, screenshot: signIn ? process.env.TALLYKEY_PASSWORD_SHOT : undefined });
      if (at === 0)
        console.log(`password window: "${window.heading}" for ${window.origin}, fields ${window.fields.join(", ")}`);
      const typed = Object.entries(passwords).map(([field, text]) => `${field} ${text === password ? "password" : "wrong"}`);
      console.log(`user types ${typed.join(", ")} and clicks the window's button`);
      if (!last) {
        await window.window.waitForSelector("#problem:not([hidden])");
        console.log(`password window says: ${await window.window.$eval("#problem", (p) => p.textContent)}`);
        await window.window.waitForFunction(() => document.getElementById("problem").textContent.endsWith("Try again."),
                                            { timeout: 10000 });
      }
    }
  }
  console.log(await walked);
} finally {
  await browser?.close();
  machine.cleanUp();
  server.close();
}
