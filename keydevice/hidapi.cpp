#include "hidapi.h"

#include <cstring>
#include <memory>

namespace HIDUSBKEY {

// The device-setup service compares cbSize with its own record sizes and
// refuses any other value, so these are pinned as the published numbers of
// each architecture (the native build uses the x86_64 layout).
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "interface record (i686)");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 5, "detail record's cbSize (i686)");
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "interface record (x86_64)");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "detail record's cbSize (x86_64)");
#endif

namespace {

// GetProcAddress yields a generic function pointer; going through void(*)()
// keeps the conversion to the entry's real type free of cast warnings.
template <typename Function>
void BindEntry(HMODULE module, const char* name, Function& entry)
{
    entry = module ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name))) : nullptr;
}

} // namespace

void HidApi::Bind()
{
    hid.module = LoadLibraryW(TALLYKEY_WIDE("hid.dll"));
    BindEntry(hid.module, "HidD_GetHidGuid", hid.HidD_GetHidGuid);
    BindEntry(hid.module, "HidD_GetPreparsedData", hid.HidD_GetPreparsedData);
    BindEntry(hid.module, "HidD_FreePreparsedData", hid.HidD_FreePreparsedData);
    BindEntry(hid.module, "HidD_GetAttributes", hid.HidD_GetAttributes);
    BindEntry(hid.module, "HidD_GetProductString", hid.HidD_GetProductString);
    BindEntry(hid.module, "HidD_SetFeature", hid.HidD_SetFeature);
    BindEntry(hid.module, "HidD_GetFeature", hid.HidD_GetFeature);

    setup.module = LoadLibraryW(TALLYKEY_WIDE("SETUPAPI.DLL"));
    BindEntry(setup.module, "SetupDiDestroyDeviceInfoList", setup.SetupDiDestroyDeviceInfoList);
    BindEntry(setup.module, "SetupDiGetClassDevsA", setup.SetupDiGetClassDevsA);
    BindEntry(setup.module, "SetupDiEnumDeviceInterfaces", setup.SetupDiEnumDeviceInterfaces);
    BindEntry(setup.module, "SetupDiGetDeviceInterfaceDetailA", setup.SetupDiGetDeviceInterfaceDetailA);
}

bool HidApi::IsComplete() const
{
    return hid.module && hid.HidD_GetHidGuid && hid.HidD_GetPreparsedData && hid.HidD_FreePreparsedData &&
           hid.HidD_GetAttributes && hid.HidD_GetProductString && hid.HidD_SetFeature && hid.HidD_GetFeature &&
           setup.module && setup.SetupDiDestroyDeviceInfoList && setup.SetupDiGetClassDevsA &&
           setup.SetupDiEnumDeviceInterfaces && setup.SetupDiGetDeviceInterfaceDetailA;
}

void HidApi::Release()
{
    // Cleared as well, so that a second Release (or a stray use) finds nothing.
    if (setup.module)
        FreeLibrary(setup.module);
    setup = SetupFunctions{};
    if (hid.module)
        FreeLibrary(hid.module);
    hid = HidFunctions{};
}

bool EnumerateHidInterfaces(const SetupFunctions& setup, const HidFunctions& hid, std::vector<std::string>& paths)
{
    GUID hidGuid{};
    hid.HidD_GetHidGuid(&hidGuid);

    HDEVINFO set = setup.SetupDiGetClassDevsA(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return false;

    // Owns the set, so that every way out of the walk destroys it.
    struct SetGuard {
        const SetupFunctions& setup;
        HDEVINFO set;
        ~SetGuard()
        {
            if (set != nullptr && set != INVALID_HANDLE_VALUE)
                setup.SetupDiDestroyDeviceInfoList(set);
        }
    } guard{setup, set};

    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof interfaceData);
    interfaceData.cbSize = sizeof interfaceData;

    const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    // A real machine has a few dozen HID interfaces; the cap only keeps a
    // misbehaving service from holding the caller for ever.
    const DWORD maxInterfaces = 0x10000;
    for (DWORD index = 0; index < maxInterfaces; ++index) {
        BOOL found = setup.SetupDiEnumDeviceInterfaces(set, nullptr, &hidGuid, index, &interfaceData);
        DWORD error = GetLastError();
        if (!found) {
            if (error == ERROR_NO_MORE_ITEMS)
                break;
            // Some other failure at this index: the next one may still be readable.
            continue;
        }

        DWORD required = 0;
        SetLastError(ERROR_SUCCESS);
        setup.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            continue;
        // A size too small for the record's header cannot be filled in safely.
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            continue;
        // A device path is a few hundred bytes. A service claiming more is
        // not trusted with an allocation per interface and call (on i686 a
        // claim near 4 GiB fails outright and would hide every key).
        if (required > MAX_INTERFACE_DETAIL_BYTES)
            continue;

        // Out of memory abandons the walk (the guard destroys the set); the
        // caller must not take a partial list for the whole one.
        std::unique_ptr<unsigned char[]> buffer(new unsigned char[required]);
        std::memset(buffer.get(), 0, required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (setup.SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, detail, required, nullptr, nullptr)) {
            // The path must end inside the buffer, whatever the service wrote.
            const char* path = detail->DevicePath;
            size_t length = strnlen(path, required - pathOffset);
            if (length < required - pathOffset)
                paths.emplace_back(path, length);
        }
    }
    return true;
}

BOOL AnswerInterface(DWORD index, size_t count, SP_DEVICE_INTERFACE_DATA* data)
{
    // The system's service checks the record size, which differs by architecture.
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (index >= count) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = HID_INTERFACE_GUID;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = static_cast<ULONG_PTR>(index) + 1;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL AnswerInterfaceDetail(const std::string& path, SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailBytes,
                           DWORD* requiredBytes)
{
    const size_t needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1;
    if (needed > MAX_INTERFACE_DETAIL_BYTES) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (requiredBytes)
        *requiredBytes = static_cast<DWORD>(needed);
    if (detail == nullptr || detailBytes < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HidDeviceHandle::HidDeviceHandle(const HidFunctions& hidFunctions)
    : handle(nullptr), preparsedData(nullptr), hid(hidFunctions)
{
}

HidDeviceHandle::~HidDeviceHandle()
{
    if (preparsedData)
        hid.HidD_FreePreparsedData(preparsedData);
    if (handle)
        CloseHandle(handle);
}

bool HidDeviceHandle::Open(const char* path)
{
    Close();
    HANDLE opened = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (opened == INVALID_HANDLE_VALUE) {
        handle = nullptr;
        return false;
    }
    handle = opened;
    BOOLEAN got = hid.HidD_GetPreparsedData(handle, &preparsedData);
    if (!got)
        preparsedData = nullptr; // nothing was handed to us to free
    return got == TRUE;
}

void HidDeviceHandle::Close()
{
    if (preparsedData) {
        hid.HidD_FreePreparsedData(preparsedData);
        preparsedData = nullptr;
    }
    if (handle) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

namespace {

// Bytes a product string may take, and so the buffer we hand the driver.
const ULONG PRODUCT_STRING_BYTES = 256;

class HidChannel : public DeviceChannel {
public:
    explicit HidChannel(const HidFunctions& hidFunctions) : device(hidFunctions), hid(hidFunctions) {}
    bool SetFeature(void* report, size_t bytes) override
    {
        return bytes == static_cast<ULONG>(bytes) && hid.HidD_SetFeature(device.handle, report, static_cast<ULONG>(bytes));
    }
    bool GetFeature(void* report, size_t bytes) override
    {
        return bytes == static_cast<ULONG>(bytes) && hid.HidD_GetFeature(device.handle, report, static_cast<ULONG>(bytes));
    }

    HidDeviceHandle device;

private:
    const HidFunctions& hid;
};

} // namespace

bool HidDeviceTable::IsComplete() const { return api.IsComplete(); }

bool HidDeviceTable::Enumerate(uint16_t vendorId, uint16_t productId, std::vector<ListedDevice>& devices) const
{
    std::vector<std::string> paths;
    if (!EnumerateHidInterfaces(api.setup, api.hid, paths))
        return false;
    for (const std::string& path : paths) {
        // Only an opened interface tells its ids here.
        HidDeviceHandle device(api.hid);
        if (!device.Open(path.c_str()))
            continue;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (!api.hid.HidD_GetAttributes(device.handle, &attributes) || attributes.VendorID != vendorId ||
            attributes.ProductID != productId)
            continue;
        WCHAR product[PRODUCT_STRING_BYTES / sizeof(WCHAR)] = {};
        if (!api.hid.HidD_GetProductString(device.handle, product, PRODUCT_STRING_BYTES))
            continue;
        // The driver's buffer need not be terminated: nothing past it is read.
        size_t length = 0;
        while (length < sizeof product / sizeof product[0] && product[length] != 0)
            ++length;
        devices.push_back(ListedDevice{path, std::u16string(product, product + length), nullptr});
    }
    return true;
}

std::unique_ptr<DeviceChannel> HidDeviceTable::Open(ListedDevice& listed) const
{
    auto channel = std::make_unique<HidChannel>(api.hid);
    if (!channel->device.Open(listed.path.c_str()))
        return nullptr;
    return channel;
}

} // namespace HIDUSBKEY
