#include "hidraw.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace HIDUSBKEY {

const char HIDRAW_LIBRARY[] = "libhidapi-hidraw.so.0";

namespace {

// The lock on a key's node, which keeps every other process (ours too, on
// another descriptor) from using the key while one call does.
class NodeLock {
public:
    explicit NodeLock(int descriptor) : fd(descriptor) {}
    ~NodeLock() { close(fd); }
    NodeLock(const NodeLock&) = delete;
    NodeLock& operator=(const NodeLock&) = delete;

    // Null when the node cannot be opened or another holds it.
    static std::shared_ptr<NodeLock> Take(const std::string& path)
    {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0)
            return nullptr;
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return nullptr;
        }
        auto* lock = new (std::nothrow) NodeLock(fd);
        if (lock == nullptr) {
            close(fd);
            throw std::bad_alloc();
        }
        return std::shared_ptr<NodeLock>(lock);
    }

private:
    int fd;
};

class HidrawChannel : public DeviceChannel {
public:
    HidrawChannel(const HidrawFunctions& functions, hid_device* opened, std::shared_ptr<void> heldLock)
        : hidraw(functions), device(opened), lock(std::move(heldLock))
    {
    }
    ~HidrawChannel() override { hidraw.close(device); }
    HidrawChannel(const HidrawChannel&) = delete;
    HidrawChannel& operator=(const HidrawChannel&) = delete;

    // hidraw counts the report id byte in front of the report either way.
    bool SetFeature(void* report, size_t bytes) override
    {
        if (report == nullptr || bytes == 0 || bytes > INT_MAX)
            return false;
        return hidraw.sendFeature(device, static_cast<const unsigned char*>(report), bytes) ==
               static_cast<int>(bytes);
    }
    bool GetFeature(void* report, size_t bytes) override
    {
        if (report == nullptr || bytes == 0 || bytes > INT_MAX)
            return false;
        auto* bytesOut = static_cast<unsigned char*>(report);
        // The report id goes first, and comes back first.
        bytesOut[0] = 0;
        int got = hidraw.getFeature(device, bytesOut, bytes);
        if (got <= 0 || static_cast<size_t>(got) > bytes)
            return false;
        // A short answer leaves no byte of the request behind (its status
        // then reads as neither busy nor OK).
        std::memset(bytesOut + got, 0, bytes - static_cast<size_t>(got));
        return true;
    }

private:
    const HidrawFunctions& hidraw;
    hid_device* device;
    std::shared_ptr<void> lock;
};

// hidapi's product strings are wchar_t (UTF-32 here); the key layer's are
// UTF-16, and a character beyond the BMP can never be part of our key's name.
std::u16string ProductOf(const wchar_t* product)
{
    std::u16string text;
    for (size_t i = 0; product != nullptr && product[i] != 0 && i < 126; ++i) {
        wchar_t c = product[i];
        text += (c < 0 || c > 0xFFFF) ? u'\uFFFD' : static_cast<char16_t>(c);
    }
    return text;
}

} // namespace

bool HidrawDeviceTable::IsComplete() const
{
    return hidraw.enumerate && hidraw.freeEnumeration && hidraw.openPath && hidraw.close && hidraw.sendFeature &&
           hidraw.getFeature;
}

bool HidrawDeviceTable::Enumerate(uint16_t vendorId, uint16_t productId, std::vector<ListedDevice>& devices) const
{
    struct EnumerationOwner {
        const HidrawFunctions& hidraw;
        hid_device_info* list;
        ~EnumerationOwner() { hidraw.freeEnumeration(list); }
    } listed{hidraw, hidraw.enumerate(vendorId, productId)};

    std::vector<std::string> seen;
    for (const hid_device_info* info = listed.list; info != nullptr; info = info->next) {
        // hidapi may list a node once per usage; counted twice, one key
        // would look like two.
        if (info->path == nullptr || info->vendor_id != vendorId || info->product_id != productId ||
            std::find(seen.begin(), seen.end(), info->path) != seen.end())
            continue;
        seen.push_back(info->path);
        // A key another process uses is not there for this one.
        std::shared_ptr<NodeLock> lock = NodeLock::Take(info->path);
        if (!lock)
            continue;
        devices.push_back(ListedDevice{info->path, ProductOf(info->product_string), std::move(lock)});
    }
    return true;
}

std::unique_ptr<DeviceChannel> HidrawDeviceTable::Open(ListedDevice& listed) const
{
    std::shared_ptr<void> lock = std::move(listed.hold);
    if (!lock)
        lock = NodeLock::Take(listed.path);
    if (!lock)
        return nullptr;
    hid_device* device = hidraw.openPath(listed.path.c_str());
    if (device == nullptr)
        return nullptr;
    auto* channel = new (std::nothrow) HidrawChannel(hidraw, device, std::move(lock));
    if (channel == nullptr) {
        hidraw.close(device);
        return nullptr;
    }
    return std::unique_ptr<DeviceChannel>(channel);
}

namespace {

template <typename Function>
bool BindSymbol(void* module, const char* name, Function& entry)
{
    entry = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(dlsym(module, name)));
    return entry != nullptr;
}

// hidapi, bound before the table that uses it and released after it.
struct HidrawBinding {
    HidrawBinding() : module(dlopen(HIDRAW_LIBRARY, RTLD_NOW | RTLD_LOCAL)), functions{}
    {
        if (module == nullptr)
            return;
        decltype(&hid_init) init = nullptr;
        HidrawFunctions bound{};
        bool complete = BindSymbol(module, "hid_init", init) && BindSymbol(module, "hid_enumerate", bound.enumerate) &&
                        BindSymbol(module, "hid_free_enumeration", bound.freeEnumeration) &&
                        BindSymbol(module, "hid_open_path", bound.openPath) &&
                        BindSymbol(module, "hid_close", bound.close) &&
                        BindSymbol(module, "hid_send_feature_report", bound.sendFeature) &&
                        BindSymbol(module, "hid_get_feature_report", bound.getFeature);
        if (complete && init() == 0)
            functions = bound;
    }
    ~HidrawBinding()
    {
        if (module != nullptr)
            dlclose(module);
    }
    HidrawBinding(const HidrawBinding&) = delete;
    HidrawBinding& operator=(const HidrawBinding&) = delete;

    void* module;
    HidrawFunctions functions;
};

class SystemHidraw : private HidrawBinding, public HidrawDeviceTable {
public:
    SystemHidraw() : HidrawDeviceTable(functions) {}
};

} // namespace

std::unique_ptr<DeviceTable> BindSystemDevices() { return std::make_unique<SystemHidraw>(); }

} // namespace HIDUSBKEY
