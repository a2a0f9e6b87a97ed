#include "hidraw.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <dlfcn.h>
#include <hidapi/hidapi.h>
#include <unistd.h>

namespace HIDUSBKEY {

const char HIDRAW_LIBRARY[] = "libhidapi-hidraw.so.0";

namespace {

struct HidrawFunctions {
    decltype(&hid_init) init;
    decltype(&hid_enumerate) enumerate;
    decltype(&hid_free_enumeration) freeEnumeration;
    decltype(&hid_open_path) openPath;
    decltype(&hid_close) close;
    decltype(&hid_get_device_info) deviceInfo;
    decltype(&hid_get_product_string) productString;
    decltype(&hid_send_feature_report) sendFeature;
    decltype(&hid_get_feature_report) getFeature;
};

// Set by BindHidraw; the entries below run only through a table it filled,
// so the library is loaded whenever they run.
HidrawFunctions hidraw;

template <typename Function>
bool BindSymbol(void* module, const char* name, Function& entry)
{
    entry = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(dlsym(module, name)));
    return entry != nullptr;
}

// What the layer calls a device's preparsed data: the hidapi device opened
// on the node behind the layer's own handle, which holds the node's lock.
struct OpenDevice {
    HANDLE handle;
    hid_device* device;
};

std::mutex openDevicesLock;
std::vector<OpenDevice*> openDevices;

hid_device* DeviceOf(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(openDevicesLock);
    for (OpenDevice* open : openDevices) {
        if (open->handle == handle)
            return open->device;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

// The path of the node a handle was opened on, as the kernel names it.
bool NodePath(HANDLE handle, std::string& path)
{
    int fd = CompatHandleToFd(handle);
    if (fd < 0)
        return false;
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[PATH_MAX];
    ssize_t length = readlink(link, target, sizeof target);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof target)
        return false;
    path.assign(target, static_cast<size_t>(length));
    return true;
}

// The device set: the node paths hidapi listed, each once.
struct DeviceSet {
    uint32_t magic;
    std::vector<std::string> paths;
};
const uint32_t DEVICE_SET_MAGIC = 0x54455344;  // "DSET"

DeviceSet* SetOf(HDEVINFO set)
{
    auto* devices = static_cast<DeviceSet*>(set);
    return devices != nullptr && set != INVALID_HANDLE_VALUE && devices->magic == DEVICE_SET_MAGIC ? devices
                                                                                                  : nullptr;
}

void WINAPI HidrawGetHidGuid(GUID* guid)
{
    if (guid)
        *guid = HID_INTERFACE_GUID;
}

HDEVINFO WINAPI HidrawGetClassDevs(const GUID*, const char*, HWND, DWORD)
{
    struct EnumerationOwner {
        hid_device_info* list;
        ~EnumerationOwner() { hidraw.freeEnumeration(list); }
    } listed{hidraw.enumerate(0, 0)};

    std::unique_ptr<DeviceSet> set(new DeviceSet{DEVICE_SET_MAGIC, {}});
    for (const hid_device_info* info = listed.list; info != nullptr; info = info->next) {
        if (info->path == nullptr)
            continue;
        // hidapi may list a node once per usage; counted twice, one key
        // would look like two.
        const std::string path = info->path;
        if (std::find(set->paths.begin(), set->paths.end(), path) == set->paths.end())
            set->paths.push_back(path);
    }
    return set.release();
}

BOOL WINAPI HidrawDestroyDeviceInfoList(HDEVINFO set)
{
    DeviceSet* devices = SetOf(set);
    if (devices == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    devices->magic = 0;
    delete devices;
    return TRUE;
}

BOOL WINAPI HidrawEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA*, const GUID*, DWORD index,
                                       SP_DEVICE_INTERFACE_DATA* data)
{
    DeviceSet* devices = SetOf(set);
    if (devices == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return AnswerInterface(index, devices->paths.size(), data);
}

BOOL WINAPI HidrawGetInterfaceDetail(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                     SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailBytes,
                                     DWORD* requiredBytes, SP_DEVINFO_DATA*)
{
    DeviceSet* devices = SetOf(set);
    if (devices == nullptr || data == nullptr || data->Reserved == 0 || data->Reserved > devices->paths.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return AnswerInterfaceDetail(devices->paths[data->Reserved - 1], detail, detailBytes, requiredBytes);
}

BOOLEAN WINAPI HidrawGetPreparsedData(HANDLE handle, PHIDP_PREPARSED_DATA* data)
{
    std::string path;
    if (data == nullptr || !NodePath(handle, path)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    hid_device* device = hidraw.openPath(path.c_str());
    if (device == nullptr) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    auto* open = new (std::nothrow) OpenDevice{handle, device};
    bool listed = false;
    if (open != nullptr) {
        std::lock_guard<std::mutex> guard(openDevicesLock);
        try {
            openDevices.push_back(open);
            listed = true;
        } catch (const std::bad_alloc&) {
        }
    }
    if (!listed) {
        delete open;
        hidraw.close(device);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(open);
    return TRUE;
}

BOOLEAN WINAPI HidrawFreePreparsedData(PHIDP_PREPARSED_DATA data)
{
    auto* open = reinterpret_cast<OpenDevice*>(data);
    {
        std::lock_guard<std::mutex> guard(openDevicesLock);
        auto found = std::find(openDevices.begin(), openDevices.end(), open);
        if (found == openDevices.end())
            return FALSE;
        openDevices.erase(found);
    }
    hidraw.close(open->device);
    delete open;
    return TRUE;
}

BOOLEAN WINAPI HidrawGetAttributes(HANDLE handle, HIDD_ATTRIBUTES* attributes)
{
    hid_device* device = DeviceOf(handle);
    if (device == nullptr || attributes == nullptr)
        return FALSE;
    const hid_device_info* info = hidraw.deviceInfo(device);
    if (info == nullptr)
        return FALSE;
    attributes->VendorID = info->vendor_id;
    attributes->ProductID = info->product_id;
    attributes->VersionNumber = info->release_number;
    return TRUE;
}

BOOLEAN WINAPI HidrawGetProductString(HANDLE handle, void* buffer, ULONG bufferBytes)
{
    hid_device* device = DeviceOf(handle);
    if (device == nullptr || buffer == nullptr)
        return FALSE;
    // A USB string descriptor holds at most 126 characters.
    wchar_t product[128] = {};
    if (hidraw.productString(device, product, sizeof product / sizeof product[0]) < 0)
        return FALSE;
    product[127] = 0;
    // hid.dll's form: UTF-16 units, as much of the string and its NUL as fits.
    WCHAR* out = static_cast<WCHAR*>(buffer);
    size_t room = bufferBytes / sizeof(WCHAR);
    for (size_t i = 0; i < room; ++i) {
        wchar_t c = product[i];
        out[i] = (c < 0 || c > 0xFFFF) ? static_cast<WCHAR>(0xFFFD) : static_cast<WCHAR>(c);
        if (c == 0)
            break;
    }
    return TRUE;
}

BOOLEAN WINAPI HidrawSetFeature(HANDLE handle, void* report, ULONG reportBytes)
{
    hid_device* device = DeviceOf(handle);
    if (device == nullptr || report == nullptr || reportBytes > INT_MAX)
        return FALSE;
    int sent = hidraw.sendFeature(device, static_cast<const unsigned char*>(report), reportBytes);
    return sent == static_cast<int>(reportBytes) ? TRUE : FALSE;
}

BOOLEAN WINAPI HidrawGetFeature(HANDLE handle, void* report, ULONG reportBytes)
{
    hid_device* device = DeviceOf(handle);
    if (device == nullptr || report == nullptr || reportBytes == 0 || reportBytes > INT_MAX)
        return FALSE;
    int got = hidraw.getFeature(device, static_cast<unsigned char*>(report), reportBytes);
    if (got <= 0 || static_cast<ULONG>(got) > reportBytes)
        return FALSE;
    // hid.dll always fills the whole report; a short answer leaves no stale
    // bytes of the request behind (its status reads as neither busy nor OK).
    std::memset(static_cast<unsigned char*>(report) + got, 0, reportBytes - static_cast<ULONG>(got));
    return TRUE;
}

} // namespace

void BindHidraw(HidApi& api)
{
    api.hid = HidFunctions{};
    api.setup = SetupFunctions{};
    void* module = dlopen(HIDRAW_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        return;
    HidrawFunctions bound{};
    bool complete = BindSymbol(module, "hid_init", bound.init) &&
                    BindSymbol(module, "hid_enumerate", bound.enumerate) &&
                    BindSymbol(module, "hid_free_enumeration", bound.freeEnumeration) &&
                    BindSymbol(module, "hid_open_path", bound.openPath) &&
                    BindSymbol(module, "hid_close", bound.close) &&
                    BindSymbol(module, "hid_get_device_info", bound.deviceInfo) &&
                    BindSymbol(module, "hid_get_product_string", bound.productString) &&
                    BindSymbol(module, "hid_send_feature_report", bound.sendFeature) &&
                    BindSymbol(module, "hid_get_feature_report", bound.getFeature);
    // A second reference, so that the table's two modules are released
    // independently, as hid.dll and setupapi.dll are.
    void* second = complete && bound.init() == 0 ? dlopen(HIDRAW_LIBRARY, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (second == nullptr) {
        dlclose(module);
        return;
    }
    hidraw = bound;
    api.hid = HidFunctions{module,
                           HidrawGetHidGuid,
                           HidrawGetPreparsedData,
                           HidrawFreePreparsedData,
                           HidrawGetAttributes,
                           HidrawGetProductString,
                           HidrawSetFeature,
                           HidrawGetFeature};
    api.setup = SetupFunctions{second, HidrawDestroyDeviceInfoList, HidrawGetClassDevs, HidrawEnumDeviceInterfaces,
                               HidrawGetInterfaceDetail};
}

} // namespace HIDUSBKEY
