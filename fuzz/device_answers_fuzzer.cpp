// Hostile devices and device-setup service: the input scripts what every HID
// and device-setup entry point answers (counts, paths, detail sizes, errors,
// attributes, product strings, preparsed data, every feature report) while
// one of the eight methods runs with plausible page arguments. Besides
// sanitizer findings, the devices' ledger and the checks below abort when a
// result or the traffic breaks the host's rules.
#include <dirent.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "hex.h"
#include "md5.h"
#include "pluginharness.h"

using SCRIPTED::Violation;

namespace {

int OpenDescriptors()
{
    int count = 0;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (readdir(folder))
            ++count;
        closedir(folder);
    }
    return count;
}

std::string Password(FuzzedDataProvider& input)
{
    switch (input.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: return "pw";
    case 1: return "";
    case 2: return "wrong";
    default: return input.ConsumeRandomLengthString(12);
    }
}

// Hexadecimal text: of given bytes, or whatever the input holds.
std::string Hex(FuzzedDataProvider& input, size_t bytes)
{
    if (input.ConsumeBool())
        return input.ConsumeRandomLengthString(2 * bytes + 4);
    std::string raw = input.ConsumeBytesAsString(bytes);
    return HIDUSBKEY::ToHexLower(reinterpret_cast<const uint8_t*>(raw.data()), raw.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    PluginUnderTest::Get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PluginUnderTest& plugin = PluginUnderTest::Get();
    FuzzedDataProvider input(data, size);

    // The page's call first, then how the key starts; the devices' answers
    // are the rest of the input, taken as the calls come.
    const std::string method = METHOD_NAMES[input.ConsumeIntegralInRange<int>(0, METHOD_COUNT - 1)];
    std::vector<std::string> texts;
    if (method == "InitPassword") {
        texts = {Password(input)};
    } else if (method == "UpdatePassword") {
        texts = {Password(input), Password(input)};
    } else if (method == "HMAC_MD5") {
        texts = {Password(input), input.ConsumeRandomLengthString(70)};
    } else if (method == "ResetDigist") {
        texts = {Password(input), Hex(input, 16)};
    } else if (method == "HMAC_MD5_HexString") {
        texts = {Password(input), Hex(input, input.ConsumeIntegralInRange<size_t>(0, 64))};
    } else if (method == "SetLog") {
        texts = {""};  // tracing off: the page's paths are the other harness's business
    }
    std::vector<NPVariant> args;
    for (const std::string& text : texts)
        args.push_back(StringVariant(text));
    uint8_t pwDigest[16];
    HIDUSBKEY::Md5Digest("pw", 2, pwDigest);
    SCRIPTED::ResetDevices(&input, input.ConsumeBool() ? pwDigest : nullptr);

    const int descriptors = OpenDescriptors();
    SCRIPTED::BeginCall();
    NPVariant result;
    if (!plugin.Call(method, args, &result))
        Violation("a method was not handled");
    const SCRIPTED::Ledger& ledger = SCRIPTED::CallLedger();
    Show(method, result);
    CheckResultShape(method, result);
    if (result.type == NPVariantType_String) {
        const std::string text = Text(result);
        if (method == "GetSN" && (!ledger.identified || text != HIDUSBKEY::ToHexLower(ledger.serial, 8)))
            Violation("a serial number that no identify answer carried");
        if (method != "GetSN" && (!ledger.digestAnswered || text != HIDUSBKEY::ToHexLower(ledger.digest, 16)))
            Violation("a digest without an OK answer of length 16, or another digest than it carried");
    } else if (result.value.intValue == 0 &&
               (method == "InitPassword" || method == "UpdatePassword" || method == "ResetDigist") &&
               (ledger.failedStep || !ledger.lastExchangeOk || ledger.privileged != 1)) {
        Violation("success reported without a successful privileged command");
    }
    BrowserHost::Release(result);
    if (BrowserHost::outstandingAllocations != 0)
        Violation("browser memory not given back");
    SCRIPTED::CheckNothingHeld();
    if (OpenDescriptors() != descriptors)
        Violation("a descriptor leaked");
    return 0;
}
