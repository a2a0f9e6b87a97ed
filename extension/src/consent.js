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
  const answer = (allow) => api.runtime.sendMessage({ kind: "consent-answer", allow });
  document.getElementById("allow").addEventListener("click", () => answer(true));
  document.getElementById("deny").addEventListener("click", () => answer(false));
  document.getElementById("manage").addEventListener("click", (event) => {
    event.preventDefault();
    api.runtime.openOptionsPage();
  });
  // The buttons wake up only after a moment, so that a click meant for the
  // page underneath cannot land on Allow as the window appears.
  setTimeout(() => {
    for (const button of document.querySelectorAll("button"))
      button.disabled = false;
    document.getElementById("deny").focus();
  }, 600);
  // The background (a service worker in Chromium) stays up while the user reads.
  setInterval(() => api.runtime.sendMessage({ kind: "consent-alive" }).catch(() => {}), 15000);
})();
