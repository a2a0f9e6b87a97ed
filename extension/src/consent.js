// The consent window: names the origin the background is asking about and
// sends the user's answer back. Closing the window is Deny (the
// background sees it close).
(async () => {
  const api = globalThis.browser ?? globalThis.chrome;
  const view = globalThis.TallykeyOriginView;
  view.localize(document, (name) => api.i18n.getMessage(name));
  const details = await api.runtime.sendMessage({ kind: "consent-details" });
  if (!details || typeof details.origin !== "string") {
    window.close();
    return;
  }
  const { origin, unicodeHost } = view.describeOrigin(details.origin);
  document.getElementById("origin").textContent = origin;
  if (unicodeHost) {
    document.getElementById("unicode-host").textContent = unicodeHost;
    document.getElementById("unicode").hidden = false;
  }
  // A frame says which page it is in: an ad inside the bank's page is not the bank.
  if (typeof details.embedder === "string" && details.embedder !== "") {
    const embedder = view.describeOrigin(details.embedder);
    document.getElementById("frame-origin").textContent =
      embedder.unicodeHost ? `${embedder.origin} (${embedder.unicodeHost})` : embedder.origin;
    document.getElementById("frame").hidden = false;
  } else if (details.embedder === null) {
    document.getElementById("frame-unknown").hidden = false;
  }
  if (details.untilRestart === true)
    document.getElementById("until-restart").hidden = false;

  const allow = document.getElementById("allow"), deny = document.getElementById("deny");
  const answer = (allowed) => api.runtime.sendMessage({ kind: "consent-answer", allow: allowed });
  deny.addEventListener("click", () => answer(false));

  // Allow needs a deliberate act: a pointer pressed on it, or a key pressed
  // on it, after the buttons woke up. A click or a key already under way as
  // the window appeared (a page can choose that moment), a held key's
  // repeats and a click a script makes count for nothing. The buttons
  // sleep for a moment again whenever the window comes back into view or
  // regains the focus.
  const WAKE_MS = 600;
  let awakeSince = Infinity;  // event time from which acts count
  let sleepTimer = null;
  function sleep() {
    awakeSince = Infinity;
    allow.disabled = deny.disabled = true;
    clearTimeout(sleepTimer);
    sleepTimer = setTimeout(() => {
      allow.disabled = deny.disabled = false;
      awakeSince = performance.now();
    }, WAKE_MS);
  }
  let pressedAt = -Infinity;  // when the act on Allow now ending began
  const begins = (event) => {
    pressedAt = event.isTrusted && !event.repeat && event.timeStamp >= awakeSince ? event.timeStamp : -Infinity;
  };
  allow.addEventListener("pointerdown", begins);
  allow.addEventListener("keydown", (event) => {
    if (event.key === "Enter" || event.key === " ")
      begins(event);
  });
  allow.addEventListener("click", (event) => {
    const deliberate = event.isTrusted && pressedAt >= awakeSince;
    pressedAt = -Infinity;
    if (deliberate)
      answer(true);
  });
  sleep();
  window.addEventListener("focus", sleep);
  document.addEventListener("visibilitychange", () => {
    if (document.visibilityState === "visible")
      sleep();
  });

  document.getElementById("manage").addEventListener("click", (event) => {
    event.preventDefault();
    api.runtime.openOptionsPage();
  });
  // The background (a service worker in Chromium) stays up while the user reads.
  setInterval(() => api.runtime.sendMessage({ kind: "consent-alive" }).catch(() => {}), 15000);
})();
