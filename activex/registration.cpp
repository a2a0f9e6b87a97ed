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
    RunRegistryScript(false);
    // Wine's registrar removes keys one at a time and leaves a CLSID key that
    // picked up anything foreign; the class key goes with all its subkeys.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, CLSID_KEY);

    ITypeLib* library = nullptr;
    std::string path;
    if (SUCCEEDED(LoadOwnTypeLib(&library, path))) {
        TLIBATTR* attributes = nullptr;
        if (SUCCEEDED(library->GetLibAttr(&attributes))) {
            typedef HRESULT(WINAPI * UnRegisterTypeLibFunc)(REFGUID, WORD, WORD, LCID, SYSKIND);
            HMODULE oleaut = LoadLibraryA("oleaut32.dll");
            if (oleaut) {
                auto unregister = reinterpret_cast<UnRegisterTypeLibFunc>(
                    reinterpret_cast<void (*)()>(GetProcAddress(oleaut, "UnRegisterTypeLib")));
                if (unregister)
                    unregister(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                               attributes->syskind);
                FreeLibrary(oleaut);
            }
            library->ReleaseTLibAttr(attributes);
        }
        library->Release();
    }
    return S_OK;
}
