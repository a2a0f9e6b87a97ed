// The native host in-process: frames, the JSON mapping of requests and
// answers, the origin policy, SetLog's bare names and the trace, against a
// key in the test itself (the key's waits skipped).
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fakehid.h"
#include "framing.h"
#include "hex.h"
#include "md5.h"
#include "protocol.h"

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
        Host host(fake.api, policy, trace);
        return json::parse(host.Handle(request.dump()));
    }
    json Call(const std::string& method, const json& args, const std::string& origin = "https://bank.example")
    {
        return Ask(json{{"id", 7}, {"method", method}, {"args", args}, {"origin", origin}});
    }
    void SetPassword(const std::string& password)
    {
        HIDUSBKEY::Md5Digest(password.data(), password.size(), fake.key.firmware.passwordDigest);
    }

    FakeHid fake;
    fs::path folder;
    HostTrace trace;
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
    Bytes huge(Prefix(MAX_FRAME_BYTES + 1) + "{}");
    EXPECT_EQ(ReadFrame(huge, frame), FrameRead::TooLong);
    EXPECT_EQ(huge.at, 4u) << "nothing of an oversized frame is read";
    Bytes limit(Prefix(MAX_FRAME_BYTES) + std::string(MAX_FRAME_BYTES, ' '));
    EXPECT_EQ(ReadFrame(limit, frame), FrameRead::Frame);

    Bytes out;
    ASSERT_TRUE(WriteFrame(out, "{\"id\":1}"));
    EXPECT_EQ(out.output, Prefix(8) + "{\"id\":1}");
}

TEST(Origins, DefaultAllowsHttpsAndLocalDevelopment)
{
    OriginPolicy policy;
    for (const char* allowed : {"https://bank.example", "HTTPS://Bank.Example:8443", "https://[::1]",
                                "http://localhost", "http://localhost:8080", "http://127.0.0.1:1"})
        EXPECT_TRUE(policy.Allows(allowed)) << allowed;
    for (const char* refused : {"http://bank.example", "http://localhost.evil.com", "http://127.0.0.1.evil.com",
                                "https://bank.example/path", "https://user@bank.example", "file://", "null", "",
                                "chrome-extension://abc", "https://", "https://a:99999", "https://a:"})
        EXPECT_FALSE(policy.Allows(refused)) << refused;
}

TEST(Origins, AnAdministratorsListReplacesTheDefault)
{
    std::vector<std::string> list;
    ASSERT_TRUE(OriginPolicy::ParseList(R"(["https://bank.example", "http://intranet:8080"])", list));
    OriginPolicy policy(list);
    EXPECT_TRUE(policy.Allows("https://bank.example:443"));
    EXPECT_TRUE(policy.Allows("http://INTRANET:8080"));
    EXPECT_FALSE(policy.Allows("https://other.example"));
    EXPECT_FALSE(policy.Allows("http://localhost"));

    for (const char* broken : {"{}", "[1]", "not json", "[\"a\", null]"}) {
        std::vector<std::string> ignored;
        EXPECT_FALSE(OriginPolicy::ParseList(broken, ignored)) << broken;
    }
    const fs::path file = fs::temp_directory_path() / "tallykey-origins.json";
    std::ofstream(file) << "[\"https://only.example\"";
    std::string problem;
    OriginPolicy unreadable = OriginPolicy::FromFile(file.string(), problem);
    EXPECT_NE(problem, "");
    EXPECT_FALSE(unreadable.Allows("https://only.example")) << "a broken list allows nothing";
    std::ofstream(file) << "[\"https://only.example\"]";
    problem.clear();
    EXPECT_TRUE(OriginPolicy::FromFile(file.string(), problem).Allows("https://only.example"));
    EXPECT_EQ(problem, "");
    fs::remove(file);
    EXPECT_TRUE(OriginPolicy::FromFile(file.string(), problem).Allows("https://any.example")) << "no list: default";
}

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
    Host host(fake.api, OriginPolicy(), trace);
    json answer = json::parse(
        host.Handle(R"({"id":1,"method":"HMAC_MD5","args":["pw","\ud800"],"origin":"https://bank.example"})"));
    EXPECT_EQ(answer["result"], -11);
}

TEST_F(NativeHost, BadRequestsGetErrorAnswersAndRefusedOriginsNeverReachTheKey)
{
    Host host(fake.api, OriginPolicy(), trace);
    for (const char* bad : {"", "not json", "[]", "{}", "{\"id\":3}", "{\"id\":3,\"method\":5}",
                            "{\"id\":3,\"method\":\"getsn\",\"origin\":\"https://a.b\"}",
                            "{\"id\":3,\"method\":\"GetSN\",\"args\":{},\"origin\":\"https://a.b\"}"}) {
        json answer = json::parse(host.Handle(bad));
        EXPECT_EQ(answer["error"], "bad-request") << bad;
    }
    const int writes = static_cast<int>(fake.key.writes.size());
    for (const char* origin : {"http://bank.example", "", "https://bank.example/"}) {
        json answer = Call("GetSN", json::array(), origin);
        EXPECT_EQ(answer["error"], "origin-refused") << origin;
        EXPECT_EQ(answer["id"], 7);
    }
    EXPECT_EQ(Ask(json{{"id", 1}, {"method", "GetSN"}})["error"], "origin-refused");
    EXPECT_EQ(static_cast<int>(fake.key.writes.size()), writes);
    EXPECT_EQ(Ask(json{{"id", "h"}, {"method", "hello"}}), (json{{"id", "h"}, {"result", {{"host", std::string(HOST_VERSION)}}}}));
}

TEST_F(NativeHost, SetLogTakesABareNameAndTheTraceHoldsNoSecrets)
{
    SetPassword("secret-pw");
    for (const char* name : {"../x.log", "/tmp/x.log", "a/b", "a\\b", "C:x", "..", "line\nbreak"})
        EXPECT_EQ(Call("SetLog", {name})["result"], -11) << name;
    EXPECT_EQ(Call("SetLog", {"trace.log"})["result"], 0);
    const std::string file = trace.File();
    EXPECT_EQ(file, (folder / "trace.log").string());
    Call("HMAC_MD5", {"secret-pw", "the-message"});
    Call("GetSN", json::array());
    Call("HMAC_MD5", {"wrong", "m"});
    Call("SetLog", {""});
    Call("FindKeys", json::array());  // tracing is off again
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
#ifdef _WIN32
    const std::string eol = "\r\n";  // a text file of the platform
#else
    const std::string eol = "\n";
#endif
    EXPECT_EQ(text.str(), "SetLog 1 0" + eol + "HMAC_MD5 2 string" + eol + "GetSN 0 string" + eol + "HMAC_MD5 2 -5" + eol);
    // The call that turned tracing off is not in it, nor anything after.
}
