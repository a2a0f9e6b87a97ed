// The simulated devices as kernel HID devices: each device file of the
// folder becomes one uhid device, which the kernel binds to hid-generic and
// gives a /dev/hidraw node, so that the system's own hidapi (and a
// browser's WebHID) meets it as it would a plugged-in key. Feature reports
// reach the same firmware model, counters and faults as the simulated
// libraries use; what the kernel answers by itself (ids, product string)
// cannot fail here.
#include "uhid.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include "provider.h"

namespace SIMKEY {

namespace {

namespace fs = std::filesystem;

// One vendor-defined 64-byte feature report without a report id: the key's.
const uint8_t KEY_DESCRIPTOR[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0x15, 0x00,
                                  0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0xB1, 0x02, 0xC0};
// A boot mouse: three buttons, x and y.
const uint8_t MOUSE_DESCRIPTOR[] = {0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09,
                                    0x19, 0x01, 0x29, 0x03, 0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01,
                                    0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x03, 0x05, 0x01, 0x09, 0x30,
                                    0x09, 0x31, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x02, 0x81, 0x06,
                                    0xC0, 0xC0};
// A FIDO token: the CTAPHID page with 64-byte input and output reports.
const uint8_t FIDO_DESCRIPTOR[] = {0x06, 0xD0, 0xF1, 0x09, 0x01, 0xA1, 0x01, 0x09, 0x20, 0x15, 0x00, 0x26,
                                   0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x81, 0x02, 0x09, 0x21, 0x15, 0x00,
                                   0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x91, 0x02, 0xC0};

volatile sig_atomic_t stopping = 0;
void Stop(int) { stopping = 1; }

struct Descriptor {
    const uint8_t* bytes;
    size_t size;
};

Descriptor DescriptorOf(const DeviceRecord& record)
{
    if (record.kind != KIND_KEY && record.usagePage == USAGE_PAGE_DESKTOP)
        return {MOUSE_DESCRIPTOR, sizeof MOUSE_DESCRIPTOR};
    if (record.kind != KIND_KEY && record.usagePage == USAGE_PAGE_FIDO)
        return {FIDO_DESCRIPTOR, sizeof FIDO_DESCRIPTOR};
    return {KEY_DESCRIPTOR, sizeof KEY_DESCRIPTOR};
}

std::string Utf8(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            // Surrogate halves come out as U+FFFD: a kernel name is only shown.
            char16_t v = (c >= 0xD800 && c <= 0xDFFF) ? 0xFFFD : c;
            out += static_cast<char>(0xE0 | (v >> 12));
            out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (v & 0x3F));
        }
    }
    return out;
}

// What makes a device the same device: a change to any of it is a replug.
struct Identity {
    ino_t inode;
    uint16_t vendorId, productId, usagePage;
    std::u16string product;
    bool operator==(const Identity& other) const
    {
        return inode == other.inode && vendorId == other.vendorId && productId == other.productId &&
               usagePage == other.usagePage && product == other.product;
    }
};

// One device file plugged in as a kernel device: the uhid descriptor (its
// closing unplugs the device) and a descriptor on the file for the firmware.
class Plugged {
public:
    Plugged(std::string deviceName, int record, int uhid, Identity id)
        : name(std::move(deviceName)), recordFd(record), uhidFd(uhid), identity(std::move(id))
    {
    }
    ~Plugged()
    {
        if (uhidFd >= 0) {
            uhid_event event{};
            event.type = UHID_DESTROY;
            (void)!write(uhidFd, &event, sizeof event);
            close(uhidFd);
        }
        if (recordFd >= 0)
            close(recordFd);
    }
    Plugged(const Plugged&) = delete;
    Plugged& operator=(const Plugged&) = delete;

    const std::string name;
    const int recordFd;
    const int uhidFd;
    const Identity identity;
    bool started = false;
};

bool Send(int fd, const uhid_event& event) { return write(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event); }

std::unique_ptr<Plugged> PlugIn(const fs::path& file, const std::string& name)
{
    int recordFd = open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (recordFd < 0)
        return nullptr;
    DeviceRecord record;
    struct stat info;
    if (fstat(recordFd, &info) != 0 || !ReadRecord(CompatHandleFromFd(recordFd), record)) {
        close(recordFd);
        return nullptr;
    }
    int uhidFd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (uhidFd < 0) {
        std::fprintf(stderr, "simkey: cannot open /dev/uhid: %s\n", std::strerror(errno));
        close(recordFd);
        return nullptr;
    }
    auto plugged = std::make_unique<Plugged>(
        name, recordFd, uhidFd, Identity{info.st_ino, record.vendorId, record.productId, record.usagePage, record.productString});

    uhid_event event{};
    event.type = UHID_CREATE2;
    uhid_create2_req& create = event.u.create2;
    std::snprintf(reinterpret_cast<char*>(create.name), sizeof create.name, "%s", Utf8(record.productString).c_str());
    std::snprintf(reinterpret_cast<char*>(create.phys), sizeof create.phys, "simkey/%s", name.c_str());
    // The file's name as the device's unique id: how the node is found again.
    std::snprintf(reinterpret_cast<char*>(create.uniq), sizeof create.uniq, "%s", name.c_str());
    Descriptor descriptor = DescriptorOf(record);
    std::memcpy(create.rd_data, descriptor.bytes, descriptor.size);
    create.rd_size = static_cast<uint16_t>(descriptor.size);
    create.bus = 3;  // USB
    create.vendor = record.vendorId;
    create.product = record.productId;
    create.version = record.versionNumber;
    if (!Send(uhidFd, event)) {
        std::fprintf(stderr, "simkey: cannot create the device %s: %s\n", name.c_str(), std::strerror(errno));
        return nullptr;
    }
    return plugged;
}

// The kernel's questions to one device.
void Serve(Plugged& device)
{
    uhid_event event{};
    ssize_t got = read(device.uhidFd, &event, sizeof event);
    if (got < static_cast<ssize_t>(sizeof event.type))
        return;
    HANDLE record = CompatHandleFromFd(device.recordFd);
    uhid_event reply{};
    switch (event.type) {
    case UHID_START:
        device.started = true;
        return;
    case UHID_OPEN:
        WithRecord(record, [](DeviceRecord& r) {
            ++r.counters.preparsedDataGets;
            return true;
        });
        return;
    case UHID_GET_REPORT: {
        reply.type = UHID_GET_REPORT_REPLY;
        reply.u.get_report_reply.id = event.u.get_report.id;
        uint8_t report[REPORT_BYTES] = {};
        // The answer starts with the report id (none: 0), as hidraw hands it on.
        bool answered = event.u.get_report.rtype == UHID_FEATURE_REPORT && event.u.get_report.rnum == 0 &&
                        ExchangeFeature(record, false, report, sizeof report);
        if (answered) {
            std::memcpy(reply.u.get_report_reply.data, report, sizeof report);
            reply.u.get_report_reply.size = sizeof report;
        } else {
            reply.u.get_report_reply.err = EIO;
        }
        Send(device.uhidFd, reply);
        return;
    }
    case UHID_SET_REPORT: {
        reply.type = UHID_SET_REPORT_REPLY;
        reply.u.set_report_reply.id = event.u.set_report.id;
        const uhid_set_report_req& request = event.u.set_report;
        // hidraw passes the report id byte (0) in front of the 64 bytes.
        uint8_t report[REPORT_BYTES] = {};
        bool fits = request.size == REPORT_BYTES && request.data[0] == 0;
        if (fits)
            std::memcpy(report, request.data, REPORT_BYTES);
        bool taken = request.rtype == UHID_FEATURE_REPORT && request.rnum == 0 && fits &&
                     ExchangeFeature(record, true, report, sizeof report);
        reply.u.set_report_reply.err = taken ? 0 : EIO;
        Send(device.uhidFd, reply);
        return;
    }
    default:
        return;  // stop, close, output: nothing to answer
    }
}

// The hidraw node of a started device, found by its unique id.
bool FindNode(const std::string& name, std::string& node, std::string& sysfs)
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/sys/class/hidraw", error)) {
        std::ifstream uevent(entry.path() / "device" / "uevent");
        std::string line;
        while (std::getline(uevent, line)) {
            if (line == "HID_UNIQ=" + name) {
                node = "/dev/" + entry.path().filename().string();
                sysfs = fs::canonical(entry.path(), error).string();
                struct stat info;
                return !error && stat(node.c_str(), &info) == 0;
            }
        }
    }
    return false;
}

std::map<std::string, fs::path> DeviceFiles(const fs::path& dir)
{
    std::map<std::string, fs::path> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        const std::string name = entry.path().stem().string();
        if (entry.path().extension() == DEVICE_FILE_SUFFIX && !name.empty() && name[0] != '.' &&
            entry.is_regular_file(error))
            files[name] = entry.path();
    }
    return files;
}

bool CurrentIdentity(const fs::path& file, Identity& identity)
{
    int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    DeviceRecord record;
    struct stat info;
    bool read = fstat(fd, &info) == 0 && ReadRecord(CompatHandleFromFd(fd), record);
    close(fd);
    if (read)
        identity = Identity{info.st_ino, record.vendorId, record.productId, record.usagePage, record.productString};
    return read;
}

void WriteReady(const fs::path& ready, const std::string& text)
{
    const fs::path partial = ready.string() + ".new";
    {
        std::ofstream out(partial, std::ios::trunc);
        out << text;
    }
    std::error_code error;
    fs::rename(partial, ready, error);
}

} // namespace

int ServeUhid(const fs::path& dir, const fs::path& ready)
{
    // Without uhid nothing can ever be plugged in: say so once, not per device and turn.
    if (access("/dev/uhid", R_OK | W_OK) != 0) {
        std::fprintf(stderr, "simkey: cannot use /dev/uhid: %s\n", std::strerror(errno));
        return 1;
    }
    std::signal(SIGTERM, Stop);
    std::signal(SIGINT, Stop);
    std::signal(SIGPIPE, SIG_IGN);
    std::map<std::string, std::unique_ptr<Plugged>> plugged;
    std::string announced = "\1";  // never a real listing, so the first one is written
    while (!stopping) {
        // Plug in, replug and unplug as the folder says.
        std::map<std::string, fs::path> files = DeviceFiles(dir);
        for (auto it = plugged.begin(); it != plugged.end();) {
            Identity now;
            auto file = files.find(it->first);
            if (file == files.end() || !CurrentIdentity(file->second, now) || !(now == it->second->identity))
                it = plugged.erase(it);
            else
                ++it;
        }
        for (const auto& [name, file] : files) {
            if (plugged.count(name) == 0) {
                std::unique_ptr<Plugged> device = PlugIn(file, name);
                if (device)
                    plugged[name] = std::move(device);
            }
        }

        // Once every device has its node, say so (again after each change).
        std::string listing;
        bool complete = true;
        for (const auto& [name, device] : plugged) {
            std::string node, sysfs;
            if (!device->started || !FindNode(name, node, sysfs)) {
                complete = false;
                break;
            }
            listing += name + " " + node + " " + sysfs + "\n";
        }
        if (complete && listing != announced && !ready.empty()) {
            WriteReady(ready, listing);
            announced = listing;
        }

        std::vector<pollfd> waits;
        std::vector<Plugged*> owners;
        for (const auto& [name, device] : plugged) {
            waits.push_back(pollfd{device->uhidFd, POLLIN, 0});
            owners.push_back(device.get());
        }
        int ready_count = poll(waits.data(), waits.size(), complete ? 50 : 10);
        for (size_t i = 0; ready_count > 0 && i < waits.size(); ++i) {
            if (waits[i].revents & POLLIN) {
                // Answer everything waiting before looking at the folder again.
                do {
                    Serve(*owners[i]);
                    waits[i].revents = 0;
                } while (poll(&waits[i], 1, 0) > 0 && (waits[i].revents & POLLIN));
            }
        }
    }
    return 0;
}

} // namespace SIMKEY
