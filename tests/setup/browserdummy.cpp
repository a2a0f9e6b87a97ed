// browserdummy: stands in for an open browser (top-level windows of the
// given classes) or for a program holding a file open exclusively.
//
//   browserdummy windows READY CLASS...   |   browserdummy hold READY FILE
// Creates READY when in place, then stays for 60 seconds or until killed.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 4)
        return 2;
    HANDLE held = INVALID_HANDLE_VALUE;
    if (std::strcmp(argv[1], "hold") == 0) {
        held = CreateFileA(argv[3], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (held == INVALID_HANDLE_VALUE)
            return 1;
    } else {
        for (int i = 3; i < argc; ++i) {
            WNDCLASSA windowClass{};
            windowClass.lpfnWndProc = DefWindowProcA;
            windowClass.hInstance = GetModuleHandleA(nullptr);
            windowClass.lpszClassName = argv[i];
            RegisterClassA(&windowClass);
            CreateWindowA(argv[i], "dummy", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                          windowClass.hInstance, nullptr);
        }
    }
    if (FILE* ready = std::fopen(argv[2], "wb"))
        std::fclose(ready);
    for (DWORD start = GetTickCount(); GetTickCount() - start < 60000;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
        Sleep(20);
    }
    if (held != INVALID_HANDLE_VALUE)
        CloseHandle(held);
    return 0;
}
