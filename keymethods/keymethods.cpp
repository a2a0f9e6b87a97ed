#include "keymethods.h"

#include <cstring>
#include <new>
#include <vector>

#include "boundmessage.h"
#include "hex.h"

using namespace HIDUSBKEY;

namespace KEYMETHODS {

namespace {

// Longest message one key command carries, as bytes and as hexadecimal digits.
const size_t MAX_MESSAGE_BYTES = KEY_DATA_BYTES;
const size_t MAX_HEX_MESSAGE_CHARS = 2 * KEY_DATA_BYTES;

const char* const NAMES[ALL_METHOD_COUNT] = {"InitPassword", "FindKeys", "UpdatePassword", "GetSN",
                                             "HMAC_MD5", "ResetDigist", "HMAC_MD5_HexString", "SetLog",
                                             "signIn", "confirm"};

// A step's failure: its code becomes the result.
struct Failure {
    int32_t code;
};

void Fail(int32_t code) { throw Failure{code}; }

void Require(KeyResult result)
{
    if (result != KEY_RESULT_OK)
        Fail(result);
}

// At least n arguments, each of them a string.
void RequireStrings(const Argument* args, size_t count, size_t n)
{
    if (count < n)
        Fail(RESULT_INVALID_ARGUMENT);
    for (size_t i = 0; i < n; ++i) {
        if (!args[i].isString)
            Fail(RESULT_INVALID_ARGUMENT);
    }
}

Result Hex(const uint8_t* bytes, size_t count)
{
    Result result;
    result.isString = true;
    result.text = ToHexLower(bytes, count);
    return result;
}

// Check, Find, two strings, Open, Prove(first argument): how every method
// that uses the password starts. A second argument longer than secondLimit,
// or one refused, is refused with the argument checks, before the key is
// opened.
void OpenAndProve(CKeySession& key, const Argument* args, size_t count, size_t secondLimit = SIZE_MAX,
                  bool (*refused)(const Argument&) = nullptr)
{
    Require(key.Check());
    Require(key.Find());
    RequireStrings(args, count, 2);
    if (args[1].length > secondLimit || (refused && refused(args[1])))
        Fail(RESULT_INVALID_ARGUMENT);
    Require(key.Open());
    Require(key.Prove(args[0].bytes, args[0].length));
}

// A raw message that begins with a purpose's tag would let a page have a
// bound message digested for an origin of its choosing.
bool TaggedText(const Argument& message)
{
    return BeginsWithPurposeTag(reinterpret_cast<const uint8_t*>(message.bytes), message.length);
}

bool TaggedHex(const Argument& message)
{
    uint8_t start[PURPOSE_TAG_BYTES];
    return message.length >= 2 * PURPOSE_TAG_BYTES && HexToBytes(start, message.bytes, PURPOSE_TAG_BYTES) &&
           BeginsWithPurposeTag(start, sizeof start);
}

// Decoded bytes are wiped when the call is done.
struct WipedBytes {
    explicit WipedBytes(size_t count) : bytes(count, 0) {}
    ~WipedBytes() { SecureWipe(bytes.data(), bytes.size()); }
    std::vector<uint8_t> bytes;
};

Result InitPassword(CKeySession& key, const Argument* args, size_t count)
{
    Require(key.Check());
    Require(key.Find());
    Require(key.Open());
    Require(key.ProveBlank());  // refused: the key has a password already
    RequireStrings(args, count, 1);
    Require(key.SetPassword(args[0].bytes, args[0].length));
    return Result::Number(0);
}

Result FindKeys(CKeySession& key)
{
    if (key.Check() != KEY_RESULT_OK)
        return Result::Number(KEY_RESULT_HID_UNAVAILABLE);
    return Result::Number(static_cast<int32_t>(key.CountKeys()));
}

Result UpdatePassword(CKeySession& key, const Argument* args, size_t count)
{
    OpenAndProve(key, args, count);
    Require(key.SetPassword(args[1].bytes, args[1].length));
    return Result::Number(0);
}

Result GetSN(CKeySession& key)
{
    Require(key.Check());
    Require(key.Find());
    Require(key.Open());
    return Hex(key.SerialNumber(), KEY_SERIAL_BYTES);
}

Result HmacMd5(CKeySession& key, const Argument* args, size_t count)
{
    // One key command carries the whole message.
    OpenAndProve(key, args, count, MAX_MESSAGE_BYTES, TaggedText);
    uint8_t digest[KEY_DIGEST_BYTES];
    Require(key.HmacMd5(reinterpret_cast<const uint8_t*>(args[1].bytes), args[1].length, digest));
    return Hex(digest, sizeof digest);
}

Result ResetDigist(CKeySession& key, const Argument* args, size_t count)
{
    OpenAndProve(key, args, count);
    // Checked only now: a wrong password answers as such even with a malformed value.
    WipedBytes value(KEY_DIGEST_BYTES);
    if (args[1].length != 2 * KEY_DIGEST_BYTES || !HexToBytes(value.bytes.data(), args[1].bytes, KEY_DIGEST_BYTES))
        Fail(RESULT_INVALID_ARGUMENT);
    Require(key.ResetDigest(value.bytes.data()));
    return Result::Number(0);
}

Result HmacMd5HexString(CKeySession& key, const Argument* args, size_t count)
{
    OpenAndProve(key, args, count, MAX_HEX_MESSAGE_CHARS, TaggedHex);
    size_t n = args[1].length / 2;
    if (n == 0 || args[1].length != 2 * n)
        Fail(RESULT_INVALID_ARGUMENT);
    WipedBytes message(n);
    if (!HexToBytes(message.bytes.data(), args[1].bytes, n))
        Fail(RESULT_INVALID_ARGUMENT);
    uint8_t digest[KEY_DIGEST_BYTES];
    Require(key.HmacMd5(message.bytes.data(), n, digest));
    return Hex(digest, sizeof digest);
}

// The challenge is hexadecimal text of 16 to 32 bytes: its length is
// checked with the arguments, its digits after the password, as
// HMAC_MD5_HexString does.
bool NoChallenge(const Argument& challenge)
{
    return challenge.length < 2 * MIN_CHALLENGE_BYTES || challenge.length > 2 * MAX_CHALLENGE_BYTES ||
           challenge.length % 2 != 0;
}

bool NoConfirmText(const Argument& text) { return text.length > MAX_CONFIRM_TEXT_BYTES; }

Result Bound(Purpose purpose, CKeySession& key, const Argument* args, size_t count, const Binding* binding)
{
    if (binding == nullptr || binding->origin.empty() || binding->sha256 == nullptr)
        Fail(RESULT_INVALID_ARGUMENT);
    const bool signIn = purpose == Purpose::SignIn;
    OpenAndProve(key, args, count, SIZE_MAX, signIn ? NoChallenge : NoConfirmText);
    WipedBytes payload(signIn ? args[1].length / 2 : args[1].length);
    if (signIn && !HexToBytes(payload.bytes.data(), args[1].bytes, payload.bytes.size()))
        Fail(RESULT_INVALID_ARGUMENT);
    if (!signIn && !payload.bytes.empty())
        std::memcpy(payload.bytes.data(), args[1].bytes, args[1].length);
    const std::vector<uint8_t> message =
        BoundMessage(purpose, binding->origin, payload.bytes.data(), payload.bytes.size(), binding->sha256);
    if (message.empty())
        Fail(RESULT_INVALID_ARGUMENT);
    uint8_t digest[KEY_DIGEST_BYTES];
    Require(key.HmacMd5(message.data(), message.size(), digest));
    return Hex(digest, sizeof digest);
}

Result SetLog(LogTarget& log, const Argument* args, size_t count)
{
    RequireStrings(args, count, 1);
    const std::string bytes = args[0].bytes ? std::string(args[0].bytes, args[0].length) : std::string();
    if (!log.Accept(bytes))
        Fail(RESULT_INVALID_ARGUMENT);
    return Result::Number(0);
}

} // namespace

const char* MethodName(Method method) { return NAMES[static_cast<int>(method)]; }

bool MethodByName(const std::string& name, Method& method)
{
    for (int i = 0; i < ALL_METHOD_COUNT; ++i) {
        if (name == NAMES[i]) {
            method = static_cast<Method>(i);
            return true;
        }
    }
    return false;
}

bool ChecksPassword(Method method)
{
    return method == Method::UpdatePassword || method == Method::HMAC_MD5 || method == Method::ResetDigist ||
           method == Method::HMAC_MD5_HexString || method == Method::SignIn || method == Method::Confirm;
}

int PasswordArguments(Method method)
{
    if (method == Method::UpdatePassword)
        return 2;
    return ChecksPassword(method) || method == Method::InitPassword ? 1 : 0;
}

bool ChangesKey(Method method)
{
    return method == Method::InitPassword || method == Method::UpdatePassword || method == Method::ResetDigist;
}

namespace {

Result Run(Method method, CKeySession& key, const Argument* args, size_t count, LogTarget& log,
           const Binding* binding)
{
    try {
        switch (method) {
        case Method::InitPassword: return InitPassword(key, args, count);
        case Method::FindKeys: return FindKeys(key);
        case Method::UpdatePassword: return UpdatePassword(key, args, count);
        case Method::GetSN: return GetSN(key);
        case Method::HMAC_MD5: return HmacMd5(key, args, count);
        case Method::ResetDigist: return ResetDigist(key, args, count);
        case Method::HMAC_MD5_HexString: return HmacMd5HexString(key, args, count);
        case Method::SetLog: return SetLog(log, args, count);
        case Method::SignIn: return Bound(Purpose::SignIn, key, args, count, binding);
        case Method::Confirm: return Bound(Purpose::Confirm, key, args, count, binding);
        }
        return Result::Number(RESULT_INVALID_ARGUMENT);
    } catch (const Failure& failure) {
        return Result::Number(failure.code);
    } catch (const std::bad_alloc&) {
        return Result::Number(KEY_RESULT_OPERATION_FAILED);
    }
}

} // namespace

Result Call(Method method, const DeviceTable& devices, const Argument* args, size_t count, LogTarget& log,
            const std::function<void(const Result&)>& answered, const Binding* binding)
{
    try {
        CKeySession key(devices);
        Result result = Run(method, key, args, count, log, binding);
        if (answered)
            answered(result);
        key.EndProof();
        return result;
    } catch (const std::bad_alloc&) {
        return Result::Number(KEY_RESULT_OPERATION_FAILED);
    }
}

int64_t WorstCaseMs(Method method)
{
    // Commands a call sends at most: identify, a password check, its own
    // command, and identifying again after the check.
    const int64_t exchange = KEY_WAIT_MS + int64_t{KEY_MAX_BUSY_ANSWERS} * KEY_BUSY_POLL_MS;
    const int64_t setPassword = KEY_SET_PASSWORD_WAIT_MS + int64_t{KEY_MAX_BUSY_ANSWERS} * KEY_BUSY_POLL_MS;
    switch (method) {
    case Method::FindKeys:
    case Method::SetLog: return 0;
    case Method::GetSN: return exchange;
    case Method::InitPassword:
    case Method::UpdatePassword: return 3 * exchange + setPassword;
    case Method::HMAC_MD5:
    case Method::ResetDigist:
    case Method::HMAC_MD5_HexString:
    case Method::SignIn:
    case Method::Confirm: return 4 * exchange;
    }
    return 4 * exchange;
}

} // namespace KEYMETHODS
