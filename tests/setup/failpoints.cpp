// Failure points for a test build of the installer: the waits for the
// registration tool and its exit code fail as TALLYKEY_TEST_FAIL says
// ("wait-failed", "wait-timeout", "exit-code"), so that the installer's
// handling of them is tested. The calls' import pointers are replaced at
// link time (-Wl,--wrap); the product's installer carries none of this.
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

bool Failing(const char* point)
{
    const char* chosen = std::getenv("TALLYKEY_TEST_FAIL");
    return chosen && std::strcmp(chosen, point) == 0;
}

template <typename F> F Real(const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32.dll"), name)));
}

// The tool is waited for in any case, so that what the installer does next
// does not race it; only the answer is the failure's.
DWORD WINAPI Wait(HANDLE handle, DWORD ms)
{
    DWORD waited = Real<DWORD(WINAPI*)(HANDLE, DWORD)>("WaitForSingleObject")(handle, ms);
    if (Failing("wait-failed")) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return Failing("wait-timeout") ? WAIT_TIMEOUT : waited;
}

BOOL WINAPI ExitCode(HANDLE process, LPDWORD code)
{
    if (Failing("exit-code")) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return Real<BOOL(WINAPI*)(HANDLE, LPDWORD)>("GetExitCodeProcess")(process, code);
}

} // namespace

// The replaced import pointers, named as each architecture's linker wants.
#ifdef _WIN64
extern "C" {
DWORD(WINAPI* __wrap___imp_WaitForSingleObject)(HANDLE, DWORD) = Wait;
BOOL(WINAPI* __wrap___imp_GetExitCodeProcess)(HANDLE, LPDWORD) = ExitCode;
}
#else
extern "C" DWORD(WINAPI* wrappedWait)(HANDLE, DWORD) __asm__("___wrap__imp__WaitForSingleObject@8");
extern "C" BOOL(WINAPI* wrappedExitCode)(HANDLE, LPDWORD) __asm__("___wrap__imp__GetExitCodeProcess@8");
DWORD(WINAPI* wrappedWait)(HANDLE, DWORD) = Wait;
BOOL(WINAPI* wrappedExitCode)(HANDLE, LPDWORD) = ExitCode;
#endif
