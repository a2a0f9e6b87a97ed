// The simulated setupapi.dll: the four SetupDi* entry points that enumerate
// HID interfaces, over the device files of the simulated devices. On Windows
// everything that is not ours (other exports, other device classes, sets we
// did not create) goes to the system's own setupapi, whose copy sits beside
// us as setupapi_wine.dll: user32 and gdi32 use setupapi too.
#ifdef _WIN32
// setupapi.h declares these four as imports; ours are definitions.
#define SetupDiDestroyDeviceInfoList SetupApi_SetupDiDestroyDeviceInfoList
#define SetupDiGetClassDevsA SetupApi_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces SetupApi_SetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA SetupApi_SetupDiGetDeviceInterfaceDetailA
#include <windows.h>
#include <setupapi.h>
#undef SetupDiDestroyDeviceInfoList
#undef SetupDiGetClassDevsA
#undef SetupDiEnumDeviceInterfaces
#undef SetupDiGetDeviceInterfaceDetailA
#endif

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "deviceio.h"
#include "provider.h"

using namespace SIMKEY;

namespace {

struct DeviceSet {
    std::vector<std::string> paths;
};

// The sets we handed out; anything else belongs to the system's setupapi.
class SetRegistry {
public:
    void Add(DeviceSet* set)
    {
        Lock();
        sets.push_back(set);
        Unlock();
    }
    bool Remove(DeviceSet* set)
    {
        Lock();
        bool found = false;
        for (size_t i = 0; i < sets.size(); ++i) {
            if (sets[i] == set) {
                sets.erase(sets.begin() + static_cast<std::ptrdiff_t>(i));
                found = true;
                break;
            }
        }
        Unlock();
        return found;
    }
    DeviceSet* Find(HDEVINFO handle)
    {
        Lock();
        DeviceSet* found = nullptr;
        for (DeviceSet* set : sets) {
            if (set == handle)
                found = set;
        }
        Unlock();
        return found;
    }

private:
    void Lock()
    {
        while (busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    void Unlock() { busy.clear(std::memory_order_release); }

    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::vector<DeviceSet*> sets;
};

SetRegistry& Registry()
{
    static SetRegistry registry;
    return registry;
}

bool IsHidGuid(const GUID* guid) { return guid && std::memcmp(guid, &HID_INTERFACE_GUID, sizeof(GUID)) == 0; }

#ifdef _WIN32
template <typename Function>
Function SystemEntry(const char* name)
{
    // Loaded once and kept for the life of the process, like the system's own.
    static HMODULE system = LoadLibraryW(L"setupapi_wine.dll");
    return system ? reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(system, name))) : nullptr;
}
#define FORWARD(name, failure, ...)                                                                        \
    do {                                                                                                   \
        auto entry = SystemEntry<decltype(&name)>(#name);                                                  \
        if (entry)                                                                                         \
            return entry(__VA_ARGS__);                                                                     \
        SetLastError(ERROR_INVALID_HANDLE);                                                                \
        return failure;                                                                                    \
    } while (0)
#else
template <typename... Args> void Unused(const Args&...) {}
#define FORWARD(name, failure, ...)                                                                        \
    do {                                                                                                   \
        Unused(__VA_ARGS__);                                                                               \
        SetLastError(ERROR_INVALID_HANDLE);                                                                \
        return failure;                                                                                    \
    } while (0)
#endif

} // namespace

SIM_EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle);
SIM_EXPORT HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* guid, const char* enumerator, HWND parent, DWORD flags);
SIM_EXPORT BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, SP_DEVINFO_DATA* info, const GUID* guid,
                                                   DWORD index, SP_DEVICE_INTERFACE_DATA* data);
SIM_EXPORT BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, SP_DEVICE_INTERFACE_DATA* data,
                                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailBytes,
                                                        DWORD* requiredBytes, SP_DEVINFO_DATA* info);

SIM_EXPORT BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO handle)
{
    DeviceSet* set = Registry().Find(handle);
    if (set == nullptr)
        FORWARD(SetupDiDestroyDeviceInfoList, FALSE, handle);
    Registry().Remove(set);
    delete set;
    return TRUE;
}

SIM_EXPORT HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* guid, const char* enumerator, HWND parent, DWORD flags)
{
    if (!IsHidGuid(guid) || enumerator != nullptr || !(flags & DIGCF_DEVICEINTERFACE))
        FORWARD(SetupDiGetClassDevsA, INVALID_HANDLE_VALUE, guid, enumerator, parent, flags);
    DeviceSet* set = new (std::nothrow) DeviceSet;
    if (set == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    try {
        set->paths = ListDevicePaths();
        Registry().Add(set);
    } catch (const std::bad_alloc&) {
        delete set;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return set;
}

SIM_EXPORT BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO handle, SP_DEVINFO_DATA* info, const GUID* guid,
                                                   DWORD index, SP_DEVICE_INTERFACE_DATA* data)
{
    DeviceSet* set = Registry().Find(handle);
    if (set == nullptr)
        FORWARD(SetupDiEnumDeviceInterfaces, FALSE, handle, info, guid, index, data);
    if (info != nullptr || !IsHidGuid(guid)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return HIDUSBKEY::AnswerInterface(index, set->paths.size(), data);
}

SIM_EXPORT BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, SP_DEVICE_INTERFACE_DATA* data,
                                                        SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailBytes,
                                                        DWORD* requiredBytes, SP_DEVINFO_DATA* info)
{
    DeviceSet* set = Registry().Find(handle);
    if (set == nullptr)
        FORWARD(SetupDiGetDeviceInterfaceDetailA, FALSE, handle, data, detail, detailBytes, requiredBytes, info);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->paths.size() || (detail == nullptr && detailBytes != 0)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    return HIDUSBKEY::AnswerInterfaceDetail(set->paths[data->Reserved - 1], detail, detailBytes, requiredBytes);
}
