// The eight script methods that pages reach through a browser: the NPAPI
// plug-in and the native host of the browser extension; and the two
// origin-bound ones, signIn and confirm, for hosts that know the page's
// origin from the browser (the native host, and the WebHID core). Their
// names, the order of their steps, the argument checks, the limits and the
// results live here once. A host converts its own values: each argument is a
// string of bytes or not a string, and a result is a number or a string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "boundmessage.h"
#include "devicetable.h"
#include "keysession.h"

namespace KEYMETHODS {

enum class Method {
    InitPassword, FindKeys, UpdatePassword, GetSN, HMAC_MD5, ResetDigist, HMAC_MD5_HexString, SetLog,
    SignIn, Confirm,  // origin-bound
};
// The eight that every host offers, the plug-in too; then the bound ones.
const int METHOD_COUNT = 8;
const int ALL_METHOD_COUNT = 10;

// The name scripts use, exactly (names match case-sensitively), of any of
// the ten.
const char* MethodName(Method method);
bool MethodByName(const std::string& name, Method& method);

// Whether the method proves a password the page gives (its first
// argument), so that a wrong one answers -5. InitPassword's -5 means the
// key has a password already, which is no guess.
bool ChecksPassword(Method method);

// How many of the method's first arguments are passwords: UpdatePassword's
// old and new one, the one InitPassword sets, the one the digest methods
// prove. A host that may take them only from its own window asks this.
int PasswordArguments(Method method);

// Whether the method changes what the key holds (its password, or the
// digest value a site enrolled).
bool ChangesKey(Method method);

// Results besides the key layer's own codes.
const int32_t RESULT_INVALID_ARGUMENT = -11;

struct Argument {
    bool isString = false;
    const char* bytes = nullptr;  // isString: length bytes, not terminated
    size_t length = 0;

    static Argument String(const char* bytes, size_t length) { return Argument{true, bytes, length}; }
    static Argument NotAString() { return Argument{}; }
};

struct Result {
    bool isString = false;
    int32_t number = 0;
    std::string text;  // lower-case hexadecimal: 16 digits for a serial number, 32 for a digest

    static Result Number(int32_t value) { return Result{false, value, std::string()}; }
};

// Where SetLog sends the trace is the host's: the plug-in takes a local
// path, the native host a bare name in its own folder. Accept answers
// whether the bytes name a trace file it will use (empty: tracing off).
class LogTarget {
public:
    virtual ~LogTarget() = default;
    virtual bool Accept(const std::string& bytes) = 0;
};

// What the origin-bound methods need of their host: the page's origin as
// the browser reported it, in canonical form (boundmessage.h), and the
// platform's SHA-256. Without one they answer -11.
struct Binding {
    std::string origin;
    Sha256Function sha256 = nullptr;
};

// One call, self-contained: it scans for the key, opens it, proves the
// password and runs its command, and releases everything before it
// returns; after a password check that includes identifying the key again
// (CKeySession::EndProof). Running out of memory is -6; nothing escapes.
// A caller that can answer its page before the key is released passes
// answered, which gets the result first (and must not throw).
Result Call(Method method, const HIDUSBKEY::DeviceTable& devices, const Argument* args, size_t count, LogTarget& log,
            const std::function<void(const Result&)>& answered = nullptr, const Binding* binding = nullptr);

// The longest a call of the method can take at the key, in milliseconds:
// every command it sends, each with its wait and the most busy answers the
// channel waits through. A page's bound on a call that has reached the key.
int64_t WorstCaseMs(Method method);

} // namespace KEYMETHODS
