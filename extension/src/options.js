// The options page: the sites the user allowed, each with a Remove button.
// Removing one makes its next connect() ask again.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const view = globalThis.TallykeyOriginView;
  const GRANTS = "allowedOrigins";
  const message = (name) => api.i18n.getMessage(name);
  view.localize(document, message);

  async function show() {
    const granted = (await api.storage.local.get(GRANTS))[GRANTS] || {};
    const list = document.getElementById("sites");
    list.replaceChildren();
    for (const origin of Object.keys(granted).sort()) {
      const { unicodeHost } = view.describeOrigin(origin);
      const item = document.createElement("li");
      const name = document.createElement("span");
      name.className = "origin";
      name.textContent = unicodeHost ? `${origin} (${unicodeHost})` : origin;
      const remove = document.createElement("button");
      remove.textContent = message("optionsRemove");
      remove.dataset.origin = origin;
      remove.addEventListener("click", async () => {
        const current = (await api.storage.local.get(GRANTS))[GRANTS] || {};
        delete current[origin];
        await api.storage.local.set({ [GRANTS]: current });
      });
      item.append(name, " ", remove);
      list.append(item);
    }
    document.getElementById("none").hidden = list.children.length > 0;
  }

  api.storage.onChanged.addListener((changes, area) => {
    if (area === "local" && changes[GRANTS])
      show();
  });
  show();
})();
