#include "protocol.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include <nlohmann/json.hpp>

#include "hex.h"

using nlohmann::json;

namespace NATIVEHOST {

const char HOST_VERSION[] = TALLYKEY_BROWSER_VERSION;

namespace {

// A \uXXXX escape's value at text[at] (the backslash), or -1.
long Escape(const std::string& text, size_t at)
{
    if (at + 6 > text.size() || text[at + 1] != 'u')
        return -1;
    long value = 0;
    for (size_t i = at + 2; i < at + 6; ++i) {
        int digit = HIDUSBKEY::HexDigitValue(text[i]);
        if (digit < 0)
            return -1;
        value = value * 16 + digit;
    }
    return value;
}

// Length of the UTF-8 sequence at text[at] if it is well-formed, else 0.
size_t Utf8Sequence(const std::string& text, size_t at)
{
    auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    unsigned lead = byte(at);
    auto continuation = [&](size_t i) { return (byte(i) & 0xC0) == 0x80; };
    if (lead >= 0xC2 && lead <= 0xDF)
        return continuation(at + 1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        unsigned second = byte(at + 1);
        if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0))
            return 0;  // overlong, or an encoded surrogate
        return continuation(at + 1) && continuation(at + 2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        unsigned second = byte(at + 1);
        if ((lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second >= 0x90))
            return 0;
        return continuation(at + 1) && continuation(at + 2) && continuation(at + 3) ? 4 : 0;
    }
    return 0;
}

// Out of memory, or a value nlohmann would not take: still an answer.
const char UNHANDLED_ANSWER[] = "{\"id\":null,\"error\":\"bad-request\",\"message\":\"the request could not be handled\"}";

// Deeper than any request of ours ({"args": [...]} is two levels).
const int MAX_REQUEST_DEPTH = 8;

// How deeply the JSON text nests arrays and objects, counted without
// recursion; brackets inside string literals do not count.
int NestingDepth(const std::string& text)
{
    int depth = 0, deepest = 0;
    bool inString = false;
    for (size_t at = 0; at < text.size(); ++at) {
        char c = text[at];
        if (inString) {
            if (c == '\\')
                ++at;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = ++depth > deepest ? depth : deepest;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return deepest;
}

json Error(const json& id, const char* name, const std::string& message)
{
    return json{{"id", id}, {"error", name}, {"message", message}};
}

// Why a call was refused before it reached the key, for the page.
const char* RefusalMessage(const std::string& refusal)
{
    if (refusal == "origin-refused")
        return "this page's origin may not use the key";
    if (refusal == "permission-denied")
        return "the user has not allowed this page's origin to use the key";
    if (refusal == "password-entry-required")
        return "the password must be typed into the extension's window";
    return "a change to the key needs the user to type the password";
}

} // namespace

std::string NullIllFormedStrings(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    while (at < text.size()) {
        if (text[at] != '"') {
            out += text[at++];
            continue;
        }
        // A string literal from at to its closing quote.
        size_t end = at + 1;
        bool wellFormed = true;
        while (end < text.size() && text[end] != '"') {
            unsigned char c = static_cast<unsigned char>(text[end]);
            if (c == '\\') {
                long value = Escape(text, end);
                if (value >= 0xD800 && value <= 0xDBFF) {
                    long low = end + 6 < text.size() && text[end + 6] == '\\' ? Escape(text, end + 6) : -1;
                    if (low < 0xDC00 || low > 0xDFFF)
                        wellFormed = false;
                    end += low >= 0xDC00 && low <= 0xDFFF ? 12 : 6;
                } else if (value >= 0xDC00 && value <= 0xDFFF) {
                    wellFormed = false;
                    end += 6;
                } else {
                    end += value >= 0 ? 6 : 2;  // other escapes are the parser's to judge
                }
            } else if (c < 0x80) {
                ++end;
            } else {
                size_t length = Utf8Sequence(text, end);
                if (length == 0) {
                    wellFormed = false;
                    length = 1;
                }
                end += length;
            }
        }
        if (end >= text.size()) {  // unterminated: the parser will refuse it
            out.append(text, at, std::string::npos);
            break;
        }
        if (wellFormed)
            out.append(text, at, end + 1 - at);
        else
            out += "null";
        at = end + 1;
    }
    return out;
}

bool Host::Take(const std::string& frame, std::string& answer, KeyCall& call)
{
    try {
        // A page decides how deeply its arguments nest; nothing here may
        // recurse that deep (copying or freeing a value would).
        if (NestingDepth(frame) > MAX_REQUEST_DEPTH) {
            answer = Error(json(), "bad-request", "a request nested too deeply").dump();
            return true;
        }
        const json request = json::parse(NullIllFormedStrings(frame), nullptr, false);
        const json null;
        auto field = [&](const char* name) -> const json& {
            return request.is_object() && request.contains(name) ? request[name] : null;
        };
        // The id comes back in the answer: only a number or a short string,
        // so that no answer outgrows a frame.
        const json& id = field("id");
        if (!(id.is_null() || id.is_number() || (id.is_string() && id.get_ref<const std::string&>().size() <= 64))) {
            answer = Error(json(), "bad-request", "an id is a number or a short string").dump();
            return true;
        }
        const json& origin = field("origin");
        const std::string originText = origin.is_string() ? origin.get<std::string>() : std::string();
        KEYMETHODS::Method method;
        if (!request.is_object() || !request.contains("method") || !request["method"].is_string()) {
            answer = Error(id, "bad-request", "a request is an object with a method name").dump();
            return true;
        }
        const std::string name = request["method"].get<std::string>();
        if (name == "withdraw") {
            call = KeyCall();
            call.withdraw = true;
            call.id = id.dump();
            return false;
        }
        if (name == "hello") {
            const Access access = policy.AccessFor(originText);
            answer = json{{"id", id}, {"result", {{"host", HOST_VERSION}, {"access", AccessName(access)}}}}.dump();
            return true;
        }
        const json noArgs = json::array();
        const json& args = request.contains("args") ? request["args"] : noArgs;
        if (!KEYMETHODS::MethodByName(name, method)) {
            answer = Error(id, "bad-request", "no such method").dump();
            return true;
        }
        if (!args.is_array()) {
            answer = Error(id, "bad-request", "the arguments are no array").dump();
            return true;
        }
        const Access access = policy.AccessFor(originText);
        const bool consent = field("consent") == true;
        const char* refusal = access == Access::Refused           ? "origin-refused"
                              : access == Access::Ask && !consent ? "permission-denied"
                                                                  : PasswordRefusal(method, access, field("typed") == true);
        if (refusal) {
            trace.Refused(CanonicalOrigin(originText), name, args.size(), refusal);
            const std::string why = RefusalMessage(refusal);
            answer = Error(id, refusal, why).dump();
            return true;
        }
        call.id = id.dump();
        call.origin = CanonicalOrigin(originText);
        call.method = method;
        call.args.clear();
        for (const json& arg : args) {
            if (arg.is_string())
                call.args.emplace_back(true, arg.get<std::string>());
            else
                call.args.emplace_back(false, std::string());
        }
        return false;
    } catch (const std::exception&) {
        answer = UNHANDLED_ANSWER;
        return true;
    }
}

// "typed": the background took the call's passwords from its own window,
// not from the page. While the administrator requires password entry,
// every password must come that way; and a change to the key from a site
// the user allowed (not one the administrator listed) needs the user there
// to type it, or any such site could lock its owner out, or replace
// another site's enrolment, unseen.
const char* Host::PasswordRefusal(KEYMETHODS::Method method, Access access, bool typed) const
{
    if (typed || KEYMETHODS::PasswordArguments(method) == 0)
        return nullptr;
    if (policy.RequiresPasswordEntry())
        return "password-entry-required";
    return access == Access::Ask && KEYMETHODS::ChangesKey(method) ? "presence-required" : nullptr;
}

int64_t Host::WaitBefore(const KeyCall& call)
{
    return KEYMETHODS::ChecksPassword(call.method) ? guesses.WaitFor(call.origin, GuessLedger::Now()) : 0;
}

std::string Host::Run(const KeyCall& call, const std::function<void(const std::string&)>& deliver)
{
    std::string answer;
    bool delivered = false;
    try {
        // The argument views point into the call's strings, which outlive the call.
        std::vector<KEYMETHODS::Argument> arguments;
        for (const auto& arg : call.args) {
            arguments.push_back(arg.first ? KEYMETHODS::Argument::String(arg.second.data(), arg.second.size())
                                          : KEYMETHODS::Argument::NotAString());
        }
        HostTrace::ForOrigin log(trace, call.origin);
        // Answered as soon as the result is known: the key's closing steps
        // (identifying it again after a password check) are no page's wait.
        auto answered = [&](const KEYMETHODS::Result& result) {
            try {
                trace.Line(call.origin, KEYMETHODS::MethodName(call.method), arguments.size(), result);
                int64_t waitMs = -1;
                if (KEYMETHODS::ChecksPassword(call.method)) {
                    if (!result.isString && result.number == HIDUSBKEY::KEY_RESULT_WRONG_PASSWORD) {
                        const int64_t now = GuessLedger::Now();
                        guesses.Wrong(call.origin, now);
                        waitMs = guesses.WaitFor(call.origin, now);
                    } else if (result.isString || result.number == 0) {
                        guesses.Right(call.origin);
                    }
                }
                json id = json::parse(call.id, nullptr, false);
                json reply = result.isString ? json{{"id", id}, {"result", result.text}}
                                             : json{{"id", id}, {"result", result.number}};
                if (waitMs >= 0)
                    reply["waitMs"] = waitMs;  // for the extension's window; the page never sees it
                answer = reply.dump(-1, ' ', false, json::error_handler_t::replace);
                if (deliver) {
                    delivered = true;
                    deliver(answer);
                }
            } catch (const std::exception&) {
                answer.clear();
            }
        };
        // The bound methods digest the origin the browser reported, in the
        // canonical form Take gave it.
        const KEYMETHODS::Binding binding{call.origin, KEYMETHODS::PlatformSha256};
        KEYMETHODS::Call(call.method, devices, arguments.data(), arguments.size(), log, answered, &binding);
    } catch (const std::exception&) {
        answer.clear();
    }
    if (answer.empty()) {
        // With the call's id, so that the extension's queue moves on.
        try {
            answer = "{\"id\":" + call.id + ",\"error\":\"bad-request\",\"message\":\"the call could not be answered\"}";
        } catch (const std::exception&) {
            answer = UNHANDLED_ANSWER;
        }
    }
    if (deliver && !delivered)
        deliver(answer);
    return answer;
}

std::string Notice(const KeyCall& call, const char* state)
{
    // A running call says how long the key can take with it at most, so
    // that the page's wait stays bounded once it hears the call started.
    const std::string bound = std::string(state) == "running"
                                  ? ",\"keyMs\":" + std::to_string(KEYMETHODS::WorstCaseMs(call.method))
                                  : std::string();
    return "{\"id\":" + call.id + ",\"state\":\"" + state + "\"" + bound + "}";
}

std::string Withdrawn(const KeyCall& call)
{
    return "{\"id\":" + call.id + ",\"error\":\"timeout\",\"message\":\"withdrawn before it reached the key\"}";
}

std::string Busy(const KeyCall& call)
{
    return "{\"id\":" + call.id + ",\"error\":\"busy\",\"message\":\"too many calls wait\"}";
}

const char TOO_LONG_ANSWER[] = "{\"id\":null,\"error\":\"bad-request\",\"message\":\"a request over 1 MiB\"}";

std::string Host::Handle(const std::string& frame)
{
    std::string answer;
    KeyCall call;
    if (Take(frame, answer, call))
        return answer;
    if (call.withdraw)
        return std::string();  // nothing waits here
    for (int64_t wait = WaitBefore(call); wait > 0; wait = WaitBefore(call))
        SleepMilliseconds(wait);
    return Run(call);
}

void SleepMilliseconds(int64_t ms)
{
#ifdef _WIN32
    Sleep(static_cast<DWORD>(ms));
#else
    struct timespec wait = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
#endif
}

} // namespace NATIVEHOST
