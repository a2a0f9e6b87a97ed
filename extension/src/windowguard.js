// What the extension's windows count as the user's answer: a deliberate
// act after the buttons woke up. A click or a key already under way as the
// window appeared (a page can choose that moment), a held key's repeats
// and a click a script makes count for nothing. The buttons sleep for a
// moment again whenever the window comes back into view or regains the
// focus, so that a page cannot move the window under a click either.
(function (global) {
  "use strict";

  const WAKE_MS = 600;

  // Guards the window's buttons; returns
  //   onDeliberateClick(button, act)  act() for a click on the button whose
  //                                   press (pointer, or Enter or Space on
  //                                   it) began while awake;
  //   isDeliberateKey(event)          whether a key event elsewhere (Enter
  //                                   in a field) is such an act.
  function guard(window, buttons) {
    let awakeSince = Infinity;  // event time from which acts count
    let sleepTimer = null;
    function sleep() {
      awakeSince = Infinity;
      for (const button of buttons)
        button.disabled = true;
      clearTimeout(sleepTimer);
      sleepTimer = setTimeout(() => {
        for (const button of buttons)
          button.disabled = false;
        awakeSince = window.performance.now();
      }, WAKE_MS);
    }
    const isDeliberateKey = (event) => event.isTrusted && !event.repeat && event.timeStamp >= awakeSince;
    function onDeliberateClick(button, act) {
      let pressedAt = -Infinity;  // when the act now ending began
      const begins = (event) => {
        pressedAt = isDeliberateKey(event) ? event.timeStamp : -Infinity;
      };
      button.addEventListener("pointerdown", begins);
      button.addEventListener("keydown", (event) => {
        if (event.key === "Enter" || event.key === " ")
          begins(event);
      });
      button.addEventListener("click", (event) => {
        const deliberate = event.isTrusted && pressedAt >= awakeSince;
        pressedAt = -Infinity;
        if (deliberate)
          act();
      });
    }
    sleep();
    window.addEventListener("focus", sleep);
    window.document.addEventListener("visibilitychange", () => {
      if (window.document.visibilityState === "visible")
        sleep();
    });
    return { onDeliberateClick, isDeliberateKey };
  }

  global.TallykeyWindowGuard = Object.freeze({ guard, WAKE_MS });
})(globalThis);
