// The host's side of the conversation with the extension's background.
//
// Request:  {"id": ID, "method": NAME, "args": [...], "origin": ORIGIN,
//            "consent": true, "typed": true}
//           The background adds the origin from the browser's sender
//           information, never from the page, "consent" when the user
//           allowed that origin in the extension's consent window, and
//           "typed" when the call's passwords were typed into the
//           extension's own window rather than given by the page.
// Answers:  {"id": ID, "result": NUMBER or STRING}
//           {"id": ID, "error": NAME, "message": TEXT}
//           with NAME "bad-request" (not JSON, not an object, no method
//           name, an unknown method, arguments that are no array),
//           "origin-refused" (the policy never allows this origin),
//           "permission-denied" (an origin that needs the user's consent
//           came without it), "password-entry-required" (a password the
//           page gave while the administrator requires password entry),
//           "presence-required" (a change to the key, InitPassword,
//           UpdatePassword or ResetDigist, from an origin the user allowed,
//           with a password the page gave: the extension asks the user
//           instead) or "busy" (too many calls already wait). The key is
//           not touched then. A wrong password's answer also carries
//           "waitMs", how long the origin's next password call will wait.
// Notices:  {"id": ID, "state": "waiting"} when a call must wait (wrong
//           passwords), {"id": ID, "state": "running", "keyMs": MS} as it
//           reaches the key, MS being the longest the key can take with it.
//           A call that waits may be withdrawn, {"id": ID, "method":
//           "withdraw"}; it is then answered {"id": ID, "error": "timeout"}
//           and never runs. A call that runs is always answered.
// Handshake: {"id": ID, "method": "hello", "origin": ORIGIN} is answered
//           with {"id": ID, "result": {"host": VERSION, "access": ACCESS}},
//           ACCESS being "listed", "ask" or "refused" for that origin.
//
// A JSON string argument is a string of its UTF-8 bytes; anything else,
// and a string that is not well-formed Unicode, is "not a string".
//
// Calls that check a password wait their origin's turn after wrong ones
// (GuessLedger): Take hands such a call back, WaitBefore says how long it
// must still wait, and Run runs it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "guesses.h"
#include "devicetable.h"
#include "hosttrace.h"
#include "keymethods.h"
#include "origins.h"

namespace NATIVEHOST {

extern const char HOST_VERSION[];

// A call that passed every check and is due at the key.
struct KeyCall {
    // A withdrawal ({"method": "withdraw", "id": ID}) of the waiting call
    // whose id is id, rather than a call.
    bool withdraw = false;
    std::string id;  // the request's id, as JSON text
    std::string origin;
    KEYMETHODS::Method method = KEYMETHODS::Method::FindKeys;
    std::vector<std::pair<bool, std::string>> args;  // (is a string, its bytes)
};

class Host {
public:
    Host(const HIDUSBKEY::DeviceTable& devices, OriginPolicy policy, HostTrace& trace, GuessLedger& guesses)
        : devices(devices), policy(std::move(policy)), trace(trace), guesses(guesses)
    {
    }

    // One frame's text in. Either it is answered at once (true, answer
    // set), or it is a call for the key (false, call set).
    bool Take(const std::string& frame, std::string& answer, KeyCall& call);
    // How long (ms) the call must still wait before it may reach the key.
    int64_t WaitBefore(const KeyCall& call);
    // The call at the key; the answer's text. With deliver, the answer is
    // handed to it as soon as it is known, before the key is let go, and
    // always exactly once.
    std::string Run(const KeyCall& call, const std::function<void(const std::string&)>& deliver = nullptr);

    // Take, any wait (slept through) and Run: one frame in, its answer out.
    std::string Handle(const std::string& frame);

private:
    const char* PasswordRefusal(KEYMETHODS::Method method, Access access, bool typed) const;

    const HIDUSBKEY::DeviceTable& devices;
    OriginPolicy policy;
    HostTrace& trace;
    GuessLedger& guesses;
};

// Replaces every string literal of the JSON text that is not well-formed
// Unicode (bad UTF-8 bytes, lone or reversed surrogate escapes) by null.
std::string NullIllFormedStrings(const std::string& json);

// The notice that a call waits or runs, and the answers to a withdrawn
// call, to one that finds too many waiting, and to a frame over 1 MiB.
std::string Notice(const KeyCall& call, const char* state);
std::string Withdrawn(const KeyCall& call);
std::string Busy(const KeyCall& call);
extern const char TOO_LONG_ANSWER[];

// Sleeps ms milliseconds (the platform's call).
void SleepMilliseconds(int64_t ms);

} // namespace NATIVEHOST
