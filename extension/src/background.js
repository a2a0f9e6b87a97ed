// Tallykey background: keeps one port to the native host and routes each
// answer to the tab and request it belongs to. The page's origin comes
// from the browser's sender information, never from the page.
//
// Consent: the host says for each origin whether the administrator listed
// it, refused it, or leaves it to the user ("ask"). For the user's origins
// this background opens a window of the extension's own (consent.html),
// one at a time and at most one per tab, and only from a user gesture in
// the asking document; a frame's window names the page it is in. Allow is
// kept in storage.local until the user removes it in the options page (a
// development address on this machine, http on localhost, only until the
// browser restarts), Deny in storage.session until the browser restarts.
// A call carries "consent" to the host only for an origin the user allowed;
// Remove and Deny withdraw that origin's waiting calls at once.
//
// Passwords: a call can have the user type its passwords into a window of
// the extension's own (password.html) rather than take them from the page
// (see background/passwordwindows.js).
//
// The background is five scripts that share one global scope, run in this
// order: Chromium runs this file as its service worker, which imports them;
// Firefox's background page runs this file and then them (extension/build.py
// writes its list from this one).
const api = globalThis.browser ?? globalThis.chrome;
const BACKGROUND_SCRIPTS = ["background/host.js", "background/grants.js", "background/consentwindows.js",
                            "background/passwordwindows.js", "background/calls.js"];
if (typeof importScripts === "function")
  importScripts(...BACKGROUND_SCRIPTS);
