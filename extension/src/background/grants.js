// What the user decided about each origin: Allow in storage (session
// storage for development origins), Deny in session storage, and the
// cached set of allowed origins that every call consults.
const GRANTS = "allowedOrigins";  // storage.local (storage.session for development origins): {origin: time allowed}
const DENIALS = "deniedOrigins";  // storage.session: {origin: time denied}

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
// Whoever asks while a read is under way shares it. A change during a read
// makes its askers read again, so a removed site never comes back from it.
let allowedOrigins = null;
let grantsChanged = 0;
let allowedRead = null;  // {generation, promise}: the read under way
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

async function readAllowed() {
  const allowed = new Set();
  for (const area of ["local", "session"]) {
    const stored = (await api.storage[area].get(GRANTS))[GRANTS];
    for (const granted of Object.keys(stored && typeof stored === "object" ? stored : {})) {
      if (grantArea(granted) === area)
        allowed.add(granted);
    }
  }
  return allowed;
}

async function isAllowed(origin) {
  for (;;) {
    if (allowedOrigins !== null)
      return allowedOrigins.has(origin);
    let read = allowedRead;
    if (!read || read.generation !== grantsChanged) {
      read = { generation: grantsChanged, promise: null };
      read.promise = readAllowed().then((allowed) => {
        if (read.generation === grantsChanged)
          allowedOrigins = allowed;
        return allowed;
      }).finally(() => {
        if (allowedRead === read)
          allowedRead = null;  // a failed read is not shared either
      });
      allowedRead = read;
    }
    const allowed = await read.promise;
    if (read.generation === grantsChanged)
      return allowed.has(origin);
  }
}

async function isDenied(origin) {
  const denied = (await api.storage.session.get(DENIALS))[DENIALS];
  return Boolean(denied && typeof denied === "object" && Object.hasOwn(denied, origin));
}
