// Hostile pages: a run of calls through every class callback with any names
// (string identifiers of any bytes, integer identifiers) and any arguments
// (strings of any bytes and length, numbers, booleans, null, void, objects)
// against one well-behaved key. A model of the key follows the calls: its
// password changes only through a successful InitPassword or
// UpdatePassword, its digest key only through ResetDigist, and every digest
// is checked against OpenSSL's HMAC-MD5. The trace file may hold nothing
// but printable text, with page-chosen names in their escaped form.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "boundmessage.h"
#include "hex.h"
#include "pluginharness.h"

using SCRIPTED::Violation;

namespace {


struct KeyModel {
    std::optional<std::string> password;  // none: never set
    uint8_t digestKey[16] = {};

    void CheckAgainst() const
    {
        uint8_t digest[16];
        if (password) {
            unsigned length = 0;
            EVP_Digest(password->data(), password->size(), digest, &length, EVP_md5(), nullptr);
        } else {
            std::memset(digest, 0xFF, sizeof digest);
        }
        if (std::memcmp(digest, SCRIPTED::KeyPasswordDigest(), 16) != 0)
            Violation("the key's password changed other than through a successful InitPassword or UpdatePassword");
        if (std::memcmp(digestKey, SCRIPTED::KeyDigestKey(), 16) != 0)
            Violation("the key's digest value changed other than through a successful ResetDigist");
    }
};

std::string ExpectedDigest(const uint8_t key[16], const std::string& message)
{
    uint8_t digest[16];
    unsigned length = 0;
    HMAC(EVP_md5(), key, 16, reinterpret_cast<const uint8_t*>(message.data()), message.size(), digest, &length);
    return HIDUSBKEY::ToHexLower(digest, 16);
}

// Decodes pairs of hexadecimal digits; none for any other text.
std::optional<std::string> FromHex(const std::string& text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (char c : {text[i], text[i + 1]}) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                            ? c - '0'
                                                            : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        }
        bytes += static_cast<char>(value);
    }
    return bytes;
}

NPClass pageClass{};  // a page's object: the plug-in must never call into it
NPObject pageObject{&pageClass, 1};

// One argument of any type; strings are kept in texts.
NPVariant Argument(FuzzedDataProvider& input, std::vector<std::string>& texts)
{
    NPVariant variant{};
    switch (input.ConsumeIntegralInRange<int>(0, 9)) {
    case 0: variant.type = NPVariantType_Void; break;
    case 1: variant.type = NPVariantType_Null; break;
    case 2:
        variant.type = NPVariantType_Bool;
        variant.value.boolValue = input.ConsumeBool();
        break;
    case 3:
        variant.type = NPVariantType_Int32;
        variant.value.intValue = input.ConsumeIntegral<int32_t>();
        break;
    case 4:
        variant.type = NPVariantType_Double;
        variant.value.doubleValue = input.ConsumeFloatingPoint<double>();
        break;
    case 5:
        variant.type = NPVariantType_Object;
        variant.value.objectValue = &pageObject;
        break;
    default:
        texts.push_back(input.ConsumeRandomLengthString(300));
        variant = StringVariant(texts.back());
        break;
    }
    return variant;
}

std::string Trace() { return PluginUnderTest::Get().scratch + "/trace.log"; }

// A log path of the page's choosing, kept inside the scratch folder. Paths
// the plug-in must refuse (shares, devices, control characters) reach it as
// the page wrote them; any other becomes a file name in the scratch folder.
void KeepInScratchFolder(std::string& path)
{
    auto isSlash = [](char c) { return c == '/' || c == '\\'; };
    bool refused = path.size() >= 2 && isSlash(path[0]) && isSlash(path[1]);
    for (unsigned char c : path)
        refused = refused || c < 0x20 || c == 0x7F;
    if (refused || path.empty())
        return;
    for (char& c : path) {
        if (c == '/')
            c = '_';
    }
    path = PluginUnderTest::Get().scratch + "/" + path;
}

bool IsLowerHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// A page-chosen name as the trace must show it: letters, digits and '_' as
// they are, every other byte as \xNN, at most 256 bytes; or "(null)".
bool IsEscapedName(const std::string& name)
{
    if (name == "(null)")
        return true;
    if (name.size() > 256)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        if (c == '\\' && i + 3 < name.size() && name[i + 1] == 'x' && IsLowerHexDigit(name[i + 2]) &&
            IsLowerHexDigit(name[i + 3]))
            i += 3;
        else if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    }
    return true;
}

bool IsCount(const std::string& text)
{
    return !text.empty() && text.size() < 11 && text.find_first_not_of("0123456789") == std::string::npos;
}

// Every line is one the plug-in writes; where it carries a name, the name is
// escaped, so a page cannot add text of its own, let alone a line.
void CheckTrace(const std::string& file)
{
    static const char* const plainLines[] = {
        "SetLog start", "MyNPAllocateFunctionPtr", "MyNPDeallocateFunctionPtr", "MyNPInvalidateFunctionPtr",
        "MyNPInvokeDefaultFunctionPtr", "MyNPEnumerationFunctionPtr", "MyNPConstructFunctionPtr"};
    static const char* const namedLines[] = {"MyNPHasMethodFunctionPtr ", "MyNPHasPropertyFunctionPtr ",
                                             "MyNPGetPropertyFunctionPtr ", "MyNPSetPropertyFunctionPtr ",
                                             "MyNPRemovePropertyFunctionPtr "};
    const std::string invoke = "MyNPInvokeFunctionPtr ", count = " argCount = ";
    std::ifstream in(file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string line;
    while (std::getline(content, line)) {
        bool known = false;
        for (const char* plain : plainLines)
            known = known || line == plain;
        for (const char* named : namedLines) {
            if (line.rfind(named, 0) == 0)
                known = IsEscapedName(line.substr(std::strlen(named)));
        }
        if (line.rfind(invoke, 0) == 0) {
            size_t at = line.rfind(count);
            known = at != std::string::npos && at >= invoke.size() &&
                    IsEscapedName(line.substr(invoke.size(), at - invoke.size())) &&
                    IsCount(line.substr(at + count.size()));
        }
        if (!known)
            Violation("a trace line that the plug-in does not write, or a name not in its escaped form");
    }
}

void SetTrace(PluginUnderTest& plugin, const std::string& path)
{
    NPVariant result;
    plugin.Call("SetLog", {StringVariant(path)}, &result);
    BrowserHost::Release(result);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    SetTrace(PluginUnderTest::Get(), Trace());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PluginUnderTest& plugin = PluginUnderTest::Get();
    FuzzedDataProvider input(data, size);
    SCRIPTED::ResetDevices(nullptr, nullptr);
    KeyModel model;
    std::vector<std::string> otherLogs;
    NPClass* callbacks = plugin.object->_class;

    for (int call = 0; call < 8 && input.remaining_bytes() > 0; ++call) {
        const int kind = input.ConsumeIntegralInRange<int>(0, 15);
        // The name: a method's, any bytes, or an integer identifier.
        std::string nameText;
        NPIdentifier name;
        bool isMethod = false;
        const int nameKind = input.ConsumeIntegralInRange<int>(0, 7);
        if (nameKind < 5) {
            nameText = METHOD_NAMES[input.ConsumeIntegralInRange<int>(0, METHOD_COUNT - 1)];
            isMethod = true;
            name = BrowserHost::StringId(nameText);
        } else if (nameKind < 7) {
            nameText = input.ConsumeRandomLengthString(400);
            for (const char* method : METHOD_NAMES)
                isMethod = isMethod || nameText == method;
            // Not interned (the host would keep every name for ever): the
            // identifier is this string, as the host's identifiers are.
            name = isMethod ? BrowserHost::StringId(nameText) : static_cast<NPIdentifier>(&nameText);
        } else {
            name = BrowserHost::IntId(input.ConsumeIntegral<int32_t>());
        }
        std::vector<std::string> texts;
        texts.reserve(32);
        std::vector<NPVariant> args;
        size_t count = input.ConsumeIntegralInRange<size_t>(0, input.ConsumeBool() ? 3 : 12);
        for (size_t i = 0; i < count; ++i)
            args.push_back(Argument(input, texts));
        const bool isSetLog = isMethod && nameText == "SetLog";
        if (isSetLog && !args.empty() && args[0].type == NPVariantType_String) {
            KeepInScratchFolder(texts[0]);
            args[0] = StringVariant(texts[0]);
        }

        NPVariant result{};
        result.type = NPVariantType_Void;
        if (kind >= 4) {
            SCRIPTED::BeginCall();
            bool handled = callbacks->invoke(plugin.object, name, args.data(), static_cast<uint32_t>(args.size()),
                                             &result);
            if (handled != isMethod)
                Violation("invoke answered for a name that is no method, or refused a method");
            if (!handled)
                continue;
            Show(nameText, result);
            CheckResultShape(nameText, result);
            const bool ok = result.type == NPVariantType_Int32 && result.value.intValue == 0;
            auto text = [&](size_t i) {
                if (i >= args.size() || args[i].type != NPVariantType_String)
                    Violation("a method succeeded without its string argument");
                return Text(args[i]);
            };
            if (nameText == "InitPassword" && ok)
                model.password = text(0);
            if (nameText == "UpdatePassword" && ok)
                model.password = text(1);
            if (nameText == "ResetDigist" && ok) {
                auto value = FromHex(text(1).substr(0, 32));
                if (!value || text(1).size() < 32)
                    Violation("ResetDigist took a value that is not 32 hexadecimal digits");
                std::memcpy(model.digestKey, value->data(), 16);
            }
            if (nameText == "HMAC_MD5" && result.type == NPVariantType_String &&
                Text(result) != ExpectedDigest(model.digestKey, text(1)))
                Violation("HMAC_MD5 gave another digest than the key's");
            if (nameText == "HMAC_MD5_HexString" && result.type == NPVariantType_String) {
                auto message = FromHex(text(1));
                if (!message || Text(result) != ExpectedDigest(model.digestKey, *message))
                    Violation("HMAC_MD5_HexString gave a digest for a message that is no hex text, or another digest");
                if (KEYMETHODS::BeginsWithPurposeTag(reinterpret_cast<const uint8_t*>(message->data()),
                                                     message->size()))
                    Violation("a raw digest of a message that begins with a bound message's tag");
            }
            if (nameText == "HMAC_MD5" && result.type == NPVariantType_String &&
                KEYMETHODS::BeginsWithPurposeTag(reinterpret_cast<const uint8_t*>(text(1).data()), text(1).size()))
                Violation("a raw digest of a message that begins with a bound message's tag");
            if (isSetLog && ok && !text(0).empty())
                otherLogs.push_back(text(0));
            BrowserHost::Release(result);
            model.CheckAgainst();
        } else if (kind == 0) {
            callbacks->hasMethod(plugin.object, name);
        } else if (kind == 1) {
            callbacks->hasProperty(plugin.object, name);
            callbacks->removeProperty(plugin.object, name);
        } else if (kind == 2) {
            if (callbacks->getProperty(plugin.object, name, &result))
                Violation("a property was answered");
            callbacks->setProperty(plugin.object, name, args.empty() ? &result : &args[0]);
        } else {
            NPIdentifier* ids = nullptr;
            uint32_t idCount = 0;
            callbacks->enumerate(plugin.object, &ids, &idCount);
            callbacks->invokeDefault(plugin.object, args.data(), static_cast<uint32_t>(args.size()), &result);
            callbacks->construct(plugin.object, args.data(), static_cast<uint32_t>(args.size()), &result);
            BrowserHost::Release(result);
        }
    }
    if (BrowserHost::outstandingAllocations != 0)
        Violation("browser memory not given back");

    // Every trace this input wrote; then back to an empty trace of our own.
    SetTrace(plugin, Trace());
    CheckTrace(Trace());
    for (const std::string& file : otherLogs) {
        CheckTrace(file);
        std::remove(file.c_str());
    }
    std::fclose(std::fopen(Trace().c_str(), "w"));
    return 0;
}
