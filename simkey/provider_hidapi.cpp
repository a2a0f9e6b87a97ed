// The simulated hidapi (hidraw flavour), built as libhidapi-hidraw.so.0: the
// entry points the Linux edge binds, answering from the device files, so
// that the product's real hidapi code runs against simulated keys. The
// counters and fault switches keep their hid.dll meaning: opening a device
// stands for fetching its preparsed data, its device information for its
// attributes.
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <string>

#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <unistd.h>

#include "provider.h"

using namespace SIMKEY;

// The opened device, with its own descriptor on the device file (the
// product's locked handle is another one, as with a real hidraw node).
struct hid_device_ {
    int fd;
    hid_device_info info;
};

namespace {

const char USAGES_VARIABLE[] = "TALLYKEY_SIMKEY_HIDAPI_USAGES";

HANDLE HandleOf(hid_device* device) { return CompatHandleFromFd(device->fd); }

wchar_t* CopyWide(const std::u16string& text)
{
    auto* copy = static_cast<wchar_t*>(std::calloc(text.size() + 1, sizeof(wchar_t)));
    if (copy != nullptr) {
        for (size_t i = 0; i < text.size(); ++i)
            copy[i] = static_cast<wchar_t>(text[i]);
    }
    return copy;
}

void FreeInfo(hid_device_info* info)
{
    std::free(info->path);
    std::free(info->product_string);
    std::free(info);
}

bool ReadRecordAt(const std::string& path, DeviceRecord& record)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool read = ReadRecord(CompatHandleFromFd(fd), record);
    close(fd);
    return read;
}

} // namespace

SIM_EXPORT int hid_init(void) { return 0; }

SIM_EXPORT int hid_exit(void) { return 0; }

SIM_EXPORT hid_device_info* hid_enumerate(unsigned short vendorId, unsigned short productId)
{
    // Like the real library, enumeration reads what the system already
    // knows of each device; the device itself is not asked, so no counter moves.
    hid_device_info* first = nullptr;
    hid_device_info** last = &first;
    // Newer hidapi lists a node once per top-level usage.
    const char* usages = std::getenv(USAGES_VARIABLE);
    int entriesPerNode = usages ? std::atoi(usages) : 1;
    if (entriesPerNode < 1 || entriesPerNode > 8)
        entriesPerNode = 1;
    for (const std::string& path : ListDevicePaths()) {
        DeviceRecord record{};
        bool known = ReadRecordAt(path, record);
        if ((vendorId != 0 && (!known || record.vendorId != vendorId)) ||
            (productId != 0 && (!known || record.productId != productId)))
            continue;
        for (int entry = 0; entry < entriesPerNode; ++entry) {
            auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
            if (info == nullptr)
                return first;
            info->path = strdup(path.c_str());
            if (known) {
                info->vendor_id = record.vendorId;
                info->product_id = record.productId;
                info->release_number = record.versionNumber;
                info->product_string = CopyWide(record.productString);
            }
            info->bus_type = HID_API_BUS_USB;
            info->usage = static_cast<unsigned short>(entry + 1);
            *last = info;
            last = &info->next;
        }
    }
    return first;
}

SIM_EXPORT void hid_free_enumeration(hid_device_info* list)
{
    while (list != nullptr) {
        hid_device_info* next = list->next;
        FreeInfo(list);
        list = next;
    }
}

SIM_EXPORT hid_device* hid_open_path(const char* path)
{
    if (path == nullptr)
        return nullptr;
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    bool opened = WithRecord(CompatHandleFromFd(fd), [](DeviceRecord& record) {
        ++record.counters.preparsedDataGets;
        return (record.key.faults & FAULT_NO_PREPARSED) == 0;
    });
    auto* device = opened ? new (std::nothrow) hid_device_{fd, {}} : nullptr;
    if (device == nullptr)
        close(fd);
    return device;
}

SIM_EXPORT void hid_close(hid_device* device)
{
    if (device == nullptr)
        return;
    close(device->fd);
    delete device;
}

SIM_EXPORT hid_device_info* hid_get_device_info(hid_device* device)
{
    if (device == nullptr)
        return nullptr;
    BOOLEAN read = WithRecord(HandleOf(device), [&](DeviceRecord& record) {
        ++record.counters.attributeReads;
        if (record.key.faults & FAULT_ATTRIBUTES)
            return false;
        device->info = hid_device_info{};
        device->info.vendor_id = record.vendorId;
        device->info.product_id = record.productId;
        device->info.release_number = record.versionNumber;
        device->info.bus_type = HID_API_BUS_USB;
        return true;
    });
    return read ? &device->info : nullptr;
}

SIM_EXPORT int hid_get_product_string(hid_device* device, wchar_t* string, size_t maxChars)
{
    if (device == nullptr || string == nullptr || maxChars == 0)
        return -1;
    BOOLEAN read = WithRecord(HandleOf(device), [&](DeviceRecord& record) {
        ++record.counters.productStringReads;
        if (record.key.faults & FAULT_PRODUCT_STRING)
            return false;
        // As hidapi does: as much as fits, always terminated.
        size_t i = 0;
        for (; i + 1 < maxChars && i < record.productString.size(); ++i)
            string[i] = static_cast<wchar_t>(record.productString[i]);
        string[i] = 0;
        return true;
    });
    return read ? 0 : -1;
}

// hidraw counts the report id byte in front of the report in either direction.
SIM_EXPORT int hid_send_feature_report(hid_device* device, const unsigned char* data, size_t length)
{
    bool sent = device && ExchangeFeature(HandleOf(device), true, const_cast<unsigned char*>(data), length);
    return sent ? static_cast<int>(length) : -1;
}

SIM_EXPORT int hid_get_feature_report(hid_device* device, unsigned char* data, size_t length)
{
    bool answered = device && ExchangeFeature(HandleOf(device), false, data, length);
    return answered ? static_cast<int>(length) : -1;
}

SIM_EXPORT const wchar_t* hid_error(hid_device*) { return L"simulated device failure"; }
