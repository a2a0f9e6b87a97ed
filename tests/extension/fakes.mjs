// Fake browser APIs around the extension's background scripts, with a scripted
// native host, for the node tests of the extension's decisions.
import crypto from "node:crypto";
import fs from "node:fs";
import vm from "node:vm";

export const SOURCE = new URL("../../extension/src/", import.meta.url);
export const EXTENSION = "chrome-extension://pgnbhekmmiaohikllppepfnhpobocnpb/";

function event() {
  const listeners = [];
  return { addListener: (f) => listeners.push(f), emit: (...args) => listeners.map((f) => f(...args)) };
}

// Objects from the background's realm, as plain data.
export const plain = (value) => JSON.parse(JSON.stringify(value ?? null));
export const settle = () => new Promise((resolve) => setImmediate(resolve));

// A browser around the background: the host answers hello with `access`
// for each origin and every call with its consent flag; tabs and windows
// are recorded.
//
// options.readGate(): a promise every storage read's answer waits for.
// options.hold(request): true to keep that call unanswered until the test
// answers it (answer(id, reply)) or sends a notice (notice(id, state)).
export function makeBrowser(access, options = {}) {
  const areas = { local: {}, session: {} };
  const reads = { local: 0, session: 0 };
  const onChanged = event();
  const storage = (area) => ({
    get: async (key) => {
      ++reads[area];
      const value = structuredClone(areas[area][key]);
      await options.readGate?.();  // what was read arrives late
      return { [key]: value };
    },
    set: async (items) => {
      const changes = {};
      for (const [key, value] of Object.entries(items))
        changes[key] = { oldValue: structuredClone(areas[area][key]), newValue: structuredClone(value) };
      Object.assign(areas[area], structuredClone(items));
      queueMicrotask(() => onChanged.emit(changes, area));
    },
  });
  const topOrigins = new Map();  // tab id -> the origin its top document reports
  const hostRequests = [];
  let hostPort = null;
  const windows = [];
  const onConnect = event(), onMessage = event(), onRemoved = event();
  const chrome = {
    runtime: {
      id: "extension",
      getURL: (path) => EXTENSION + path,
      connectNative: () => {
        const onHostMessage = event();
        return {
          onMessage: onHostMessage, onDisconnect: event(),
          postMessage: (request) => {
            hostRequests.push(request);
            hostPort = onHostMessage;
            if (request.method === "withdraw" || (options.hold && options.hold(request)))
              return;
            const reply = request.method === "hello"
              ? { result: { host: "1.0.0", access: access[request.origin] ?? "refused" } }
              : { result: request.consent ? "ran" : "refused-without-consent" };
            queueMicrotask(() => onHostMessage.emit({ id: request.id, ...reply }));
          },
        };
      },
      onConnect, onMessage,
    },
    storage: { local: storage("local"), session: storage("session"), onChanged },
    tabs: {
      sendMessage: async (tabId, message, { frameId }) => {
        if (message.kind !== "tallykey-top-origin" || frameId !== 0 || !topOrigins.has(tabId))
          throw new Error("Could not establish connection. Receiving end does not exist.");
        return { origin: topOrigins.get(tabId) };
      },
    },
    windows: {
      create: async ({ url }) => {
        const window = { id: windows.length + 1, url, open: true };
        windows.push(window);
        return { id: window.id };
      },
      remove: async (id) => {
        windows[id - 1].open = false;
      },
      onRemoved,
    },
  };
  // The background's scripts in one global scope, in the order its entry lists them.
  const context = vm.createContext({ chrome, crypto, URL, Date, Promise, queueMicrotask, console, setTimeout,
                                     clearTimeout });
  const load = (name) => vm.runInContext(fs.readFileSync(new URL(name, SOURCE), "utf8").replace("@HOST_NAME@", "host")
    .replace("@VERSION@", "1.0.0"), context, { filename: name });
  load("background.js");
  for (const name of vm.runInContext("BACKGROUND_SCRIPTS", context))
    load(name);

  // A tab's content script, connected from a document of the given origin:
  // the top one, or with `inside` (the top's origin, or null for a top
  // with no content script) a frame of the tab `tabId`.
  let nextTab = 1;
  function tab(origin, tabId = nextTab++, inside = undefined) {
    const replies = [];
    const onTabMessage = event();
    const onTabDisconnect = event();
    const frameId = inside === undefined ? 0 : tabId * 100 + nextTab++;
    if (inside === undefined && origin !== undefined)
      topOrigins.set(tabId, origin);
    else if (inside !== undefined && inside !== null)
      topOrigins.set(tabId, inside);
    const sender = origin === undefined ? { tab: { id: tabId }, frameId, url: "https://listed.example/" }
                                        : { tab: { id: tabId }, frameId, origin, url: origin + "/" };
    const port = { name: "tallykey", sender, onMessage: onTabMessage,
                   onDisconnect: onTabDisconnect, postMessage: (message) => replies.push(message), disconnect() {} };
    onConnect.emit(port);
    let next = 0;
    return {
      replies,
      send: (request) => onTabMessage.emit({ id: String(++next), request }),
      hello(gesture = true) { this.send({ kind: "tallykey-hello", gesture }); },
      call(method = "GetSN", args = [], gesture = false) {
        this.send({ kind: "tallykey-call", method, args, gesture });
        return String(next);
      },
      withdraw: (id) => onTabMessage.emit({ id, withdraw: true }),
      close: () => onTabDisconnect.emit(),
      tabId,
      interim: () => plain(replies.filter((r) => r.pending)),
      final: () => plain(replies.filter((r) => r.reply).map((r) => r.reply.error ?? r.reply.result)),
    };
  }
  // A message to the background from an extension page at url.
  const fromPage = (url, message) => new Promise((resolve) => {
    const answered = onMessage.emit(message, { id: "extension", url }, resolve).some(Boolean);
    if (!answered)
      resolve("ignored");
  }).then(plain);
  const openWindows = () => windows.filter((w) => w.open);
  const fromHost = (message) => hostPort.emit(message);
  return { tab, fromPage, openWindows, windows, hostRequests, areas, reads, storage, closeWindow: (w) => onRemoved.emit(w.id),
           answer: (id, reply) => fromHost({ id, ...reply }), notice: (id, state) => fromHost({ id, state }) };
}

