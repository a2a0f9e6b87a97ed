// setupdriver: drives the installer's dialog from another process, as a
// user would: waits for it, presses its buttons or keys, reads the status
// line and message boxes (printed as UTF-8).
//
//   setupdriver wait | click ID | box ID | key return|escape | status | gone
//   setupdriver show                  brings the dialog to the front and
//                                     prints its window's and its client
//                                     area's places: X Y WIDTH HEIGHT
//                                     CLIENT_WIDTH CLIENT_HEIGHT
//   setupdriver volatile-key SUBKEY   creates HKLM\SUBKEY (in this program's
//                                     registry view) as a volatile key: no
//                                     lasting key can be created under it
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const wchar_t DIALOG_CAPTION[] = L"\u6674\u6e2f\u536b\u58eb\u63a7\u4ef6\u5b89\u88c5";  // 晴港卫士控件安装
const wchar_t BOX_CAPTION[] = L"\u5b89\u88c5\u65e0\u6cd5\u7ee7\u7eed";                 // 安装无法继续

HWND WaitFor(const wchar_t* caption, int milliseconds)
{
    for (int waited = 0; waited < milliseconds; waited += 50) {
        if (HWND window = FindWindowW(L"#32770", caption))
            return window;
        Sleep(50);
    }
    return nullptr;
}

std::string Utf8(const wchar_t* text)
{
    char out[4096];
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return length > 0 ? std::string(out) : std::string();
}

std::string TextOf(HWND window)
{
    wchar_t text[1024] = {};
    SendMessageW(window, WM_GETTEXT, sizeof text / sizeof text[0], reinterpret_cast<LPARAM>(text));
    return Utf8(text);
}

int Fail(const char* what)
{
    std::printf("error: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Fail("usage: setupdriver wait | click ID | box ID | key return|escape | status | gone");
    std::string command = argv[1];
    if (command == "volatile-key" && argc > 2) {
        HKEY key;
        LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, argv[2], 0, nullptr, REG_OPTION_VOLATILE, KEY_WRITE,
                                      nullptr, &key, nullptr);
        if (result != ERROR_SUCCESS)
            return Fail("cannot create the volatile key");
        RegCloseKey(key);
        std::printf("created\n");
        return 0;
    }
    HWND dialog = WaitFor(DIALOG_CAPTION, command == "wait" ? 20000 : 5000);
    if (command == "gone") {
        for (int waited = 0; waited < 10000 && FindWindowW(L"#32770", DIALOG_CAPTION); waited += 50)
            Sleep(50);
        std::printf("%s\n", FindWindowW(L"#32770", DIALOG_CAPTION) ? "open" : "closed");
        return 0;
    }
    if (dialog == nullptr)
        return Fail("no installer dialog");
    if (command == "wait") {
        std::printf("ready\n");
    } else if (command == "status") {
        std::printf("%s\n", TextOf(GetDlgItem(dialog, 1000)).c_str());
    } else if (command == "show") {
        // Active, as a user who just clicked it sees it; painted before the
        // caller takes a picture.
        SetForegroundWindow(dialog);
        // Without a window manager nothing gives the dialog its active
        // caption when another process asks; it is told to draw one.
        SendMessageW(dialog, WM_NCACTIVATE, TRUE, 0);
        RedrawWindow(dialog, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_UPDATENOW | RDW_ALLCHILDREN);
        Sleep(200);
        RECT window{}, client{};
        GetWindowRect(dialog, &window);
        GetClientRect(dialog, &client);
        std::printf("%ld %ld %ld %ld %ld %ld\n", window.left, window.top, window.right - window.left,
                    window.bottom - window.top, client.right, client.bottom);
    } else if (command == "click" && argc > 2) {
        // Sent, so the action has finished when this returns.
        int id = std::atoi(argv[2]);
        DWORD_PTR answer = 0;
        if (!SendMessageTimeoutW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)), SMTO_NORMAL, 90000, &answer))
            return Fail("the dialog did not answer");
        // Every action leaves a status; an empty read (seen once in CI,
        // under load) is read again rather than reported as the status.
        std::string status = TextOf(GetDlgItem(dialog, 1000));
        for (int tries = 0; status.empty() && tries < 10; ++tries) {
            Sleep(100);
            status = TextOf(GetDlgItem(dialog, 1000));
        }
        std::printf("%s\n", status.c_str());
    } else if (command == "box" && argc > 2) {
        // The action stops in a message box: read it and press its OK.
        int id = std::atoi(argv[2]);
        PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
        HWND box = WaitFor(BOX_CAPTION, 10000);
        if (box == nullptr)
            return Fail("no message box");
        HWND text = FindWindowExW(box, nullptr, L"Static", nullptr);
        std::string message;
        while (text) {
            std::string part = TextOf(text);
            if (!part.empty())
                message = part;
            text = FindWindowExW(box, text, L"Static", nullptr);
        }
        std::printf("%s\n", message.c_str());
        SendMessageW(box, WM_COMMAND, IDOK, 0);
    } else if (command == "key" && argc > 2) {
        // Keys go to the control that has the focus, as typing would.
        DWORD thread = GetWindowThreadProcessId(dialog, nullptr);
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(thread, &info);
        HWND target = info.hwndFocus ? info.hwndFocus : dialog;
        WPARAM key = std::strcmp(argv[2], "escape") == 0 ? VK_ESCAPE : VK_RETURN;
        PostMessageW(target, WM_KEYDOWN, key, 1);
        PostMessageW(target, WM_KEYUP, key, 0xC0000001);
        std::printf("sent\n");
    } else {
        return Fail("unknown command");
    }
    return 0;
}
