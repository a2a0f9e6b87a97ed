// The consent windows: the user's answers, asked one window at a time,
// and the handshake that decides whether to ask.
const CONSENT_PAGE = "consent.html";

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
  if (shown || queue.length === 0 || passwordWindowOpen())
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

// Whether a message comes from the extension's page `page` as opened for
// the window with this nonce: the open window's own, and only it.
const fromWindowPage = (sender, page, nonce) =>
  sender.id === api.runtime.id && sender.url === `${api.runtime.getURL(page)}#${nonce}`;

// The consent window's own messages: only from our consent page, and only
// for the request whose window is open (its nonce is in its address).
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (!shown || !fromWindowPage(sender, CONSENT_PAGE, shown.nonce) || message === null || typeof message !== "object")
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
  // The page's calls will need the grants: read them while the host answers
  // (in a fresh session it is starting), not when the first call comes.
  isAllowed(origin).catch(() => {});
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
