// The native host in-process: frames, the JSON mapping of requests and
// answers, the origin policy, SetLog's bare names and the trace, against a
// key in the test itself (the key's waits skipped).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fakehid.h"
#include "framing.h"
#include "hex.h"
#include "hostfiles.h"
#include "md5.h"
#include "protocol.h"
#include "sites.h"

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;
using namespace NATIVEHOST;
using nlohmann::json;

namespace {

class Bytes : public ByteStream {
public:
    explicit Bytes(std::string input = "", size_t chunk = SIZE_MAX) : input(std::move(input)), chunk(chunk) {}
    size_t Read(void* buffer, size_t count) override
    {
        size_t n = std::min({count, chunk, input.size() - at});
        std::memcpy(buffer, input.data() + at, n);
        at += n;
        return n;
    }
    bool Write(const void* bytes, size_t count) override
    {
        output.append(static_cast<const char*>(bytes), count);
        return true;
    }
    std::string input, output;
    size_t at = 0, chunk;
};

std::string Prefix(uint32_t length)
{
    return std::string{static_cast<char>(length), static_cast<char>(length >> 8), static_cast<char>(length >> 16),
                       static_cast<char>(length >> 24)};
}

void NoWait(DWORD) {}

class NativeHost : public ::testing::Test {
protected:
    NativeHost() : folder(fs::temp_directory_path() / "tallykey-nativehost"), trace(folder.string())
    {
        HIDUSBKEY::SetKeyWaitFunction(NoWait);
        fs::remove_all(folder);
        fake.Add("key");
    }
    ~NativeHost() override
    {
        HIDUSBKEY::SetKeyWaitFunction(nullptr);
        std::error_code ignored;
        fs::remove_all(folder, ignored);
    }
    json Ask(const json& request, const OriginPolicy& policy = OriginPolicy())
    {
        Host host(fake.devices, policy, trace, guesses);
        return json::parse(host.Handle(request.dump()));
    }
    // A call as the background sends it for an origin the user allowed,
    // with the passwords the user typed into its window.
    json Call(const std::string& method, const json& args, const std::string& origin = "https://bank.example")
    {
        return Ask(json{{"id", 7},         {"method", method}, {"args", args},
                        {"origin", origin}, {"consent", true}, {"typed", true}});
    }
    void SetPassword(const std::string& password)
    {
        HIDUSBKEY::Md5Digest(password.data(), password.size(), fake.key.firmware.passwordDigest);
    }

    FakeHid fake;
    fs::path folder;
    HostTrace trace;
    GuessLedger guesses{""};
};

} // namespace

TEST(Frames, LengthInLittleEndianOrderAndAnyBytes)
{
    // Length bytes that text-mode streams would mangle: 0x0A and 0x1A.
    std::string body(0x1A0A, 'x');
    Bytes in(Prefix(0x1A0A) + body + Prefix(0) + Prefix(3), 7);
    std::string frame;
    EXPECT_EQ(ReadFrame(in, frame), FrameRead::Frame);
    EXPECT_EQ(frame, body);
    EXPECT_EQ(ReadFrame(in, frame), FrameRead::Frame);
    EXPECT_EQ(frame, "");
    EXPECT_EQ(ReadFrame(in, frame), FrameRead::Truncated);
    EXPECT_EQ(ReadFrame(in, frame), FrameRead::End);

    Bytes half(Prefix(5).substr(0, 2));
    EXPECT_EQ(ReadFrame(half, frame), FrameRead::Truncated);
    // An oversized frame is read past, and the next one is read whole.
    Bytes huge(Prefix(MAX_FRAME_BYTES + 1) + std::string(MAX_FRAME_BYTES + 1, '[') + Prefix(2) + "{}", 1000);
    EXPECT_EQ(ReadFrame(huge, frame), FrameRead::TooLong);
    EXPECT_EQ(ReadFrame(huge, frame), FrameRead::Frame);
    EXPECT_EQ(frame, "{}");
    Bytes cut(Prefix(MAX_FRAME_BYTES + 1) + "{}");
    EXPECT_EQ(ReadFrame(cut, frame), FrameRead::Truncated);
    Bytes limit(Prefix(MAX_FRAME_BYTES) + std::string(MAX_FRAME_BYTES, ' '));
    EXPECT_EQ(ReadFrame(limit, frame), FrameRead::Frame);

    Bytes out;
    ASSERT_TRUE(WriteFrame(out, "{\"id\":1}"));
    EXPECT_EQ(out.output, Prefix(8) + "{\"id\":1}");
}

std::string ReadText(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Origins, WithoutSettingsEveryEligibleOriginAsksTheUser)
{
    OriginPolicy policy;
    for (const char* eligible : {"https://bank.example", "HTTPS://Bank.Example:8443", "https://[::1]",
                                 "http://localhost", "http://localhost:8080", "http://127.0.0.1:1"})
        EXPECT_EQ(policy.AccessFor(eligible), Access::Ask) << eligible;
    for (const char* refused : {"http://bank.example", "http://localhost.evil.com", "http://127.0.0.1.evil.com",
                                "https://bank.example/path", "https://user@bank.example", "file://", "null", "",
                                "chrome-extension://abc", "https://", "https://a:99999", "https://a:"})
        EXPECT_EQ(policy.AccessFor(refused), Access::Refused) << refused;
}

TEST(Origins, ListedOriginsNeedNoConsentAndTheSettingDecidesTheRest)
{
    const std::vector<std::string> list = {"https://bank.example", "http://intranet:8080", "http://localhost:3000"};
    for (bool prompt : {true, false}) {
        OriginPolicy policy(list, prompt);
        EXPECT_EQ(policy.AccessFor("https://bank.example:443"), Access::Listed);
        EXPECT_EQ(policy.AccessFor("http://LOCALHOST:3000"), Access::Listed);
        EXPECT_EQ(policy.AccessFor("http://intranet:8080"), Access::Refused) << "plain http is never allowed";
        const Access unlisted = prompt ? Access::Ask : Access::Refused;
        EXPECT_EQ(policy.AccessFor("https://other.example"), unlisted);
        EXPECT_EQ(policy.AccessFor("http://localhost"), unlisted);
    }
    OriginPolicy none = OriginPolicy::Unreadable();
    for (const char* origin : {"https://bank.example", "http://localhost"})
        EXPECT_EQ(none.AccessFor(origin), Access::Refused) << origin;
}

TEST(Origins, TheSettingsFileInBothFormsAndEveryWayOfBeingBroken)
{
    const fs::path file = fs::temp_directory_path() / "tallykey-origins.json";
    fs::remove_all(file);
    std::string problem;
    EXPECT_EQ(OriginPolicy::FromFile(file.string(), problem).AccessFor("https://any.example"), Access::Ask)
        << "no file: no list";
    EXPECT_EQ(problem, "");

    struct Case {
        const char* text;
        Access listed, unlisted;
        bool requiresEntry = false;
    };
    for (const Case& c : {Case{R"(["https://only.example"])", Access::Listed, Access::Ask},
                          Case{R"({"origins": ["https://only.example"], "requirePasswordEntry": true})",
                               Access::Listed, Access::Ask, true},
                          Case{R"({"origins": [], "requirePasswordEntry": false})", Access::Ask, Access::Ask},
                          Case{R"({"origins": [], "requirePasswordEntry": 1})", Access::Refused, Access::Refused},
                          Case{R"({"origins": ["https://only.example"]})", Access::Listed, Access::Ask},
                          Case{R"({"origins": ["https://only.example"], "promptForOthers": false})", Access::Listed,
                               Access::Refused},
                          Case{R"({"origins": [], "promptForOthers": true})", Access::Ask, Access::Ask},
                          // Broken: nothing allowed, and a reason given.
                          Case{R"(["https://only.example")", Access::Refused, Access::Refused},
                          Case{"not json", Access::Refused, Access::Refused},
                          Case{"[1]", Access::Refused, Access::Refused},
                          Case{R"(["a", null])", Access::Refused, Access::Refused},
                          Case{"{}", Access::Refused, Access::Refused},
                          Case{R"({"origins": "https://only.example"})", Access::Refused, Access::Refused},
                          Case{R"({"origins": [], "promptForOthers": "no"})", Access::Refused, Access::Refused},
                          Case{R"({"origins": [], "promptforothers": false})", Access::Refused, Access::Refused},
                          Case{"", Access::Refused, Access::Refused}}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << c.text;
        problem.clear();
        OriginPolicy policy = OriginPolicy::FromFile(file.string(), problem);
        EXPECT_EQ(policy.AccessFor("https://only.example"), c.listed) << c.text;
        EXPECT_EQ(policy.AccessFor("https://other.example"), c.unlisted) << c.text;
        EXPECT_EQ(problem.empty(), c.listed != Access::Refused) << c.text << ": " << problem;
        // Settings that cannot be read require it too: they might have.
        EXPECT_EQ(policy.RequiresPasswordEntry(), c.requiresEntry || c.listed == Access::Refused) << c.text;
    }
    // A folder where the file belongs is no list either.
    fs::remove(file);
    fs::create_directory(file);
    problem.clear();
    EXPECT_EQ(OriginPolicy::FromFile(file.string(), problem).AccessFor("https://any.example"), Access::Refused);
    EXPECT_NE(problem.find("no page may use the key"), std::string::npos) << problem;
    fs::remove_all(file);

    // Only a file that is not there, in a folder that is missing or is a
    // folder, means no settings; whatever else stands in the way may hide a list.
    const fs::path root = fs::temp_directory_path() / "tallykey-policy";
    fs::remove_all(root);
    fs::create_directories(root / "folder");
    std::ofstream(root / "file") << "[]";
    struct Place {
        fs::path path;
        Access access;
    };
    std::vector<Place> places = {{root / "folder" / "allowed-origins.json", Access::Ask},
                                 {root / "missing" / "allowed-origins.json", Access::Ask},
                                 {root / "file" / "allowed-origins.json", Access::Refused}};
#ifndef _WIN32
    fs::create_symlink(root / "nowhere.json", root / "folder" / "dangling.json");
    fs::create_symlink(root / "nowhere", root / "dangling-folder");
    fs::create_symlink(root / "folder", root / "linked-folder");
    places.push_back({root / "folder" / "dangling.json", Access::Refused});
    places.push_back({root / "dangling-folder" / "allowed-origins.json", Access::Refused});
    places.push_back({root / "linked-folder" / "allowed-origins.json", Access::Ask});
#endif
    for (const Place& place : places) {
        problem.clear();
        EXPECT_EQ(OriginPolicy::FromFile(place.path.string(), problem).AccessFor("https://any.example"), place.access)
            << place.path;
        EXPECT_EQ(problem.empty(), place.access == Access::Ask) << place.path << ": " << problem;
    }
    fs::remove_all(root);
}

#ifdef _WIN32
// A policy key that is there but cannot be opened for reading may hide an
// administrator's list: it allows nothing, as an unreadable file does.
TEST(Origins, APolicyKeyThatCannotBeReadAllowsNothing)
{
    const wchar_t* path = L"SOFTWARE\\TallykeyTests\\UnreadablePolicy";
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    std::string problem;
    EXPECT_EQ(OriginPolicy::FromRegistry(path, problem).AccessFor("https://any.example"), Access::Ask);
    EXPECT_EQ(problem, "");
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR denyReading = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(D;;KR;;;WD)(A;;KA;;;WD)", SDDL_REVISION_1,
                                                                     &denyReading, nullptr));
    const LONG set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, denyReading);
    LocalFree(denyReading);
    RegCloseKey(key);
    ASSERT_EQ(set, ERROR_SUCCESS);
    HKEY probe = nullptr;
    const LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &probe);
    if (probe)
        RegCloseKey(probe);
    problem.clear();
    const Access access = OriginPolicy::FromRegistry(path, problem).AccessFor("https://any.example");
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\TallykeyTests", KEY_WOW64_64KEY, 0);
    ASSERT_EQ(opened, ERROR_ACCESS_DENIED) << "the registry let a denied reader in; nothing to check";
    EXPECT_EQ(access, Access::Refused);
    EXPECT_NE(problem.find("cannot be opened (error 5): no page may use the key"), std::string::npos) << problem;
}
#endif

TEST(IllFormedStrings, BecomeNull)
{
    EXPECT_EQ(NullIllFormedStrings(R"(["a", "\ud83d\ude00", "é"])"), R"(["a", "\ud83d\ude00", "é"])");
    EXPECT_EQ(NullIllFormedStrings(R"(["\ud800", "\udc00x", "\ud800\u0041"])"), R"([null, null, null])");
    EXPECT_EQ(NullIllFormedStrings("[\"\xC0\xAF\", \"\xED\xA0\x80\", \"\xFF\", \"ok\"]"), "[null, null, null, \"ok\"]");
    EXPECT_EQ(NullIllFormedStrings(R"(["\"quoted\\", "x"])"), R"(["\"quoted\\", "x"])");
}

TEST_F(NativeHost, MethodsAnswerAsThePluginDoes)
{
    EXPECT_EQ(Call("FindKeys", json::array()), (json{{"id", 7}, {"result", 1}}));
    EXPECT_EQ(Call("GetSN", json::array())["result"], "0001abcdef10207f");
    EXPECT_EQ(Call("InitPassword", {"pw"})["result"], 0);
    EXPECT_EQ(Call("InitPassword", {"again"})["result"], -5);
    const std::string value = "000102030405060708090a0b0c0d0e0f";
    EXPECT_EQ(Call("ResetDigist", {"pw", value})["result"], 0);
    uint8_t key[16], expected[16];
    HIDUSBKEY::HexToBytes(key, value.c_str(), 16);
    SIMKEY::HmacMd5(key, reinterpret_cast<const uint8_t*>("challenge"), 9, expected);
    EXPECT_EQ(Call("HMAC_MD5", {"pw", "challenge"})["result"], HIDUSBKEY::ToHexLower(expected, 16));
    SIMKEY::HmacMd5(key, reinterpret_cast<const uint8_t*>("\x0a\x0b"), 2, expected);
    EXPECT_EQ(Call("HMAC_MD5_HexString", {"pw", "0A0b"})["result"], HIDUSBKEY::ToHexLower(expected, 16));
    // UTF-8 password bytes, as the plug-in sends them.
    EXPECT_EQ(Call("UpdatePassword", {"pw", "密码"})["result"], 0);
    uint8_t digest[16];
    HIDUSBKEY::Md5Digest("\xE5\xAF\x86\xE7\xA0\x81", 6, digest);
    EXPECT_EQ(std::memcmp(digest, fake.key.firmware.passwordDigest, 16), 0);
}

TEST_F(NativeHost, ArgumentsThatAreNoStringsAreInvalid)
{
    SetPassword("pw");
    for (const json& args : {json::array(), json{"pw"}, json{"pw", 5}, json{nullptr, "m"}, json{"pw", json::object()},
                             json{"pw", true}, json{"pw", 1.5}, json{"pw", json::array({"m"})}})
        EXPECT_EQ(Call("HMAC_MD5", args)["result"], -11) << args.dump();
    EXPECT_EQ(Call("HMAC_MD5", {"pw", "m"})["result"].is_string(), true);
    // A lone surrogate is no string: -11, not an error answer.
    Host host(fake.devices, OriginPolicy(), trace, guesses);
    json answer = json::parse(host.Handle(
        R"({"id":1,"method":"HMAC_MD5","args":["pw","\ud800"],"origin":"https://bank.example","consent":true})"));
    EXPECT_EQ(answer["result"], -11);
}

TEST_F(NativeHost, BadRequestsGetErrorAnswersAndRefusedOriginsNeverReachTheKey)
{
    Host host(fake.devices, OriginPolicy(), trace, guesses);
    for (const char* bad : {"", "not json", "[]", "{}", "{\"id\":3}", "{\"id\":3,\"method\":5}",
                            "{\"id\":3,\"method\":\"getsn\",\"origin\":\"https://a.b\"}",
                            "{\"id\":3,\"method\":\"GetSN\",\"args\":{},\"origin\":\"https://a.b\"}"}) {
        json answer = json::parse(host.Handle(bad));
        EXPECT_EQ(answer["error"], "bad-request") << bad;
    }
    // Nesting a page controls never makes the host recurse: too deep is a bad request.
    for (const std::string& deep : {R"({"id":1,"method":"GetSN","args":)" + std::string(100000, '[') + "]}",
                                    R"({"id":)" + std::string(100000, '{') + "}",
                                    std::string(R"({"id":1,"method":"GetSN","args":[[[[[[[["x"]]]]]]]]})")}) {
        json answer = json::parse(host.Handle(deep));
        EXPECT_EQ(answer["error"], "bad-request");
        EXPECT_EQ(answer["id"], nullptr);
    }
    // Brackets inside strings are text, and eight levels are fine.
    EXPECT_EQ(json::parse(host.Handle(
        R"({"id":1,"method":"HMAC_MD5","args":["pw", "[[[[[[[[[[[[{{{{"],"origin":"https://a.b","consent":true,)"
        R"("x":[[[[[[1]]]]]]})"))["result"], -5);
    for (const json& id : {json(std::string(65, 'i')), json::array({1}), json::object(), json(true)})
        EXPECT_EQ(json::parse(host.Handle(json{{"id", id}, {"method", "FindKeys"}}.dump()))["error"], "bad-request");
    const int writes = static_cast<int>(fake.key.writes.size());
    for (const char* origin : {"http://bank.example", "", "https://bank.example/"}) {
        json answer = Call("GetSN", json::array(), origin);
        EXPECT_EQ(answer["error"], "origin-refused") << origin;
        EXPECT_EQ(answer["id"], 7);
    }
    EXPECT_EQ(Ask(json{{"id", 1}, {"method", "GetSN"}})["error"], "origin-refused");
    EXPECT_EQ(static_cast<int>(fake.key.writes.size()), writes);
}

TEST_F(NativeHost, TheHandshakeTellsTheAccessAndConsentIsNeededWhereTheUserDecides)
{
    const OriginPolicy policy({"https://listed.example"}, true);
    auto hello = [&](const char* origin) {
        json request{{"id", "h"}, {"method", "hello"}};
        if (origin)
            request["origin"] = origin;
        return Ask(request, policy);
    };
    const std::string version = HOST_VERSION;
    EXPECT_EQ(hello("https://listed.example"), (json{{"id", "h"}, {"result", {{"host", version}, {"access", "listed"}}}}));
    EXPECT_EQ(hello("https://other.example")["result"]["access"], "ask");
    EXPECT_EQ(hello("http://other.example")["result"]["access"], "refused");
    EXPECT_EQ(hello(nullptr)["result"]["access"], "refused");

    auto call = [&](const char* origin, const json& consent) {
        json request{{"id", 2}, {"method", "GetSN"}, {"origin", origin}};
        if (!consent.is_null())
            request["consent"] = consent;
        json answer = Ask(request, policy);
        return answer.contains("error") ? answer["error"] : answer["result"];
    };
    const int writes = static_cast<int>(fake.key.writes.size());
    EXPECT_EQ(call("https://other.example", json()), "permission-denied");
    EXPECT_EQ(call("https://other.example", false), "permission-denied");
    EXPECT_EQ(call("https://other.example", "true"), "permission-denied") << "only the boolean counts";
    EXPECT_EQ(call("http://other.example", true), "origin-refused") << "consent cannot open a refused origin";
    EXPECT_EQ(Ask(json{{"id", 2}, {"method", "GetSN"}, {"origin", "https://x.example"}, {"consent", true}},
                  OriginPolicy::Unreadable())["error"], "origin-refused");
    EXPECT_EQ(static_cast<int>(fake.key.writes.size()), writes) << "refused calls never reach the key";
    EXPECT_EQ(call("https://other.example", true), "0001abcdef10207f");
    EXPECT_EQ(call("https://listed.example", json()), "0001abcdef10207f");
}

TEST(GuessLedger, WaitsDoubleFromOneSecondToAMinuteAndARightPasswordClearsThem)
{
    std::vector<int64_t> waits;
    for (unsigned failures = 0; failures <= 9; ++failures)
        waits.push_back(GuessLedger::WaitAfter(failures));
    EXPECT_EQ(waits, (std::vector<int64_t>{0, 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000}));
    EXPECT_EQ(GuessLedger::WaitAfter(~0u), 60000);

    GuessLedger ledger("");
    const int64_t t = 1000000;
    EXPECT_EQ(ledger.WaitFor("https://a.example", t), 0);
    ledger.Wrong("https://a.example", t);
    EXPECT_EQ(ledger.WaitFor("https://a.example", t + 300), 700);
    EXPECT_EQ(ledger.WaitFor("https://b.example", t), 0) << "another origin is not held up";
    ledger.Wrong("https://a.example", t + 1000);
    EXPECT_EQ(ledger.WaitFor("https://a.example", t + 1000), 2000);
    EXPECT_EQ(ledger.WaitFor("https://a.example", t + 3000), 0);
    EXPECT_EQ(ledger.WaitFor("https://a.example", t - 5000), 2000) << "a clock set back waits the whole time only";
    ledger.Right("https://a.example");
    EXPECT_EQ(ledger.WaitFor("https://a.example", t + 1000), 0);
}

TEST(GuessLedger, SurvivesARestartAndHoldsNothingButCountsAndTimes)
{
    const fs::path folder = fs::temp_directory_path() / "tallykey-ledger";
    fs::remove_all(folder);
    const fs::path file = folder / GuessLedger::FILE_NAME;
    const int64_t now = GuessLedger::Now();
    {
        GuessLedger first(folder.string());
        for (int i = 0; i < 3; ++i)
            first.Wrong("https://guesser.example", now);
    }
    GuessLedger second(folder.string());  // a new host process
    EXPECT_EQ(second.WaitFor("https://guesser.example", now), 4000);
    EXPECT_EQ(json::parse(ReadText(file)),
              (json{{"https://guesser.example", {{"failures", 3}, {"last", now}}}}));
    EXPECT_FALSE(IsTraceName(file.filename().string())) << "no page can name it as its trace";
#ifndef _WIN32
    EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1) << "no file left beside it";
    fs::remove_all(folder);
}

// Whatever is wrong with the ledger's file, a guessing site never waits
// less than an intact ledger would make it: it may have held any count.
TEST(GuessLedger, AFileThatCannotBeUsedMakesEverySiteWaitTheLongest)
{
    const fs::path folder = fs::temp_directory_path() / "tallykey-ledger-damaged";
    const fs::path file = folder / GuessLedger::FILE_NAME;
    const int64_t now = GuessLedger::Now();
    std::vector<std::pair<const char*, std::function<void()>>> damages = {
        {"half a file", [&] { std::ofstream(file, std::ios::binary) << "{\"https://a.example\": {\"failures\": "; }},
        {"a folder", [&] { fs::create_directory(file); }},
        {"too big", [&] { std::ofstream(file, std::ios::binary) << "{\"x\": \"" << std::string(2 << 20, 'x') << "\"}"; }},
    };
#ifndef _WIN32
    const fs::path victim = fs::temp_directory_path() / "tallykey-ledger-victim";
    damages.push_back({"a link", [&] {
                           std::ofstream(victim) << "untouched";
                           fs::create_symlink(victim, file);
                       }});
    // A FIFO blocked the host for as long as nobody wrote to it.
    damages.push_back({"a FIFO", [&] { ASSERT_EQ(mkfifo(file.c_str(), 0600), 0); }});
#endif
    for (auto& damage : damages) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        damage.second();
        GuessLedger ledger(folder.string());
        EXPECT_GE(ledger.WaitFor("https://never-seen.example", now), 60000) << damage.first;
        ledger.Right("https://right.example");
        EXPECT_EQ(ledger.WaitFor("https://right.example", now + 1), 0) << damage.first << ": a right password clears it";
        ledger.Wrong("https://guesser.example", now + 2);
        EXPECT_GE(GuessLedger(folder.string()).WaitFor("https://guesser.example", now + 2), 59000)
            << damage.first << ": the count goes on from the floor, in a ledger that is readable again";
        EXPECT_EQ(GuessLedger(folder.string()).WaitFor("https://other.example", now + 61000), 0) << damage.first;
        if (std::string(damage.first) != "a folder") {  // which no rename replaces
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << damage.first << ": replaced by a sound file";
        }
    }
#ifndef _WIN32
    EXPECT_EQ(ReadText(victim), "untouched");
    fs::remove(victim);
#endif
    fs::remove_all(folder);
}

// A ledger at its bound of 1000 entries, with origins as long as they come,
// is read back whole: none of its counts is lost.
TEST(GuessLedger, AFullLedgerIsReadBackWhole)
{
    const fs::path folder = fs::temp_directory_path() / "tallykey-ledger-full";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const int64_t now = GuessLedger::Now();
    const std::string longest(280, 'a');
    json full = json::object();
    for (int i = 0; i < 999; ++i)
        full["https://" + longest + std::to_string(i) + ".example"] = {{"failures", 1}, {"last", now}};
    full["https://guesser.example"] = {{"failures", 7}, {"last", now}};
    std::ofstream(folder / GuessLedger::FILE_NAME, std::ios::binary) << full.dump();
    ASSERT_GT(fs::file_size(folder / GuessLedger::FILE_NAME), 256u * 1024);
    GuessLedger fresh(folder.string());
    EXPECT_EQ(fresh.WaitFor("https://guesser.example", now), 60000);
    fresh.Wrong("https://" + longest + "5.example", now);
    EXPECT_EQ(GuessLedger(folder.string()).WaitFor("https://" + longest + "998.example", now), 1000)
        << "a save keeps the other sites' counts";
    fs::remove_all(folder);
}

// A planted file at any name the save might use is never written through.
TEST(GuessLedger, NothingInTheFolderRedirectsASave)
{
#ifndef _WIN32
    const fs::path folder = fs::temp_directory_path() / "tallykey-ledger-links";
    const fs::path victim = fs::temp_directory_path() / "tallykey-ledger-victim";
    fs::remove_all(folder);
    fs::create_directories(folder);
    std::ofstream(victim) << "untouched";
    fs::create_symlink(victim, folder / ".guesses.json.new");
    GuessLedger ledger(folder.string());
    ledger.Wrong("https://a.example", GuessLedger::Now());
    EXPECT_EQ(ReadText(victim), "untouched");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(folder / GuessLedger::FILE_NAME)));
    fs::remove_all(folder);
    fs::remove(victim);
#endif
}

TEST(Sites, OneSiteForEveryOriginOfARegistrableDomain)
{
    for (const auto& c : std::vector<std::pair<std::string, std::string>>{
             {"https://site.example", "https://site.example"},
             {"https://www.site.example", "https://site.example"},
             {"https://site.example:8443", "https://site.example"},
             {"https://site.example.", "https://site.example"},
             {"https://a.b.SITE.example", "https://site.example"},
             {"http://site.example", "http://site.example"},
             {"https://bank.co.uk", "https://bank.co.uk"},
             {"https://www.bank.co.uk", "https://bank.co.uk"},
             {"https://co.uk", "https://co.uk"},
             {"https://alice.github.io", "https://alice.github.io"},  // the list's private part
             {"https://x.alice.github.io", "https://alice.github.io"},
             {"https://a.b.kawasaki.jp", "https://a.b.kawasaki.jp"},  // a wildcard rule
             {"https://www.city.kawasaki.jp", "https://city.kawasaki.jp"},  // its exception
             {"https://xn--fiqs8s.xn--55qx5d.cn", "https://xn--fiqs8s.xn--55qx5d.cn"},  // a Unicode rule
             {"https://a.xn--fiqs8s.xn--55qx5d.cn", "https://xn--fiqs8s.xn--55qx5d.cn"},
             {"https://192.168.1.2:8000", "https://192.168.1.2"},
             {"https://[2001:db8::1]:8443", "https://[2001:db8::1]"},
             {"http://localhost:3000", "localhost"},
             {"https://localhost", "localhost"},
             {"http://127.0.0.1:8080", "localhost"},
             {"http://app.localhost", "localhost"},
             {"not an origin", ""}})
        EXPECT_EQ(SiteOf(c.first), c.second) << c.first;

    GuessLedger ledger("");
    const int64_t t = 1000000;
    unsigned failures = 0;
    for (const char* origin : {"https://site.example", "https://www.site.example", "https://site.example:8443",
                               "https://site.example."}) {
        ledger.Wrong(origin, t);
        EXPECT_EQ(ledger.WaitFor("https://site.example", t), GuessLedger::WaitAfter(++failures)) << origin;
    }
    EXPECT_EQ(ledger.WaitFor("https://other.example", t), 0);
    ledger.Right("https://www.site.example");
    EXPECT_EQ(ledger.WaitFor("https://site.example:8443", t), 0);
}

// A password the page gives, where only one typed into the extension's
// window will do, never reaches the key: a change to the key from a site
// the user allowed, and any password while the administrator requires
// password entry. One the window took ("typed") does.
TEST_F(NativeHost, PasswordsThePageGivesAreRefusedWhereTheUserMustTypeThem)
{
    SetPassword("pw");
    const std::string challenge = "00112233445566778899aabbccddeeff";
    struct Case {
        const char* method;
        json args;
        bool changesKey;
    };
    const Case cases[] = {{"HMAC_MD5", {"pw", "m"}, false},      {"signIn", {"pw", challenge}, false},
                          {"UpdatePassword", {"pw", "pw"}, true}, {"ResetDigist", {"pw", challenge}, true},
                          {"InitPassword", {"pw"}, true},         {"GetSN", json::array(), false}};
    const OriginPolicy allowingPages({"https://listed.example"}, true);
    const OriginPolicy requiringEntry(PolicySettings{{"https://listed.example"}, true, true});
    auto outcome = [&](const Case& c, const OriginPolicy& policy, const char* origin, const json& typed) {
        json request{{"id", 1}, {"method", c.method}, {"args", c.args}, {"origin", origin}, {"consent", true}};
        if (!typed.is_null())
            request["typed"] = typed;
        const size_t writes = fake.key.writes.size();
        const json answer = Ask(request, policy);
        const bool reachedKey = fake.key.writes.size() != writes;
        EXPECT_EQ(reachedKey, !answer.contains("error")) << c.method;
        return answer.contains("error") ? answer["error"].get<std::string>() : std::string("ran");
    };
    for (const Case& c : cases) {
        const bool takesPassword = !c.args.empty();
        EXPECT_EQ(outcome(c, allowingPages, "https://listed.example", json()), "ran") << c.method;
        EXPECT_EQ(outcome(c, allowingPages, "https://allowed.example", json()), c.changesKey ? "presence-required" : "ran")
            << c.method;
        EXPECT_EQ(outcome(c, allowingPages, "https://allowed.example", "true"),
                  c.changesKey ? "presence-required" : "ran") << "only the boolean counts";
        EXPECT_EQ(outcome(c, allowingPages, "https://allowed.example", true), "ran") << c.method;
        for (const char* origin : {"https://listed.example", "https://allowed.example"}) {
            EXPECT_EQ(outcome(c, requiringEntry, origin, json()), takesPassword ? "password-entry-required" : "ran")
                << c.method << " " << origin;
            EXPECT_EQ(outcome(c, requiringEntry, origin, true), "ran") << c.method << " " << origin;
        }
    }
    // A wrong password's answer says how long the origin's next password call waits.
    const json wrong = Ask(json{{"id", 1}, {"method", "HMAC_MD5"}, {"args", {"wrong", "m"}},
                                {"origin", "https://listed.example"}},
                           allowingPages);
    EXPECT_EQ(wrong["result"], -5);
    EXPECT_EQ(wrong["waitMs"], 1000);
    EXPECT_FALSE(Ask(json{{"id", 1}, {"method", "GetSN"}, {"origin", "https://listed.example"}}, allowingPages)
                     .contains("waitMs"));
}

TEST_F(NativeHost, OnlyAWrongPasswordHoldsUpThatOriginsPasswordCalls)
{
    SetPassword("pw");
    const OriginPolicy policy({"https://a.example", "https://b.example"}, false);
    Host host(fake.devices, policy, trace, guesses);
    auto take = [&](const char* method, const json& args, const char* origin) {
        std::string answer;
        KeyCall call;
        const json request{{"id", 1}, {"method", method}, {"args", args}, {"origin", origin}};
        EXPECT_FALSE(host.Take(request.dump(), answer, call)) << answer;
        return call;
    };
    // Neither a key that has a password (InitPassword's -5) nor bad arguments count.
    for (const KeyCall& call : {take("InitPassword", {"x"}, "https://a.example"),
                                take("HMAC_MD5", {"pw", 5}, "https://a.example")}) {
        host.Run(call);
        EXPECT_EQ(host.WaitBefore(take("HMAC_MD5", {"pw", "m"}, "https://a.example")), 0);
    }
    EXPECT_EQ(json::parse(host.Run(take("UpdatePassword", {"wrong", "new"}, "https://a.example")))["result"], -5);
    for (const char* method : {"UpdatePassword", "HMAC_MD5", "ResetDigist", "HMAC_MD5_HexString"}) {
        const int64_t wait = host.WaitBefore(take(method, {"pw", "m"}, "https://a.example"));
        EXPECT_GT(wait, 0) << method;
        EXPECT_LE(wait, 1000) << method;
    }
    for (const char* method : {"GetSN", "FindKeys", "InitPassword", "SetLog"})
        EXPECT_EQ(host.WaitBefore(take(method, {""}, "https://a.example")), 0) << method;
    EXPECT_EQ(host.WaitBefore(take("HMAC_MD5", {"pw", "m"}, "https://b.example")), 0);
    // The right password, once due, clears the wait.
    EXPECT_TRUE(json::parse(host.Handle(json{{"id", 1}, {"method", "HMAC_MD5"}, {"args", {"pw", "m"}},
                                             {"origin", "https://a.example"}}.dump()))["result"].is_string());
    EXPECT_EQ(host.WaitBefore(take("HMAC_MD5", {"pw", "m"}, "https://a.example")), 0);
}

TEST(TraceNames, OnlyPlainNamesThatNoSystemTakesForADevice)
{
    for (const char* name : {"trace.log", "a", "Trace_2-b.txt", "CONSOLE.log", "com10.txt", "x.con", "nul_",
                             "0123456789012345678901234567890123456789012345678901234567890123"})
        EXPECT_TRUE(IsTraceName(name)) << name;
    for (const char* name : {"", ".hidden", ".guesses.json", "..", "../x.log", "/tmp/x.log", "a/b", "a\\b", "C:x",
                             "line\nbreak", "host.log", "HOST.Log", "CON", "nul.txt", "Com1", "LPT9.log", "aux.tar.gz", "prn", "trailing.",
                             "space ", "wild*", "q?", "a b", "\xC3\xA9.log",
                             "01234567890123456789012345678901234567890123456789012345678901234"})
        EXPECT_FALSE(IsTraceName(name)) << name;
}

TEST(HostFiles, AFullFileSaysSoOnceAndGrowsNoMore)
{
    const fs::path folder = fs::temp_directory_path() / "tallykey-hostfiles";
    fs::remove_all(folder);
    for (int i = 0; i < 10; ++i)
        AppendLine(folder.string(), "t.log", "line " + std::to_string(i), 100);
    const std::string text = ReadText(folder / "t.log");
    EXPECT_LE(text.size(), 100u);
    EXPECT_NE(text.find("line 0"), std::string::npos);
    EXPECT_NE(text.find("the trace stops here"), std::string::npos) << text;
    EXPECT_EQ(text.find("the trace stops here"), text.rfind("the trace stops here"));
#ifndef _WIN32
    // Nothing in the folder redirects a write, and what is made is private.
    fs::permissions(folder, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
    const fs::path elsewhere = fs::temp_directory_path() / "tallykey-elsewhere.txt";
    std::ofstream(elsewhere) << "untouched";
    fs::create_symlink(elsewhere, folder / "link.log");
    EXPECT_FALSE(AppendLine(folder.string(), "link.log", "x", 1000));
    EXPECT_EQ(ReadText(elsewhere), "untouched");
    fs::create_directory(folder / "dir.log");
    EXPECT_FALSE(AppendLine(folder.string(), "dir.log", "x", 1000));
    EXPECT_TRUE(AppendLine(folder.string(), "new.log", "x", 1000));
    EXPECT_EQ(fs::status(folder / "new.log").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all);
    fs::remove(elsewhere);
#endif
    fs::remove_all(folder);
}

TEST_F(NativeHost, SetLogTakesATraceNameAndEachOriginTracesOnlyItsOwnCalls)
{
    SetPassword("secret-pw");
    for (const char* name : {"../x.log", "a/b", "CON", "aux.txt", "x.", ".guesses.json", "host.log"})
        EXPECT_EQ(Call("SetLog", {name})["result"], -11) << name;
    EXPECT_EQ(Call("SetLog", {"trace.log"})["result"], 0);
    EXPECT_EQ(trace.FileOf("https://bank.example"), "trace.log");
    Call("HMAC_MD5", {"secret-pw", "the-message"});
    Call("GetSN", json::array(), "https://other.example");  // another origin: not in this trace
    Call("GetSN", json::array());
    Call("HMAC_MD5", {"wrong", "m"});
    Call("SetLog", {""});
    Call("FindKeys", json::array());  // tracing is off again
#ifdef _WIN32
    const std::string eol = "\r\n";  // a text file of the platform
#else
    const std::string eol = "\n";
#endif
    EXPECT_EQ(ReadText(folder / "traces" / "https_bank.example" / "trace.log"),
              "SetLog 1 0" + eol + "HMAC_MD5 2 string" + eol + "GetSN 0 string" + eol + "HMAC_MD5 2 -5" + eol);
    // The call that turned tracing off is not in it, nor anything after.
}

TEST_F(NativeHost, TracesAreKeptApartPerOriginAndBounded)
{
    EXPECT_EQ(Call("SetLog", {"same.log"}, "https://a.example")["result"], 0);
    EXPECT_EQ(Call("SetLog", {"same.log"}, "https://b.example:8443")["result"], 0);
    Call("FindKeys", json::array(), "https://a.example");
    EXPECT_NE(ReadText(folder / "traces" / "https_a.example" / "same.log").find("FindKeys"), std::string::npos);
    EXPECT_EQ(ReadText(folder / "traces" / "https_b.example_8443" / "same.log").find("FindKeys"), std::string::npos)
        << "another origin's trace of the same name is another file";
    EXPECT_FALSE(fs::exists(folder / "same.log"));
    // Four files an origin; the ones it has stay usable.
    for (const char* name : {"two.log", "three.log", "four.log"})
        EXPECT_EQ(Call("SetLog", {name}, "https://a.example")["result"], 0) << name;
    EXPECT_EQ(Call("SetLog", {"five.log"}, "https://a.example")["result"], -11);
    EXPECT_EQ(Call("SetLog", {"SAME.log"}, "https://a.example")["result"], 0) << "the same file on Windows";
    // 64 origins' folders, then no new one.
    for (int i = 0; i < 62; ++i)
        EXPECT_EQ(Call("SetLog", {"t.log"}, "https://o" + std::to_string(i) + ".example")["result"], 0) << i;
    EXPECT_EQ(Call("SetLog", {"t.log"}, "https://one-too-many.example")["result"], -11);
    EXPECT_EQ(Call("SetLog", {"again.log"}, "https://b.example:8443")["result"], 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder / "traces"), fs::directory_iterator()), 64);
    EXPECT_EQ(TraceFolderName("https://[::1]:8443"), "https_[__1]_8443");
    const std::string longName = TraceFolderName("https://" + std::string(300, 'x') + ".example");
    EXPECT_EQ(longName.size(), 96u);
    EXPECT_NE(longName, TraceFolderName("https://" + std::string(301, 'x') + ".example"));
}

// The key forgets a checked password before the host lets it go, and the
// page has its answer before that.
TEST_F(NativeHost, AnsweredFirstAndTheKeyIdentifiedAgainAfterAPasswordCheck)
{
    SetPassword("pw");
    Host host(fake.devices, OriginPolicy(), trace, guesses);
    std::string answer;
    KeyCall call;
    ASSERT_FALSE(host.Take(json{{"id", 1}, {"method", "HMAC_MD5"}, {"args", {"pw", "m"}},
                                {"origin", "https://bank.example"}, {"consent", true}}.dump(), answer, call));
    int delivered = 0;
    const std::string returned = host.Run(call, [&](const std::string& text) {
        ++delivered;
        answer = text;
        EXPECT_EQ(fake.key.firmware.verified, 1) << "answered while the key is still this call's";
    });
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(returned, answer);
    EXPECT_TRUE(json::parse(answer)["result"].is_string());
    EXPECT_EQ(fake.key.firmware.verified, 0);
    EXPECT_EQ(fake.key.writes.back().command, HIDUSBKEY::KEY_CMD_IDENTIFY);
    EXPECT_EQ(Notice(call, "running"), "{\"id\":1,\"state\":\"running\",\"keyMs\":20200}");
}

// signIn and confirm through the host: the key digests the message bound to
// the origin the background reported, exactly as the shared vectors say.
TEST_F(NativeHost, SignInAndConfirmDigestTheVectorsMessagesForTheReportedOrigin)
{
    std::ifstream file(TALLYKEY_VECTORS_DIR "/sign-in.json", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    const json vectors = json::parse(text.str())["vectors"];
    SetPassword("pw");
    for (const json& v : vectors) {
        const std::string key = v["digestKey"];
        ASSERT_TRUE(HIDUSBKEY::HexToBytes(fake.key.firmware.digestKey, key.data(), 16));
        const bool signIn = v["purpose"] == "sign-in";
        const json answer = Call(signIn ? "signIn" : "confirm", {"pw", signIn ? v["challenge"] : v["text"]},
                                 v["origin"]);
        EXPECT_EQ(answer["result"], v["digest"]) << v.dump();
    }
    // The origin as the browser might spell it is the same origin.
    const json& first = vectors[0];
    ASSERT_TRUE(HIDUSBKEY::HexToBytes(fake.key.firmware.digestKey, first["digestKey"].get<std::string>().data(), 16));
    EXPECT_EQ(Call("signIn", {"pw", first["challenge"]}, "HTTPS://Bank.Example:443")["result"], first["digest"]);
    EXPECT_NE(Call("signIn", {"pw", first["challenge"]}, "https://bank.example.evil.test")["result"], first["digest"]);
    // Malformed challenges: the length before the key is opened, the digits after the password.
    const size_t writes = fake.key.writes.size();
    for (const std::string& challenge : {std::string(30, '0'), std::string(66, '0'), std::string(33, '0'),
                                         std::string()})
        EXPECT_EQ(Call("signIn", {"pw", challenge})["result"], -11) << challenge;
    EXPECT_EQ(Call("confirm", {"pw", std::string(1025, 'x')})["result"], -11);
    EXPECT_EQ(Call("signIn", {"pw", 5})["result"], -11);
    EXPECT_EQ(fake.key.writes.size(), writes) << "refused before the key was opened";
    EXPECT_EQ(Call("signIn", {"pw", std::string(32, 'z')})["result"], -11);
    EXPECT_EQ(Call("signIn", {"wrong", std::string(32, 'z')})["result"], -5) << "the password first";
    EXPECT_GT(guesses.WaitFor("https://bank.example", GuessLedger::Now()), 0) << "a wrong password counts";
}
