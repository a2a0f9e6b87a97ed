// The password window: names the site and what the key will do for it,
// takes the password and hands it to the background, which alone passes
// it on to the host. Cancel, Esc and closing the window cancel the call.
(async () => {
  const api = globalThis.browser ?? globalThis.chrome;
  const view = globalThis.TallykeyOriginView;
  const text = (name, ...values) => api.i18n.getMessage(name, values);
  view.localize(document, text);
  const details = await api.runtime.sendMessage({ kind: "password-details" });
  const ACTIONS = ["signIn", "confirm", "change", "replace"];
  if (!details || typeof details.origin !== "string" || !ACTIONS.includes(details.action) ||
      !Array.isArray(details.fields)) {
    window.close();
    return;
  }
  const action = details.action;
  view.showAsker(document, details.origin, details.embedder);
  document.getElementById("heading").textContent = text(`passwordHeading_${action}`);
  document.getElementById("what").textContent = text(`passwordWhat_${action}`);
  if (action === "confirm") {
    const transaction = document.getElementById("transaction");
    view.showText(transaction, typeof details.text === "string" ? details.text : "");
    transaction.hidden = false;
  }

  const field = (name) => document.getElementById(name);
  // No field is focused by itself: typing meant for the page must not land here.
  const inputs = [];
  if (details.fields.includes("current")) {
    field("current-field").hidden = false;
    inputs.push(field("current"));
  }
  const changing = details.fields.includes("new");
  if (changing) {
    field("new-field").hidden = false;
    field("repeat-field").hidden = false;
    inputs.push(field("new"), field("repeat"));
  }
  const ok = document.getElementById("ok"), cancel = document.getElementById("cancel");
  ok.textContent = text(`passwordOk_${action}`);
  const problem = document.getElementById("problem");
  const say = (message) => {
    problem.textContent = message;
    problem.hidden = message === "";
  };

  let done = false;
  const giveUp = () => {
    if (done)
      return;
    done = true;
    for (const input of inputs)
      input.value = "";
    api.runtime.sendMessage({ kind: "password-cancel" }).catch(() => {});
  };
  cancel.addEventListener("click", giveUp);
  document.addEventListener("keydown", (event) => {
    if (event.key === "Escape")
      giveUp();
  });

  // After a wrong password the host makes the next try wait: the button
  // wakes when it may go.
  let retryAt = 0;
  let countdown = null;
  function waitToRetry(waitMs) {
    retryAt = performance.now() + waitMs;
    clearInterval(countdown);
    const tick = () => {
      const seconds = Math.ceil((retryAt - performance.now()) / 1000);
      if (seconds > 0) {
        say(text("passwordWrongWait", String(seconds)));
      } else {
        clearInterval(countdown);
        say(text("passwordWrongNow"));
      }
    };
    tick();
    countdown = setInterval(tick, 250);
  }

  let sending = false;
  async function submit() {
    if (done || sending || performance.now() < retryAt)
      return;
    if (changing && field("new").value !== field("repeat").value) {
      say(text("passwordMismatch"));
      return;
    }
    const passwords = {};
    if (details.fields.includes("current"))
      passwords.current = field("current").value;
    if (changing)
      passwords.new = field("new").value;
    // Nothing stays in this window once the passwords have gone.
    for (const input of inputs)
      input.value = "";
    sending = true;
    say("");
    let answer = null;
    try {
      answer = await api.runtime.sendMessage({ kind: "password-answer", passwords });
    } catch {
      answer = null;
    }
    sending = false;
    if (answer && answer.wrong === true) {
      waitToRetry(Number.isSafeInteger(answer.waitMs) && answer.waitMs > 0 ? answer.waitMs : 0);
      inputs[0].focus();
    } else if (answer && answer.problem === true) {
      say(text("passwordUnusable"));
    }
    // Otherwise the call is answered, and the background closes the window.
  }

  // The button needs a deliberate act. Enter in a field goes for a sign-in
  // only: a confirmation or a change needs the button itself, so that a
  // key held or pressed as the window appears cannot make one.
  const guard = globalThis.TallykeyWindowGuard.guard(window, [ok, cancel]);
  guard.onDeliberateClick(ok, submit);
  document.getElementById("form").addEventListener("submit", (event) => event.preventDefault());
  for (const input of inputs) {
    input.addEventListener("keydown", (event) => {
      if (event.key !== "Enter")
        return;
      event.preventDefault();
      if (action === "signIn" && guard.isDeliberateKey(event))
        submit();
    });
  }
  // The background (a service worker in Chromium) stays up while the user types.
  setInterval(() => api.runtime.sendMessage({ kind: "password-alive" }).catch(() => {}), 15000);
})();
