// Our MD5 (whole and in pieces), the simulated key's HMAC-MD5 and the hex
// conversions, each against an independent reference: OpenSSL for the
// digests, a plain decoder and printf for the text forms.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <fuzzer/FuzzedDataProvider.h>

#include "firmware.h"
#include "hex.h"
#include "md5.h"

namespace {

[[noreturn]] void Disagree(const char* what)
{
    std::fprintf(stderr, "DISAGREES WITH THE REFERENCE: %s\n", what);
    std::abort();
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const size_t pieceSeed = input.ConsumeIntegral<uint16_t>();
    const std::vector<uint8_t> key = input.ConsumeBytes<uint8_t>(16);
    const std::vector<uint8_t> bytes = input.ConsumeRemainingBytes<uint8_t>();

    // MD5, whole and fed in pieces of varying sizes.
    uint8_t expected[16], whole[16], pieces[16];
    unsigned length = 0;
    EVP_Digest(bytes.data(), bytes.size(), expected, &length, EVP_md5(), nullptr);
    HIDUSBKEY::Md5Digest(bytes.data(), bytes.size(), whole);
    HIDUSBKEY::Md5Context context;
    HIDUSBKEY::Md5Init(context);
    for (size_t at = 0, step = pieceSeed % 131; at < bytes.size(); step = (step * 7 + 3) % 131) {
        size_t piece = std::min(step, bytes.size() - at);
        HIDUSBKEY::Md5Update(context, bytes.data() + at, piece);
        at += piece;
    }
    HIDUSBKEY::Md5Final(context, pieces);
    if (std::memcmp(expected, whole, 16) != 0 || std::memcmp(expected, pieces, 16) != 0)
        Disagree("MD5");

    // The key's HMAC-MD5 with a 16-byte key.
    if (key.size() == 16) {
        uint8_t reference[16], ours[16];
        HMAC(EVP_md5(), key.data(), 16, bytes.data(), bytes.size(), reference, &length);
        SIMKEY::HmacMd5(key.data(), bytes.data(), bytes.size(), ours);
        if (std::memcmp(reference, ours, 16) != 0)
            Disagree("HMAC-MD5");
    }

    // Bytes to text: both forms.
    std::string printed;
    for (uint8_t b : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", b);
        printed += pair;
    }
    std::vector<char> out(2 * bytes.size() + 1, '#');
    HIDUSBKEY::ToHexLower(bytes.data(), bytes.size(), out.data());
    if (HIDUSBKEY::ToHexLower(bytes.data(), bytes.size()) != printed || out.back() != '\0' ||
        std::string(out.data()) != printed)
        Disagree("bytes to hexadecimal text");

    // Text to bytes: the input as text, decoded as far as it is hex digits.
    const std::string text(bytes.begin(), bytes.end());
    const size_t count = pieceSeed % 40;
    std::vector<uint8_t> decoded(count + 1, 0xA5);
    bool ok = HIDUSBKEY::HexToBytes(decoded.data(), text.c_str(), count);
    bool referenceOk = true;
    for (size_t i = 0; i < count; ++i) {
        // The text ends at its first NUL, as a C string does.
        int high = 2 * i < std::strlen(text.c_str()) ? HexValue(text[2 * i]) : -1;
        int low = high >= 0 && 2 * i + 1 < std::strlen(text.c_str()) ? HexValue(text[2 * i + 1]) : -1;
        if (high < 0 || low < 0) {
            referenceOk = false;
            break;
        }
        if (decoded[i] != static_cast<uint8_t>(high * 16 + low))
            Disagree("hexadecimal text to bytes: a byte");
    }
    if (ok != referenceOk)
        Disagree("hexadecimal text to bytes: the result");
    if (decoded[count] != 0xA5)
        Disagree("hexadecimal text to bytes: wrote past the count");
    return 0;
}
