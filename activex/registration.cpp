// DllRegisterServer and DllUnregisterServer: the registry script (resource
// REGISTRY 101) through the system's registrar component, and the type
// library (resource TYPELIB 1).
#include <windows.h>
#include <oleauto.h>

#include <string>

#include "tallykey_h.h"

// The registrar's interface, declared here as no header of ours has it. Not in
// the anonymous namespace: implemented elsewhere, the compiler must not treat
// it as having no implementation at all.
struct IRegistrar : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE AddReplacement(LPCOLESTR key, LPCOLESTR item) = 0;
    virtual HRESULT STDMETHODCALLTYPE ClearReplacements() = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregisterSz(LPCOLESTR file, LPCOLESTR id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileRegister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE FileUnregister(LPCOLESTR file) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringRegister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE StringUnregister(LPCOLESTR data) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceRegister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
    virtual HRESULT STDMETHODCALLTYPE ResourceUnregister(LPCOLESTR file, UINT id, LPCOLESTR type) = 0;
};

namespace {

const CLSID CLSID_Registrar = {0x44EC053A, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
const IID IID_IRegistrar = {0x44EC053B, 0x400F, 0x11D0, {0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3}};
const UINT REGISTRY_SCRIPT_ID = 101;
const wchar_t CLSID_KEY[] = L"CLSID\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}";
const wchar_t CLSID_SERVER_KEY[] = L"CLSID\\{1A23B247-C9CF-43F5-A7AE-6B1FF4BDB52A}\\InprocServer32";

HMODULE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

// The DLL's full path in the ANSI code page, as the module reports it.
std::string ModulePathAnsi()
{
    char path[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameA(ThisModule(), path, MAX_PATH);
    return std::string(path, length);
}

std::wstring Wide(const std::string& text)
{
    int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (size <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], size);
    wide.resize(static_cast<size_t>(size) - 1);
    return wide;
}

// Keeps COM initialised for the registrar, whoever calls us.
struct ComScope {
    ComScope() : initialised(SUCCEEDED(CoInitialize(nullptr))) {}
    ~ComScope()
    {
        if (initialised)
            CoUninitialize();
    }
    bool initialised;
};

HRESULT RunRegistryScript(bool registering)
{
    IRegistrar* registrar = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar,
                                  reinterpret_cast<void**>(&registrar));
    if (FAILED(hr))
        return hr;
    std::wstring path = Wide(ModulePathAnsi());
    // The script's string literals are quoted with single quotes.
    std::wstring quoted;
    for (wchar_t c : path) {
        quoted += c;
        if (c == L'\'')
            quoted += L'\'';
    }
    hr = registrar->AddReplacement(L"Module", quoted.c_str());
    if (SUCCEEDED(hr)) {
        hr = registering ? registrar->ResourceRegister(path.c_str(), REGISTRY_SCRIPT_ID, L"REGISTRY")
                         : registrar->ResourceUnregister(path.c_str(), REGISTRY_SCRIPT_ID, L"REGISTRY");
    }
    registrar->Release();
    return hr;
}

// The type library from the DLL itself, else from a .tlb beside it.
HRESULT LoadOwnTypeLib(ITypeLib** library, std::string& loadedPath)
{
    loadedPath = ModulePathAnsi();
    HRESULT hr = LoadTypeLib(Wide(loadedPath).c_str(), library);
    if (SUCCEEDED(hr))
        return hr;
    size_t dot = std::string::npos;
    for (const char* c = loadedPath.c_str(); *c; c = CharNextA(c)) {
        if (*c == '.')
            dot = static_cast<size_t>(c - loadedPath.c_str());
    }
    loadedPath = loadedPath.substr(0, dot) + ".tlb";
    return LoadTypeLib(Wide(loadedPath).c_str(), library);
}

// On 64-bit Windows the 32-bit and the 64-bit control each have a class key
// of their own (HKCR\CLSID is per registry view) but share the ProgIDs and
// the type library's keys. True when the other architecture's control is
// registered, so that unregistering this one must leave the shared keys.
bool OtherArchitectureRegistered()
{
#ifdef _WIN64
    const REGSAM otherView = KEY_WOW64_32KEY;
#else
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return false;  // 32-bit Windows has one view only
    const REGSAM otherView = KEY_WOW64_64KEY;
#endif
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, CLSID_SERVER_KEY, 0, KEY_READ | otherView, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Removes this platform's entry of the type library's registration
// (TypeLib\{LIBID}\<major>.<minor>\<lcid>\win32 or win64) and nothing else.
void RemoveOwnTypeLibPlatform(const TLIBATTR& attributes)
{
    wchar_t guid[40] = {};
    if (StringFromGUID2(attributes.guid, guid, 40) == 0)
        return;
    const wchar_t* platform = attributes.syskind == SYS_WIN64 ? L"win64" : L"win32";
    wchar_t key[160] = {};
    if (_snwprintf(key, 159, L"TypeLib\\%ls\\%x.%x\\%lx\\%ls", guid, attributes.wMajorVerNum,
                   attributes.wMinorVerNum, static_cast<unsigned long>(attributes.lcid), platform) < 0)
        return;
    RegDeleteTreeW(HKEY_CLASSES_ROOT, key);
}

// The whole registration of the type library, through oleaut32's own
// UnRegisterTypeLib (looked up by name); every result is ignored.
void UnregisterTypeLibrary(const TLIBATTR& attributes)
{
    typedef HRESULT(WINAPI * UnRegisterTypeLibFunc)(REFGUID, WORD, WORD, LCID, SYSKIND);
    HMODULE oleaut = LoadLibraryA("oleaut32.dll");
    if (!oleaut)
        return;
    auto unregister = reinterpret_cast<UnRegisterTypeLibFunc>(
        reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
    if (unregister)
        unregister(attributes.guid, attributes.wMajorVerNum, attributes.wMinorVerNum, attributes.lcid,
                   attributes.syskind);
    FreeLibrary(oleaut);
}

} // namespace

extern "C" HRESULT WINAPI DllRegisterServer()
{
    ComScope com;
    HRESULT hr = RunRegistryScript(true);
    if (FAILED(hr))
        return hr;
    ITypeLib* library = nullptr;
    std::string path;
    hr = LoadOwnTypeLib(&library, path);
    if (FAILED(hr))
        return hr;
    size_t cut = path.find_last_of("\\/:");
    std::wstring directory = cut == std::string::npos ? std::wstring() : Wide(path.substr(0, cut + 1));
    std::wstring widePath = Wide(path);
    hr = RegisterTypeLib(library, &widePath[0], directory.empty() ? nullptr : &directory[0]);
    library->Release();
    return hr;
}

extern "C" HRESULT WINAPI DllUnregisterServer()
{
    ComScope com;
    const bool sharing = OtherArchitectureRegistered();
    // The registry script would also remove the ProgIDs, which the other
    // architecture's control still needs.
    if (!sharing)
        RunRegistryScript(false);
    // Wine's registrar removes keys one at a time and leaves a CLSID key that
    // picked up anything foreign; the class key goes with all its subkeys.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, CLSID_KEY);

    ITypeLib* library = nullptr;
    std::string path;
    if (SUCCEEDED(LoadOwnTypeLib(&library, path))) {
        TLIBATTR* attributes = nullptr;
        if (SUCCEEDED(library->GetLibAttr(&attributes))) {
            // UnRegisterTypeLib would also remove the interface's keys, which
            // the other control's registration shares.
            if (sharing)
                RemoveOwnTypeLibPlatform(*attributes);
            else
                UnregisterTypeLibrary(*attributes);
            library->ReleaseTLibAttr(attributes);
        }
        library->Release();
    }
    return S_OK;
}
