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
  view.showAsker(document, details.origin, details.embedder);
  if (details.untilRestart === true)
    document.getElementById("until-restart").hidden = false;

  const allow = document.getElementById("allow"), deny = document.getElementById("deny");
  const answer = (allowed) => api.runtime.sendMessage({ kind: "consent-answer", allow: allowed });
  deny.addEventListener("click", () => answer(false));

  // Allow needs a deliberate act; Deny any click.
  const guard = globalThis.TallykeyWindowGuard.guard(window, [allow, deny]);
  guard.onDeliberateClick(allow, () => answer(true));

  document.getElementById("manage").addEventListener("click", (event) => {
    event.preventDefault();
    api.runtime.openOptionsPage();
  });
  // The background (a service worker in Chromium) stays up while the user reads.
  setInterval(() => api.runtime.sendMessage({ kind: "consent-alive" }).catch(() => {}), 15000);
})();
