#include "module.h"

#include <memory>
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

// Held for a scope: every return and exception leaves the section.
class SectionLock {
public:
    explicit SectionLock(CRITICAL_SECTION& section) : section(section) { EnterCriticalSection(&section); }
    ~SectionLock() { LeaveCriticalSection(&section); }
    SectionLock(const SectionLock&) = delete;
    SectionLock& operator=(const SectionLock&) = delete;

private:
    CRITICAL_SECTION& section;
};

// The method names in their declared case, so that most lookups need not
// ask the type information. Throws std::bad_alloc with nothing held.
HRESULT ReadNames(ITypeInfo* info, std::vector<NameEntry>& names)
{
    TYPEATTR* attributes = nullptr;
    HRESULT hr = info->GetTypeAttr(&attributes);
    if (FAILED(hr))
        return hr;
    struct Attributes {
        ITypeInfo* info;
        TYPEATTR* attributes;
        ~Attributes() { info->ReleaseTypeAttr(attributes); }
    } heldAttributes{info, attributes};
    for (UINT i = 0; i < attributes->cFuncs; ++i) {
        FUNCDESC* function = nullptr;
        if (FAILED(info->GetFuncDesc(i, &function)))
            continue;
        struct Function {
            ITypeInfo* info;
            FUNCDESC* function;
            ~Function() { info->ReleaseFuncDesc(function); }
        } heldFunction{info, function};
        BSTR name = nullptr;
        if (FAILED(info->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr)) || name == nullptr)
            continue;
        struct Name {
            BSTR text;
            ~Name() { SysFreeString(text); }
        } heldName{name};
        names.push_back({std::wstring(name, SysStringLen(name)), function->memid});
    }
    return S_OK;
}

HRESULT LoadTypeInfoLocked(LCID lcid)
{
    if (holder && holder->info)
        return S_OK;
    ITypeLib* library = nullptr;
    HRESULT hr = LoadRegTypeLib(LIBID_TALLYKEYLib, 1, 0, lcid, &library);
    if (FAILED(hr))
        return hr;
    ITypeInfo* info = nullptr;
    hr = library->GetTypeInfoOfGuid(IID_IUsbKey, &info);
    library->Release();
    if (FAILED(hr))
        return hr;
    ITypeInfo2* info2 = nullptr;
    if (SUCCEEDED(info->QueryInterface(IID_ITypeInfo2, reinterpret_cast<void**>(&info2)))) {
        info->Release();
        info = info2;
    }
    // Owned until it is handed to the holder; released on any failure.
    struct Info {
        ITypeInfo* info;
        ~Info()
        {
            if (info)
                info->Release();
        }
    } heldInfo{info};
    std::unique_ptr<TypeInfoHolder> loaded(new TypeInfoHolder);
    hr = ReadNames(info, loaded->names);
    if (FAILED(hr))
        return hr;
    // Room for the clean-up first: once the holder is published nothing may fail.
    cleanups->reserve(cleanups->size() + 1);
    loaded->info = info;
    heldInfo.info = nullptr;
    holder = loaded.release();
    cleanups->push_back(ReleaseTypeInfo);
    return S_OK;
}

// Loads the type information once. Running out of memory is E_OUTOFMEMORY,
// and leaves nothing half loaded: the next call tries again.
HRESULT LoadTypeInfo(LCID lcid)
{
    if (holder && holder->info)
        return S_OK;
    SectionLock lock(typeInfoLock);
    try {
        return LoadTypeInfoLocked(lcid);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
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
    if (count > 0 && (names == nullptr || ids == nullptr))
        return E_POINTER;
    for (UINT i = 0; i < count; ++i) {
        if (names[i] == nullptr)
            return E_INVALIDARG;
    }
    HRESULT hr = LoadTypeInfo(lcid);
    if (FAILED(hr))
        return hr;
    for (UINT i = 0; i < count; ++i) {
        bool found = false;
        size_t length = wcslen(names[i]);
        for (size_t k = holder->names.size(); k-- > 0;) {
            const NameEntry& entry = holder->names[k];
            if (entry.name.size() == length && entry.name.compare(0, length, names[i]) == 0) {
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

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)
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
    // At process termination (reserved non-null) the system reclaims
    // everything; releasing COM objects under the loader lock then could
    // only deadlock. A dynamic unload tears down.
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
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
