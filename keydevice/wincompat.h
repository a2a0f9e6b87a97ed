// Native (non-Windows) stand-ins for the Windows types and kernel calls that
// the key-device layer uses. Only what the layer needs, with the Windows
// x86_64 layout, so that the same code and the same simulated devices work
// on both sides.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint16_t USHORT;
typedef int BOOL;
typedef unsigned char BOOLEAN;
typedef char CHAR;
typedef char16_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef uintptr_t ULONG_PTR;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HWND;
typedef void* HDEVINFO;
typedef void (*FARPROC)(void);

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_INVALID_USER_BUFFER 1784u

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};

// Share mode 0 is exclusive across processes (an advisory lock that every
// opener through this layer takes), as on Windows.
HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);
DWORD GetLastError();
void SetLastError(DWORD error);

// "hid.dll" and "SETUPAPI.DLL" resolve to the shared objects "hid.dll.so"
// and "setupapi.dll.so", found on the dynamic loader's search path.
HMODULE LoadLibraryW(LPCWSTR name);
FARPROC GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// The file descriptor behind a handle from CreateFileA, for the simulated
// device providers; -1 for anything else.
int CompatHandleToFd(HANDLE handle);
// The handle a descriptor opened elsewhere (by a provider) would have.
HANDLE CompatHandleFromFd(int fd);
