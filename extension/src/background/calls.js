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
      if (call.request.typed) {
        reply = typedAnswer(call, reply);
        if (!reply)
          return;  // a wrong password: the user tries again in the window
      } else if (reply.error === "presence-required" && !call.revoked) {
        enterPassword(call);  // a change from a site the user allowed: the user types the password
        return;
      }
      // A revoked call the host gave back never ran: it is refused. The
      // wait after a wrong password is the window's to show, not the page's.
      const { waitMs, ...forPage } = call.revoked && reply.error === "timeout" ? call.revoked : reply;
      call.finish(forPage);
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
    if (call.request.typed)
      forgetTyped(call);  // the typed passwords are the host's now
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
    endEntryWindow(call);
    call.finish(reply);
  } else if (call.state === "asking") {
    // The user has not answered the password window: it closes.
    closePasswordWindow(call);
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
  const call = { document: asker.id, asker, origin, state: "queued", hostId: null, notify, request: null, revoked: null,
                 gesture: request.gesture === true, window: null };
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
    if (needsEntry(request.method, request.args)) {
      enterPassword(call);
      return;
    }
    call.request.args = withoutMarks(request.args);
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
