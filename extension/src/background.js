// Tallykey background: keeps one port to the native host and routes each
// answer to the tab and request it belongs to. The page's origin comes
// from the browser's sender information, never from the page.
const api = globalThis.browser ?? globalThis.chrome;
const HOST_NAME = "@HOST_NAME@";
const VERSION = "@VERSION@";

let port = null;
let nextId = 1;
const pending = new Map();  // host request id -> the content script's sendResponse

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
    const respond = message && pending.get(message.id);
    if (!respond)
      return;
    pending.delete(message.id);
    respond(message.error ? { error: message.error, message: message.message } : { result: message.result });
  });
  port.onDisconnect.addListener((disconnected) => {
    const reason = disconnectReason(api.runtime.lastError || disconnected.error);
    port = null;
    for (const respond of pending.values())
      respond(reason);
    pending.clear();
  });
  return port;
}

function send(request, respond) {
  const id = nextId++;
  pending.set(id, respond);
  try {
    connect().postMessage({ id, ...request });
  } catch (error) {
    pending.delete(id);
    respond(disconnectReason(error));
  }
}

function originOf(sender) {
  if (sender.origin)
    return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return "";
  }
}

// One request of a tab's content script; `respond` takes the reply.
function handle(request, sender, respond) {
  if (request.kind === "tallykey-hello") {
    send({ method: "hello" }, (reply) => {
      respond(reply.error ? reply : { result: { extension: VERSION, host: reply.result && reply.result.host } });
    });
  } else if (request.kind === "tallykey-call" && typeof request.method === "string" && Array.isArray(request.args)) {
    send({ method: request.method, args: request.args, origin: originOf(sender) }, respond);
  }
}

// Each tab's content script keeps a port; answers go back on the port the
// request came by, with the page's own request id.
api.runtime.onConnect.addListener((tabPort) => {
  if (tabPort.name !== "tallykey" || !tabPort.sender || !tabPort.sender.tab) {
    tabPort.disconnect();
    return;
  }
  let open = true;
  tabPort.onDisconnect.addListener(() => {
    open = false;
  });
  tabPort.onMessage.addListener((message) => {
    if (message === null || typeof message !== "object" || typeof message.id !== "string" ||
        message.request === null || typeof message.request !== "object")
      return;
    handle(message.request, tabPort.sender, (reply) => {
      if (open)
        tabPort.postMessage({ id: message.id, reply });
    });
  });
});
