// Tallykey background: keeps one port to the native host and routes each
// answer to the tab and request it belongs to. The page's origin comes
// from the browser's sender information, never from the page.
//
// Consent: the host says for each origin whether the administrator listed
// it, refused it, or leaves it to the user ("ask"). For the user's origins
// this background opens a window of the extension's own (consent.html),
// one at a time; Allow is kept in storage.local until the user removes it
// in the options page, Deny in storage.session until the browser restarts.
// A call carries "consent" to the host only for an origin the user allowed.
const api = globalThis.browser ?? globalThis.chrome;
const HOST_NAME = "@HOST_NAME@";
const VERSION = "@VERSION@";
const GRANTS = "allowedOrigins";  // storage.local: {origin: time allowed}
const DENIALS = "deniedOrigins";  // storage.session: {origin: time denied}
const CONSENT_PAGE = "consent.html";

let port = null;
let nextId = 1;
// host request id -> {respond(reply), notice(state)}: the answer, and the
// host's notices that the call waits or has reached the key
const pending = new Map();

// Chromium and Firefox word the reasons differently; both name a missing host.
function disconnectReason(error) {
  const text = String(error && error.message || "");
  if (/not found|no such native application|Access to the specified native messaging host is forbidden/i.test(text))
    return { error: "host-missing", message: text };
  return { error: "host-exited", message: text || "the native host ended" };
}

function connect() {
  if (port)
    return port;
  port = api.runtime.connectNative(HOST_NAME);
  port.onMessage.addListener((message) => {
    const waiting = message && pending.get(message.id);
    if (!waiting)
      return;
    if (typeof message.state === "string") {
      waiting.notice?.(message.state);
      return;
    }
    pending.delete(message.id);
    waiting.respond(message.error ? { error: message.error, message: message.message } : { result: message.result });
  });
  port.onDisconnect.addListener((disconnected) => {
    const reason = disconnectReason(api.runtime.lastError || disconnected.error);
    port = null;
    const failed = [...pending.values()];
    pending.clear();
    for (const waiting of failed)
      waiting.respond(reason);
  });
  return port;
}

// One request to the host; the id it goes by.
function send(request, respond, notice) {
  const id = nextId++;
  pending.set(id, { respond, notice });
  try {
    connect().postMessage({ id, ...request });
  } catch (error) {
    pending.delete(id);
    respond(disconnectReason(error));
  }
  return id;
}

function withdrawAtHost(id) {
  try {
    port?.postMessage({ id, method: "withdraw" });
  } catch {
    // The host is gone: its disconnect answers the call.
  }
}

const sendToHost = (request) => new Promise((resolve) => send(request, resolve));

// The frame's origin as the browser reports it. Without it (no browser we
// support omits it) the call is refused: a frame's address is not its
// origin (a sandboxed frame's is opaque), so it is never judged by that.
const originOf = (sender) => typeof sender.origin === "string" ? sender.origin : "";

async function record(area, key, origin) {
  const stored = (await api.storage[area].get(key))[key] || {};
  await api.storage[area].set({ [key]: { ...stored, [origin]: Date.now() } });
}

// The allowed origins, read once and again after any change (the options
// page removes them): every call asks, and storage is slower than memory.
// A read that a change overtook is not kept, so a removed site never comes
// back from it.
let allowedOrigins = null;
let grantsChanged = 0;
function forgetAllowed() {
  allowedOrigins = null;
  ++grantsChanged;
}
api.storage.onChanged.addListener((changes, area) => {
  if (area === "local" && changes[GRANTS])
    forgetAllowed();
});

async function isAllowed(origin) {
  if (allowedOrigins !== null)
    return allowedOrigins.has(origin);
  const reading = grantsChanged;
  const stored = (await api.storage.local.get(GRANTS))[GRANTS];
  const allowed = new Set(stored && typeof stored === "object" ? Object.keys(stored) : []);
  if (reading === grantsChanged)
    allowedOrigins = allowed;
  return allowed.has(origin);
}

async function isDenied(origin) {
  const denied = (await api.storage.session.get(DENIALS))[DENIALS];
  return Boolean(denied && typeof denied === "object" && Object.hasOwn(denied, origin));
}

// The user's answers: one window at a time, one request per origin; every
// caller from an origin waiting for a window shares that one answer.
const requests = new Map();  // origin -> {decision: Promise<bool>, decide, nonce, windowId}
const queue = [];            // origins whose window has not opened yet
let shown = null;            // the request whose window is open

function askUser(origin) {
  const existing = requests.get(origin);
  if (existing)
    return existing.decision;
  let decide;
  const decision = new Promise((resolve) => { decide = resolve; });
  requests.set(origin, { origin, decision, decide, nonce: crypto.randomUUID(), windowId: null });
  queue.push(origin);
  showNext();
  return decision;
}

async function showNext() {
  if (shown || queue.length === 0)
    return;
  shown = requests.get(queue.shift());
  const url = api.runtime.getURL(`${CONSENT_PAGE}#${shown.nonce}`);
  try {
    const window = await api.windows.create({ url, type: "popup", width: 520, height: 440 });
    shown.windowId = window.id;
  } catch (error) {
    // No window, no consent.
    finish(shown, false, false);
  }
}

// The user's answer (or the window's closing, which is Deny).
async function finish(request, allow, remember = true) {
  if (!request || requests.get(request.origin) !== request)
    return;
  requests.delete(request.origin);
  if (remember)
    await record(allow ? "local" : "session", allow ? GRANTS : DENIALS, request.origin);
  if (allow)
    forgetAllowed();  // before the change's own event: the next call must see it
  request.decide(allow);
  if (shown === request) {
    shown = null;
    if (request.windowId !== null)
      api.windows.remove(request.windowId).catch(() => {});
    showNext();
  }
}

api.windows.onRemoved.addListener((windowId) => {
  if (shown && shown.windowId === windowId)
    finish(shown, false);
});

// The consent window's own messages: only from our consent page, and only
// for the request whose window is open (its nonce is in its address).
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  const page = api.runtime.getURL(CONSENT_PAGE);
  if (sender.id !== api.runtime.id || typeof sender.url !== "string" || !sender.url.startsWith(page + "#") ||
      !shown || sender.url !== `${page}#${shown.nonce}` || message === null || typeof message !== "object")
    return false;
  if (message.kind === "consent-details")
    sendResponse({ origin: shown.origin });
  else if (message.kind === "consent-answer" && typeof message.allow === "boolean")
    finish(shown, message.allow).then(() => sendResponse({ done: true }));
  else
    sendResponse({});  // a keep-alive: the background stays up while the user reads
  return true;
});

// May this origin's calls go to the key with the user's consent? For an
// origin whose window is open the answer is awaited.
async function userConsent(origin) {
  const request = requests.get(origin);
  if (request)
    return request.decision;
  return isAllowed(origin);
}

// The handshake: the versions, and the origin's access settled. `notify`
// tells the page that the user is being asked (its wait grows).
async function hello(origin, notify) {
  const reply = await sendToHost({ method: "hello", origin });
  if (reply.error)
    return reply;
  const result = { extension: VERSION, host: reply.result && reply.result.host };
  const access = reply.result && reply.result.access;
  if (access === "listed")
    return { result };
  if (access !== "ask")
    return { error: "origin-refused", message: "this page's origin may not use the key" };
  if (await isAllowed(origin))
    return { result };
  if (await isDenied(origin))
    return { error: "permission-denied", message: "the user denied this site the key" };
  notify({ pending: "consent" });
  return await askUser(origin) ? { result }
                               : { error: "permission-denied", message: "the user denied this site the key" };
}

// The calls' way to the key. Each tab has at most MAX_WAITING_PER_TAB
// requests waiting (more are "busy" at once); the tabs take turns, and one
// call at a time goes to the host, so that one tab's flood holds another
// tab's call back by at most one call. A call the host must hold (wrong
// passwords) frees the key for the others meanwhile.
//
// Everything that waits counts against the tab's bound: handshakes, calls
// waiting for the user's answer or in the tab's queue, and calls the host
// holds. Only the call at the key, or running there, does not.
const MAX_WAITING_PER_TAB = 16;
const waitingByTab = new Map();  // tab id -> how many of its requests wait
const tabIsFull = (tab) => (waitingByTab.get(tab) ?? 0) >= MAX_WAITING_PER_TAB;
const BUSY = { error: "busy", message: `over ${MAX_WAITING_PER_TAB} requests of this tab wait already` };

// A request (call or handshake) takes or gives up its place in its tab's count.
function holdPlace(request, holds) {
  if (Boolean(request.holdsPlace) === holds)
    return;
  request.holdsPlace = holds;
  const count = (waitingByTab.get(request.tab) ?? 0) + (holds ? 1 : -1);
  if (count > 0)
    waitingByTab.set(request.tab, count);
  else
    waitingByTab.delete(request.tab);
}

const queues = new Map();  // tab id -> its calls not yet sent, oldest first
// Tab ids with calls waiting: a tab that starts waiting goes before those
// that have had a turn, so the one call at the key is all it waits for.
const fresh = [];
const turns = [];
let atKey = null;          // the call sent to the host that neither ran to its end nor waits there

function enqueue(call) {
  const queue = queues.get(call.tab) ?? [];
  queue.push(call);
  queues.set(call.tab, queue);
  if (!turns.includes(call.tab) && !fresh.includes(call.tab))
    (atKey && atKey.tab === call.tab ? turns : fresh).push(call.tab);  // a tab at the key has its turn
  dispatch();
}

function dispatch() {
  while (!atKey && fresh.length + turns.length > 0) {
    const tab = fresh.length > 0 ? fresh.shift() : turns.shift();
    const queue = queues.get(tab);
    const call = queue.shift();
    if (queue.length > 0)
      turns.push(tab);
    else
      queues.delete(tab);
    atKey = call;
    call.state = "sent";
    holdPlace(call, false);
    call.hostId = send(call.request, (reply) => {
      call.state = "done";
      holdPlace(call, false);
      freeKey(call);
      call.finish(reply);
    }, (state) => {
      if (state === "waiting") {
        call.state = "waiting";
        holdPlace(call, true);
        freeKey(call);
      } else if (state === "running") {
        call.state = "running";
        holdPlace(call, false);
        call.notify({ pending: "started" });
      }
    });
  }
}

function freeKey(call) {
  if (atKey === call) {
    atKey = null;
    dispatch();
  }
}

// The page gave up on a call: one that has not reached the key never will.
function withdraw(call) {
  if (call.state === "queued") {
    // In its tab's queue, or still waiting for the consent answer.
    const queue = queues.get(call.tab) ?? [];
    const at = queue.indexOf(call);
    if (at >= 0) {
      queue.splice(at, 1);
      if (queue.length === 0) {
        queues.delete(call.tab);
        for (const list of [fresh, turns]) {
          const turn = list.indexOf(call.tab);
          if (turn >= 0)
            list.splice(turn, 1);
        }
      }
    }
    call.state = "done";
    holdPlace(call, false);
    call.finish({ error: "timeout", message: "withdrawn before it reached the key" });
  } else if (call.state === "sent" || call.state === "waiting") {
    withdrawAtHost(call.hostId);  // answered "timeout" if it still waits; else its result comes
  }
}

// One request of a tab's content script: `respond` takes the reply,
// `notify` an interim message; the call object, for a withdrawal.
function handle(request, sender, respond, notify) {
  const origin = originOf(sender);
  const tab = sender.tab.id;
  const known = request.kind === "tallykey-hello" ||
    (request.kind === "tallykey-call" && typeof request.method === "string" && Array.isArray(request.args));
  if (!known)
    return null;
  if (tabIsFull(tab)) {
    respond(BUSY);
    return null;
  }
  const failed = (error) => ({ error: "extension-failed", message: String(error) });
  if (request.kind === "tallykey-hello") {
    const handshake = { tab };
    holdPlace(handshake, true);
    hello(origin, notify).then((reply) => reply, failed).then((reply) => {
      holdPlace(handshake, false);
      respond(reply);
    });
    return null;
  }
  const call = { tab, state: "queued", hostId: null, finish: respond, notify, request: null };
  holdPlace(call, true);
  // The answer to the site's consent window comes first, when one is open.
  userConsent(origin).then((consent) => {
    if (call.state !== "queued")
      return;  // withdrawn meanwhile
    call.request = { method: request.method, args: request.args, origin, consent };
    enqueue(call);
  }, (error) => {
    call.state = "done";
    holdPlace(call, false);
    respond(failed(error));
  });
  return call;
}

// Each tab's content script keeps a port; answers go back on the port the
// request came by, with the page's own request id.
api.runtime.onConnect.addListener((tabPort) => {
  if (tabPort.name !== "tallykey" || !tabPort.sender || !tabPort.sender.tab) {
    tabPort.disconnect();
    return;
  }
  let open = true;
  const calls = new Map();  // the page's request id -> its call, until answered
  tabPort.onDisconnect.addListener(() => {
    open = false;
    for (const call of calls.values())
      withdraw(call);  // nobody waits for them now
    calls.clear();
  });
  tabPort.onMessage.addListener((message) => {
    if (message === null || typeof message !== "object" || typeof message.id !== "string")
      return;
    if (message.withdraw === true) {
      const call = calls.get(message.id);
      if (call)
        withdraw(call);
      return;
    }
    if (message.request === null || typeof message.request !== "object" || calls.has(message.id))
      return;
    const post = (body) => {
      if (open)
        tabPort.postMessage({ id: message.id, ...body });
    };
    let call = null;
    call = handle(message.request, tabPort.sender, (reply) => {
      if (call)
        calls.delete(message.id);
      post({ reply });
    }, post);
    if (call && call.state !== "done")
      calls.set(message.id, call);
  });
});
