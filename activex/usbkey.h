// The UsbKey automation object: IUsbKey (dual, through the registered type
// library) and IObjectSafety, in a plain and an aggregatable form. Each
// object binds its own HidApi; every method does its key work through the
// shared key session and answers through VARIANTs, always with S_OK.
#pragma once

#include <windows.h>
#include <objsafe.h>

#include "hidapi.h"
#include "tallykey_h.h"

class CUsbKey final : public IUsbKey, public IObjectSafety {
public:
    // The class factory's instance creator: plain without an outer unknown, aggregatable with one.
    static HRESULT Create(IUnknown* outer, REFIID riid, void** ppv);

    // IUnknown: delegated to the outer unknown when aggregated.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError) override;

    // IUsbKey
    STDMETHODIMP InitPassword(BSTR szPassword, VARIANT* pResult) override;
    STDMETHODIMP FindKeys(VARIANT* pCount) override;
    STDMETHODIMP UpdatePassword(BSTR szOldPassword, BSTR szNewPassword, VARIANT* pResult) override;
    STDMETHODIMP GetSN(VARIANT* pSN, VARIANT* pResult) override;
    STDMETHODIMP HMAC_MD5(BSTR szPassword, BSTR bszInput, int nLength, VARIANT* pDigest, VARIANT* pResult) override;

    // IObjectSafety
    STDMETHODIMP GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled) override;
    STDMETHODIMP SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled) override;

private:
    explicit CUsbKey(IUnknown* outer);
    ~CUsbKey();
    CUsbKey(const CUsbKey&) = delete;
    CUsbKey& operator=(const CUsbKey&) = delete;

    HRESULT OwnQueryInterface(REFIID riid, void** ppv);
    ULONG OwnAddRef();
    ULONG OwnRelease();

    // The inner, non-delegating unknown of the aggregated form; it controls the lifetime.
    class InnerUnknown : public IUnknown {
    public:
        explicit InnerUnknown(CUsbKey& owner) : owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
        STDMETHODIMP_(ULONG) AddRef() override { return owner.OwnAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner.OwnRelease(); }

    private:
        CUsbKey& owner;
    };

    InnerUnknown inner;
    IUnknown* outer;
    ULONG references;  // single-threaded apartment: plain counting
    DWORD safetyOptions;
    HIDUSBKEY::HidApi api;
    HIDUSBKEY::HidDeviceTable devices;  // over api
};
