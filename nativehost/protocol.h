// The host's side of the conversation with the extension's background.
//
// Request:  {"id": ID, "method": NAME, "args": [...], "origin": ORIGIN}
//           The background adds the origin from the browser's sender
//           information, never from the page.
// Answers:  {"id": ID, "result": NUMBER or STRING}
//           {"id": ID, "error": NAME, "message": TEXT}
//           with NAME "bad-request" (not JSON, not an object, no method
//           name, an unknown method, arguments that are no array) or
//           "origin-refused" (the key is not touched then).
// Handshake: {"id": ID, "method": "hello"} is answered, from any origin,
//           with {"id": ID, "result": {"host": VERSION}}.
//
// A JSON string argument is a string of its UTF-8 bytes; anything else,
// and a string that is not well-formed Unicode, is "not a string".
#pragma once

#include <string>

#include "hidapi.h"
#include "hosttrace.h"
#include "origins.h"

namespace NATIVEHOST {

extern const char HOST_VERSION[];

class Host {
public:
    Host(const HIDUSBKEY::HidApi& api, OriginPolicy policy, HostTrace& trace)
        : api(api), policy(std::move(policy)), trace(trace)
    {
    }

    // One frame's text in, the answer's text out.
    std::string Handle(const std::string& request);

private:
    const HIDUSBKEY::HidApi& api;
    OriginPolicy policy;
    HostTrace& trace;
};

// Replaces every string literal of the JSON text that is not well-formed
// Unicode (bad UTF-8 bytes, lone or reversed surrogate escapes) by null.
std::string NullIllFormedStrings(const std::string& json);

} // namespace NATIVEHOST
