#include "wincompat.h"

#include <cerrno>
#include <ctime>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#ifdef __EMSCRIPTEN__
#include <emscripten.h>
#endif

namespace {

DWORD ErrorFromErrno(int err)
{
    switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES: case EPERM: return ERROR_ACCESS_DENIED;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    default: return ERROR_INVALID_PARAMETER;
    }
}

} // namespace

// Handles carry fd + 1, so that descriptor 0 is never mistaken for a null handle.
HANDLE CompatHandleFromFd(int fd) { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(fd) + 1); }

int CompatHandleToFd(HANDLE handle)
{
    intptr_t value = reinterpret_cast<intptr_t>(handle);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || value <= 0 || value > 0x7fffffff)
        return -1;
    return static_cast<int>(value - 1);
}

HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void*, DWORD disposition, DWORD, HANDLE)
{
    if (path == nullptr || disposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    int mode = O_RDONLY;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        mode = O_RDWR;
    else if (access & GENERIC_WRITE)
        mode = O_WRONLY;
    int fd = open(path, mode | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ErrorFromErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    int lock = shareMode == 0 ? LOCK_EX : LOCK_SH;
    if (flock(fd, lock | LOCK_NB) != 0) {
        DWORD error = ErrorFromErrno(errno);
        close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return CompatHandleFromFd(fd);
}

BOOL CloseHandle(HANDLE handle)
{
    int fd = CompatHandleToFd(handle);
    if (fd < 0 || close(fd) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
#ifdef __EMSCRIPTEN__
    // In a page: the key's waits give the browser back its thread (Asyncify
    // unwinds the call and resumes it from a timer).
    emscripten_sleep(milliseconds);
#else
    timespec rest{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
#endif
}

// The last error lives in errno: like kernel32's on Windows it is per thread
// and shared by every module of the process, so that an error set inside a
// provider library is the one the product reads.
DWORD GetLastError() { return static_cast<DWORD>(errno); }
void SetLastError(DWORD error) { errno = static_cast<int>(error); }

HMODULE LoadLibraryW(LPCWSTR name)
{
    if (name == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string file;
    for (const WCHAR* c = name; *c; ++c) {
        if (*c > 0x7f) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        char ch = static_cast<char>(*c);
        file += (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch - 'A' + 'a') : ch;
    }
    file += ".so";
    void* module = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr)
        SetLastError(ERROR_MOD_NOT_FOUND);
    return module;
}

FARPROC GetProcAddress(HMODULE module, const char* name)
{
    if (module == nullptr || name == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    void* symbol = dlsym(module, name);
    if (symbol == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

BOOL FreeLibrary(HMODULE module)
{
    return module != nullptr && dlclose(module) == 0 ? TRUE : FALSE;
}
