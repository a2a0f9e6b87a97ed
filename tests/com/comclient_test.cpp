// A C++ COM client of tallykey.dll: the object shell (exports, class
// factory, aggregation, QueryInterface rules, IObjectSafety, IDispatch
// names) and the five methods' VARIANT rules, against simulated keys.
#include <gtest/gtest.h>

#include <windows.h>
#include <objsafe.h>
#include <oleauto.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "childprocess.h"
#include "devicerecord.h"
#include "hex.h"
#include "md5.h"
#include "tallykey_h.h"

namespace fs = std::filesystem;
using namespace SIMKEY;

namespace {

typedef HRESULT(WINAPI* GetClassObjectFunc)(REFCLSID, REFIID, void**);
typedef HRESULT(WINAPI* PlainFunc)();

// The control, or the test build named by TALLYKEY_TEST_CONTROL_DLL.
std::string ControlFile()
{
    const char* other = std::getenv("TALLYKEY_TEST_CONTROL_DLL");
    return other && *other ? other : "tallykey.dll";
}

struct Server {
    HMODULE dll = LoadLibraryA((ProgramFolder() + ControlFile()).c_str());
    template <typename F> F Get(const char* name)
    {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(dll, name)));
    }
};

Server& Dll()
{
    static Server server;
    return server;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv)
{
    return Dll().Get<GetClassObjectFunc>("DllGetClassObject")(clsid, iid, ppv);
}
HRESULT CanUnloadNow() { return Dll().Get<PlainFunc>("DllCanUnloadNow")(); }

IClassFactory* Factory()
{
    IClassFactory* factory = nullptr;
    EXPECT_EQ(GetClassObject(CLSID_UsbKey, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    return factory;
}

IUsbKey* NewKey()
{
    IClassFactory* factory = Factory();
    IUsbKey* key = nullptr;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUsbKey, reinterpret_cast<void**>(&key)), S_OK);
    factory->Release();
    return key;
}

// A minimal outer object for aggregation: counts its references, refuses
// every interface but IUnknown.
struct Outer : IUnknown {
    ULONG references = 1;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (riid == IID_IUnknown) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
    STDMETHODIMP_(ULONG) Release() override { return --references; }
};

// VARIANT words a method must leave alone.
VARIANT Poisoned()
{
    VARIANT v;
    std::memset(&v, 0xAB, sizeof v);
    return v;
}
void ExpectOnlyTypeAndValueWritten(const VARIANT& v)
{
    EXPECT_EQ(v.wReserved1, 0xABAB);
    EXPECT_EQ(v.wReserved2, 0xABAB);
    EXPECT_EQ(v.wReserved3, 0xABAB);
    const unsigned char* rest = reinterpret_cast<const unsigned char*>(&v) + offsetof(VARIANT, lVal) + 4;
    const unsigned char* end = reinterpret_cast<const unsigned char*>(&v) + sizeof v;
    for (; rest < end; ++rest)
        EXPECT_EQ(*rest, 0xAB);
}

class Control : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        CoInitialize(nullptr);
        ASSERT_NE(Dll().dll, nullptr);
        folder = fs::temp_directory_path() / "tallykey-comclient";
        fs::remove_all(folder);
        fs::create_directories(folder);
        SetEnvironmentVariableA(DEVICE_DIR_VARIABLE, folder.string().c_str());
        if (!std::getenv("TALLYKEY_TEST_NO_TYPELIB"))
            ASSERT_EQ(Dll().Get<PlainFunc>("DllRegisterServer")(), S_OK);
        else
            Dll().Get<PlainFunc>("DllUnregisterServer")();
    }
    static void TearDownTestSuite()
    {
        Dll().Get<PlainFunc>("DllUnregisterServer")();
        std::error_code error;
        fs::remove_all(folder, error);
    }
    void SetUp() override
    {
        for (const auto& file : fs::directory_iterator(folder))
            fs::remove(file.path());
    }

    static fs::path DevicePath(const std::string& name) { return folder / (name + DEVICE_FILE_SUFFIX); }
    static void Store(const std::string& name, const DeviceRecord& record)
    {
        uint8_t block[RECORD_BYTES];
        EncodeRecord(record, block);
        std::ofstream(DevicePath(name), std::ios::binary).write(reinterpret_cast<const char*>(block), sizeof block);
    }
    static DeviceRecord Load(const std::string& name)
    {
        uint8_t block[RECORD_BYTES] = {};
        std::ifstream(DevicePath(name), std::ios::binary).read(reinterpret_cast<char*>(block), sizeof block);
        DeviceRecord record{};
        EXPECT_TRUE(DecodeRecord(block, record));
        return record;
    }
    static DeviceRecord Key()
    {
        const uint8_t serial[8] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71};
        return NewKeyRecord(serial);
    }
    static DeviceRecord KeyWithPassword(const std::string& password)
    {
        DeviceRecord record = Key();
        HIDUSBKEY::Md5Digest(password.data(), password.size(), record.key.passwordDigest);
        return record;
    }
    static std::string Md5Hex(const std::string& bytes)
    {
        uint8_t digest[16];
        HIDUSBKEY::Md5Digest(bytes.data(), bytes.size(), digest);
        return HIDUSBKEY::ToHexLower(digest, 16);
    }

    static fs::path folder;
};
fs::path Control::folder;

// Owns a BSTR made from wide text that may hold NULs.
struct Bstr {
    explicit Bstr(const std::wstring& text) : value(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
    ~Bstr() { SysFreeString(value); }
    BSTR value;
};

} // namespace

TEST_F(Control, UnloadFollowsInstancesAndLocks)
{
    IClassFactory* factory = Factory();
    EXPECT_EQ(CanUnloadNow(), S_OK);  // the factory alone does not hold the DLL
    IUsbKey* key = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUsbKey, reinterpret_cast<void**>(&key)), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    key->Release();
    EXPECT_EQ(CanUnloadNow(), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(CanUnloadNow(), S_OK);

    IUnknown* again = nullptr;
    ASSERT_EQ(GetClassObject(CLSID_UsbKey, IID_IUnknown, reinterpret_cast<void**>(&again)), S_OK);
    IUnknown* first = nullptr;
    factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&first));
    EXPECT_EQ(first, again);  // one cached class factory
    first->Release();
    again->Release();
    factory->Release();
}

TEST_F(Control, ExportAndFactoryErrors)
{
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetClassObject(IID_IUsbKey, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(GetClassObject(CLSID_UsbKey, IID_IClassFactory, nullptr), E_POINTER);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(GetClassObject(CLSID_UsbKey, IID_IUsbKey, &out), E_NOINTERFACE);

    IClassFactory* factory = Factory();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUsbKey, nullptr), E_POINTER);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(CanUnloadNow(), S_OK);  // the refused object is gone again
    factory->Release();

    IUsbKey* key = NewKey();
    EXPECT_EQ(key->QueryInterface(IID_IUsbKey, nullptr), E_POINTER);
    key->Release();
}

TEST_F(Control, QueryInterfaceIdentity)
{
    IUsbKey* key = NewKey();
    IUnknown* unknown = nullptr;
    IDispatch* dispatch = nullptr;
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(key->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
    ASSERT_EQ(key->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)), S_OK);
    ASSERT_EQ(key->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    EXPECT_EQ(static_cast<void*>(unknown), static_cast<void*>(key));
    EXPECT_EQ(static_cast<void*>(dispatch), static_cast<void*>(key));
    EXPECT_NE(static_cast<void*>(safety), static_cast<void*>(key));
    IUnknown* back = nullptr;
    ASSERT_EQ(safety->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&back)), S_OK);
    EXPECT_EQ(static_cast<void*>(back), static_cast<void*>(key));
    void* none = reinterpret_cast<void*>(1);
    EXPECT_EQ(key->QueryInterface(IID_IClassFactory, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    back->Release();
    safety->Release();
    dispatch->Release();
    unknown->Release();
    EXPECT_EQ(key->Release(), 0u);
}

TEST_F(Control, Aggregation)
{
    IClassFactory* factory = Factory();
    Outer outer;
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(&outer, IID_IUsbKey, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);

    IUnknown* inner = nullptr;
    ASSERT_EQ(factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner)), S_OK);
    factory->Release();
    IUsbKey* key = nullptr;
    ASSERT_EQ(inner->QueryInterface(IID_IUsbKey, reinterpret_cast<void**>(&key)), S_OK);
    EXPECT_NE(static_cast<void*>(key), static_cast<void*>(inner));
    EXPECT_EQ(outer.references, 2u);  // the interface's reference is the outer's
    key->AddRef();
    EXPECT_EQ(outer.references, 3u);
    key->Release();
    // The outer refuses IObjectSafety; the inner object answers it itself.
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(key->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    safety->Release();
    IUnknown* viaKey = nullptr;
    ASSERT_EQ(key->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaKey)), S_OK);
    EXPECT_EQ(viaKey, static_cast<IUnknown*>(&outer));
    viaKey->Release();
    key->Release();
    EXPECT_EQ(outer.references, 1u);
    EXPECT_EQ(CanUnloadNow(), S_FALSE);
    EXPECT_EQ(inner->Release(), 0u);
    EXPECT_EQ(CanUnloadNow(), S_OK);
}

TEST_F(Control, ObjectSafetyOptions)
{
    IUsbKey* key = NewKey();
    IObjectSafety* safety = nullptr;
    ASSERT_EQ(key->QueryInterface(IID_IObjectSafety, reinterpret_cast<void**>(&safety)), S_OK);
    DWORD supported = 9, enabled = 9;
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(enabled, 1u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 2, 3), S_OK);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(enabled, 3u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 0), S_OK);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(enabled, 2u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 5, 0), E_FAIL);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(enabled, 2u);  // unchanged by the refused calls
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IClassFactory, 1, 1), E_NOINTERFACE);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(supported, 0u);
    EXPECT_EQ(enabled, 0u);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, nullptr, &enabled), E_POINTER);
    safety->Release();
    key->Release();
}

TEST_F(Control, NamesResolveThroughTheTypeLibrary)
{
    IUsbKey* key = NewKey();
    UINT count = 0;
    EXPECT_EQ(key->GetTypeInfoCount(&count), S_OK);
    EXPECT_EQ(count, 1u);
    const wchar_t* names[] = {L"InitPassword", L"FindKeys", L"UpdatePassword", L"GetSN", L"HMAC_MD5"};
    for (DISPID expected = 1; expected <= 5; ++expected) {
        LPOLESTR name = const_cast<LPOLESTR>(names[expected - 1]);
        DISPID id = 0;
        EXPECT_EQ(key->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
        EXPECT_EQ(id, expected);
    }
    for (const wchar_t* other : {L"findkeys", L"HMAC_md5", L"GETSN"}) {
        LPOLESTR name = const_cast<LPOLESTR>(other);
        DISPID id = 0;
        EXPECT_EQ(key->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
        EXPECT_GT(id, 0);
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"ResetDigist");
    DISPID id = 0;
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id), DISP_E_UNKNOWNNAME);
    // Null arrays and null names are refused, not read.
    LPOLESTR withNull[] = {const_cast<LPOLESTR>(L"GetSN"), nullptr};
    DISPID ids[2] = {};
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, nullptr, 1, 0, &id), E_POINTER);
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, &unknown, 1, 0, nullptr), E_POINTER);
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, withNull, 2, 0, ids), E_INVALIDARG);
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, nullptr, 0, 0, nullptr), S_OK);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(key->GetTypeInfo(0, 0, nullptr), E_POINTER);
    ASSERT_EQ(key->GetTypeInfo(0, 0, &info), S_OK);
    info->Release();
    key->Release();
}

TEST_F(Control, TypeLibNotRegistered)
{
    if (!std::getenv("TALLYKEY_TEST_NO_TYPELIB"))
        GTEST_SKIP() << "runs in a process where the type library was never registered";
    IUsbKey* key = NewKey();
    LPOLESTR name = const_cast<LPOLESTR>(L"FindKeys");
    DISPID id = 0;
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), TYPE_E_LIBNOTREGISTERED);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(key->GetTypeInfo(0, 0, &info), TYPE_E_LIBNOTREGISTERED);
    UINT count = 0;
    EXPECT_EQ(key->GetTypeInfoCount(&count), S_OK);
    // The methods themselves need no type library.
    VARIANT result = Poisoned();
    EXPECT_EQ(key->FindKeys(&result), S_OK);
    EXPECT_EQ(result.lVal, 0);
    key->Release();
}

TEST_F(Control, OutOfMemory)
{
    if (ControlFile() != "tallykey-failing.dll")
        GTEST_SKIP() << "runs against the test build whose allocations fail on demand";
    auto failing = [](bool on) { SetEnvironmentVariableA("TALLYKEY_TEST_FAIL_NEW", on ? "1" : nullptr); };
    IClassFactory* factory = reinterpret_cast<IClassFactory*>(1);
    failing(true);
    EXPECT_EQ(GetClassObject(CLSID_UsbKey, IID_IClassFactory, reinterpret_cast<void**>(&factory)), E_OUTOFMEMORY);
    EXPECT_EQ(factory, nullptr);
    failing(false);
    factory = Factory();
    ASSERT_NE(factory, nullptr);
    IUsbKey* key = reinterpret_cast<IUsbKey*>(1);
    failing(true);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUsbKey, reinterpret_cast<void**>(&key)), E_OUTOFMEMORY);
    EXPECT_EQ(key, nullptr);
    failing(false);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUsbKey, reinterpret_cast<void**>(&key)), S_OK);
    factory->Release();
    // The type information, loaded on first use: out of memory leaves nothing
    // half loaded, and the next call loads it.
    failing(true);
    ITypeInfo* info = nullptr;
    EXPECT_EQ(key->GetTypeInfo(0, 0, &info), E_OUTOFMEMORY);
    LPOLESTR name = const_cast<LPOLESTR>(L"FindKeys");
    DISPID id = 0;
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), E_OUTOFMEMORY);
    failing(false);
    ASSERT_EQ(key->GetTypeInfo(0, 0, &info), S_OK);
    info->Release();
    EXPECT_EQ(key->GetIDsOfNames(IID_NULL, &name, 1, 0, &id), S_OK);
    // A method that runs out of memory still returns S_OK with a number.
    Store("key", Key());
    VARIANT result = Poisoned();
    failing(true);
    EXPECT_EQ(key->FindKeys(&result), S_OK);
    failing(false);
    EXPECT_EQ(result.vt, VT_I4);
    result = Poisoned();
    EXPECT_EQ(key->FindKeys(&result), S_OK);
    EXPECT_EQ(result.lVal, 1) << "and the next call works";
    key->Release();
    EXPECT_EQ(CanUnloadNow(), S_OK) << "nothing held after the failures";
}

TEST_F(Control, EveryResult)
{
    IUsbKey* key = NewKey();
    VARIANT result = Poisoned();
    VARIANT sn = Poisoned();
    EXPECT_EQ(key->FindKeys(&result), S_OK);
    EXPECT_EQ(result.vt, VT_I4);
    EXPECT_EQ(result.lVal, 0);
    ExpectOnlyTypeAndValueWritten(result);

    EXPECT_EQ(key->GetSN(&sn, &result), S_OK);
    EXPECT_EQ(result.lVal, -2);
    ExpectOnlyTypeAndValueWritten(result);
    EXPECT_EQ(sn.vt, 0xABAB);  // untouched on failure

    Store("a", Key());
    Store("b", Key());
    EXPECT_EQ(key->FindKeys(&result), S_OK);
    EXPECT_EQ(result.lVal, 2);
    EXPECT_EQ(key->GetSN(&sn, &result), S_OK);
    EXPECT_EQ(result.lVal, -3);
    fs::remove(DevicePath("b"));

    DeviceRecord broken = Key();
    broken.key.identifyLength = 20;
    Store("a", broken);
    EXPECT_EQ(key->GetSN(&sn, &result), S_OK);
    EXPECT_EQ(result.lVal, -4);

    Store("a", KeyWithPassword("pw"));
    Bstr pw(L"pw"), wrong(L"wrong"), input(L"challenge");
    VARIANT digest = Poisoned();
    EXPECT_EQ(key->HMAC_MD5(wrong.value, input.value, 9, &digest, &result), S_OK);
    EXPECT_EQ(result.lVal, -5);
    EXPECT_EQ(digest.vt, 0xABAB);
    EXPECT_EQ(key->InitPassword(pw.value, &result), S_OK);
    EXPECT_EQ(result.lVal, -5);

    DeviceRecord faulty = KeyWithPassword("pw");
    faulty.key.faults = FAULT_DIGEST_LENGTH_15;
    Store("a", faulty);
    EXPECT_EQ(key->HMAC_MD5(pw.value, input.value, 9, &digest, &result), S_OK);
    EXPECT_EQ(result.lVal, -6);
    EXPECT_EQ(digest.vt, 0xABAB);

    Store("a", KeyWithPassword("pw"));
    EXPECT_EQ(key->HMAC_MD5(pw.value, input.value, 9, &digest, &result), S_OK);
    EXPECT_EQ(result.lVal, 0);
    ExpectOnlyTypeAndValueWritten(result);
    ASSERT_EQ(digest.vt, VT_BSTR);
    uint8_t expected[16];
    const uint8_t zeroKey[16] = {};
    HmacMd5(zeroKey, reinterpret_cast<const uint8_t*>("challenge"), 9, expected);
    EXPECT_EQ(std::wstring(digest.bstrVal, SysStringLen(digest.bstrVal)),
              std::wstring(L"") + [&] {
                  std::string hex = HIDUSBKEY::ToHexLower(expected, 16);
                  return std::wstring(hex.begin(), hex.end());
              }());
    SysFreeString(digest.bstrVal);

    EXPECT_EQ(key->GetSN(&sn, &result), S_OK);
    EXPECT_EQ(result.lVal, 0);
    ASSERT_EQ(sn.vt, VT_BSTR);
    EXPECT_EQ(std::wstring(sn.bstrVal, SysStringLen(sn.bstrVal)), L"0a1b2c3d4e5f6071");
    SysFreeString(sn.bstrVal);
    key->Release();
}

TEST_F(Control, TextConversion)
{
    IUsbKey* key = NewKey();
    VARIANT result;
    Store("key", Key());
    EXPECT_EQ(key->InitPassword(nullptr, &result), S_OK);  // a null BSTR is the empty text
    EXPECT_EQ(result.lVal, 0);
    EXPECT_EQ(HIDUSBKEY::ToHexLower(Load("key").key.passwordDigest, 16), Md5Hex(""));

    Bstr empty(L""), embedded(std::wstring(L"ab\0cd", 5));
    EXPECT_EQ(key->UpdatePassword(empty.value, embedded.value, &result), S_OK);
    EXPECT_EQ(result.lVal, 0);
    EXPECT_EQ(HIDUSBKEY::ToHexLower(Load("key").key.passwordDigest, 16), Md5Hex("ab"));  // ends at the NUL

    Bstr ab(L"ab"), input(L"message");
    VARIANT digest;
    struct Case {
        int nLength;
        int sent;
    } cases[] = {{0, 0}, {256, 0}, {512 + 3, 3}, {7, 7}, {8, 8}};
    // The key digested exactly the bytes sent (the terminating zero is the
    // eighth): the digest it answered says so. The key is identified again
    // after the call, so its last request no longer shows the message.
    const char sentBytes[] = "message";  // and its terminating zero
    for (const Case& c : cases) {
        digest.vt = VT_EMPTY;
        EXPECT_EQ(key->HMAC_MD5(ab.value, input.value, c.nLength, &digest, &result), S_OK);
        EXPECT_EQ(result.lVal, 0) << c.nLength;
        ASSERT_EQ(digest.vt, VT_BSTR) << c.nLength;
        const std::string answered(digest.bstrVal, digest.bstrVal + SysStringLen(digest.bstrVal));
        SysFreeString(digest.bstrVal);
        KeyState state = Load("key").key;
        uint8_t expected[16];
        SIMKEY::HmacMd5(state.digestKey, reinterpret_cast<const uint8_t*>(sentBytes), c.sent, expected);
        EXPECT_EQ(answered, HIDUSBKEY::ToHexLower(expected, 16)) << c.nLength;
        EXPECT_EQ(state.lastRequest[1], 0x01) << "identified again after the password check";
        EXPECT_EQ(state.verified, 0);
    }
    // Past the input's terminating zero, or past one report: refused, nothing sent
    // but the identify, the password check and the identify after it.
    for (int nLength : {9, 62, 255}) {
        digest.vt = VT_EMPTY;
        const unsigned writes = Load("key").counters.featureWrites;
        EXPECT_EQ(key->HMAC_MD5(ab.value, input.value, nLength, &digest, &result), S_OK);
        EXPECT_EQ(result.lVal, -6) << nLength;
        EXPECT_EQ(digest.vt, VT_EMPTY);
        EXPECT_EQ(Load("key").counters.featureWrites, writes + 3) << nLength;
    }
    // A text whose ANSI bytes begin with a bound message's tag (F8 54 4B 53,
    // a sign-in's) is refused before the key is touched: no raw digest may
    // stand in for an origin-bound one.
    wchar_t wide[16] = {};
    ASSERT_GT(MultiByteToWideChar(CP_ACP, 0, "\xF8TKSmessage", -1, wide, 16), 0);
    char back[16] = {};
    WideCharToMultiByte(CP_ACP, 0, wide, -1, back, sizeof back, nullptr, nullptr);
    if (std::string(back) == "\xF8TKSmessage") {  // the code page round-trips the byte
        Bstr tagged(wide);
        const unsigned writes = Load("key").counters.featureWrites;
        digest.vt = VT_EMPTY;
        EXPECT_EQ(key->HMAC_MD5(ab.value, tagged.value, 11, &digest, &result), S_OK);
        EXPECT_EQ(result.lVal, -6);
        EXPECT_EQ(digest.vt, VT_EMPTY);
        EXPECT_EQ(Load("key").counters.featureWrites, writes) << "the key untouched";
        EXPECT_EQ(key->HMAC_MD5(ab.value, tagged.value, 3, &digest, &result), S_OK);
        EXPECT_EQ(result.lVal, 0) << "three bytes are no tag";
        if (digest.vt == VT_BSTR)
            SysFreeString(digest.bstrVal);
    } else {
        ADD_FAILURE() << "code page " << GetACP() << " has no character for the byte F8";
    }
    key->Release();
}

TEST_F(Control, NonAsciiPasswordUsesTheAnsiCodePage)
{
    if (GetACP() != 936)
        GTEST_SKIP() << "runs with the Chinese code page (LC_ALL=zh_CN.UTF-8)";
    IUsbKey* key = NewKey();
    VARIANT result;
    Store("key", Key());
    Bstr password(L"\u5bc6\u7801");
    EXPECT_EQ(key->InitPassword(password.value, &result), S_OK);
    EXPECT_EQ(result.lVal, 0);
    std::string digest = HIDUSBKEY::ToHexLower(Load("key").key.passwordDigest, 16);
    EXPECT_EQ(digest, Md5Hex("\xC3\xDC\xC2\xEB"));                      // GBK
    EXPECT_NE(digest, Md5Hex("\xE5\xAF\x86\xE7\xA0\x81"));              // what the plug-in would send
    key->Release();
}

namespace {

const int RANDOM_WORKERS = 8;
const int CALLS_PER_WORKER = 300;
const char WORKER_VARIABLE[] = "TALLYKEY_RANDOM_WORKER";

// A script's text as the page's engine might hand it over: null, or wide
// characters (ASCII, control characters, NULs) with an odd byte length now
// and then. Known holds what the control must make of it: the bytes up to
// the first NUL (ASCII converts to itself in every code page).
struct RandomText {
    BSTR value = nullptr;
    std::string known;

    RandomText(std::mt19937& random, const std::string* likely)
    {
        unsigned kind = random() % 10;
        if (likely && kind < 6) {
            value = SysAllocStringLen(std::wstring(likely->begin(), likely->end()).c_str(),
                                      static_cast<UINT>(likely->size()));
            known = *likely;
            return;
        }
        if (kind == 9)
            return;  // null
        std::vector<unsigned char> bytes;
        size_t count = random() % 4 == 0 ? random() % 300 : random() % 70;
        for (size_t i = 0; i < count; ++i) {
            unsigned pick = random() % 20;
            wchar_t c = pick == 0 ? L'\0' : pick == 1 ? static_cast<wchar_t>(1 + random() % 31)
                                                     : static_cast<wchar_t>(0x20 + random() % 0x5F);
            bytes.push_back(static_cast<unsigned char>(c));
            bytes.push_back(0);
        }
        if (random() % 3 == 0)
            bytes.push_back(static_cast<unsigned char>(0x20 + random() % 0x5F));  // half a character
        value = SysAllocStringByteLen(reinterpret_cast<const char*>(bytes.data()), static_cast<UINT>(bytes.size()));
        for (size_t i = 0; i < bytes.size() && bytes[i] != 0; i += 2)
            known += static_cast<char>(bytes[i]);
    }
    ~RandomText() { SysFreeString(value); }
    RandomText(const RandomText&) = delete;
    RandomText& operator=(const RandomText&) = delete;
};

int RandomLength(std::mt19937& random)
{
    switch (random() % 6) {
    case 0: return static_cast<int>(random());  // anything at all, negative included
    case 1: return 256 + static_cast<int>(random() % 70);
    default: return static_cast<int>(random() % 70);
    }
}

} // namespace

// Thousands of calls with random arguments through the vtable, against a
// model of the key: the results, the digests and the password the key ends
// up with must be what the control's rules say. The workers run side by
// side, each with a key of its own, as every call waits for the key.
TEST(RandomArguments, ThousandsOfCallsAgainstAModel)
{
    char self[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
    std::vector<HANDLE> workers;
    for (int i = 0; i < RANDOM_WORKERS; ++i) {
        std::string command = std::string("\"") + self + "\" --gtest_also_run_disabled_tests"
                              " --gtest_filter=RandomArguments.DISABLED_Worker";
        SetEnvironmentVariableA(WORKER_VARIABLE, std::to_string(i).c_str());
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        ASSERT_TRUE(CreateProcessA(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                   &process));
        CloseHandle(process.hThread);
        workers.push_back(process.hProcess);
    }
    SetEnvironmentVariableA(WORKER_VARIABLE, nullptr);
    for (size_t i = 0; i < workers.size(); ++i) {
        DWORD code = 1;
        EXPECT_EQ(WaitForSingleObject(workers[i], 600 * 1000), WAIT_OBJECT_0) << "worker " << i;
        EXPECT_TRUE(GetExitCodeProcess(workers[i], &code));
        EXPECT_EQ(code, 0u) << "worker " << i << " found a wrong answer (its output is above)";
        CloseHandle(workers[i]);
    }
}

TEST(RandomArguments, DISABLED_Worker)
{
    const char* index = std::getenv(WORKER_VARIABLE);
    ASSERT_NE(index, nullptr) << "started by ThousandsOfCallsAgainstAModel";
    CoInitialize(nullptr);
    const fs::path folder = fs::temp_directory_path() / (std::string("tallykey-random-") + index);
    fs::remove_all(folder);
    fs::create_directories(folder);
    SetEnvironmentVariableA(DEVICE_DIR_VARIABLE, folder.string().c_str());
    const uint8_t serial[8] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71};
    uint8_t block[RECORD_BYTES];
    EncodeRecord(NewKeyRecord(serial), block);
    std::ofstream((folder / (std::string("key") + DEVICE_FILE_SUFFIX)).string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(block), sizeof block);

    std::mt19937 random(20261208u + static_cast<unsigned>(std::atoi(index)));
    std::optional<std::string> password;  // the model: none until InitPassword succeeds
    IUsbKey* key = NewKey();
    ASSERT_NE(key, nullptr);
    for (int call = 0; call < CALLS_PER_WORKER && !HasFailure(); ++call) {
        VARIANT result = Poisoned();
        VARIANT out = Poisoned();
        const std::string where = "worker " + std::string(index) + " call " + std::to_string(call);
        switch (random() % 20) {
        case 0: case 1: {
            EXPECT_EQ(key->FindKeys(&result), S_OK);
            EXPECT_EQ(result.lVal, 1) << where;
            break;
        }
        case 2: case 3: {
            EXPECT_EQ(key->GetSN(&out, &result), S_OK);
            EXPECT_EQ(result.lVal, 0) << where;
            ASSERT_EQ(out.vt, VT_BSTR) << where;
            EXPECT_EQ(std::wstring(out.bstrVal), L"0a1b2c3d4e5f6071") << where;
            SysFreeString(out.bstrVal);
            break;
        }
        case 4: {
            RandomText text(random, nullptr);
            EXPECT_EQ(key->InitPassword(text.value, &result), S_OK);
            EXPECT_EQ(result.lVal, password ? -5 : 0) << where;
            if (!password)
                password = text.known;
            break;
        }
        case 5: case 6: {
            RandomText old(random, password ? &*password : nullptr), fresh(random, nullptr);
            EXPECT_EQ(key->UpdatePassword(old.value, fresh.value, &result), S_OK);
            bool right = password && old.known == *password;
            EXPECT_EQ(result.lVal, right ? 0 : -5) << where;
            if (right)
                password = fresh.known;
            break;
        }
        case 7: {
            // Null out-parameters are refused before anything else.
            Bstr any(L"x");
            EXPECT_EQ(key->FindKeys(nullptr), E_POINTER) << where;
            EXPECT_EQ(key->GetSN(nullptr, &result), E_POINTER) << where;
            EXPECT_EQ(key->GetSN(&out, nullptr), E_POINTER) << where;
            EXPECT_EQ(key->HMAC_MD5(any.value, any.value, 1, nullptr, &result), E_POINTER) << where;
            EXPECT_EQ(key->HMAC_MD5(any.value, any.value, 1, &out, nullptr), E_POINTER) << where;
            EXPECT_EQ(out.vt, 0xABAB) << where;
            break;
        }
        default: {
            RandomText pw(random, password ? &*password : nullptr), input(random, nullptr);
            int nLength = RandomLength(random);
            EXPECT_EQ(key->HMAC_MD5(pw.value, input.value, nLength, &out, &result), S_OK);
            // The length travels in one byte and may take the terminating zero, no more.
            size_t length = static_cast<unsigned>(nLength) & 0xFF;
            LONG expected = !(password && pw.known == *password)                  ? -5
                            : (length > 61 || length > input.known.size() + 1) ? -6
                                                                                 : 0;
            EXPECT_EQ(result.lVal, expected) << where << " nLength " << nLength;
            if (expected == 0 && result.lVal == 0) {
                ASSERT_EQ(out.vt, VT_BSTR) << where;
                uint8_t digest[16];
                const uint8_t zeroKey[16] = {};
                const std::string message = input.known + '\0';
                HmacMd5(zeroKey, reinterpret_cast<const uint8_t*>(message.data()), length, digest);
                std::string hex = HIDUSBKEY::ToHexLower(digest, 16);
                EXPECT_EQ(std::wstring(out.bstrVal), std::wstring(hex.begin(), hex.end())) << where;
                SysFreeString(out.bstrVal);
            } else {
                EXPECT_EQ(out.vt, 0xABAB) << where;
            }
            break;
        }
        }
        ExpectOnlyTypeAndValueWritten(result);
    }
    key->Release();
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}
