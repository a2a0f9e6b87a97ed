// Tallykey over WebHID: the key's eight methods with nothing installed, in
// browsers that have WebHID (Chrome and Edge). The page library
// (tallykey.js) loads this module only when a page calls connectHid().
//
// The methods' rules run in tallykey-core.wasm, the same key layer and
// method code as the plug-in's and the native host's; this module gives it
// the devices this site may use and carries their feature reports, each
// operation bounded in time. Calls are serialised across the site's tabs
// with the Web Locks API.
import TallykeyCore from "./tallykey-core.js";

const KEY_FILTER = { vendorId: 0x0111, productId: 0x0111 };
// One feature report there or back; a device that does not answer in this
// time fails the call instead of holding it.
const REPORT_TIMEOUT_MS = 3000;
// All of a site's tabs queue for the key under this name.
const LOCK_NAME = "tallykey-webhid";
// The longest call's own time: the key's busy limit (about 5 s) and the
// waits of a password change, with room to spare.
const DEFAULT_CALL_TIMEOUT_MS = 80000;
// The extension path's bounds on what a page passes, kept here too: more
// is -11 at once, with the key untouched.
const MAX_ARGUMENTS = 16;
const MAX_ARGUMENT_BYTES = 64 * 1024;
// No user closes a chooser this fast: an empty answer sooner means none was
// shown, as when a policy (or the user's site settings) blocks WebHID for
// the site, and Chromium answers at once.
const CHOOSER_MIN_MS = 300;

const isKey = (device) => device.vendorId === KEY_FILTER.vendorId && device.productId === KEY_FILTER.productId;

// A promise that settles in time, or rejects.
function bounded(promise, ms = REPORT_TIMEOUT_MS) {
  let timer;
  const expiry = new Promise((_, reject) => { timer = setTimeout(() => reject(new Error("timed out")), ms); });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}

// What the WebAssembly key layer calls for devices (Module.tallykeyHid):
// each answer is a number, never an exception, and never waits unbounded.
export function deviceBridge(hid) {
  let listed = [];
  return {
    async list() {
      try {
        listed = (await bounded(hid.getDevices())).filter(isKey);
        return listed.length;
      } catch {
        return -1;
      }
    },
    product: (index) => String(listed[index] && listed[index].productName || ""),
    // A key stays open once opened, for the page's life: opening it again
    // for every call would cost each call two more trips through the
    // browser, and WebHID does not take the key from anyone by holding it.
    async open(index) {
      const device = listed[index];
      try {
        if (!device.opened)
          await bounded(device.open());
        return 1;
      } catch {
        return 0;
      }
    },
    close() {},
    async send(index, bytes) {
      try {
        await bounded(listed[index].sendFeatureReport(0, bytes));
        return 1;
      } catch {
        return 0;
      }
    },
    // The key's 64 bytes. A browser that hands back the report id (0) in
    // front of them has it taken off.
    async receive(index) {
      try {
        const view = await bounded(listed[index].receiveFeatureReport(0));
        const bytes = new Uint8Array(view.buffer, view.byteOffset, view.byteLength);
        return bytes.length === 65 && bytes[0] === 0 ? bytes.subarray(1) : bytes;
      } catch {
        return null;
      }
    },
  };
}

// One call into the core: the arguments (strings or null, as the library
// maps them) as UTF-8 bytes in its memory, wiped and freed afterwards.
async function callCore(core, method, args) {
  const encoder = new TextEncoder();
  const pieces = args.map((value) => value === null ? null : encoder.encode(value));
  const table = core._malloc(12 * Math.max(1, pieces.length) + 4);
  const pointers = [];
  try {
    pieces.forEach((bytes, i) => {
      let address = 0;
      if (bytes) {
        address = core._malloc(Math.max(1, bytes.length));
        core.HEAPU8.set(bytes, address);
        pointers.push([address, bytes.length]);
      }
      core.HEAP32.set([bytes ? 1 : 0, address, bytes ? bytes.length : 0], (table >> 2) + 3 * i);
    });
    const numberAt = table + 12 * Math.max(1, pieces.length);
    const kind = await core.ccall("tallykey_call", "number", ["string", "number", "number", "number"],
                                  [method, table, pieces.length, numberAt], { async: true });
    if (kind === 1)
      return core.UTF8ToString(core._tallykey_result_text());
    if (kind !== 0)
      throw new Error("unknown method " + method);
    return core.HEAP32[numberAt >> 2];
  } finally {
    for (const [address, length] of pointers) {
      core.HEAPU8.fill(0, address, address + length);
      core._free(address);
    }
    core._free(table);
  }
}

// Runs job alone: under the site-wide lock where the browser has Web Locks,
// and always behind this page's earlier calls (the core runs one call at
// a time). Waiting longer than timeoutMs rejects with "timeout".
function serialised(library) {
  let previous = Promise.resolve();
  return (job, timeoutMs) => {
    const locks = globalThis.navigator && globalThis.navigator.locks;
    const run = () => {
      if (!locks)
        return job();
      return locks.request(LOCK_NAME, { signal: AbortSignal.timeout(timeoutMs) }, job).catch((error) => {
        if (error && (error.name === "TimeoutError" || error.name === "AbortError"))
          throw new library.Error("timeout", "another tab of this site held the key");
        throw error;
      });
    };
    const result = previous.then(run, run);
    previous = result.catch(() => {});
    return result;
  };
}

// The site's keys, asking the user for one when it has none yet.
async function grantedKeys(hid, library) {
  let devices;
  try {
    devices = (await bounded(hid.getDevices())).filter(isKey);
  } catch (error) {
    throw new library.Error("hid-unavailable", error && error.message);
  }
  if (devices.length > 0)
    return devices;
  // Only a user gesture may open the chooser: without one the page hears
  // why at once, and the browser is not asked.
  const activation = globalThis.navigator.userActivation;
  if (activation && !activation.isActive)
    throw new library.Error("hid-needs-gesture");
  const asked = Date.now();
  try {
    devices = (await hid.requestDevice({ filters: [KEY_FILTER] })).filter(isKey);
  } catch (error) {
    // Refused without a gesture (a browser without userActivation), or by
    // a policy that blocks WebHID for the site.
    throw new library.Error(error && error.name === "SecurityError" && !activation ? "hid-needs-gesture"
                                                                                     : "hid-unavailable",
                            error && error.message);
  }
  if (devices.length === 0)
    throw new library.Error(Date.now() - asked < CHOOSER_MIN_MS ? "hid-unavailable" : "hid-denied");
  // Picked, but unplugged before the page could use it.
  const present = (await bounded(hid.getDevices())).filter(isKey);
  if (present.length === 0)
    throw new library.Error("no-key");
  return present;
}

// connectHid() of the page library: `library` is what tallykey.js lends
// (its Error, its argument mapping and key object, its option checks).
// options.wasmBinary: the core's bytes, for a page that bundles them
// instead of letting the module fetch tallykey-core.wasm beside itself.
export async function connectHid(options, library) {
  const hid = globalThis.navigator && globalThis.navigator.hid;
  if (!hid || typeof hid.getDevices !== "function")
    throw new library.Error("hid-unavailable");
  const callTimeoutMs = library.duration(options, "callTimeoutMs", DEFAULT_CALL_TIMEOUT_MS);
  await grantedKeys(hid, library);
  // signIn and confirm bind their digests to this page's origin. A page
  // that holds a WebHID grant can send the key any report, so this path
  // binds what our code sends, and cannot stop a page that talks to the key
  // itself (README).
  const subtle = globalThis.crypto && globalThis.crypto.subtle;
  const core = await TallykeyCore({ tallykeyHid: deviceBridge(hid),
                                   tallykeyOrigin: globalThis.location ? String(globalThis.location.origin) : "",
                                   tallykeySha256: (bytes) => subtle.digest("SHA-256", bytes),
                                   ...(options && options.wasmBinary ? { wasmBinary: options.wasmBinary } : {}) });
  const alone = serialised(library);
  const encoder = new TextEncoder();
  return library.makeKey((method, args) => {
    const mapped = args.slice(0, MAX_ARGUMENTS).map(library.toArgument);
    let bytes = 0;
    for (const value of mapped)
      bytes += value === null ? 0 : value.length > MAX_ARGUMENT_BYTES ? value.length : encoder.encode(value).length;
    if (bytes > MAX_ARGUMENT_BYTES)
      return Promise.resolve(-11);
    return alone(() => callCore(core, method, mapped), callTimeoutMs);
  }, { library: library.VERSION, webhid: true });
}
