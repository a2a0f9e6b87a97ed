// The built plug-in library loaded by our browser-side host, as a browser
// loads it: exports, instance functions, the class callbacks with string
// and integer identifiers, method results, and the trace file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <sstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "browserhost.h"
#include "childprocess.h"
#include "devicerecord.h"
#include "firmware.h"
#include "hex.h"

namespace fs = std::filesystem;
using namespace SIMKEY;

namespace {

#ifdef _WIN32
const char EOL[] = "\r\n";  // the trace file is written in text mode
const char PLUGIN[] = "nptallykey.dll";
#else
const char EOL[] = "\n";
const char PLUGIN[] = "../plugins/nptallykey.so";
#endif

void SetEnv(const char* name, const std::string& value)
{
#ifdef _WIN32
    SetEnvironmentVariableA(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Lines(std::initializer_list<const char*> lines)
{
    std::string text;
    for (const char* line : lines) {
        if (line)
            text += std::string(line) + EOL;
    }
    return text;
}

std::string Lines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + EOL;
    return text;
}

#ifdef _WIN32
const char* const GET_ENTRY_POINTS_LINE = "NP_GetEntryPoints";
#else
const char* const GET_ENTRY_POINTS_LINE = nullptr;  // Unix browsers call only NP_Initialize
#endif

// One host and one plug-in for the whole run: the scriptable object is
// process-wide, as it is in a browser.
class Plugin : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        folder = fs::temp_directory_path() / "tallykey-nphost";
        fs::remove_all(folder);
        fs::create_directories(folder / "devices");
        SetEnv(DEVICE_DIR_VARIABLE, (folder / "devices").string());
        host = new BrowserHost(ProgramFolder() + PLUGIN);
        ASSERT_EQ(host->error, "");
        ASSERT_EQ(host->GetEntryPoints(), NPERR_NO_ERROR);
        ASSERT_EQ(host->Initialize(), NPERR_NO_ERROR);
        ASSERT_EQ(host->NewInstance(&instance), NPERR_NO_ERROR);
        object = host->ScriptableObject(&instance);
        ASSERT_NE(object, nullptr);
    }
    static void TearDownTestSuite()
    {
        delete host;
        host = nullptr;
        std::error_code error;
        fs::remove_all(folder, error);
    }
    void SetUp() override
    {
        if (host == nullptr || object == nullptr)
            GTEST_SKIP() << "the plug-in did not load";
        for (const auto& device : fs::directory_iterator(folder / "devices"))
            fs::remove(device.path());
    }
    void TearDown() override { EXPECT_EQ(BrowserHost::outstandingAllocations, 0) << "browser memory not given back"; }

    static void AddKey(const std::string& name)
    {
        const uint8_t serial[8] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71};
        uint8_t block[RECORD_BYTES];
        EncodeRecord(NewKeyRecord(serial), block);
        std::ofstream((folder / "devices" / (name + DEVICE_FILE_SUFFIX)).string(), std::ios::binary)
            .write(reinterpret_cast<const char*>(block), sizeof block);
    }
    static std::string Call(const std::string& method, std::vector<NPVariant> args = {})
    {
        NPVariant result;
        if (!host->Call(object, method, args, &result))
            return "refused";
        return BrowserHost::Describe(result);
    }
    static NPVariant S(const std::string& text) { return BrowserHost::String(text); }

    static fs::path folder;
    static BrowserHost* host;
    static NPP_t instance;
    static NPObject* object;
};

fs::path Plugin::folder;
BrowserHost* Plugin::host;
NPP_t Plugin::instance;
NPObject* Plugin::object;

} // namespace

#ifndef _WIN32
// Native runs replace the process's allocator, the plug-in's included, so
// that a test can make the plug-in's allocations fail. -1: never fail.
static long allocationsBeforeFailure = -1;

static void* CountedAllocation(std::size_t size) noexcept
{
    if (allocationsBeforeFailure == 0)
        return nullptr;
    if (allocationsBeforeFailure > 0)
        --allocationsBeforeFailure;
    return std::malloc(size ? size : 1);
}
static void* Allocation(std::size_t size)
{
    if (void* block = CountedAllocation(size))
        return block;
    throw std::bad_alloc();
}
// Every form, so that no block crosses between this allocator and another.
void* operator new(std::size_t size) { return Allocation(size); }
void* operator new[](std::size_t size) { return Allocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace {

// The browser's own functions do not fail: only the plug-in's allocations do.
NPIdentifier StringIdWithoutFaults(const NPUTF8* name)
{
    long saved = allocationsBeforeFailure;
    allocationsBeforeFailure = -1;
    NPIdentifier id = BrowserHost::StringId(name);
    allocationsBeforeFailure = saved;
    return id;
}

} // namespace

// Defined first, so that it runs before anything builds the process-wide object.
TEST(PluginOutOfMemory, TheObjectIsWholeOrNotBuilt)
{
    BrowserHost host(ProgramFolder() + PLUGIN);
    ASSERT_EQ(host.error, "");
    host.browserFuncs.getstringidentifier = StringIdWithoutFaults;
    ASSERT_EQ(host.Initialize(), NPERR_NO_ERROR);
    NPP_t instance{};
    ASSERT_EQ(host.NewInstance(&instance), NPERR_NO_ERROR);
    // Fail the first allocation, then the second, ... until the object is built.
    int refused = 0;
    void* value = nullptr;
    for (long allowed = 0; value == nullptr && allowed < 1000; ++allowed) {
        allocationsBeforeFailure = allowed;
        host.pluginFuncs.getvalue(&instance, NPPVpluginScriptableNPObject, &value);
        allocationsBeforeFailure = -1;
        refused += value == nullptr;
    }
    EXPECT_GT(refused, 0) << "the object was built before this test";
    ASSERT_NE(value, nullptr);
    auto* object = static_cast<NPObject*>(value);
    for (const char* name : {"InitPassword", "FindKeys", "UpdatePassword", "GetSN", "HMAC_MD5", "ResetDigist",
                             "HMAC_MD5_HexString", "SetLog"})
        EXPECT_TRUE(object->_class->hasMethod(object, BrowserHost::StringId(name))) << name;
    NPVariant result;
    ASSERT_TRUE(host.Call(object, "FindKeys", {}, &result));
    EXPECT_EQ(BrowserHost::Describe(result).rfind("int ", 0), 0u);
}
#endif

TEST_F(Plugin, EntryPointsFillOnlyTheirFour)
{
#ifdef _WIN32
    NPPluginFuncs funcs;
    std::memset(&funcs, 0xAB, sizeof funcs);
    funcs.size = 0x1234;
    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    getEntryPoints = reinterpret_cast<NP_GetEntryPointsFunc>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA(PLUGIN), "NP_GetEntryPoints")));
    ASSERT_NE(getEntryPoints, nullptr);
    EXPECT_EQ(getEntryPoints(&funcs), NPERR_NO_ERROR);
    EXPECT_EQ(funcs.size, 0x1234);
    EXPECT_EQ(funcs.version, 27);
    EXPECT_EQ(funcs.newp, host->pluginFuncs.newp);
    EXPECT_EQ(funcs.destroy, host->pluginFuncs.destroy);
    EXPECT_EQ(funcs.getvalue, host->pluginFuncs.getvalue);
    void* untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    EXPECT_EQ(funcs.setwindow, untouched);
    EXPECT_EQ(funcs.setvalue, untouched);
    EXPECT_EQ(funcs.javaClass, untouched);
#else
    EXPECT_EQ(host->pluginFuncs.version, 27);
#endif
    EXPECT_NE(host->pluginFuncs.newp, nullptr);
    EXPECT_NE(host->pluginFuncs.destroy, nullptr);
    EXPECT_NE(host->pluginFuncs.getvalue, nullptr);
}

TEST_F(Plugin, GetValueAnswersOnlyTheScriptableObject)
{
    for (int variable : {1, 2, 3, 14, 16}) {
        void* value = reinterpret_cast<void*>(0x5A5A);
        EXPECT_EQ(host->pluginFuncs.getvalue(&instance, static_cast<NPPVariable>(variable), &value), NPERR_NO_ERROR);
        EXPECT_EQ(value, reinterpret_cast<void*>(0x5A5A)) << variable;
    }
    // A second instance, and a request after deallocate, get the same object.
    NPP_t other{};
    EXPECT_EQ(host->NewInstance(&other), NPERR_NO_ERROR);
    EXPECT_EQ(host->ScriptableObject(&other), object);
    object->_class->deallocate(object);
    EXPECT_EQ(host->ScriptableObject(&instance), object);
    EXPECT_EQ(object->referenceCount, 1u);
    AddKey("key");
    EXPECT_EQ(Call("GetSN"), "string \"0a1b2c3d4e5f6071\"");
}

TEST_F(Plugin, ClassCallbacksAnswer)
{
    NPClass* c = object->_class;
    EXPECT_EQ(c->structVersion, 3u);
    for (const char* name : {"InitPassword", "FindKeys", "UpdatePassword", "GetSN", "HMAC_MD5", "ResetDigist",
                             "HMAC_MD5_HexString", "SetLog"}) {
        EXPECT_TRUE(c->hasMethod(object, BrowserHost::StringId(name))) << name;
        EXPECT_FALSE(c->hasProperty(object, BrowserHost::StringId(name))) << name;
    }
    for (const char* name : {"getsn", "GETSN", "Findkeys", "setlog", ""})
        EXPECT_FALSE(c->hasMethod(object, BrowserHost::StringId(name))) << name;
    EXPECT_FALSE(c->hasMethod(object, BrowserHost::IntId(0)));
    EXPECT_FALSE(c->hasProperty(object, BrowserHost::IntId(1)));

    NPVariant result = BrowserHost::Int(77);
    EXPECT_FALSE(c->getProperty(object, BrowserHost::StringId("GetSN"), &result));
    EXPECT_EQ(result.value.intValue, 77);
    EXPECT_FALSE(c->setProperty(object, BrowserHost::StringId("x"), &result));
    EXPECT_FALSE(c->removeProperty(object, BrowserHost::StringId("x")));
    NPIdentifier* ids = nullptr;
    uint32_t count = 5;
    EXPECT_FALSE(c->enumerate(object, &ids, &count));
    EXPECT_FALSE(c->invokeDefault(object, nullptr, 0, &result));
    EXPECT_TRUE(c->construct(object, nullptr, 0, &result));
    EXPECT_EQ(result.type, NPVariantType_Int32);
    EXPECT_EQ(result.value.intValue, 77);

    EXPECT_EQ(Call("getsn"), "refused");
    std::vector<NPVariant> none;
    EXPECT_FALSE(host->Invoke(object, BrowserHost::IntId(3), none, &result));
}

// The methods' rules are the shared ones (tested with them); here, how the
// plug-in converts: strings in as their UTF-8 bytes, anything else as not
// a string, numbers and text out as int32 and string variants.
TEST_F(Plugin, MethodResults)
{
    EXPECT_EQ(Call("FindKeys"), "int 0");
    EXPECT_EQ(Call("GetSN"), "int -2");
    AddKey("a-key");
    EXPECT_EQ(Call("FindKeys"), "int 1");
    EXPECT_EQ(Call("GetSN", {S("extra"), BrowserHost::Int(1)}), "string \"0a1b2c3d4e5f6071\"");
    EXPECT_EQ(Call("InitPassword", {BrowserHost::Int(5)}), "int -11");
    EXPECT_EQ(Call("InitPassword", {S("\xE5\xAF\x86")}), "int 0");
    EXPECT_EQ(Call("UpdatePassword", {S("wrong"), S("x")}), "int -5");
    EXPECT_EQ(Call("UpdatePassword", {S("\xE5\xAF\x86"), S("pw")}), "int 0");
    const std::string value = "000102030405060708090a0b0c0d0e0f";
    EXPECT_EQ(Call("ResetDigist", {S("pw"), S(value)}), "int 0");

    uint8_t key[16], expected[16];
    HIDUSBKEY::HexToBytes(key, value.c_str(), 16);
    HmacMd5(key, reinterpret_cast<const uint8_t*>("challenge"), 9, expected);
    EXPECT_EQ(Call("HMAC_MD5", {S("pw"), S("challenge")}), "string \"" + HIDUSBKEY::ToHexLower(expected, 16) + "\"");
    const uint8_t bytes[2] = {0x0A, 0x0B};
    HmacMd5(key, bytes, 2, expected);
    EXPECT_EQ(Call("HMAC_MD5_HexString", {S("pw"), S("0A0b")}),
              "string \"" + HIDUSBKEY::ToHexLower(expected, 16) + "\"");

    AddKey("b-key");
    EXPECT_EQ(Call("FindKeys"), "int 2");
    EXPECT_EQ(Call("GetSN"), "int -3");
}

TEST_F(Plugin, StringResultsComeFromTheBrowsersAllocator)
{
    AddKey("key");
    NPVariant result;
    ASSERT_TRUE(host->Call(object, "GetSN", {}, &result));
    ASSERT_EQ(result.type, NPVariantType_String);
    EXPECT_EQ(result.value.stringValue.UTF8Length, 16u);
    EXPECT_EQ(result.value.stringValue.UTF8Characters[16], '\0');
    EXPECT_EQ(BrowserHost::outstandingAllocations, 1);
    BrowserHost::Release(result);

    // No buffer from the browser: the call fails cleanly.
    BrowserHost::failAllocations = true;
    EXPECT_EQ(Call("GetSN"), "int -6");
    BrowserHost::failAllocations = false;
}

TEST_F(Plugin, MissingBrowserFunctionsFailCleanly)
{
    AddKey("key");
    NPNetscapeFuncs full = host->browserFuncs;
    host->browserFuncs.memalloc = nullptr;
    host->browserFuncs.memfree = nullptr;
    host->browserFuncs.utf8fromidentifier = nullptr;
    host->browserFuncs.createobject = nullptr;
    ASSERT_EQ(host->Initialize(), NPERR_NO_ERROR);
    EXPECT_EQ(Call("GetSN"), "int -6");
    EXPECT_EQ(Call("FindKeys"), "int 1");
    void* value = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(host->pluginFuncs.getvalue(&instance, NPPVpluginScriptableNPObject, &value), NPERR_NO_ERROR);
    EXPECT_EQ(value, nullptr);

    const fs::path log = folder / "nameless.log";
    EXPECT_EQ(Call("SetLog", {S(log.string())}), "int 0");
    EXPECT_EQ(Call("FindKeys"), "int 1");
    EXPECT_EQ(Call("SetLog", {S("")}), "int 0");
    EXPECT_EQ(ReadFile(log), Lines({"SetLog start", "MyNPInvokeFunctionPtr (null) argCount = 0",
                                    "MyNPInvokeFunctionPtr (null) argCount = 1", "SetLog start"}));

    host->browserFuncs = full;
    ASSERT_EQ(host->Initialize(), NPERR_NO_ERROR);
    EXPECT_EQ(Call("GetSN"), "string \"0a1b2c3d4e5f6071\"");
}

TEST_F(Plugin, TraceLines)
{
    const fs::path log = folder / "trace.log";
    NPClass* c = object->_class;
    NPVariant result = BrowserHost::Int(0);
    std::vector<NPVariant> two = {BrowserHost::Int(1), BrowserHost::Int(2)};

    EXPECT_EQ(Call("SetLog", {S(log.string())}), "int 0");
    host->GetEntryPoints();
    host->Initialize();
    NPP_t other{};
    host->NewInstance(&other);
    EXPECT_EQ(host->ScriptableObject(&other), object);
    void* value = nullptr;
    host->pluginFuncs.getvalue(&other, NPPVpluginWindowBool, &value);
    c->hasMethod(object, BrowserHost::StringId("GetSN"));
    c->hasMethod(object, BrowserHost::IntId(7));
    host->Invoke(object, BrowserHost::StringId("FindKeys"), two, &result);
    host->Invoke(object, BrowserHost::IntId(3), {}, &result);
    c->invokeDefault(object, nullptr, 0, &result);
    c->hasProperty(object, BrowserHost::StringId("GetSN"));
    c->hasProperty(object, BrowserHost::IntId(0));
    c->getProperty(object, BrowserHost::StringId("length"), &result);
    c->setProperty(object, BrowserHost::IntId(2), &result);
    c->removeProperty(object, BrowserHost::StringId("x"));
    NPIdentifier* ids;
    uint32_t count;
    c->enumerate(object, &ids, &count);
    c->construct(object, nullptr, 0, &result);
    c->invalidate(object);
    c->deallocate(object);
    host->pluginFuncs.destroy(&other, nullptr);
    host->Shutdown();
    EXPECT_EQ(Call("SetLog", {S("")}), "int 0");

    EXPECT_EQ(ReadFile(log), Lines({
                                 "SetLog start",
                                 GET_ENTRY_POINTS_LINE,
                                 "NP_Initialize()",
                                 "NPP_New",
                                 "NPP_GetValue variable = 15",
                                 "MyNPAllocateFunctionPtr",
                                 "NPP_GetValue variable = 3",
                                 "MyNPHasMethodFunctionPtr GetSN",
                                 "MyNPHasMethodFunctionPtr (null)",
                                 "MyNPInvokeFunctionPtr FindKeys argCount = 2",
                                 "MyNPInvokeFunctionPtr (null) argCount = 0",
                                 "MyNPInvokeDefaultFunctionPtr",
                                 "MyNPHasPropertyFunctionPtr GetSN",
                                 "MyNPHasPropertyFunctionPtr (null)",
                                 "MyNPGetPropertyFunctionPtr length",
                                 "MyNPSetPropertyFunctionPtr (null)",
                                 "MyNPRemovePropertyFunctionPtr x",
                                 "MyNPEnumerationFunctionPtr",
                                 "MyNPConstructFunctionPtr",
                                 "MyNPInvalidateFunctionPtr",
                                 "MyNPDeallocateFunctionPtr",
                                 "NPP_Destroy",
                                 "NP_Shutdown()",
                                 "MyNPInvokeFunctionPtr SetLog argCount = 1",
                                 "SetLog start",
                             }));
    EXPECT_EQ(host->ScriptableObject(&instance), object);
}

TEST_F(Plugin, PageChosenNamesAreEscapedInTheTrace)
{
    const fs::path log = folder / "names.log";
    NPClass* c = object->_class;
    NPVariant result = BrowserHost::Int(0);
    EXPECT_EQ(Call("SetLog", {S(log.string())}), "int 0");
    c->hasMethod(object, BrowserHost::StringId("x\r\ncmd /c calc & echo \"%TEMP%\"\xE4\xB8\xAD"));
    c->hasProperty(object, BrowserHost::StringId(std::string(300, 'a')));
    c->getProperty(object, BrowserHost::StringId(std::string(70, '.')), &result);
    host->Invoke(object, BrowserHost::StringId("Get_SN9"), {}, &result);
    EXPECT_EQ(Call("SetLog", {S("")}), "int 0");

    std::string dots;
    for (int i = 0; i < 64; ++i)  // 70 escapes would pass the 256-byte cap; an escape is never cut
        dots += "\\x2e";
    EXPECT_EQ(ReadFile(log),
              Lines({"SetLog start",
                     "MyNPHasMethodFunctionPtr x\\x0d\\x0acmd\\x20\\x2fc\\x20calc\\x20\\x26\\x20echo\\x20\\x22"
                     "\\x25TEMP\\x25\\x22\\xe4\\xb8\\xad",
                     "MyNPHasPropertyFunctionPtr " + std::string(256, 'a'), "MyNPGetPropertyFunctionPtr " + dots,
                     "MyNPInvokeFunctionPtr Get_SN9 argCount = 0", "MyNPInvokeFunctionPtr SetLog argCount = 1",
                     "SetLog start"}));
}

TEST_F(Plugin, SetLogRefusesSharesDevicesAndControlCharacters)
{
    const fs::path log = folder / "kept.log";
    EXPECT_EQ(Call("SetLog", {S(log.string())}), "int 0");
    for (const std::string& path : std::vector<std::string>{"\\\\server\\share\\x.log", "//server/x.log", "\\\\.\\COM1", "\\\\?\\C:\\x.log",
                                   "\\/server\\x", "/\\server\\x", std::string("a.log\0.bat", 9), "a\nb.log",
                                   "x\x7f.log"})
        EXPECT_EQ(Call("SetLog", {S(path)}), "int -11") << path;
    // Still tracing into the same file; a local path is taken as before.
    const fs::path next = folder / "next.log";
    EXPECT_EQ(Call("SetLog", {S(next.string())}), "int 0");
    EXPECT_EQ(Call("SetLog", {S("")}), "int 0");
    std::string kept = ReadFile(log);
    EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 1 + 9 * 3 + 2) << kept;
    EXPECT_EQ(ReadFile(next), Lines({"SetLog start", "MyNPInvokeFunctionPtr SetLog argCount = 1", "SetLog start"}));
}

TEST_F(Plugin, SetLogEdgeCases)
{
    const fs::path first = folder / "first.log", second = folder / "second.log";
    EXPECT_EQ(Call("SetLog", {S(first.string())}), "int 0");
    EXPECT_EQ(Call("SetLog"), "int -11");
    EXPECT_EQ(Call("SetLog", {BrowserHost::Int(4)}), "int -11");
    EXPECT_EQ(Call("SetLog", {S(second.string())}), "int 0");
    EXPECT_EQ(ReadFile(first), Lines({"SetLog start", "MyNPInvokeFunctionPtr SetLog argCount = 0", "SetLog start",
                                      "SetLog start", "MyNPInvokeFunctionPtr SetLog argCount = 1", "SetLog start",
                                      "SetLog start", "MyNPInvokeFunctionPtr SetLog argCount = 1", "SetLog start"}));
    EXPECT_EQ(ReadFile(second), Lines({"SetLog start"}));

    // A folder that does not exist: lines are lost, calls go on.
    EXPECT_EQ(Call("SetLog", {S((folder / "missing" / "x.log").string())}), "int 0");
    EXPECT_EQ(Call("FindKeys"), "int 0");

    // A file another program holds exclusively: its lines are dropped.
    EXPECT_EQ(Call("SetLog", {S(second.string())}), "int 0");
    {
#ifdef _WIN32
        HANDLE held = CreateFileA(second.string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Call("GetSN"), "int -2");
        CloseHandle(held);
#else
        int held = open(second.c_str(), O_RDONLY);
        ASSERT_EQ(flock(held, LOCK_EX), 0);
        EXPECT_EQ(Call("GetSN"), "int -2");
        close(held);
#endif
    }
    EXPECT_EQ(Call("SetLog", {S("")}), "int 0");
    std::string text = ReadFile(second);
    EXPECT_EQ(text.find("GetSN"), std::string::npos);
    EXPECT_NE(text.find("MyNPInvokeFunctionPtr SetLog argCount = 1"), std::string::npos);

    // With tracing off nothing is written anywhere.
    fs::remove(second);
    EXPECT_EQ(Call("FindKeys"), "int 0");
    EXPECT_FALSE(fs::exists(second));
}
