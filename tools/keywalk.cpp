// keywalk: one walk through the key-device layer against whatever key is
// attached: scan, open and identify, serial, first password, password
// check, digest reset, keyed digest. Prints each step and its result.
//
//   keywalk PASSWORD DIGEST_VALUE_HEX32 MESSAGE
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "hex.h"
#include "keyfinder.h"
#include "md5.h"
#include "usbhidkey.h"

using namespace HIDUSBKEY;

namespace {

bool Step(const char* name, bool ok, const std::string& detail = "")
{
    std::printf("%-22s %s%s%s\n", name, ok ? "ok" : "FAILED", detail.empty() ? "" : "  ", detail.c_str());
    return ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4 || std::strlen(argv[2]) != 32) {
        std::fprintf(stderr, "usage: keywalk PASSWORD DIGEST_VALUE_HEX32 MESSAGE\n");
        return 2;
    }
    const std::string password = argv[1], message = argv[3];
    uint8_t value[16];
    if (!HexToBytes(value, argv[2], sizeof value) || message.size() > KEY_DATA_BYTES) {
        std::fprintf(stderr, "keywalk: the value is 32 hexadecimal digits, the message at most 61 bytes\n");
        return 2;
    }

    const std::unique_ptr<DeviceTable> devices = BindSystemDevices();
    if (!Step("bind the HID library", devices->IsComplete()))
        return 1;

    CUsbHidKeyFinder finder(*devices);
    finder.Scan();
    if (!Step("scan", finder.Count() == 1, std::to_string(finder.Count()) + " key(s)"))
        return 1;

    const std::string path = finder.FirstPath();
    CUsbHidKey key(*devices);
    if (!Step("open and identify", key.Open(finder.First()), path))
        return 1;
    Step("serial", true, ToHexLower(key.SerialNumber(), KEY_SERIAL_BYTES));

    uint8_t digest[16];
    Md5Digest(password.data(), password.size(), digest);
    if (key.VerifyPassword(BLANK_PASSWORD_DIGEST)) {
        if (!Step("first password", key.SetPassword(digest), "md5 " + ToHexLower(digest, 16)))
            return 1;
    } else {
        Step("first password", true, "skipped: the key already has a password");
    }
    if (!Step("password check", key.VerifyPassword(digest)))
        return 1;
    if (!Step("digest reset", key.ResetDigest(value), ToHexLower(value, 16)))
        return 1;
    uint8_t keyed[16];
    bool digested =
        key.HmacMd5(reinterpret_cast<const uint8_t*>(message.data()), static_cast<uint8_t>(message.size()), keyed);
    if (!Step("keyed digest", digested, digested ? "\"" + message + "\" -> " + ToHexLower(keyed, 16) : ""))
        return 1;
    SecureWipe(digest, sizeof digest);
    return 0;
}
