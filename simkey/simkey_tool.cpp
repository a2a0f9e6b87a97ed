// simkey: creates, lists, inspects and fault-configures simulated devices.
// Each device is one file in the device folder (--dir, or the folder named
// by TALLYKEY_SIMKEY_DIR); the simulated hid.dll and setupapi.dll present
// every file there as one HID interface.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "devicerecord.h"
#include "hex.h"
#include "md5.h"
#ifdef __linux__
#include "uhid.h"
#endif

using namespace SIMKEY;
namespace fs = std::filesystem;

namespace {

const char USAGE[] =
    "usage: simkey [--dir DIR] COMMAND ...\n"
    "  add-key NAME [--serial HEX16] [--password TEXT] [--digest-key HEX32] [--busy N]\n"
    "      a factory-new key (no password unless --password) in DIR/NAME.dev\n"
    "  add-hid NAME --vid HEX --pid HEX [--product TEXT] [--usage-page HEX]\n"
    "      any other HID interface (usage page 1: a mouse, F1D0: a FIDO token,\n"
    "      otherwise a vendor page with a feature report, as the key has)\n"
    "  set NAME OPTION...       change a device; options:\n"
    "      --fault F, --no-fault F, --clear-faults, where F is one of\n"
    "          write read busy-forever digest-length-15 verify-zero\n"
    "          no-preparsed attributes product-string final-status=HEX\n"
    "      --busy N, --serial HEX16, --password TEXT, --blank-password,\n"
    "      --digest-key HEX32, --vid HEX, --pid HEX, --product TEXT, --usage-page HEX,\n"
    "      --identity TEXT, --identify-length N, --after-identity HEX,\n"
    "      --reset-counters\n"
    "  show NAME                the device's state, one 'key value' a line\n"
    "  list                     every device, one a line\n"
    "  remove NAME\n"
    "  uhid [--ready FILE]      (Linux) make every device of DIR a kernel HID device\n"
    "      through /dev/uhid and answer its feature reports until killed; devices\n"
    "      added, changed or removed in DIR are plugged in, replugged or unplugged.\n"
    "      FILE lists 'NAME /dev/hidrawN SYSFS-PATH' once every device has its node,\n"
    "      and again after each change. Opening a node counts as a preparsed data get.\n"
    "  hold NAME --ready FILE [--seconds N]\n"
    "      open the device exclusively, as a program using the key would, create\n"
    "      FILE once it is held, and keep it for N seconds (30) or until killed\n"
    "DIR defaults to $TALLYKEY_SIMKEY_DIR.\n";

struct FaultName {
    const char* name;
    uint32_t bit;
};
const FaultName FAULTS[] = {
    {"write", FAULT_WRITE},
    {"read", FAULT_READ},
    {"busy-forever", FAULT_BUSY_FOREVER},
    {"digest-length-15", FAULT_DIGEST_LENGTH_15},
    {"verify-zero", FAULT_VERIFY_ZERO},
    {"no-preparsed", FAULT_NO_PREPARSED},
    {"attributes", FAULT_ATTRIBUTES},
    {"product-string", FAULT_PRODUCT_STRING},
    {"final-status", FAULT_FINAL_STATUS},
};

[[noreturn]] void Fail(const std::string& message)
{
    std::fprintf(stderr, "simkey: %s\n", message.c_str());
    std::exit(2);
}

std::u16string FromUtf8(const std::string& text)
{
    std::u16string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 4;
        if (extra > 3 || i + extra >= text.size())
            Fail("not UTF-8: " + text);
        uint32_t code = extra == 0 ? c : c & (0x3F >> extra);
        for (size_t k = 1; k <= extra; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                Fail("not UTF-8: " + text);
            code = (code << 6) | (next & 0x3F);
        }
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (code >> 10));
            out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
        } else {
            out += static_cast<char16_t>(code);
        }
    }
    return out;
}

std::string ToUtf8(const std::u16string& text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t code = text[i];
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

unsigned long Number(const std::string& text, unsigned long max, int base)
{
    char* end = nullptr;
    unsigned long value = std::strtoul(text.c_str(), &end, base);
    if (text.empty() || *end != '\0' || value > max)
        Fail("bad number: " + text);
    return value;
}

void HexArgument(const std::string& text, uint8_t* out, size_t bytes)
{
    if (text.size() != 2 * bytes || !HIDUSBKEY::HexToBytes(out, text.c_str(), bytes))
        Fail("expected " + std::to_string(2 * bytes) + " hexadecimal digits: " + text);
}

void SetPassword(DeviceRecord& record, const std::string& password)
{
    HIDUSBKEY::Md5Digest(password.data(), password.size(), record.key.passwordDigest);
}

class Arguments {
public:
    Arguments(int argc, char** argv) : args(argv + 1, argv + argc) {}
    bool More() const { return next < args.size(); }
    std::string Take(const char* what)
    {
        if (!More())
            Fail(std::string("missing ") + what);
        return args[next++];
    }

private:
    std::vector<std::string> args;
    size_t next = 0;
};

fs::path DevicePath(const fs::path& dir, const std::string& name)
{
    if (name.empty() || name.find_first_of("/\\") != std::string::npos || name[0] == '.')
        Fail("bad device name: " + name);
    return dir / (name + DEVICE_FILE_SUFFIX);
}

DeviceRecord Load(const fs::path& path)
{
    uint8_t block[RECORD_BYTES];
    FILE* file = std::fopen(path.string().c_str(), "rb");
    if (file == nullptr)
        Fail("no such device: " + path.string());
    size_t got = std::fread(block, 1, sizeof block, file);
    std::fclose(file);
    DeviceRecord record;
    if (got != sizeof block || !DecodeRecord(block, record))
        Fail("not a simulated device: " + path.string());
    return record;
}

void Store(const fs::path& path, const DeviceRecord& record, bool create)
{
    uint8_t block[RECORD_BYTES];
    EncodeRecord(record, block);
    FILE* file = std::fopen(path.string().c_str(), create ? "wb" : "r+b");
    if (file == nullptr)
        Fail("cannot write " + path.string());
    bool ok = std::fwrite(block, 1, sizeof block, file) == sizeof block;
    ok = std::fclose(file) == 0 && ok;
    if (!ok)
        Fail("cannot write " + path.string());
}

std::string FaultList(uint32_t faults)
{
    std::string list;
    for (const FaultName& fault : FAULTS) {
        if (faults & fault.bit)
            list += (list.empty() ? "" : ",") + std::string(fault.name);
    }
    return list.empty() ? "none" : list;
}

void ApplyFault(DeviceRecord& record, const std::string& setting, bool on)
{
    std::string name = setting.substr(0, setting.find('='));
    for (const FaultName& fault : FAULTS) {
        if (name != fault.name)
            continue;
        if (fault.bit == FAULT_FINAL_STATUS && on) {
            if (name.size() == setting.size())
                Fail("final-status needs a value, as final-status=ff");
            record.key.finalStatus = static_cast<uint8_t>(Number(setting.substr(name.size() + 1), 0xFF, 16));
        }
        record.key.faults = on ? (record.key.faults | fault.bit) : (record.key.faults & ~fault.bit);
        return;
    }
    Fail("unknown fault: " + setting);
}

void ApplyOption(DeviceRecord& record, const std::string& option, Arguments& args)
{
    KeyState& key = record.key;
    if (option == "--fault") {
        ApplyFault(record, args.Take("fault"), true);
    } else if (option == "--no-fault") {
        ApplyFault(record, args.Take("fault"), false);
    } else if (option == "--clear-faults") {
        key.faults = 0;
    } else if (option == "--busy") {
        key.busyAnswers = static_cast<uint8_t>(Number(args.Take("count"), 255, 10));
    } else if (option == "--serial") {
        HexArgument(args.Take("serial"), key.serial, sizeof key.serial);
    } else if (option == "--password") {
        SetPassword(record, args.Take("password"));
    } else if (option == "--blank-password") {
        std::memset(key.passwordDigest, 0xFF, sizeof key.passwordDigest);
    } else if (option == "--digest-key") {
        HexArgument(args.Take("digest key"), key.digestKey, sizeof key.digestKey);
    } else if (option == "--vid") {
        record.vendorId = static_cast<uint16_t>(Number(args.Take("vendor id"), 0xFFFF, 16));
    } else if (option == "--usage-page") {
        record.usagePage = static_cast<uint16_t>(Number(args.Take("usage page"), 0xFFFF, 16));
    } else if (option == "--pid") {
        record.productId = static_cast<uint16_t>(Number(args.Take("product id"), 0xFFFF, 16));
    } else if (option == "--product") {
        std::u16string product = FromUtf8(args.Take("product string"));
        if (product.size() > MAX_PRODUCT_CHARS)
            Fail("a product string has at most 126 characters");
        record.productString = product;
    } else if (option == "--identity") {
        std::string identity = args.Take("identity");
        if (identity.size() > sizeof key.identity)
            Fail("the identity has at most 12 characters");
        std::memset(key.identity, 0, sizeof key.identity);
        std::memcpy(key.identity, identity.data(), identity.size());
    } else if (option == "--identify-length") {
        key.identifyLength = static_cast<uint8_t>(Number(args.Take("length"), 61, 10));
    } else if (option == "--after-identity") {
        key.afterIdentity = static_cast<uint8_t>(Number(args.Take("byte"), 0xFF, 16));
    } else if (option == "--reset-counters") {
        record.counters = DeviceCounters{};
    } else {
        Fail("unknown option: " + option);
    }
}

void Show(const std::string& name, const DeviceRecord& r)
{
    const KeyState& k = r.key;
    bool blank = true;
    for (uint8_t b : k.passwordDigest)
        blank = blank && b == 0xFF;
    std::printf("name %s\n", name.c_str());
    std::printf("kind %s\n", r.kind == KIND_KEY ? "key" : "hid");
    std::printf("vendor_id 0x%04x\nproduct_id 0x%04x\n", r.vendorId, r.productId);
    std::printf("product %s\n", ToUtf8(r.productString).c_str());
    std::printf("usage_page 0x%04x\n", r.usagePage);
    std::printf("preparsed_data_gets %u\nattribute_reads %u\nproduct_string_reads %u\n", r.counters.preparsedDataGets,
                r.counters.attributeReads, r.counters.productStringReads);
    std::printf("feature_writes %u\nfeature_reads %u\n", r.counters.featureWrites, r.counters.featureReads);
    std::printf("faults %s\n", FaultList(k.faults).c_str());
    if (r.kind != KIND_KEY)
        return;
    std::printf("serial %s\n", HIDUSBKEY::ToHexLower(k.serial, sizeof k.serial).c_str());
    std::printf("password %s\n", blank ? "blank" : "set");
    std::printf("password_digest %s\n", HIDUSBKEY::ToHexLower(k.passwordDigest, sizeof k.passwordDigest).c_str());
    std::printf("digest_key %s\n", HIDUSBKEY::ToHexLower(k.digestKey, sizeof k.digestKey).c_str());
    std::printf("verified %u\nbusy %u\n", k.verified, k.busyAnswers);
    std::printf("final_status 0x%02x\n", k.finalStatus);
    std::printf("identity %.12s\nidentify_length %u\nafter_identity 0x%02x\n", k.identity, k.identifyLength,
                k.afterIdentity);
    std::printf("last_request %s\n", HIDUSBKEY::ToHexLower(k.lastRequest, sizeof k.lastRequest).c_str());
}

// Holds the device the way the product opens it: exclusively.
int Hold(const fs::path& path, const fs::path& ready, unsigned seconds)
{
#ifdef _WIN32
    HANDLE device = CreateFileA(path.string().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        Fail("cannot hold " + path.string() + ": error " + std::to_string(GetLastError()));
#else
    int device = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (device < 0 || flock(device, LOCK_EX | LOCK_NB) != 0)
        Fail("cannot hold " + path.string());
#endif
    FILE* marker = std::fopen(ready.string().c_str(), "wb");
    if (marker == nullptr)
        Fail("cannot create " + ready.string());
    std::fclose(marker);
    for (unsigned tenth = 0; tenth < seconds * 10; ++tenth) {
#ifdef _WIN32
        Sleep(100);
#else
        usleep(100000);
#endif
    }
#ifdef _WIN32
    CloseHandle(device);
#else
    close(device);
#endif
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    Arguments args(argc, argv);
    std::string command = args.Take("command");
    fs::path dir;
    if (command == "--dir") {
        dir = args.Take("folder");
        command = args.Take("command");
    } else if (const char* env = std::getenv(DEVICE_DIR_VARIABLE)) {
        dir = env;
    }
    if (command == "--help" || command == "-h") {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (dir.empty())
        Fail(std::string("no device folder: give --dir or set ") + DEVICE_DIR_VARIABLE + "\n" + USAGE);

    if (command == "list") {
        std::vector<fs::path> files;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir, error)) {
            if (entry.is_regular_file() && entry.path().extension() == DEVICE_FILE_SUFFIX)
                files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& file : files) {
            DeviceRecord r = Load(file);
            std::printf("%s %s %04x:%04x %s", file.stem().string().c_str(), r.kind == KIND_KEY ? "key" : "hid",
                        r.vendorId, r.productId, ToUtf8(r.productString).c_str());
            if (r.kind == KIND_KEY)
                std::printf(" serial=%s", HIDUSBKEY::ToHexLower(r.key.serial, sizeof r.key.serial).c_str());
            std::printf("\n");
        }
        return 0;
    }

    if (command == "uhid") {
#ifdef __linux__
        fs::path ready;
        while (args.More()) {
            std::string option = args.Take("option");
            if (option != "--ready")
                Fail("unknown option: " + option);
            ready = args.Take("file");
        }
        return ServeUhid(dir, ready);
#else
        Fail("uhid is Linux's");
#endif
    }

    std::string name = args.Take("device name");
    fs::path path = DevicePath(dir, name);
    if (command == "add-key" || command == "add-hid") {
        std::error_code error;
        fs::create_directories(dir, error);
        const uint8_t serial[8] = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x7F};
        DeviceRecord record = command == "add-key" ? NewKeyRecord(serial) : NewOtherHidRecord(0, 0, u"");
        while (args.More())
            ApplyOption(record, args.Take("option"), args);
        Store(path, record, true);
    } else if (command == "set") {
        DeviceRecord record = Load(path);
        while (args.More())
            ApplyOption(record, args.Take("option"), args);
        Store(path, record, false);
    } else if (command == "show") {
        Show(name, Load(path));
    } else if (command == "hold") {
        fs::path ready;
        unsigned seconds = 30;
        while (args.More()) {
            std::string option = args.Take("option");
            if (option == "--ready")
                ready = args.Take("file");
            else if (option == "--seconds")
                seconds = static_cast<unsigned>(Number(args.Take("seconds"), 3600, 10));
            else
                Fail("unknown option: " + option);
        }
        if (ready.empty())
            Fail("hold needs --ready FILE");
        return Hold(path, ready, seconds);
    } else if (command == "remove") {
        std::error_code error;
        if (!fs::remove(path, error))
            Fail("no such device: " + path.string());
    } else {
        Fail("unknown command: " + command + "\n" + USAGE);
    }
    return 0;
}
