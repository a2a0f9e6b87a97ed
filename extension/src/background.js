// Tallykey background: keeps one port to the native host and routes each
// answer to the tab and request it belongs to. The page's origin comes
// from the browser's sender information, never from the page.
//
// Consent: the host says for each origin whether the administrator listed
// it, refused it, or leaves it to the user ("ask"). For the user's origins
// this background opens a window of the extension's own (consent.html),
// one at a time and at most one per tab, and only from a user gesture in
// the asking document; a frame's window names the page it is in. Allow is
// kept in storage.local until the user removes it in the options page (a
// development address on this machine, http on localhost, only until the
// browser restarts), Deny in storage.session until the browser restarts.
// A call carries "consent" to the host only for an origin the user allowed;
// Remove and Deny withdraw that origin's waiting calls at once.
const api = globalThis.browser ?? globalThis.chrome;
const HOST_NAME = "@HOST_NAME@";
const VERSION = "@VERSION@";
const GRANTS = "allowedOrigins";  // storage.local (storage.session for development origins): {origin: time allowed}
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
      waiting.notice?.(message.state, message);
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

// http on this machine's own names: whoever serves there next (another
// local user, another program) is not who the user allowed, so such an
// Allow lasts only until the browser restarts.
const isDevelopmentOrigin = (origin) => /^http:\/\/(localhost|127\.0\.0\.1)(:\d+)?$/.test(origin);
const grantArea = (origin) => isDevelopmentOrigin(origin) ? "session" : "local";

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
  if ((area === "local" || area === "session") && changes[GRANTS]) {
    forgetAllowed();
    const before = changes[GRANTS].oldValue, after = changes[GRANTS].newValue;
    for (const origin of Object.keys(before && typeof before === "object" ? before : {})) {
      if (!(after && typeof after === "object" && Object.hasOwn(after, origin)))
        revoke(origin);
    }
  }
});

async function isAllowed(origin) {
  if (allowedOrigins !== null)
    return allowedOrigins.has(origin);
  const reading = grantsChanged;
  const allowed = new Set();
  for (const area of ["local", "session"]) {
    const stored = (await api.storage[area].get(GRANTS))[GRANTS];
    for (const granted of Object.keys(stored && typeof stored === "object" ? stored : {})) {
      if (grantArea(granted) === area)
        allowed.add(granted);
    }
  }
  if (reading === grantsChanged)
    allowedOrigins = allowed;
  return allowed.has(origin);
}

async function isDenied(origin) {
  const denied = (await api.storage.session.get(DENIALS))[DENIALS];
  return Boolean(denied && typeof denied === "object" && Object.hasOwn(denied, origin));
}

// The user's answers: one window at a time, one request per origin; every
// caller from an origin waiting for a window shares that one answer. A tab
// has at most one request waiting, and a request lives only as long as a
// document waits for it: when the last one goes (its tab closed or
// navigated), the request goes too, unanswered, and its window closes.
const requests = new Map();  // origin -> {origin, embedder, decision, decide, nonce, windowId, tab, documents}
const queue = [];            // origins whose window has not opened yet
let shown = null;            // the request whose window is open
const requestOfTab = new Map();  // tab id -> the request it waits for

// The decision for origin, asked of the user for the asking document, or null
// when the tab waits for another site's window already.
function askUser(origin, asker) {
  const existing = requests.get(origin);
  const waitingFor = requestOfTab.get(asker.tab);
  if (waitingFor && waitingFor !== existing)
    return null;
  if (existing) {
    existing.documents.add(asker.id);
    return existing.decision;
  }
  let decide;
  const decision = new Promise((resolve) => { decide = resolve; });
  const request = { origin, embedder: asker.embedder, decision, decide, nonce: crypto.randomUUID(),
                    windowId: null, tab: asker.tab, documents: new Set([asker.id]) };
  requests.set(origin, request);
  requestOfTab.set(asker.tab, request);
  queue.push(origin);
  showNext();
  return decision;
}

async function showNext() {
  if (shown || queue.length === 0)
    return;
  shown = requests.get(queue.shift());
  const request = shown;
  const url = api.runtime.getURL(`${CONSENT_PAGE}#${request.nonce}`);
  try {
    const window = await api.windows.create({ url, type: "popup", width: 520, height: 480 });
    request.windowId = window.id;
    if (shown !== request)  // gone while the window opened
      api.windows.remove(window.id).catch(() => {});
  } catch (error) {
    // No window, no consent.
    finish(request, false, false);
  }
}

// The user's answer (or the window's closing, which is Deny). A request
// that nobody waits for any more ends unanswered and unremembered.
async function finish(request, allow, remember = true) {
  if (!request || request.finished)
    return;
  request.finished = true;
  // Remembered before the request goes, so that a handshake meanwhile
  // still joins it rather than finding neither a request nor the answer.
  if (remember)
    await record(allow ? grantArea(request.origin) : "session", allow ? GRANTS : DENIALS, request.origin);
  if (allow)
    forgetAllowed();  // before the change's own event: the next call must see it
  if (requests.get(request.origin) === request)
    requests.delete(request.origin);
  if (requestOfTab.get(request.tab) === request)
    requestOfTab.delete(request.tab);
  const waiting = queue.indexOf(request.origin);
  if (waiting >= 0)
    queue.splice(waiting, 1);
  if (!allow && remember)
    revoke(request.origin, "the user denied this site the key");
  request.decide(allow);
  if (shown === request) {
    shown = null;
    if (request.windowId !== null)
      api.windows.remove(request.windowId).catch(() => {});
    showNext();
  }
}

// A document went away: the requests it alone waited for go with it.
function forgetDocument(documentId) {
  for (const request of [...requests.values()]) {
    if (request.documents.delete(documentId) && request.documents.size === 0)
      finish(request, false, false);
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
    sendResponse({ origin: shown.origin, embedder: shown.embedder, untilRestart: isDevelopmentOrigin(shown.origin) });
  else if (message.kind === "consent-answer" && typeof message.allow === "boolean")
    finish(shown, message.allow).then(() => sendResponse({ done: true }));
  else
    sendResponse({});  // a keep-alive: the background stays up while the user reads
  return true;
});

// The page a frame is in, as its top document's own content script reports
// it: "" for a top-level document, null when the top cannot say (no
// content script of ours runs there).
async function embedderOf(sender) {
  if (!sender.frameId)
    return "";
  let timer = null;
  try {
    const answer = await Promise.race([
      api.tabs.sendMessage(sender.tab.id, { kind: "tallykey-top-origin" }, { frameId: 0 }),
      new Promise((resolve) => { timer = setTimeout(resolve, 1000); }),
    ]);
    return answer && typeof answer.origin === "string" ? answer.origin : null;
  } catch {
    return null;
  } finally {
    clearTimeout(timer);
  }
}

// May this origin's calls go to the key with the user's consent? For an
// origin whose window is open the answer is awaited.
async function userConsent(origin) {
  const request = requests.get(origin);
  if (request)
    return (await request.decision) ? "allowed" : "denied";
  return (await isAllowed(origin)) ? "allowed" : "unasked";
}

const DENIED = { error: "permission-denied", message: "the user denied this site the key" };

// The handshake: the versions, and the origin's access settled. `notify`
// tells the page that the user is being asked (its wait grows). A window
// opens only from a user gesture in the asking document.
async function hello(origin, asker, gesture, notify) {
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
    return DENIED;
  if (!requests.has(origin) && !gesture) {
    // The user may have answered meanwhile: an answer is stored before its request goes.
    if (await isAllowed(origin))
      return { result };
    return await isDenied(origin) ? DENIED
      : { error: "needs-gesture", message: "the user is asked only from a click or a key press in the page" };
  }
  asker.embedder ??= await embedderOf(asker.sender);
  const decision = askUser(origin, asker);
  if (!decision)
    return { error: "busy", message: "this tab waits for the user's answer about another site" };
  notify({ pending: "consent" });
  return await decision ? { result } : DENIED;
}

// The calls' way to the key. Each document (a page or a frame: each has
// its own content script and port) has at most MAX_WAITING_PER_DOCUMENT
// requests waiting (more are "busy" at once); the documents take turns,
// and one call at a time goes to the host, so that one document's flood,
// a frame's too, holds another's call back by at most one call. A call the
// host must hold (wrong passwords) frees the key for the others meanwhile.
//
// Everything that waits counts against the document's bound: handshakes,
// calls waiting for the user's answer or in the document's queue, and
// calls the host holds. Only the call at the key, or running there, does
// not. A document's places come back when its port closes.
const MAX_WAITING_PER_DOCUMENT = 16;
const waitingByDocument = new Map();  // document id -> how many of its requests wait
const isFull = (documentId) => (waitingByDocument.get(documentId) ?? 0) >= MAX_WAITING_PER_DOCUMENT;
const BUSY = { error: "busy", message: `over ${MAX_WAITING_PER_DOCUMENT} requests of this page wait already` };

// A request (call or handshake) takes or gives up its place in its document's count.
function holdPlace(request, holds) {
  if (Boolean(request.holdsPlace) === holds)
    return;
  request.holdsPlace = holds;
  const count = (waitingByDocument.get(request.document) ?? 0) + (holds ? 1 : -1);
  if (count > 0)
    waitingByDocument.set(request.document, count);
  else
    waitingByDocument.delete(request.document);
}

const queues = new Map();  // document id -> its calls not yet sent, oldest first
// Documents with calls waiting: one that starts waiting goes before those
// that have had a turn, so the one call at the key is all it waits for.
const fresh = [];
const turns = [];
let atKey = null;          // the call sent to the host that neither ran to its end nor waits there
const callsOfOrigin = new Map();  // origin -> its calls not yet answered, for a revocation

function enqueue(call) {
  const queue = queues.get(call.document) ?? [];
  queue.push(call);
  queues.set(call.document, queue);
  if (!turns.includes(call.document) && !fresh.includes(call.document))
    (atKey && atKey.document === call.document ? turns : fresh).push(call.document);  // one at the key has its turn
  dispatch();
}

function dispatch() {
  while (!atKey && fresh.length + turns.length > 0) {
    const documentId = fresh.length > 0 ? fresh.shift() : turns.shift();
    const queue = queues.get(documentId);
    const call = queue.shift();
    if (queue.length > 0)
      turns.push(documentId);
    else
      queues.delete(documentId);
    atKey = call;
    call.state = "sent";
    holdPlace(call, false);
    call.hostId = send(call.request, (reply) => {
      call.state = "done";
      holdPlace(call, false);
      freeKey(call);
      // A revoked call the host gave back never ran: it is refused.
      call.finish(call.revoked && reply.error === "timeout" ? call.revoked : reply);
    }, (state, message) => {
      if (state === "waiting") {
        call.state = "waiting";
        holdPlace(call, true);
        freeKey(call);
        if (call.revoked)
          withdrawAtHost(call.hostId);
      } else if (state === "running") {
        call.state = "running";
        holdPlace(call, false);
        // How long the key can take with it: the page's bound from now.
        const keyMs = Number.isSafeInteger(message && message.keyMs) && message.keyMs >= 0 ? message.keyMs : undefined;
        call.notify({ pending: "started", keyMs });
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

// A call gives up: one that has not reached the key never will. It is
// answered `reply` ("timeout" when the page gave up), or, when the host
// holds it, whatever the host answers.
function withdraw(call, reply = { error: "timeout", message: "withdrawn before it reached the key" }) {
  if (call.state === "queued") {
    // In its document's queue, or still waiting for the consent answer.
    const queue = queues.get(call.document) ?? [];
    const at = queue.indexOf(call);
    if (at >= 0) {
      queue.splice(at, 1);
      if (queue.length === 0) {
        queues.delete(call.document);
        for (const list of [fresh, turns]) {
          const turn = list.indexOf(call.document);
          if (turn >= 0)
            list.splice(turn, 1);
        }
      }
    }
    call.state = "done";
    holdPlace(call, false);
    call.finish(reply);
  } else if (call.state === "sent" || call.state === "waiting") {
    withdrawAtHost(call.hostId);  // answered "timeout" if it still waits; else its result comes
  }
}

// The user removed or denied the origin: none of its waiting calls may
// reach the key with the consent it no longer has.
function revoke(origin, message = "the user removed this site") {
  const refusal = { error: "permission-denied", message };
  for (const call of callsOfOrigin.get(origin) ?? []) {
    if (!call.request || !call.request.consent)
      continue;
    call.revoked = refusal;
    if (call.state !== "sent")  // one sent is at the key unless the host says it waits
      withdraw(call, refusal);
  }
}

// One request of a document's content script: `respond` takes the reply,
// `notify` an interim message; the call object, for a withdrawal.
function handle(request, asker, respond, notify) {
  const origin = originOf(asker.sender);
  const known = request.kind === "tallykey-hello" ||
    (request.kind === "tallykey-call" && typeof request.method === "string" && Array.isArray(request.args));
  if (!known)
    return null;
  if (isFull(asker.id)) {
    respond(BUSY);
    return null;
  }
  const failed = (error) => ({ error: "extension-failed", message: String(error) });
  if (request.kind === "tallykey-hello") {
    const handshake = { document: asker.id };
    holdPlace(handshake, true);
    asker.handshakes.add(handshake);
    hello(origin, asker, request.gesture === true, notify).then((reply) => reply, failed).then((reply) => {
      holdPlace(handshake, false);
      asker.handshakes.delete(handshake);
      respond(reply);
    });
    return null;
  }
  const call = { document: asker.id, origin, state: "queued", hostId: null, notify, request: null, revoked: null };
  const calls = callsOfOrigin.get(origin) ?? new Set();
  calls.add(call);
  callsOfOrigin.set(origin, calls);
  call.finish = (reply) => {
    calls.delete(call);
    if (calls.size === 0 && callsOfOrigin.get(origin) === calls)
      callsOfOrigin.delete(origin);
    respond(reply);
  };
  holdPlace(call, true);
  // The answer to the site's consent window comes first, when one is open.
  userConsent(origin).then((consent) => {
    if (call.state !== "queued")
      return;  // withdrawn meanwhile
    if (consent === "denied") {
      call.state = "done";
      holdPlace(call, false);
      call.finish(DENIED);
      return;
    }
    call.request = { method: request.method, args: request.args, origin, consent: consent === "allowed" };
    enqueue(call);
  }, (error) => {
    call.state = "done";
    holdPlace(call, false);
    call.finish(failed(error));
  });
  return call;
}

// Each document's content script keeps a port; answers go back on the port
// the request came by, with the page's own request id.
let nextDocument = 1;
api.runtime.onConnect.addListener((tabPort) => {
  if (tabPort.name !== "tallykey" || !tabPort.sender || !tabPort.sender.tab) {
    tabPort.disconnect();
    return;
  }
  let open = true;
  const asker = { id: nextDocument++, tab: tabPort.sender.tab.id, sender: tabPort.sender, embedder: undefined,
                  handshakes: new Set() };
  const calls = new Map();  // the page's request id -> its call, until answered
  tabPort.onDisconnect.addListener(() => {
    open = false;
    for (const call of calls.values())
      withdraw(call);  // nobody waits for them now
    calls.clear();
    for (const handshake of asker.handshakes)
      holdPlace(handshake, false);
    asker.handshakes.clear();
    forgetDocument(asker.id);
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
    call = handle(message.request, asker, (reply) => {
      if (call)
        calls.delete(message.id);
      post({ reply });
    }, post);
    if (call && call.state !== "done")
      calls.set(message.id, call);
  });
});
