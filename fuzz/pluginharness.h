// The plug-in as a browser holds it, inside the fuzzing harness's own image:
// our browser-side host calls the plug-in's entry points directly, the
// key's waits are skipped, and the devices are the scripted ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "browserhost.h"
#include "scripteddevices.h"

struct PluginUnderTest {
    BrowserHost host;
    NPP_t instance{};
    NPObject* object = nullptr;
    std::string scratch;  // a folder of the harness's own: device nodes, traces

    // The one process-wide plug-in, set up on first use.
    static PluginUnderTest& Get();

    bool Call(const std::string& method, const std::vector<NPVariant>& args, NPVariant* result)
    {
        return host.Call(object, method, args, result);
    }

private:
    PluginUnderTest();
};

const char* const METHOD_NAMES[] = {"InitPassword", "FindKeys", "UpdatePassword", "GetSN",
                                    "HMAC_MD5", "ResetDigist", "HMAC_MD5_HexString", "SetLog"};
const int METHOD_COUNT = 8;

// A page's string argument over bytes the caller keeps alive.
NPVariant StringVariant(const std::string& bytes);

// The result checks every method shares: an int is one of the listed
// codes (FindKeys: also any count); a string is lower-case hexadecimal of
// the method's width (16 for GetSN, 32 for the digests) and appears for no
// other method. Aborts otherwise.
void CheckResultShape(const std::string& method, const NPVariant& result);

// With TALLYKEY_FUZZ_SHOW set, each call and its result go to stderr (for
// looking at what a seed or a finding does).
void Show(const std::string& method, const NPVariant& result);

bool IsHexDigits(const std::string& text, size_t digits);
std::string Text(const NPVariant& result);
