// What the browser tests and the browser benchmark share: a simulated
// machine (a home with the host registered, simulated keys), a server for
// pages that load the library, and the two browsers with the extension.
//
// Environment: TALLYKEY_BROWSER_BUILD (extension/build.py's output),
// TALLYKEY_HOST, TALLYKEY_SIMKEY, LD_LIBRARY_PATH (simulated providers),
// TALLYKEY_PLUGIN_DIR (the plug-in's folder, for QtWebKit).
import { execFileSync } from "node:child_process";
import crypto from "node:crypto";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import puppeteer from "puppeteer-core";

const BUILD = process.env.TALLYKEY_BROWSER_BUILD;
const HOST = process.env.TALLYKEY_HOST;
const SIMKEY = process.env.TALLYKEY_SIMKEY;
const PLUGIN_CALLS = new URL("../../tools/plugincalls.py", import.meta.url).pathname;
export const DIGEST_KEY = "000102030405060708090a0b0c0d0e0f";
export const SERIAL = "0a1b2c3d4e5f6071";

export const versionText = () => fs.readFileSync(new URL("../../VERSION", import.meta.url), "utf8").trim();
export const hmac = (message) => crypto.createHmac("md5", Buffer.from(DIGEST_KEY, "hex")).update(message).digest("hex");

// The key's digest of an origin-bound message (docs/sign-in.md), computed
// here with node's own crypto: what the site would check.
export function boundDigest(purpose, origin, payload) {
  const digest16 = (bytes) => crypto.createHash("sha256").update(bytes).digest().subarray(0, 16);
  const tag = Buffer.from(purpose === "sign-in" ? "f8544b53" : "f8544b43", "hex");
  const tail = purpose === "sign-in" ? Buffer.from(payload, "hex") : digest16(Buffer.from(payload, "utf8"));
  return hmac(Buffer.concat([tag, digest16(Buffer.from(origin, "ascii")), tail]));
}

const WEBHID_FILES = new Set(["tallykey-webhid.js", "tallykey-core.js", "tallykey-core.wasm"]);

// A page that loads the library; tests evaluate calls in it. `pages` maps
// further paths to the files served there.
export function startServer(pages = {}) {
  const library = fs.readFileSync(path.join(BUILD, "tallykey.js"));
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, "http://page");
    if (url.pathname === "/framed") {
      // A page that embeds ?src= in a frame.
      const src = (url.searchParams.get("src") || "").replace(/[^\w:/.?=&%-]/g, "");
      response.writeHead(200, { "content-type": "text/html" });
      response.end(`<!doctype html><title>framing page</title><script src="/tallykey.js"></script>` +
                   `<iframe src="${src}"></iframe>`);
    } else if (url.pathname === "/tallykey.js") {
      response.writeHead(200, { "content-type": "text/javascript" });
      response.end(library);
    } else if (WEBHID_FILES.has(url.pathname.slice(1))) {
      // The WebHID module and its core, fetched beside the library on demand.
      const name = url.pathname.slice(1);
      response.writeHead(200, { "content-type": name.endsWith(".wasm") ? "application/wasm" : "text/javascript" });
      response.end(fs.readFileSync(path.join(BUILD, "package", name)));
    } else if (Object.hasOwn(pages, request.url)) {
      response.writeHead(200, { "content-type": "text/html; charset=utf-8" });
      response.end(fs.readFileSync(pages[request.url]));
    } else {
      response.writeHead(200, { "content-type": "text/html" });
      response.end("<!doctype html><title>page</title><script src=\"/tallykey.js\"></script>");
    }
  });
  return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

export class Machine {
  // `devices`: a device folder of the caller's, else one of its own.
  constructor(devices) {
    this.folder = fs.mkdtempSync(path.join(os.tmpdir(), "tallykey-browser-"));
    this.home = path.join(this.folder, "home");
    this.devices = devices || path.join(this.folder, "devices");
    fs.mkdirSync(this.home);
    fs.mkdirSync(this.devices, { recursive: true });
  }
  env() {
    const env = { ...process.env, HOME: this.home, TALLYKEY_SIMKEY_DIR: this.devices,
                  XDG_STATE_HOME: path.join(this.folder, "state") };
    if (this.withoutProviders)
      env.LD_LIBRARY_PATH = process.env.TALLYKEY_HIDAPI_UNUSABLE;  // a hidapi the host cannot use
    return env;
  }
  addKey(name, ...options) {
    execFileSync(SIMKEY, ["--dir", this.devices, "add-key", name, "--serial", SERIAL, "--digest-key", DIGEST_KEY,
                          ...options]);
  }
  // A key as it comes from the factory: no password, no digest value of a site's.
  addBlankKey(name, serial = SERIAL) {
    execFileSync(SIMKEY, ["--dir", this.devices, "add-key", name, "--serial", serial]);
  }
  // Feature reports the key has been sent so far.
  keyWrites(name) {
    const shown = execFileSync(SIMKEY, ["--dir", this.devices, "show", name]).toString();
    return Number(/^feature_writes (\d+)$/m.exec(shown)[1]);
  }
  removeKeys() {
    for (const file of fs.readdirSync(this.devices))
      fs.rmSync(path.join(this.devices, file));
  }
  // The same calls through the plug-in in QtWebKit (a real NPAPI engine) on
  // an X server of its own, against this machine's keys; their results.
  pluginCalls(calls) {
    const runtime = path.join(this.folder, "qt-runtime");
    fs.mkdirSync(runtime, { recursive: true, mode: 0o700 });
    const output = execFileSync("xvfb-run", ["-a", "/usr/bin/python3", PLUGIN_CALLS, JSON.stringify(calls)], {
      env: { ...this.env(), QTWEBKIT_PLUGIN_PATH: process.env.TALLYKEY_PLUGIN_DIR, XDG_RUNTIME_DIR: runtime },
      stdio: ["ignore", "pipe", "ignore"],
      timeout: 60000,
    });
    return JSON.parse(output.toString());
  }
  registerHost(command = "install") {
    execFileSync(HOST, [command, "--user"], { env: this.env() });
  }
  manifests() {
    return [".config/chromium/NativeMessagingHosts", ".mozilla/native-messaging-hosts"].map(
      (folder) => path.join(this.home, folder, "cn.bhrbkey.tallykey.json"));
  }
  cleanUp() {
    fs.rmSync(this.folder, { recursive: true, force: true });
  }
}

// A page of the extension (consent.html, options.html) as it opens, found
// the way each browser's automation sees it: in Chromium a target at the
// extension's file; in Firefox a page among the others whose document is
// that file (its url() reads about:blank there).
export async function extensionPage(browser, file, timeoutMs = 15000) {
  const deadline = Date.now() + timeoutMs;
  const chromium = new RegExp(`^chrome-extension://[a-p]{32}/${file.replace(".", "\\.")}`);
  const firefox = new RegExp(`^moz-extension://[^/]+/${file.replace(".", "\\.")}`);
  while (Date.now() < deadline) {
    for (const target of browser.targets()) {
      if (chromium.test(target.url()))
        return await target.page() ?? await target.asPage();
    }
    if (!browser.targets().some((t) => t.url().startsWith("chrome"))) {
      for (const page of await browser.pages()) {
        const url = await page.evaluate(() => document.URL).catch(() => "");
        if (firefox.test(url))
          return page;
      }
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`no ${file} appeared`);
}

export const consentWindow = (browser, timeoutMs) => extensionPage(browser, "consent.html", timeoutMs).catch(() => {
  throw new Error("no consent window appeared");
});

// One of the extension's windows once it names the site and its buttons
// have woken (button: one of them), as the user sees it then; with
// screenshot, saved as that PNG file.
async function awakeWindow(windowPromise, button, screenshot) {
  const window = await windowPromise;
  await window.waitForSelector("#origin:not(:empty)");
  await window.waitForSelector(`${button}:not([disabled])`);
  if (screenshot)
    await window.screenshot({ path: screenshot });
  return window;
}

// A click on a button that closes its window, which may happen before the
// automation hears back about its own mouse-up: a closed target after the
// click is the click having worked (the caller checks the outcome).
const clickClosing = (window, button) => window.click(button).catch((error) => {
  if (!/closed|detached|No target|destroyed/i.test(String(error && error.message)))
    throw error;
});

// What the window shows, then a click on Allow or Deny once the buttons
// wake, as a user would.
// options.screenshot: a PNG file of the window as the user sees it.
export async function answerConsent(browser, allow, options = {}) {
  const window = await awakeWindow(consentWindow(browser), "#allow", options.screenshot);
  const shown = await window.evaluate(() => ({
    origin: document.getElementById("origin").textContent,
    unicode: document.getElementById("unicode").hidden ? null : document.getElementById("unicode-host").textContent,
    frameOf: document.getElementById("frame")?.hidden === false ? document.getElementById("frame-origin").textContent
                                                                : null,
    text: document.body.innerText,
    lang: document.documentElement.lang,
  }));
  await clickClosing(window, allow ? "#allow" : "#deny");
  return shown;
}

// Runs pageFunction(...args) in the page from a click on a button of its
// own, as a user's click would start it: the only way both browsers give a
// page the user activation that lets the extension open a window (Firefox
// lends an evaluation none). Returns, once clicked, the promise of its
// result.
export async function fromClick(page, pageFunction, ...args) {
  await page.evaluate((source, args) => {
    let button = document.getElementById("tallykey-test-click");
    if (!button) {
      button = document.createElement("button");
      button.id = "tallykey-test-click";
      button.textContent = "Go";
      document.body.prepend(button);
    }
    const run = new Function(`return (${source})`)();
    button.onclick = () => { window.clicked = Promise.resolve().then(() => run(...args)); };
  }, pageFunction.toString(), args);
  await page.click("#tallykey-test-click");
  return page.evaluate(() => window.clicked);
}

export const passwordWindow = (browser, timeoutMs) => extensionPage(browser, "password.html", timeoutMs).catch(() => {
  throw new Error("no password window appeared");
});

// The password window as it opens (or as it stands, after a wrong
// password): what it shows, then the passwords typed into its fields with
// the browser's own key events, and its button clicked once awake, as a
// user would. passwords: {current, new}, or null for Cancel. Returns once
// the window has closed, unless options.staysOpen (a wrong password).
export async function answerPasswordWindow(browser, passwords, options = {}) {
  const window = await awakeWindow(passwordWindow(browser), "#ok", options.screenshot);
  const shown = await window.evaluate(() => ({
    heading: document.getElementById("heading").textContent,
    origin: document.getElementById("origin").textContent,
    frameOf: document.getElementById("frame").hidden ? null : document.getElementById("frame-origin").textContent,
    fields: [...document.querySelectorAll(".field:not([hidden]) input")].map((input) => input.id),
    transaction: document.getElementById("transaction").hidden ? null : {
      text: document.getElementById("transaction").textContent,
      marks: [...document.querySelectorAll("#transaction .mark")].map((mark) => mark.title),
      cut: document.getElementById("transaction").scrollWidth > document.getElementById("transaction").clientWidth,
    },
    text: document.body.innerText,
    lang: document.documentElement.lang,
  }));
  if (passwords === null) {
    await clickClosing(window, "#cancel");
  } else {
    for (const [field, password] of [["current", passwords.current], ["new", passwords.new],
                                     ["repeat", passwords.new]]) {
      if (password !== undefined) {
        await window.click(`#${field}`);
        await window.keyboard.type(password);
      }
    }
    await clickClosing(window, "#ok");
  }
  if (!options.staysOpen) {
    const deadline = Date.now() + 10000;
    while (!window.isClosed() && Date.now() < deadline &&
           await window.evaluate(() => true).catch(() => false))
      await new Promise((resolve) => setTimeout(resolve, 50));
  }
  return { ...shown, window };
}

// The frame of the page whose document is from origin, once the library is in it.
export async function waitForFrame(page, origin, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  while (Date.now() < deadline) {
    const frame = page.frames().find((f) => f.url().startsWith(origin + "/"));
    if (frame && await frame.evaluate(() => typeof Tallykey === "object").catch(() => false))
      return frame;
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`no frame from ${origin}`);
}

// The page connects, and the user allows the site in the consent window.
export async function allowSite(browser, page) {
  const connected = page.evaluate(() => Tallykey.connect({ timeoutMs: 10000 }).then(() => "connected",
                                                                               (error) => error.code));
  await answerConsent(browser, true);
  const outcome = await connected;
  if (outcome !== "connected")
    throw new Error(`connect after Allow: ${outcome}`);
}

// The administrator's settings on Linux, written where the host reads
// them; only root may. Returns the function that restores the machine.
export const POLICY_FILE = "/etc/tallykey/allowed-origins.json";
export function writePolicy(settings) {
  const folderMade = !fs.existsSync(path.dirname(POLICY_FILE));
  if (fs.existsSync(POLICY_FILE))
    throw new Error(`${POLICY_FILE} exists: this machine has an administrator's settings`);
  fs.mkdirSync(path.dirname(POLICY_FILE), { recursive: true });
  fs.writeFileSync(POLICY_FILE, JSON.stringify(settings));
  return () => fs.rmSync(folderMade ? path.dirname(POLICY_FILE) : POLICY_FILE, { recursive: true, force: true });
}

export const BROWSERS = {
  // options.mapHost: a host name the browser resolves to 127.0.0.1;
  // options.insecureCerts: a self-signed certificate (the tests' own https sites) is accepted;
  // options.locale: the browser's language (Firefox, from its language pack).
  chromium: async (machine, withExtension, options = {}) => puppeteer.launch({
    executablePath: "/usr/lib/chromium/chromium",
    headless: true,
    pipe: true,
    enableExtensions: withExtension ? [path.join(BUILD, "chromium")] : false,
    // The user-level host manifests live in the profile's NativeMessagingHosts.
    userDataDir: path.join(machine.home, ".config", "chromium"),
    args: ["--no-sandbox", "--disable-dev-shm-usage",
           ...(options.mapHost ? [`--host-resolver-rules=MAP ${options.mapHost} 127.0.0.1`] : []),
           ...(options.insecureCerts ? ["--ignore-certificate-errors"] : [])],
    env: machine.env(),
  }),
  firefox: async (machine, withExtension, options = {}) => {
    const browser = await puppeteer.launch({
      browser: "firefox",
      executablePath: "/usr/lib/firefox-esr/firefox-esr",
      headless: true,
      env: machine.env(),
      acceptInsecureCerts: options.insecureCerts === true,
      extraPrefsFirefox: {
        ...(options.mapHost ? { "network.dns.localDomains": options.mapHost } : {}),
        ...(options.locale ? { "intl.locale.requested": options.locale } : {}),
      },
    });
    if (withExtension)
      await browser.installExtension(path.join(BUILD, "firefox"));
    return browser;
  },
};
