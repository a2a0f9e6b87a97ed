// tallykeysetup: the one-dialog installer. It carries tallykey.dll and
// nptallykey.dll as resources, writes them into the system directory, has
// regsvr32 register or unregister the control, and adds or removes the
// browsers' plug-in key. For current browsers it also installs the native
// host tallykey-host.exe under Program Files with its two manifests and
// registers it with Chrome, Edge and Firefox. Its texts are GBK (code page
// 936) for the ANSI calls.
#include <windows.h>
#include <shlobj.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <algorithm>
#include <string>
#include <vector>

#include "manifest.h"
#include "setupids.h"

namespace {

// GBK texts, written as bytes so the source stays ASCII.
// "请关闭您的IE浏览器，再进行安装操作！" and its FireFox and Chrome forms
const char TEXT_CLOSE_IE[] = "\xC7\xEB\xB9\xD8\xB1\xD5\xC4\xFA\xB5\xC4" "IE"
                             "\xE4\xAF\xC0\xC0\xC6\xF7\xA3\xAC\xD4\xD9\xBD\xF8\xD0\xD0\xB0\xB2\xD7\xB0\xB2\xD9\xD7\xF7\xA3\xA1";
const char TEXT_CLOSE_FIREFOX[] = "\xC7\xEB\xB9\xD8\xB1\xD5\xC4\xFA\xB5\xC4" "FireFox"
                                  "\xE4\xAF\xC0\xC0\xC6\xF7\xA3\xAC\xD4\xD9\xBD\xF8\xD0\xD0\xB0\xB2\xD7\xB0\xB2\xD9\xD7\xF7\xA3\xA1";
const char TEXT_CLOSE_CHROME[] = "\xC7\xEB\xB9\xD8\xB1\xD5\xC4\xFA\xB5\xC4" "Chrome"
                                 "\xE4\xAF\xC0\xC0\xC6\xF7\xA3\xAC\xD4\xD9\xBD\xF8\xD0\xD0\xB0\xB2\xD7\xB0\xB2\xD9\xD7\xF7\xA3\xA1";
const char CAPTION_CANNOT_GO_ON[] = "\xB0\xB2\xD7\xB0\xCE\xDE\xB7\xA8\xBC\xCC\xD0\xF8";  // "安装无法继续"
const char TEXT_INSTALLED[] = "\xB0\xB2\xD7\xB0\xB3\xC9\xB9\xA6!";                      // "安装成功!"
const char TEXT_UNINSTALLED[] = "\xD0\xB6\xD4\xD8\xB3\xC9\xB9\xA6!";                    // "卸载成功!"

const char CONTROL_FILE[] = "tallykey.dll";
const char PLUGIN_FILE[] = "nptallykey.dll";
const char PLUGIN_KEY[] = "SOFTWARE\\MozillaPlugins\\@bhrbkey.cn/tallykeyplugin";
const char CONTROL_CLASS_KEY[] = "SOFTWARE\\Classes\\CLSID\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}";
// The native host: its folder under the Program Files folder this process
// sees (Program Files (x86) for the 32-bit installer on 64-bit Windows,
// whose registry keys land in the 32-bit view as well), so that both
// architectures install side by side.
const wchar_t HOST_FOLDER[] = L"\\Tallykey";
const wchar_t HOST_FILE[] = L"\\tallykey-host.exe";
struct HostManifest {
    const wchar_t* file;
    bool firefox;
};
const HostManifest CHROMIUM_MANIFEST = {L"\\tallykey-chromium.json", false};
const HostManifest FIREFOX_MANIFEST = {L"\\tallykey-firefox.json", true};
const HostManifest* const HOST_MANIFESTS[] = {&CHROMIUM_MANIFEST, &FIREFOX_MANIFEST};
// Where each browser looks for the host, and the manifest the key names.
struct BrowserKey {
    const char* folder;
    const HostManifest& manifest;
};
const BrowserKey BROWSER_KEYS[] = {{"SOFTWARE\\Google\\Chrome\\NativeMessagingHosts", CHROMIUM_MANIFEST},
                                   {"SOFTWARE\\Microsoft\\Edge\\NativeMessagingHosts", CHROMIUM_MANIFEST},
                                   {"SOFTWARE\\Mozilla\\NativeMessagingHosts", FIREFOX_MANIFEST}};
// The keys above whose parents the installer may have to make. Those it made
// are listed under RECORD_KEY, so that uninstalling removes them once empty
// and never one that was there before, such as a real browser's own
// Google\Chrome.
const char RECORD_KEY[] = "SOFTWARE\\Tallykey";
const char MADE_KEYS_VALUE[] = "MadeKeys";
// How long regsvr32 may take before we stop waiting for it.
const DWORD REGISTRATION_WAIT_MS = 30000;

HINSTANCE instance;
DWORD lastError;

void Status(HWND dialog, const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    SetDlgItemTextA(dialog, IDC_STATUS, text);
}

// An open browser window blocks both actions.
bool BrowserOpen(HWND dialog)
{
    const char* text = nullptr;
    if (FindWindowA("IEFrame", nullptr))
        text = TEXT_CLOSE_IE;
    else if (FindWindowA("MozillaWindowClass", nullptr))
        text = TEXT_CLOSE_FIREFOX;
    else if (FindWindowA("Chrome_WidgetWin_0", nullptr))
        text = TEXT_CLOSE_CHROME;
    if (text == nullptr)
        return false;
    MessageBoxA(dialog, text, CAPTION_CANNOT_GO_ON, MB_OK | MB_ICONINFORMATION);
    return true;
}

// "<system directory>\<name>", or false with lastError set.
bool SystemPath(const char* name, char (&path)[MAX_PATH])
{
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        lastError = length == 0 ? GetLastError() : ERROR_BUFFER_OVERFLOW;
        return false;
    }
    if (lstrlenA(path) + 1 + lstrlenA(name) >= MAX_PATH) {
        lastError = ERROR_BUFFER_OVERFLOW;
        return false;
    }
    lstrcatA(path, "\\");
    lstrcatA(path, name);
    return true;
}

// Writes all bytes into a newly created (or replaced) file.
bool WriteWholeFile(HANDLE file, const void* bytes, DWORD size)
{
    if (file == INVALID_HANDLE_VALUE) {
        lastError = GetLastError();
        return false;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes, size, &written, nullptr);
    lastError = GetLastError();
    // A write that "succeeded" short leaves no error code of its own: the
    // disk had no room for the rest.
    if (ok && written != size)
        lastError = ERROR_HANDLE_DISK_FULL;
    CloseHandle(file);
    return ok && written == size;
}

bool FileResource(int id, const void*& bytes, DWORD& size)
{
    HRSRC resource = FindResourceA(instance, MAKEINTRESOURCEA(id), "FILE");
    HGLOBAL loaded = resource ? LoadResource(instance, resource) : nullptr;
    bytes = loaded ? LockResource(loaded) : nullptr;
    size = resource ? SizeofResource(instance, resource) : 0;
    if (bytes == nullptr || size == 0) {
        lastError = GetLastError();
        return false;
    }
    return true;
}

bool WriteResourceFile(int id, const char* name)
{
    char path[MAX_PATH];
    const void* bytes;
    DWORD size;
    if (!SystemPath(name, path) || !FileResource(id, bytes, size))
        return false;
    return WriteWholeFile(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr),
                          bytes, size);
}

HANDLE CreateNewFile(const std::wstring& path)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// "<Program Files>\Tallykey", or false with lastError set.
bool HostFolder(std::wstring& folder)
{
    wchar_t programFiles[MAX_PATH];
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_PROGRAM_FILES, nullptr, SHGFP_TYPE_CURRENT, programFiles);
    if (FAILED(result)) {
        lastError = HRESULT_CODE(result);
        return false;
    }
    folder = std::wstring(programFiles) + HOST_FOLDER;
    return true;
}

// A manifest names the host by its path in UTF-8.
std::string Utf8(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1)
        return std::string();
    std::string converted(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &converted[0], bytes, nullptr, nullptr);
    converted.resize(static_cast<size_t>(bytes - 1));
    return converted;
}

std::string BrowserKeyPath(const BrowserKey& browser)
{
    return std::string(browser.folder) + "\\" + NATIVEHOST::HOST_NAME;
}

// The host, its manifests beside it, and a key per browser naming the
// manifest it reads. Installing again replaces them all.
bool InstallHost()
{
    std::wstring folder;
    if (!HostFolder(folder))
        return false;
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        lastError = GetLastError();
        return false;
    }
    const std::wstring host = folder + HOST_FILE;
    const void* bytes;
    DWORD size;
    if (!FileResource(IDR_HOST_FILE, bytes, size) || !WriteWholeFile(CreateNewFile(host), bytes, size))
        return false;
    for (const HostManifest* manifest : HOST_MANIFESTS) {
        const std::string text = NATIVEHOST::ManifestText(Utf8(host), manifest->firefox);
        if (!WriteWholeFile(CreateNewFile(folder + manifest->file), text.data(), static_cast<DWORD>(text.size())))
            return false;
    }
    for (const BrowserKey& browser : BROWSER_KEYS) {
        const std::wstring manifest = folder + browser.manifest.file;
        HKEY key;
        LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, BrowserKeyPath(browser).c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
        if (result == ERROR_SUCCESS) {
            result = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(manifest.c_str()),
                                    static_cast<DWORD>((manifest.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(key);
        }
        if (result != ERROR_SUCCESS) {
            lastError = static_cast<DWORD>(result);
            return false;
        }
    }
    lastError = ERROR_SUCCESS;
    return true;
}

// What is already gone needs no removing: an installation from before the
// host was carried uninstalls cleanly.
bool Gone(DWORD error) { return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// A key the installer made, once it holds nothing else.
void RemoveIfEmpty(const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD subkeys = 1, values = 1;
    LONG result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                                   nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (result == ERROR_SUCCESS && subkeys == 0 && values == 0)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

bool KeyExists(const std::string& path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The keys an earlier installation recorded as its own; recorded is false
// when there is no record (nothing installed, or an installer from before
// the record was kept).
std::vector<std::string> ReadMadeKeys(bool& recorded)
{
    std::vector<std::string> made;
    recorded = false;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return made;
    DWORD type = 0, bytes = 0;
    LONG result = RegQueryValueExA(key, MADE_KEYS_VALUE, nullptr, &type, nullptr, &bytes);
    std::vector<char> data;
    if (result == ERROR_SUCCESS && type == REG_MULTI_SZ && bytes <= 64 * 1024) {
        // Two zeros past what the value can fill end the walk below inside
        // the buffer, whatever the value holds.
        data.resize(bytes + 2, '\0');
        result = RegQueryValueExA(key, MADE_KEYS_VALUE, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes);
        recorded = result == ERROR_SUCCESS && type == REG_MULTI_SZ;
    }
    RegCloseKey(key);
    if (!recorded)
        return made;
    for (const char* entry = data.data(); *entry != '\0'; entry += std::strlen(entry) + 1)
        made.emplace_back(entry);
    return made;
}

LONG WriteMadeKeys(const std::vector<std::string>& made)
{
    std::string data;
    for (const std::string& path : made)
        data += path + '\0';
    data += '\0';
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                  nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegSetValueExA(key, MADE_KEYS_VALUE, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                            static_cast<DWORD>(data.size()));
    RegCloseKey(key);
    return result;
}

// Before any key is written: every parent of the installer's keys that is
// missing now is one it is about to make, added to what earlier
// installations made (still there, so no longer missing).
bool RecordMadeKeys()
{
    bool recorded;
    std::vector<std::string> made = ReadMadeKeys(recorded);
    std::vector<std::string> keys{PLUGIN_KEY};
    for (const BrowserKey& browser : BROWSER_KEYS)
        keys.push_back(BrowserKeyPath(browser));
    for (const std::string& key : keys) {
        // Every parent below SOFTWARE, the key itself excluded.
        for (size_t end = key.find('\\', key.find('\\') + 1); end != std::string::npos;
             end = key.find('\\', end + 1)) {
            const std::string parent = key.substr(0, end);
            if (std::find(made.begin(), made.end(), parent) == made.end() && !KeyExists(parent))
                made.push_back(parent);
        }
    }
    lastError = static_cast<DWORD>(WriteMadeKeys(made));
    return lastError == ERROR_SUCCESS;
}

// The parents the installer made, deepest first, once empty; then the
// record. Without a record only the browsers' host folders are looked at,
// as installers before the record did.
void RemoveMadeKeys()
{
    bool recorded;
    std::vector<std::string> made = ReadMadeKeys(recorded);
    if (!recorded)
        for (const BrowserKey& browser : BROWSER_KEYS)
            made.emplace_back(browser.folder);
    std::sort(made.begin(), made.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& path : made)
        RemoveIfEmpty(path);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, RECORD_KEY, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, MADE_KEYS_VALUE);
        RegCloseKey(key);
    }
    RemoveIfEmpty(RECORD_KEY);
}

// Every piece is attempted; each failure is shown with its own code.
bool UninstallHost(HWND dialog)
{
    bool failed = false;
    auto report = [&](DWORD error) {
        if (Gone(error))
            return;
        lastError = error;
        Status(dialog, "Uninstall failed! error = %d.", static_cast<int>(lastError));
        failed = true;
    };
    for (const BrowserKey& browser : BROWSER_KEYS) {
        report(static_cast<DWORD>(RegDeleteKeyA(HKEY_LOCAL_MACHINE, BrowserKeyPath(browser).c_str())));
    }
    std::wstring folder;
    if (!HostFolder(folder)) {
        report(lastError);
        return !failed;
    }
    for (const HostManifest* manifest : HOST_MANIFESTS)
        report(DeleteFileW((folder + manifest->file).c_str()) ? ERROR_SUCCESS : GetLastError());
    report(DeleteFileW((folder + HOST_FILE).c_str()) ? ERROR_SUCCESS : GetLastError());
    // After a failure the folder stays (a file may be left in it), so that
    // the status line keeps that failure's own code.
    if (!failed)
        report(RemoveDirectoryW(folder.c_str()) ? ERROR_SUCCESS : GetLastError());
    return !failed;
}

// Closes a started process's handles on every way out.
struct ProcessHandles {
    PROCESS_INFORMATION info;
    ~ProcessHandles()
    {
        if (info.hThread)
            CloseHandle(info.hThread);
        if (info.hProcess)
            CloseHandle(info.hProcess);
    }
};

// Runs regsvr32 on tallykey.dll in the system directory and waits for it
// (bounded). The exit code is handed back (WAIT_TIMEOUT when it did not end
// in time); lastError holds the failure to start it, wait for it or read
// its exit code.
bool RunRegistrationTool(bool unregister, DWORD& exitCode)
{
    // The system's own tool by its full path: with no application name,
    // CreateProcessA would look in the installer's folder first, where
    // anyone could have put a regsvr32.exe.
    char tool[MAX_PATH];
    if (!SystemPath("regsvr32.exe", tool))
        return false;
    // The tool starts in the system directory, where tallykey.dll was written.
    char directory[MAX_PATH];
    lstrcpynA(directory, tool, MAX_PATH);
    *std::strrchr(directory, '\\') = '\0';
    char command[MAX_PATH];
    lstrcpynA(command, unregister ? "regsvr32 /s /u " : "regsvr32 /s ", MAX_PATH);
    lstrcpynA(command + lstrlenA(command), CONTROL_FILE, MAX_PATH - lstrlenA(command));
    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    ProcessHandles process{};
    if (!CreateProcessA(tool, command, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, directory, &startup,
                        &process.info)) {
        lastError = GetLastError();
        return false;
    }
    // Later steps look at what the tool did to tallykey.dll.
    DWORD waited = WaitForSingleObject(process.info.hProcess, REGISTRATION_WAIT_MS);
    if (waited == WAIT_TIMEOUT) {
        exitCode = WAIT_TIMEOUT;
    } else if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process.info.hProcess, &exitCode)) {
        lastError = GetLastError();
        return false;
    }
    lastError = ERROR_SUCCESS;
    return true;
}

bool ControlRegistered()
{
    HKEY key;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, CONTROL_CLASS_KEY, 0, KEY_READ, &key);
    lastError = static_cast<DWORD>(result);
    if (result != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

bool RegisterPlugin()
{
    char path[MAX_PATH];
    if (!SystemPath(PLUGIN_FILE, path))
        return false;
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, PLUGIN_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                  nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) {
        lastError = static_cast<DWORD>(result);
        return false;
    }
    // A value that was not written is a failed step, not a success.
    result = RegSetValueExA(key, "Path", 0, REG_SZ, reinterpret_cast<const BYTE*>(path),
                            static_cast<DWORD>(lstrlenA(path) + 1));
    RegCloseKey(key);
    lastError = static_cast<DWORD>(result);
    return result == ERROR_SUCCESS;
}

void Install(HWND dialog)
{
    if (BrowserOpen(dialog))
        return;
    if (!WriteResourceFile(IDR_CONTROL_FILE, CONTROL_FILE) || !WriteResourceFile(IDR_PLUGIN_FILE, PLUGIN_FILE)) {
        Status(dialog, "Copy file failed! error = %d.", static_cast<int>(lastError));
        return;
    }
    DWORD exitCode = 0;
    bool ok = RunRegistrationTool(false, exitCode);
    if (ok && exitCode != 0) {
        lastError = exitCode;  // regsvr32's own failure code
        ok = false;
    }
    ok = ok && ControlRegistered() && RecordMadeKeys() && RegisterPlugin() && InstallHost();
    if (!ok) {
        Status(dialog, "Register failed! error = %d.", static_cast<int>(lastError));
        return;
    }
    Status(dialog, "%s", TEXT_INSTALLED);
}

void Uninstall(HWND dialog)
{
    if (BrowserOpen(dialog))
        return;
    bool failed = false;
    DWORD exitCode = 0;  // unregistering what is not there is no failure
    if (!RunRegistrationTool(true, exitCode)) {
        Status(dialog, "Uninstall failed! error = %d.", static_cast<int>(lastError));
        failed = true;
    }
    LONG result = RegDeleteKeyA(HKEY_LOCAL_MACHINE, PLUGIN_KEY);
    lastError = static_cast<DWORD>(result);
    if (result != ERROR_SUCCESS) {
        Status(dialog, "Uninstall failed! error = %d.", static_cast<int>(lastError));
        failed = true;
    }
    for (const char* name : {CONTROL_FILE, PLUGIN_FILE}) {
        char path[MAX_PATH];
        bool removed = SystemPath(name, path);
        if (removed && !DeleteFileA(path)) {
            lastError = GetLastError();
            removed = false;
        }
        if (!removed) {
            Status(dialog, "Remove file failed! error = %d.", static_cast<int>(lastError));
            failed = true;
        }
    }
    if (!UninstallHost(dialog))
        failed = true;
    RemoveMadeKeys();
    if (!failed)
        Status(dialog, "%s", TEXT_UNINSTALLED);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message != WM_COMMAND)
        return FALSE;
    switch (LOWORD(wParam)) {
    case IDOK:
        Install(dialog);
        return TRUE;
    case IDC_UNINSTALL:
        Uninstall(dialog);
        return TRUE;
    case IDCANCEL:
        if (IsWindowEnabled(GetDlgItem(dialog, IDCANCEL)))
            EndDialog(dialog, IDCANCEL);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

int WINAPI WinMain(HINSTANCE module, HINSTANCE, LPSTR, int)
{
    instance = module;
    DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_SETUP), nullptr, DialogProc, 0);
    return 0;
}
