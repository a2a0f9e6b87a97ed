#include "fakehid.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#ifndef _WIN32
#include <unistd.h>
#endif

using namespace HIDUSBKEY;
namespace fs = std::filesystem;

FakeHid* FakeHid::current = nullptr;

namespace {

const GUID& FAKE_HID_GUID = HID_INTERFACE_GUID;
HDEVINFO const FAKE_SET = reinterpret_cast<HDEVINFO>(static_cast<intptr_t>(0x5E7));
int preparsedToken;

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string PathOfHandle(HANDLE handle)
{
#ifdef _WIN32
    char path[1024];
    DWORD length = GetFinalPathNameByHandleA(handle, path, sizeof path, 0);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
#else
    char path[1024];
    std::string link = "/proc/self/fd/" + std::to_string(CompatHandleToFd(handle));
    ssize_t length = readlink(link.c_str(), path, sizeof path);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
#endif
}

FakeHid& Fake() { return *FakeHid::current; }

void WINAPI GetHidGuid(GUID* guid) { *guid = FAKE_HID_GUID; }

BOOLEAN WINAPI GetPreparsedData(HANDLE handle, PHIDP_PREPARSED_DATA* data)
{
    FakeInterface* device = Fake().ByHandle(handle);
    if (device && !device->preparsedAnswer)
        return FALSE;
    ++Fake().preparsedHeld;
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(&preparsedToken);
    return device ? device->preparsedAnswer : TRUE;
}

BOOLEAN WINAPI FreePreparsedData(PHIDP_PREPARSED_DATA data)
{
    if (data != reinterpret_cast<PHIDP_PREPARSED_DATA>(&preparsedToken))
        throw std::logic_error("freed preparsed data that was never handed out");
    --Fake().preparsedHeld;
    return TRUE;
}

BOOLEAN WINAPI GetAttributes(HANDLE handle, HIDD_ATTRIBUTES* attributes)
{
    FakeInterface* device = Fake().ByHandle(handle);
    if (device == nullptr)
        return FALSE;
    ++device->attributeReads;
    if (!device->attributesOk || attributes->Size != sizeof(HIDD_ATTRIBUTES))
        return FALSE;
    attributes->VendorID = device->vendorId;
    attributes->ProductID = device->productId;
    attributes->VersionNumber = 0x0100;
    return TRUE;
}

BOOLEAN WINAPI GetProductString(HANDLE handle, void* buffer, ULONG bytes)
{
    FakeInterface* device = Fake().ByHandle(handle);
    if (device == nullptr)
        return FALSE;
    ++device->productStringReads;
    if (!device->productStringOk)
        return FALSE;
    WCHAR* out = static_cast<WCHAR*>(buffer);
    for (size_t i = 0; i < bytes / sizeof(WCHAR) && i <= device->product.size(); ++i)
        out[i] = i < device->product.size() ? static_cast<WCHAR>(device->product[i]) : 0;
    return TRUE;
}

BOOLEAN WINAPI SetFeature(HANDLE, void* report, ULONG bytes)
{
    FakeKey& key = Fake().key;
    if (bytes != sizeof(KeyReport))
        throw std::logic_error("feature report of the wrong size");
    key.events.push_back({'w', std::chrono::steady_clock::now()});
    KeyReport request;
    std::memcpy(&request, report, sizeof request);
    key.writes.push_back(request);
    if (!key.writeOk)
        return FALSE;
    SIMKEY::Receive(key.firmware, static_cast<const uint8_t*>(report));
    return TRUE;
}

BOOLEAN WINAPI GetFeature(HANDLE, void* report, ULONG bytes)
{
    FakeKey& key = Fake().key;
    if (bytes != sizeof(KeyReport))
        throw std::logic_error("feature report of the wrong size");
    key.events.push_back({'r', std::chrono::steady_clock::now()});
    if (++key.reads == key.failReadNumber)
        return FALSE;
    if (key.busyForever) {
        static_cast<KeyReport*>(report)->status = KEY_STATUS_BUSY;
    } else if (!key.answers.empty()) {
        std::memcpy(report, &key.answers.front(), sizeof(KeyReport));
        key.answers.pop_front();
    } else {
        SIMKEY::Answer(key.firmware, static_cast<uint8_t*>(report));
    }
    return TRUE;
}

BOOL WINAPI DestroyDeviceInfoList(HDEVINFO set)
{
    if (set != FAKE_SET)
        throw std::logic_error("destroyed a set that was never created");
    ++Fake().setsDestroyed;
    return TRUE;
}

HDEVINFO WINAPI GetClassDevsA(const GUID* guid, const char* enumerator, HWND parent, DWORD flags)
{
    if (std::memcmp(guid, &FAKE_HID_GUID, sizeof(GUID)) != 0 || enumerator || parent || flags != 0x12)
        throw std::logic_error("unexpected SetupDiGetClassDevsA arguments");
    if (Fake().classDevsFails)
        return INVALID_HANDLE_VALUE;
    ++Fake().setsCreated;
    return FAKE_SET;
}

BOOL WINAPI EnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID*, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* data)
{
    if (set != FAKE_SET || info != nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        throw std::logic_error("unexpected SetupDiEnumDeviceInterfaces arguments");
    ++Fake().enumerationCalls;
    if (Fake().endlessEnumeration && index >= Fake().interfaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (DWORD failing : Fake().failingIndices) {
        if (failing == index) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    // Indices past the failing ones map onto the interfaces in order.
    DWORD skipped = 0;
    for (DWORD failing : Fake().failingIndices)
        skipped += failing < index ? 1 : 0;
    if (index - skipped >= Fake().interfaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->Reserved = index - skipped;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI GetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD bytes, DWORD* required,
                                      SP_DEVINFO_DATA* info)
{
    if (set != FAKE_SET || info != nullptr)
        throw std::logic_error("unexpected SetupDiGetDeviceInterfaceDetailA arguments");
    FakeInterface& device = Fake().interfaces.at(data->Reserved);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + device.path.size() +
                                      (device.unterminatedPath ? 0 : 1));
    if (detail == nullptr) {
        if (bytes != 0 || required == nullptr)
            throw std::logic_error("size query without a size variable");
        *required = device.claimedDetailBytes ? device.claimedDetailBytes : needed;
        SetLastError(device.detailOk ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (bytes < needed || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        throw std::logic_error("detail buffer of the wrong size");
    ++device.detailFills;
    std::memcpy(detail->DevicePath, device.path.c_str(), device.path.size() + (device.unterminatedPath ? 0 : 1));
    return TRUE;
}

} // namespace

FakeHid::FakeHid()
{
    // Unique across the test programs that CTest runs side by side.
    static int instance = 0;
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(getpid());
#endif
    nodeDir = (fs::temp_directory_path() /
               ("tallykey-fakehid-" + std::to_string(process) + "-" + std::to_string(++instance)))
                  .string();
    fs::create_directories(nodeDir);
    const uint8_t serial[8] = {0x00, 0x01, 0xAB, 0xCD, 0xEF, 0x10, 0x20, 0x7F};
    SIMKEY::InitKeyState(key.firmware, serial);

    static int module;  // any non-null address marks the libraries as loaded
    api.hid = {reinterpret_cast<HMODULE>(&module), GetHidGuid, GetPreparsedData, FreePreparsedData,
               GetAttributes, GetProductString, SetFeature, GetFeature};
    api.setup = {reinterpret_cast<HMODULE>(&module), DestroyDeviceInfoList, GetClassDevsA, EnumDeviceInterfaces,
                 GetDeviceInterfaceDetailA};
    current = this;
}

FakeHid::~FakeHid()
{
    current = nullptr;
    std::error_code error;
    fs::remove_all(nodeDir, error);
}

FakeInterface& FakeHid::Add(const std::string& name)
{
    FakeInterface device;
    device.name = name;
    device.path = (fs::path(nodeDir) / name).string();
    std::FILE* node = std::fopen(device.path.c_str(), "wb");
    if (node == nullptr)
        throw std::runtime_error("cannot create " + device.path);
    std::fclose(node);
    interfaces.push_back(device);
    return interfaces.back();
}

FakeInterface* FakeHid::ByHandle(HANDLE handle)
{
    std::string name = BaseName(PathOfHandle(handle));
    for (FakeInterface& device : interfaces) {
        if (device.name == name)
            return &device;
    }
    return nullptr;
}

KeyReport Answer(uint8_t status, uint8_t length, const std::string& data)
{
    KeyReport report{};
    report.length = length;
    std::memcpy(report.data, data.data(), std::min(data.size(), sizeof report.data));
    report.status = status;
    return report;
}
