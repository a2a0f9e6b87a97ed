// The one port to the native host: requests out with ids of their own,
// answers and notices routed back to whoever sent them.
const HOST_NAME = "@HOST_NAME@";
const VERSION = "@VERSION@";

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
    waiting.respond(message.error ? { error: message.error, message: message.message }
                    : Number.isSafeInteger(message.waitMs) ? { result: message.result, waitMs: message.waitMs }
                    : { result: message.result });
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
