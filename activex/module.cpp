#include "module.h"

#include <new>
#include <string>
#include <vector>

#include "usbkey.h"

namespace {

HINSTANCE instance;
volatile LONG lockCount;
CRITICAL_SECTION typeInfoLock;     // the type information and the clean-up list
CRITICAL_SECTION factoryLock;      // creation of the cached class factory
IUnknown* volatile cachedFactory;  // the one class factory, kept until detach

struct NameEntry {
    std::wstring name;
    DISPID id;
};

struct TypeInfoHolder {
    ITypeInfo* info = nullptr;
    std::vector<NameEntry> names;
};
TypeInfoHolder* holder;

typedef void (*Cleanup)();
std::vector<Cleanup>* cleanups;

void ReleaseTypeInfo()
{
    if (holder) {
        if (holder->info)
            holder->info->Release();
        delete holder;
        holder = nullptr;
    }
}

HRESULT LoadTypeInfo(LCID lcid)
{
    if (holder && holder->info)
        return S_OK;
    HRESULT hr = S_OK;
    EnterCriticalSection(&typeInfoLock);
    if (!(holder && holder->info)) {
        ITypeLib* library = nullptr;
        hr = LoadRegTypeLib(LIBID_TALLYKEYLib, 1, 0, lcid, &library);
        ITypeInfo* info = nullptr;
        if (SUCCEEDED(hr)) {
            hr = library->GetTypeInfoOfGuid(IID_IUsbKey, &info);
            library->Release();
        }
        if (SUCCEEDED(hr)) {
            ITypeInfo2* info2 = nullptr;
            if (SUCCEEDED(info->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(&info2)))) {
                info->Release();
                info = info2;
            }
            TypeInfoHolder* loaded = new (std::nothrow) TypeInfoHolder;
            TYPEATTR* attributes = nullptr;
            if (loaded == nullptr) {
                hr = E_OUTOFMEMORY;
            } else if (SUCCEEDED(hr = info->GetTypeAttr(&attributes))) {
                for (UINT i = 0; i < attributes->cFuncs; ++i) {
                    FUNCDESC* function = nullptr;
                    if (FAILED(info->GetFuncDesc(i, &function)))
                        continue;
                    BSTR name = nullptr;
                    if (SUCCEEDED(info->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr)) && name) {
                        loaded->names.push_back({std::wstring(name, SysStringLen(name)), function->memid});
                        SysFreeString(name);
                    }
                    info->ReleaseFuncDesc(function);
                }
                info->ReleaseTypeAttr(attributes);
            }
            if (SUCCEEDED(hr)) {
                loaded->info = info;
                holder = loaded;
                cleanups->push_back(ReleaseTypeInfo);
            } else {
                delete loaded;
                info->Release();
            }
        }
    }
    LeaveCriticalSection(&typeInfoLock);
    return hr;
}

} // namespace

namespace Module {

void Lock() { InterlockedIncrement(&lockCount); }
void Unlock() { InterlockedDecrement(&lockCount); }
LONG LockCount() { return lockCount; }
HINSTANCE Instance() { return instance; }

HRESULT TypeInfo(LCID lcid, ITypeInfo** info)
{
    HRESULT hr = LoadTypeInfo(lcid);
    if (FAILED(hr))
        return hr;
    holder->info->AddRef();
    *info = holder->info;
    return S_OK;
}

HRESULT IdsOfNames(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids)
{
    HRESULT hr = LoadTypeInfo(lcid);
    if (FAILED(hr))
        return hr;
    for (UINT i = 0; i < count; ++i) {
        bool found = false;
        size_t length = names[i] ? wcslen(names[i]) : 0;
        for (size_t k = holder->names.size(); k-- > 0;) {
            const NameEntry& entry = holder->names[k];
            if (names[i] && entry.name.size() == length && entry.name.compare(0, length, names[i]) == 0) {
                ids[i] = entry.id;
                found = true;
                break;
            }
        }
        if (!found) {
            // The type information matches ignoring case.
            hr = holder->info->GetIDsOfNames(names, count, ids);
            if (FAILED(hr))
                return hr;
        }
    }
    return S_OK;
}

} // namespace Module

namespace {

// IClassFactory for UsbKey. Its own count is interlocked; it never takes module locks.
class CClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&references)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG left = InterlockedDecrement(&references);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr && riid != IID_IUnknown)
            return CLASS_E_NOAGGREGATION;
        return CUsbKey::Create(outer, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            Module::Lock();
        else
            Module::Unlock();
        return S_OK;
    }

private:
    volatile LONG references = 0;
};

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        instance = module;
        lockCount = 0;
        InitializeCriticalSection(&typeInfoLock);
        InitializeCriticalSection(&factoryLock);
        cleanups = new (std::nothrow) std::vector<Cleanup>;
        DisableThreadLibraryCalls(module);
        return cleanups != nullptr;
    }
    if (reason == DLL_PROCESS_DETACH) {
        if (cachedFactory) {
            cachedFactory->Release();
            cachedFactory = nullptr;
        }
        DeleteCriticalSection(&factoryLock);
        DeleteCriticalSection(&typeInfoLock);
        if (cleanups) {
            for (Cleanup cleanup : *cleanups)
                cleanup();
            delete cleanups;
            cleanups = nullptr;
        }
    }
    return TRUE;
}

extern "C" HRESULT WINAPI DllCanUnloadNow() { return Module::LockCount() == 0 ? S_OK : S_FALSE; }

extern "C" HRESULT WINAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_UsbKey)
        return CLASS_E_CLASSNOTAVAILABLE;
    HRESULT hr = S_OK;
    if (cachedFactory == nullptr) {
        EnterCriticalSection(&factoryLock);
        if (cachedFactory == nullptr) {
            CClassFactory* factory = new (std::nothrow) CClassFactory;
            IUnknown* unknown = nullptr;
            if (factory == nullptr)
                hr = E_OUTOFMEMORY;
            else if (FAILED(hr = factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown))))
                delete factory;
            else
                cachedFactory = unknown;
        }
        LeaveCriticalSection(&factoryLock);
    }
    if (cachedFactory)
        hr = cachedFactory->QueryInterface(riid, ppv);
    if (*ppv == nullptr && SUCCEEDED(hr))
        hr = CLASS_E_CLASSNOTAVAILABLE;
    return hr;
}
