#include "pluginobject.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "browser.h"
#include "hex.h"
#include "tracelog.h"

using namespace HIDUSBKEY;

namespace {

// Longest message one key command carries, as text and as hexadecimal digits.
const uint32_t MAX_MESSAGE_BYTES = KEY_DATA_BYTES;
const uint32_t MAX_HEX_MESSAGE_CHARS = 2 * KEY_DATA_BYTES;

// Static storage for the one object, built in place on first use.
alignas(CPluginObject) unsigned char storage[sizeof(CPluginObject)];
bool built;

typedef CPluginObject::ErrorCodes ErrorCodes;

void Fail(ErrorCodes code) { throw code; }

void Require(KeyResult result)
{
    if (result != KEY_RESULT_OK)
        Fail(static_cast<ErrorCodes>(result));
}

// Args(n): at least n arguments, each of them a string.
void RequireStrings(const NPVariant* args, uint32_t argCount, uint32_t n)
{
    if (argCount < n)
        Fail(CPluginObject::InvalidArgument);
    for (uint32_t i = 0; i < n; ++i) {
        if (args[i].type != NPVariantType_String)
            Fail(CPluginObject::InvalidArgument);
    }
}

const NPString& Text(const NPVariant& arg) { return arg.value.stringValue; }

std::string Bytes(const NPString& text)
{
    return text.UTF8Length ? std::string(text.UTF8Characters, text.UTF8Length) : std::string();
}

void SetInt(NPVariant* result, int32_t value)
{
    result->type = NPVariantType_Int32;
    result->value.intValue = value;
}

// The bytes as lower-case hexadecimal in a buffer the browser then owns.
void SetHex(NPVariant* result, const uint8_t* bytes, size_t count, uint32_t bufferBytes)
{
    char* buffer = static_cast<char*>(Browser::MemAlloc(bufferBytes));
    if (buffer == nullptr)
        Fail(CPluginObject::OperationFailed);
    ToHexLower(bytes, count, buffer);
    result->type = NPVariantType_String;
    result->value.stringValue.UTF8Characters = buffer;
    result->value.stringValue.UTF8Length = static_cast<uint32_t>(2 * count);
}

// A handler's steps: the first failure throws its code, which becomes the
// Int32 result. Nothing escapes into the browser.
template <typename Steps>
void Run(NPVariant* result, Steps steps)
{
    try {
        steps();
    } catch (ErrorCodes code) {
        SetInt(result, code);
    } catch (const std::bad_alloc&) {
        SetInt(result, CPluginObject::OperationFailed);
    }
}

// Check, Find, Args(2), Open, Prove(first argument): how every method that
// uses the password starts. A second argument longer than secondLimit is
// refused with the argument checks, before the key is opened.
void OpenAndProve(CKeySession& key, const NPVariant* args, uint32_t argCount, uint32_t secondLimit = UINT32_MAX)
{
    Require(key.Check());
    Require(key.Find());
    RequireStrings(args, argCount, 2);
    if (Text(args[1]).UTF8Length > secondLimit)
        Fail(CPluginObject::InvalidArgument);
    Require(key.Open());
    Require(key.Prove(Text(args[0]).UTF8Characters, Text(args[0]).UTF8Length));
}

// Decoded bytes are wiped when the call is done.
struct WipedBytes {
    explicit WipedBytes(size_t count) : bytes(count, 0) {}
    ~WipedBytes() { SecureWipe(bytes.data(), bytes.size()); }
    std::vector<uint8_t> bytes;
};

} // namespace

CPluginObject::CPluginObject() : header{}, hidApi{}
{
    const struct {
        const char* name;
        Handler handler;
    } table[] = {
        {"InitPassword", &CPluginObject::InitPassword},
        {"FindKeys", &CPluginObject::FindKeys},
        {"UpdatePassword", &CPluginObject::UpdatePassword},
        {"GetSN", &CPluginObject::GetSN},
        {"HMAC_MD5", &CPluginObject::HMAC_MD5},
        {"ResetDigist", &CPluginObject::ResetDigist},
        {"HMAC_MD5_HexString", &CPluginObject::HMAC_MD5_HexString},
        {"SetLog", &CPluginObject::SetLog},
    };
    // Without the browser's identifiers no name can be mapped: no methods.
    for (const auto& entry : table) {
        NPIdentifier id = Browser::GetStringIdentifier(entry.name);
        if (id != nullptr)
            methods.insert({id, entry.handler});
    }
    // Last, so that running out of memory above leaves no library loaded.
    hidApi.Bind();
}

CPluginObject::~CPluginObject() { hidApi.Release(); }

CPluginObject* CPluginObject::Instance()
{
    if (!built) {
        try {
            new (storage) CPluginObject();
        } catch (const std::bad_alloc&) {
            return nullptr;  // not built: the next call tries again
        }
        built = true;
    }
    return reinterpret_cast<CPluginObject*>(storage);
}

void CPluginObject::Teardown()
{
    if (built) {
        reinterpret_cast<CPluginObject*>(storage)->~CPluginObject();
        built = false;
    }
}

bool CPluginObject::HasMethod(NPIdentifier name) const { return methods.count(name) != 0; }

bool CPluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    auto method = methods.find(name);
    if (method == methods.end())
        return false;
    (this->*(method->second))(args, argCount, result);
    return true;
}

void CPluginObject::InitPassword(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    Run(result, [&] {
        CKeySession key(hidApi);
        Require(key.Check());
        Require(key.Find());
        Require(key.Open());
        Require(key.ProveBlank());  // refused: the key has a password already
        RequireStrings(args, argCount, 1);
        Require(key.SetPassword(Text(args[0]).UTF8Characters, Text(args[0]).UTF8Length));
        SetInt(result, 0);
    });
}

void CPluginObject::FindKeys(const NPVariant*, uint32_t, NPVariant* result)
{
    CKeySession key(hidApi);
    if (key.Check() != KEY_RESULT_OK) {
        SetInt(result, HidUnavailable);
        return;
    }
    Run(result, [&] { SetInt(result, static_cast<int32_t>(key.CountKeys())); });
}

void CPluginObject::UpdatePassword(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    Run(result, [&] {
        CKeySession key(hidApi);
        OpenAndProve(key, args, argCount);
        Require(key.SetPassword(Text(args[1]).UTF8Characters, Text(args[1]).UTF8Length));
        SetInt(result, 0);
    });
}

void CPluginObject::GetSN(const NPVariant*, uint32_t, NPVariant* result)
{
    Run(result, [&] {
        CKeySession key(hidApi);
        Require(key.Check());
        Require(key.Find());
        Require(key.Open());
        SetHex(result, key.SerialNumber(), KEY_SERIAL_BYTES, 32);
    });
}

void CPluginObject::HMAC_MD5(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    Run(result, [&] {
        CKeySession key(hidApi);
        // One key command carries the whole message.
        OpenAndProve(key, args, argCount, MAX_MESSAGE_BYTES);
        uint8_t digest[KEY_DIGEST_BYTES];
        Require(key.HmacMd5(reinterpret_cast<const uint8_t*>(Text(args[1]).UTF8Characters), Text(args[1]).UTF8Length,
                            digest));
        SetHex(result, digest, sizeof digest, 64);
    });
}

void CPluginObject::ResetDigist(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    Run(result, [&] {
        CKeySession key(hidApi);
        OpenAndProve(key, args, argCount);
        // Checked only now: a wrong password answers as such even with a malformed value.
        const NPString& text = Text(args[1]);
        WipedBytes value(KEY_DIGEST_BYTES);
        if (text.UTF8Length != 2 * KEY_DIGEST_BYTES || !HexToBytes(value.bytes.data(), text.UTF8Characters, KEY_DIGEST_BYTES))
            Fail(InvalidArgument);
        Require(key.ResetDigest(value.bytes.data()));
        SetInt(result, 0);
    });
}

void CPluginObject::HMAC_MD5_HexString(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    Run(result, [&] {
        CKeySession key(hidApi);
        OpenAndProve(key, args, argCount, MAX_HEX_MESSAGE_CHARS);
        const NPString& text = Text(args[1]);
        uint32_t n = text.UTF8Length / 2;
        if (n == 0)
            Fail(InvalidArgument);
        WipedBytes message(n);
        if (text.UTF8Length != 2 * n || !HexToBytes(message.bytes.data(), text.UTF8Characters, n))
            Fail(InvalidArgument);
        uint8_t digest[KEY_DIGEST_BYTES];
        Require(key.HmacMd5(message.bytes.data(), n, digest));
        SetHex(result, digest, sizeof digest, 64);
    });
}

void CPluginObject::SetLog(const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    WriteLog("SetLog start\n");
    Run(result, [&] {
        RequireStrings(args, argCount, 1);
        std::string path = Bytes(Text(args[0]));
        // A page must not make the browser open a share (which hands it the
        // user's credentials) or a device; the trace stays where it was.
        if (!IsLocalLogPath(path))
            Fail(InvalidArgument);
        SetLogPath(path);
        SetInt(result, 0);
    });
    WriteLog("SetLog start\n");
}
