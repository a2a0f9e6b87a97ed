// The options page: the sites the user allowed, each with a Remove button.
// Removing one makes its next connect() ask again, and withdraws its calls
// that wait. Development addresses (http on localhost) are allowed only
// until the browser restarts, in session storage.
(() => {
  const api = globalThis.browser ?? globalThis.chrome;
  const view = globalThis.TallykeyOriginView;
  const GRANTS = "allowedOrigins";
  const message = (name) => api.i18n.getMessage(name);
  view.localize(document, message);

  async function grants() {
    const all = new Map();  // origin -> its storage area
    for (const area of ["session", "local"]) {
      const stored = (await api.storage[area].get(GRANTS))[GRANTS];
      for (const origin of Object.keys(stored && typeof stored === "object" ? stored : {}))
        all.set(origin, area);
    }
    return all;
  }

  async function show() {
    const granted = await grants();
    const list = document.getElementById("sites");
    list.replaceChildren();
    for (const [origin, area] of [...granted].sort()) {
      const { unicodeHost } = view.describeOrigin(origin);
      const item = document.createElement("li");
      const name = document.createElement("span");
      name.className = "origin";
      name.textContent = unicodeHost ? `${origin} (${unicodeHost})` : origin;
      const remove = document.createElement("button");
      remove.textContent = message("optionsRemove");
      remove.dataset.origin = origin;
      remove.addEventListener("click", async () => {
        const current = (await api.storage[area].get(GRANTS))[GRANTS] || {};
        delete current[origin];
        await api.storage[area].set({ [GRANTS]: current });
      });
      item.append(name, " ", remove);
      list.append(item);
    }
    document.getElementById("none").hidden = list.children.length > 0;
  }

  api.storage.onChanged.addListener((changes, area) => {
    if ((area === "local" || area === "session") && changes[GRANTS])
      show();
  });
  show();
})();
