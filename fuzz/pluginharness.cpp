#include "pluginharness.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>


#include "usbhidkey.h"

extern "C" NPError NP_Initialize(NPNetscapeFuncs* browserFuncs, NPPluginFuncs* pluginFuncs);
extern "C" NPError NP_Shutdown();

namespace {

void NoWait(DWORD) {}

std::string& ScratchFolder()
{
    static std::string folder;
    return folder;
}

void RemoveScratchFolder()
{
    std::error_code ignored;
    std::filesystem::remove_all(ScratchFolder(), ignored);
}

// Removed when the process exits normally; a crash leaves it for a look.
std::string MakeScratchFolder()
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tallykey-fuzz-XXXXXX";
    std::vector<char> folder(pattern.begin(), pattern.end());
    folder.push_back('\0');
    if (mkdtemp(folder.data()) == nullptr)
        SCRIPTED::Violation("cannot make a scratch folder");
    ScratchFolder() = folder.data();
    std::atexit(RemoveScratchFolder);
    return folder.data();
}

} // namespace

PluginUnderTest::PluginUnderTest() : host(nullptr, NP_Initialize, NP_Shutdown), scratch(MakeScratchFolder())
{
    SCRIPTED::StartDevices(scratch.c_str());
    HIDUSBKEY::SetKeyWaitFunction(NoWait);
    if (host.Initialize() != NPERR_NO_ERROR || host.NewInstance(&instance) != NPERR_NO_ERROR)
        SCRIPTED::Violation("the plug-in did not start");
    object = host.ScriptableObject(&instance);
    if (object == nullptr)
        SCRIPTED::Violation("no scriptable object");
}

PluginUnderTest& PluginUnderTest::Get()
{
    static PluginUnderTest* plugin = new PluginUnderTest;  // lives as long as the process, as in a browser
    return *plugin;
}

NPVariant StringVariant(const std::string& bytes)
{
    NPVariant variant{};
    variant.type = NPVariantType_String;
    variant.value.stringValue.UTF8Characters = bytes.data();
    variant.value.stringValue.UTF8Length = static_cast<uint32_t>(bytes.size());
    return variant;
}

void Show(const std::string& method, const NPVariant& result)
{
    static const bool show = std::getenv("TALLYKEY_FUZZ_SHOW") != nullptr;
    if (!show)
        return;
    if (result.type == NPVariantType_String)
        std::fprintf(stderr, "%s -> \"%s\"\n", method.c_str(), Text(result).c_str());
    else
        std::fprintf(stderr, "%s -> %d (type %d)\n", method.c_str(), static_cast<int>(result.value.intValue),
                     static_cast<int>(result.type));
}

bool IsHexDigits(const std::string& text, size_t digits)
{
    if (text.size() != digits)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

std::string Text(const NPVariant& result)
{
    return std::string(result.value.stringValue.UTF8Characters, result.value.stringValue.UTF8Length);
}

void CheckResultShape(const std::string& method, const NPVariant& result)
{
    if (result.type == NPVariantType_Int32) {
        int32_t code = result.value.intValue;
        bool listed = code == 0 || (code <= -1 && code >= -6) || code == -11;
        if (!listed && !(method == "FindKeys" && code > 0))
            SCRIPTED::Violation("an integer result that is no listed code");
        return;
    }
    if (result.type != NPVariantType_String)
        SCRIPTED::Violation("a result that is neither a number nor a string");
    size_t digits = method == "GetSN" ? 16 : (method == "HMAC_MD5" || method == "HMAC_MD5_HexString") ? 32 : 0;
    if (digits == 0 || !IsHexDigits(Text(result), digits))
        SCRIPTED::Violation("a string result of the wrong form");
}
