#include "usbkey.h"

#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "boundmessage.h"
#include "hex.h"
#include "keysession.h"
#include "module.h"

using namespace HIDUSBKEY;

namespace {

const DWORD SUPPORTED_SAFETY = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

// Out-parameters get their type and value words only; the rest stays as passed.
void SetI4(VARIANT* variant, LONG value)
{
    variant->vt = VT_I4;
    variant->lVal = value;
}

// A script's text as the bytes of the system's ANSI code page, up to its
// first NUL (the BSTR's own length is not consulted); wiped when done.
class AnsiText {
public:
    explicit AnsiText(BSTR text)
    {
        int size = text ? WideCharToMultiByte(GetACP(), 0, text, -1, nullptr, 0, nullptr, nullptr) : 0;
        if (size <= 0)
            return;
        std::vector<char> buffer(static_cast<size_t>(size) + 1, '\0');
        WideCharToMultiByte(GetACP(), 0, text, -1, buffer.data(), size, nullptr, nullptr);
        buffer[static_cast<size_t>(size)] = '\0';
        bytes = buffer.data();
        SecureWipe(buffer.data(), buffer.size());
    }
    ~AnsiText() { SecureWipe(&bytes[0], bytes.size()); }
    AnsiText(const AnsiText&) = delete;
    AnsiText& operator=(const AnsiText&) = delete;

    // The converted bytes followed by their terminating zero.
    const char* Data() const { return bytes.c_str(); }
    size_t Size() const { return bytes.size(); }

private:
    std::string bytes;
};

// Steps shared by the key methods: functions bound, exactly one key, opened.
KeyResult OpenKey(CKeySession& key)
{
    KeyResult result = key.Check();
    if (result == KEY_RESULT_OK)
        result = key.Find();
    if (result == KEY_RESULT_OK)
        result = key.Open();
    return result;
}

// Opened, then the password proved: how the methods that use it begin.
KeyResult OpenAndProve(CKeySession& key, BSTR password)
{
    KeyResult result = OpenKey(key);
    if (result != KEY_RESULT_OK)
        return result;
    AnsiText text(password);
    return key.Prove(text.Data(), text.Size());
}

// The bytes as lower-case hexadecimal in a new BSTR; null when out of memory.
BSTR HexString(const uint8_t* bytes, size_t count)
{
    char text[2 * KEY_DIGEST_BYTES + 1];
    ToHexLower(bytes, count, text);
    wchar_t wide[2 * KEY_DIGEST_BYTES + 1];
    for (size_t i = 0; i <= 2 * count; ++i)
        wide[i] = static_cast<wchar_t>(text[i]);
    return SysAllocString(wide);
}

void SetBstr(VARIANT* variant, BSTR text)
{
    variant->vt = VT_BSTR;
    variant->bstrVal = text;
}

// Runs a method's key work; a failure to allocate is the key operation failing.
template <typename Work>
HRESULT Run(VARIANT* result, Work work)
{
    if (result == nullptr)
        return E_POINTER;
    SetI4(result, KEY_RESULT_HID_UNAVAILABLE);
    try {
        SetI4(result, work());
    } catch (const std::bad_alloc&) {
        SetI4(result, KEY_RESULT_OPERATION_FAILED);
    }
    return S_OK;
}

} // namespace

HRESULT CUsbKey::Create(IUnknown* outer, REFIID riid, void** ppv)
{
    CUsbKey* key = new (std::nothrow) CUsbKey(outer);
    if (key == nullptr)
        return E_OUTOFMEMORY;
    HRESULT hr = outer ? key->inner.QueryInterface(riid, ppv) : key->OwnQueryInterface(riid, ppv);
    if (FAILED(hr))
        delete key;
    return hr;
}

CUsbKey::CUsbKey(IUnknown* outerUnknown) : inner(*this), outer(outerUnknown), references(0), safetyOptions(0), api{}, devices(api)
{
    api.Bind();
    Module::Lock();
}

CUsbKey::~CUsbKey()
{
    api.Release();
    Module::Unlock();
}

HRESULT CUsbKey::OwnQueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (riid == IID_IUsbKey || riid == IID_IDispatch || riid == IID_IUnknown) {
        *ppv = static_cast<IUsbKey*>(this);
    } else if (riid == IID_IObjectSafety) {
        *ppv = static_cast<IObjectSafety*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG CUsbKey::OwnAddRef() { return ++references; }

ULONG CUsbKey::OwnRelease()
{
    ULONG left = --references;
    if (left == 0)
        delete this;
    return left;
}

HRESULT CUsbKey::InnerUnknown::QueryInterface(REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown) {
        *ppv = static_cast<IUnknown*>(this);
        AddRef();
        return S_OK;
    }
    return owner.OwnQueryInterface(riid, ppv);
}

HRESULT CUsbKey::QueryInterface(REFIID riid, void** ppv)
{
    if (outer == nullptr)
        return OwnQueryInterface(riid, ppv);
    HRESULT hr = outer->QueryInterface(riid, ppv);
    return SUCCEEDED(hr) ? hr : OwnQueryInterface(riid, ppv);
}

ULONG CUsbKey::AddRef() { return outer ? outer->AddRef() : OwnAddRef(); }

ULONG CUsbKey::Release() { return outer ? outer->Release() : OwnRelease(); }

HRESULT CUsbKey::GetTypeInfoCount(UINT* count)
{
    if (count == nullptr)
        return E_POINTER;
    *count = 1;
    return S_OK;
}

HRESULT CUsbKey::GetTypeInfo(UINT, LCID lcid, ITypeInfo** info)
{
    if (info == nullptr)
        return E_POINTER;
    *info = nullptr;
    return Module::TypeInfo(lcid, info);
}

HRESULT CUsbKey::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids)
{
    return Module::IdsOfNames(names, count, lcid, ids);
}

HRESULT CUsbKey::Invoke(DISPID id, REFIID, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* exception, UINT* argError)
{
    ITypeInfo* info = nullptr;
    HRESULT hr = Module::TypeInfo(lcid, &info);
    if (FAILED(hr))
        return hr;
    hr = info->Invoke(static_cast<IUsbKey*>(this), id, flags, params, result, exception, argError);
    info->Release();
    return hr;
}

HRESULT CUsbKey::InitPassword(BSTR szPassword, VARIANT* pResult)
{
    return Run(pResult, [&]() -> LONG {
        CKeySession key(devices);
        KeyResult result = OpenKey(key);
        if (result == KEY_RESULT_OK)
            result = key.ProveBlank();  // refused: the key has a password already
        if (result == KEY_RESULT_OK) {
            AnsiText password(szPassword);
            result = key.SetPassword(password.Data(), password.Size());
        }
        return result;
    });
}

HRESULT CUsbKey::FindKeys(VARIANT* pCount)
{
    return Run(pCount, [&]() -> LONG {
        CKeySession key(devices);
        return key.Check() == KEY_RESULT_OK ? static_cast<LONG>(key.CountKeys()) : static_cast<LONG>(KEY_RESULT_HID_UNAVAILABLE);
    });
}

HRESULT CUsbKey::UpdatePassword(BSTR szOldPassword, BSTR szNewPassword, VARIANT* pResult)
{
    return Run(pResult, [&]() -> LONG {
        CKeySession key(devices);
        KeyResult result = OpenAndProve(key, szOldPassword);
        if (result == KEY_RESULT_OK) {
            AnsiText password(szNewPassword);
            result = key.SetPassword(password.Data(), password.Size());
        }
        return result;
    });
}

HRESULT CUsbKey::GetSN(VARIANT* pSN, VARIANT* pResult)
{
    if (pSN == nullptr)
        return E_POINTER;
    return Run(pResult, [&]() -> LONG {
        CKeySession key(devices);
        KeyResult result = OpenKey(key);
        if (result != KEY_RESULT_OK)
            return result;
        BSTR serial = HexString(key.SerialNumber(), KEY_SERIAL_BYTES);
        if (serial == nullptr)
            return KEY_RESULT_OPERATION_FAILED;
        SetBstr(pSN, serial);
        return KEY_RESULT_OK;
    });
}

HRESULT CUsbKey::HMAC_MD5(BSTR szPassword, BSTR bszInput, int nLength, VARIANT* pDigest, VARIANT* pResult)
{
    if (pDigest == nullptr)
        return E_POINTER;
    return Run(pResult, [&]() -> LONG {
        // The ANSI code page has characters for 0xF8 and on: a text could
        // begin with a bound message's tag, which no raw digest may carry.
        // Refused before the key is touched.
        AnsiText input(bszInput);
        size_t length = static_cast<unsigned>(nLength) & 0xFF;
        if (KEYMETHODS::BeginsWithPurposeTag(reinterpret_cast<const uint8_t*>(input.Data()),
                                            length < input.Size() ? length : input.Size()))
            return KEY_RESULT_OPERATION_FAILED;
        CKeySession key(devices);
        KeyResult result = OpenAndProve(key, szPassword);
        if (result != KEY_RESULT_OK)
            return result;
        // The length travels in one byte; nothing past the input's
        // terminating zero is read, nothing past the report's data sent.
        if (length > KEY_DATA_BYTES || length > input.Size() + 1)
            return KEY_RESULT_OPERATION_FAILED;
        uint8_t digest[KEY_DIGEST_BYTES];
        result = key.HmacMd5(reinterpret_cast<const uint8_t*>(input.Data()), length, digest);
        if (result != KEY_RESULT_OK)
            return result;
        BSTR text = HexString(digest, sizeof digest);
        if (text == nullptr)
            return KEY_RESULT_OPERATION_FAILED;
        SetBstr(pDigest, text);
        return KEY_RESULT_OK;
    });
}

HRESULT CUsbKey::GetInterfaceSafetyOptions(REFIID riid, DWORD* supported, DWORD* enabled)
{
    if (supported == nullptr || enabled == nullptr)
        return E_POINTER;
    IUnknown* answered = nullptr;
    HRESULT hr = QueryInterface(riid, reinterpret_cast<void**>(&answered));
    if (SUCCEEDED(hr)) {
        answered->Release();
        *supported = SUPPORTED_SAFETY;
        *enabled = safetyOptions;
    } else {
        *supported = 0;
        *enabled = 0;
    }
    return hr;
}

HRESULT CUsbKey::SetInterfaceSafetyOptions(REFIID riid, DWORD mask, DWORD enabled)
{
    IUnknown* answered = nullptr;
    if (FAILED(QueryInterface(riid, reinterpret_cast<void**>(&answered))))
        return E_NOINTERFACE;
    answered->Release();
    if (mask & ~SUPPORTED_SAFETY)
        return E_FAIL;
    safetyOptions = (safetyOptions & ~mask) | (enabled & mask);
    return S_OK;
}
