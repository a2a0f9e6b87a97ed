// The password window: where the user types the key's password for a call,
// so that the page never holds it. The password goes from the window to
// here and into the call for the host, marked "typed"; never to the
// content script, the page, storage or a log. A page asks for it with the
// library's Tallykey.ASK in a password's place; the host asks for it (a
// "presence-required" refusal) for a change to the key from a site the user
// allowed, whatever password the page gave.
const PASSWORD_PAGE = "password.html";

// Each method's password arguments, in order, and what the window says
// the key will do; confirm's text is its second argument.
const PASSWORD_ENTRY = {
  signIn: { action: "signIn", fields: ["current"] },
  HMAC_MD5: { action: "signIn", fields: ["current"] },
  HMAC_MD5_HexString: { action: "signIn", fields: ["current"] },
  confirm: { action: "confirm", fields: ["current"], textArgument: 1 },
  UpdatePassword: { action: "change", fields: ["current", "new"] },
  InitPassword: { action: "change", fields: ["new"] },
  ResetDigist: { action: "replace", fields: ["current"] },
};
// A wrong password (-5) the user may retry in the window; InitPassword's
// -5 means the key has one already, which no retry mends.
const WRONG_PASSWORD = -5;
const MAX_TYPED_PASSWORD = 1024;  // far beyond what the key takes; the host refuses the rest

// The content script's mark for an argument the user is to type.
const isAsk = (arg) => arg !== null && typeof arg === "object" && arg.ask === true;
const needsEntry = (method, args) =>
  Object.hasOwn(PASSWORD_ENTRY, method) && PASSWORD_ENTRY[method].fields.some((_, at) => isAsk(args[at]));
// A mark anywhere else is just not a string.
const withoutMarks = (args) => args.map((arg) => isAsk(arg) ? null : arg);

let entryShown = null;  // the call whose password window is open
const passwordWindowOpen = () => entryShown !== null;

// Asks the user for the call's passwords in a window, or answers the call
// at once when no window may open: only from a user gesture in the asking
// document, one window at a time, and not while the tab waits for a
// consent answer.
async function enterPassword(call) {
  const entry = Object.hasOwn(PASSWORD_ENTRY, call.request.method) ? PASSWORD_ENTRY[call.request.method] : null;
  const refuse = (error, message) => {
    call.state = "done";
    holdPlace(call, false);
    call.finish({ error, message });
  };
  if (!entry)
    return refuse("bad-request", "this method takes no password");
  if (!call.gesture)
    return refuse("needs-gesture", "the password window opens only from a click or a key press in the page");
  if (entryShown || shown || requestOfTab.has(call.asker.tab))
    return refuse("busy", "another Tallykey window is open");
  call.state = "asking";
  holdPlace(call, true);
  const window = { nonce: crypto.randomUUID(), id: null, entry, answer: null };
  call.window = window;
  entryShown = call;
  if (!call.request.consent) {
    // Only a site the user allowed or the administrator listed may have the
    // user type a password: the host knows the list.
    const reply = await sendToHost({ method: "hello", origin: call.origin });
    const access = reply.result && reply.result.access;
    if (entryShown !== call)
      return;  // withdrawn meanwhile
    if (access !== "listed") {
      closePasswordWindow(call);
      return refuse(access === "ask" ? "permission-denied" : "origin-refused", "this page's origin may not use the key");
    }
  }
  call.asker.embedder ??= await embedderOf(call.asker.sender);
  if (entryShown !== call)
    return;  // withdrawn meanwhile
  try {
    const opened = await api.windows.create({ url: api.runtime.getURL(`${PASSWORD_PAGE}#${window.nonce}`),
                                              type: "popup", width: 520, height: 560 });
    window.id = opened.id;
    if (entryShown !== call)
      api.windows.remove(opened.id).catch(() => {});
  } catch (error) {
    closePasswordWindow(call);
    return refuse("extension-failed", "the password window could not open");
  }
  call.notify({ pending: "password" });
}

function closePasswordWindow(call) {
  if (entryShown !== call)
    return;
  entryShown = null;
  if (call.window.id !== null)
    api.windows.remove(call.window.id).catch(() => {});
  showNext();  // a consent window may have been waiting for this one
}

// The host's answer to a call with typed passwords: a wrong password goes
// back to the window (with the wait the host imposes before the next try);
// anything else ends the window. The reply for the page, or null while the
// user tries again.
const CANCELLED = { error: "cancelled", message: "the user closed the password window" };
function typedAnswer(call, reply) {
  const window = call.window;
  const respond = window.answer;
  window.answer = null;
  if (reply.result === WRONG_PASSWORD && call.request.method !== "InitPassword" && !call.revoked) {
    if (entryShown !== call || window.id === null) {
      closePasswordWindow(call);
      return CANCELLED;  // closed while the key checked: nobody is there to try again
    }
    call.state = "asking";
    holdPlace(call, true);
    respond?.({ wrong: true, waitMs: Number.isSafeInteger(reply.waitMs) ? reply.waitMs : 0 });
    call.notify({ pending: "password" });  // the page waits for the user again
    return null;
  }
  respond?.({ done: true });
  closePasswordWindow(call);
  return reply;
}

// Once the host has the typed passwords, the call keeps none: a retry
// brings new ones.
function forgetTyped(call) {
  const args = call.request.args.slice();
  call.window.entry.fields.forEach((_, at) => { args[at] = null; });
  call.request = { ...call.request, args };
}

// A call withdrawn while its typed passwords wait for the key: the window goes.
function endEntryWindow(call) {
  if (!call.window)
    return;
  call.window.answer?.({ done: true });
  call.window.answer = null;
  closePasswordWindow(call);
}

// The user gave up: the call is answered "cancelled" and never reaches the key.
function cancelEntry(call) {
  if (entryShown !== call || call.state !== "asking")
    return;
  closePasswordWindow(call);
  call.state = "done";
  holdPlace(call, false);
  call.finish(CANCELLED);
}

api.windows.onRemoved.addListener((windowId) => {
  if (entryShown && entryShown.window.id === windowId) {
    const call = entryShown;
    if (call.state === "asking")
      cancelEntry(call);
    else
      call.window.id = null;  // its answer is on its way to the key: it ends as it runs
  }
});

// The open window's own page, and only it, speaks for the user.
api.runtime.onMessage.addListener((message, sender, sendResponse) => {
  if (!entryShown || !fromWindowPage(sender, PASSWORD_PAGE, entryShown.window.nonce) || message === null ||
      typeof message !== "object")
    return false;
  const call = entryShown;
  const { entry } = call.window;
  if (message.kind === "password-details") {
    const text = entry.textArgument === undefined ? undefined : call.request.args[entry.textArgument];
    sendResponse({ origin: call.origin, embedder: call.asker.embedder, action: entry.action, fields: entry.fields,
                   text: typeof text === "string" ? text : undefined });
  } else if (message.kind === "password-cancel") {
    cancelEntry(call);
    sendResponse({ done: true });
  } else if (message.kind === "password-answer" && call.state === "asking" && message.passwords !== null &&
             typeof message.passwords === "object") {
    const typed = entry.fields.map((field) => message.passwords[field]);
    if (!typed.every((password) => typeof password === "string" && password.length <= MAX_TYPED_PASSWORD)) {
      sendResponse({ problem: true });
      return false;
    }
    // The typed passwords take their places; the page's own, if any, go unused.
    const args = withoutMarks(call.request.args);
    typed.forEach((password, at) => { args[at] = password; });
    call.request = { ...call.request, args, typed: true };
    call.window.answer = sendResponse;
    call.state = "queued";
    enqueue(call);
  } else {
    sendResponse({});  // a keep-alive: the background stays up while the user types
  }
  return true;
});
