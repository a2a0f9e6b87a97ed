// The eight methods' rules, once for both of their hosts (the plug-in and
// the native host): the order of the steps, the argument checks and limits,
// and the results, against a key in the test itself. How far each call got
// shows in the requests the key received.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "fakehid.h"
#include "hex.h"
#include "keymethods.h"
#include "md5.h"

using namespace KEYMETHODS;

namespace {

enum class Keys { NoHid, None, Blank, WithPassword, Two };

// A test argument: a string's bytes, or a value that is not a string.
struct Arg {
    Arg(const char* text) : isString(true), bytes(text) {}
    Arg(std::string text) : isString(true), bytes(std::move(text)) {}
    static Arg NotAString() { return Arg(false); }
    bool isString;
    std::string bytes;

private:
    explicit Arg(bool) : isString(false) {}
};

struct Case {
    const char* name;
    Keys keys;
    Method method;
    std::vector<Arg> args;
    // "N" for a number; "digest:M" for the key's HMAC-MD5 of M; "serial".
    std::string expected;
    size_t requests;  // key commands sent: identify, verify, the command, identify again after a verify
};

// Cases print as their names.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class AcceptingLog : public LogTarget {
public:
    bool Accept(const std::string& bytes) override
    {
        accepted.push_back(bytes);
        return bytes.find('/') == std::string::npos;
    }
    std::vector<std::string> accepted;
};

void NoWait(DWORD) {}

class KeyMethods : public ::testing::Test {
protected:
    KeyMethods() { HIDUSBKEY::SetKeyWaitFunction(NoWait); }
    ~KeyMethods() override { HIDUSBKEY::SetKeyWaitFunction(nullptr); }

    void Attach(Keys keys)
    {
        if (keys == Keys::NoHid)
            fake.api.hid.HidD_GetFeature = nullptr;
        if (keys == Keys::Blank || keys == Keys::WithPassword || keys == Keys::Two)
            fake.Add("key");
        if (keys == Keys::Two)
            fake.Add("other");
        if (keys == Keys::WithPassword)
            HIDUSBKEY::Md5Digest("pw", 2, fake.key.firmware.passwordDigest);
    }

    Result Run(Method method, const std::vector<Arg>& args)
    {
        std::vector<Argument> converted;
        for (const Arg& arg : args)
            converted.push_back(arg.isString ? Argument::String(arg.bytes.data(), arg.bytes.size())
                                             : Argument::NotAString());
        return Call(method, fake.devices, converted.data(), converted.size(), log);
    }

    std::string Expected(const std::string& expected)
    {
        if (expected == "serial")
            return "\"" + HIDUSBKEY::ToHexLower(fake.key.firmware.serial, 8) + "\"";
        if (expected.rfind("digest:", 0) == 0) {
            const std::string message = expected.substr(7);
            uint8_t digest[16];
            SIMKEY::HmacMd5(fake.key.firmware.digestKey, reinterpret_cast<const uint8_t*>(message.data()),
                            message.size(), digest);
            return "\"" + HIDUSBKEY::ToHexLower(digest, 16) + "\"";
        }
        return expected;
    }

    static std::string Shown(const Result& result)
    {
        return result.isString ? "\"" + result.text + "\"" : std::to_string(result.number);
    }

    FakeHid fake;
    AcceptingLog log;
};

class MethodRules : public KeyMethods, public ::testing::WithParamInterface<Case> {};

const std::string M61(61, 'm');
const std::string HEX122 = [] {
    std::string hex;
    for (int i = 0; i < 61; ++i)
        hex += "6d";
    return hex;
}();
const std::string VALUE = "000102030405060708090A0B0C0D0E0f";

const Case CASES[] = {
    // Counting needs no key, and never opens one.
    {"FindKeysWithoutHid", Keys::NoHid, Method::FindKeys, {}, "-1", 0},
    {"FindKeysNone", Keys::None, Method::FindKeys, {}, "0", 0},
    {"FindKeysTwo", Keys::Two, Method::FindKeys, {"extra", Arg::NotAString()}, "2", 0},
    // Every other method wants exactly one key, before anything else.
    {"GetSN", Keys::Blank, Method::GetSN, {}, "serial", 1},
    {"GetSNWithoutHid", Keys::NoHid, Method::GetSN, {}, "-1", 0},
    {"GetSNNoKey", Keys::None, Method::GetSN, {}, "-2", 0},
    {"GetSNTwoKeys", Keys::Two, Method::GetSN, {}, "-3", 0},
    {"UpdatePasswordNoKeyBeforeArguments", Keys::None, Method::UpdatePassword, {}, "-2", 0},
    {"HmacTwoKeysBeforeArguments", Keys::Two, Method::HMAC_MD5, {Arg::NotAString()}, "-3", 0},
    // The first password: only on a key that has none, checked before the argument.
    {"InitPassword", Keys::Blank, Method::InitPassword, {"pw"}, "0", 4},
    {"InitPasswordTwice", Keys::WithPassword, Method::InitPassword, {"x"}, "-5", 3},
    {"InitPasswordMissing", Keys::Blank, Method::InitPassword, {}, "-11", 3},
    {"InitPasswordNotAString", Keys::Blank, Method::InitPassword, {Arg::NotAString()}, "-11", 3},
    {"InitPasswordEmpty", Keys::Blank, Method::InitPassword, {""}, "0", 4},
    // Two strings, checked before the key is opened.
    {"UpdatePassword", Keys::WithPassword, Method::UpdatePassword, {"pw", "new"}, "0", 4},
    {"UpdatePasswordWrong", Keys::WithPassword, Method::UpdatePassword, {"wrong", "new"}, "-5", 3},
    {"UpdatePasswordOneArgument", Keys::WithPassword, Method::UpdatePassword, {"pw"}, "-11", 0},
    {"UpdatePasswordNotAString", Keys::WithPassword, Method::UpdatePassword, {"pw", Arg::NotAString()}, "-11", 0},
    {"UpdatePasswordOfABlankKey", Keys::Blank, Method::UpdatePassword, {"", "new"}, "-5", 3},
    // One command carries the message: 61 bytes at most, refused before opening.
    {"HmacMd5", Keys::WithPassword, Method::HMAC_MD5, {"pw", "challenge"}, "digest:challenge", 4},
    {"HmacMd5Longest", Keys::WithPassword, Method::HMAC_MD5, {"pw", M61}, "digest:" + M61, 4},
    {"HmacMd5Empty", Keys::WithPassword, Method::HMAC_MD5, {"pw", ""}, "digest:", 4},
    {"HmacMd5TooLong", Keys::WithPassword, Method::HMAC_MD5, {"pw", M61 + "m"}, "-11", 0},
    {"HmacMd5WrongPassword", Keys::WithPassword, Method::HMAC_MD5, {"wrong", "m"}, "-5", 3},
    {"HmacMd5PasswordNotAString", Keys::WithPassword, Method::HMAC_MD5, {Arg::NotAString(), "m"}, "-11", 0},
    // Hexadecimal messages: 122 digits at most before opening; the digits
    // themselves are checked after the password.
    {"HexString", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", "6368616C6c656e6765"},
     "digest:challenge", 4},
    {"HexStringLongest", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", HEX122}, "digest:" + M61, 4},
    {"HexStringTooLong", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", HEX122 + "6d"}, "-11", 0},
    {"HexStringOdd", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", "0A0"}, "-11", 3},
    {"HexStringEmpty", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", ""}, "-11", 3},
    {"HexStringNotHex", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", "0g"}, "-11", 3},
    {"HexStringWrongPasswordFirst", Keys::WithPassword, Method::HMAC_MD5_HexString, {"wrong", "0g"}, "-5", 3},
    // A bound message's tag (sign-in F8544B53, confirm F8544B43) opens no raw
    // message: refused before the key is opened, whatever the password.
    {"HexStringSignInTag", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", "F8544b53" + HEX122.substr(0, 96)},
     "-11", 0},
    {"HexStringConfirmTag", Keys::WithPassword, Method::HMAC_MD5_HexString, {"wrong", "f8544b43"}, "-11", 0},
    {"HexStringAlmostATag", Keys::WithPassword, Method::HMAC_MD5_HexString, {"pw", "f8544b54"},
     "digest:\xF8TKT", 4},
    {"HmacMd5SignInTag", Keys::WithPassword, Method::HMAC_MD5, {"pw", "\xF8TKS-bytes"}, "-11", 0},
    // The bound methods need the browser's origin: a host that has none (the
    // plug-in) gets -11 before anything else.
    {"SignInWithoutAnOrigin", Keys::WithPassword, Method::SignIn, {"pw", HEX122.substr(0, 64)}, "-11", 0},
    {"ConfirmWithoutAnOrigin", Keys::WithPassword, Method::Confirm, {"pw", "Pay 1 EUR"}, "-11", 0},
    // A new digest value: 32 digits of either case, checked after the password.
    {"ResetDigist", Keys::WithPassword, Method::ResetDigist, {"pw", VALUE}, "0", 4},
    {"ResetDigistShort", Keys::WithPassword, Method::ResetDigist, {"pw", VALUE.substr(1)}, "-11", 3},
    {"ResetDigistNotHex", Keys::WithPassword, Method::ResetDigist, {"pw", VALUE.substr(1) + "x"}, "-11", 3},
    {"ResetDigistWrongPasswordFirst", Keys::WithPassword, Method::ResetDigist, {"wrong", "00"}, "-5", 3},
    // The trace never needs the key, nor the HID functions.
    {"SetLog", Keys::NoHid, Method::SetLog, {"trace.log"}, "0", 0},
    {"SetLogRefused", Keys::NoHid, Method::SetLog, {"a/b"}, "-11", 0},
    {"SetLogNotAString", Keys::NoHid, Method::SetLog, {Arg::NotAString()}, "-11", 0},
    {"SetLogMissing", Keys::NoHid, Method::SetLog, {}, "-11", 0},
};

} // namespace

TEST_P(MethodRules, StepsInOrder)
{
    const Case& c = GetParam();
    Attach(c.keys);
    Result result = Run(c.method, c.args);
    EXPECT_EQ(Shown(result), Expected(c.expected));
    EXPECT_EQ(fake.key.writes.size(), c.requests);
    // A password the key checked is proven no longer once the call is done:
    // no other program can set a password or a digest value after it.
    bool checked = false;
    for (const HIDUSBKEY::KeyReport& write : fake.key.writes)
        checked = checked || write.command == HIDUSBKEY::KEY_CMD_VERIFY_PASSWORD;
    if (checked) {
        EXPECT_EQ(fake.key.writes.back().command, HIDUSBKEY::KEY_CMD_IDENTIFY);
        EXPECT_EQ(fake.key.firmware.verified, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(KeyMethods, MethodRules, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST_F(KeyMethods, PasswordsAreTheDigestOfTheirBytesAndChangeOnlyOnSuccess)
{
    Attach(Keys::Blank);
    const char utf8[] = "\xE5\xAF\x86\xE7\xA0\x81";  // as a browser hands UTF-8 over
    EXPECT_EQ(Shown(Run(Method::InitPassword, {utf8})), "0");
    uint8_t digest[16];
    HIDUSBKEY::Md5Digest(utf8, 6, digest);
    EXPECT_EQ(std::memcmp(digest, fake.key.firmware.passwordDigest, 16), 0);

    // A refused change leaves the password as it was.
    EXPECT_EQ(Shown(Run(Method::UpdatePassword, {"wrong", "new"})), "-5");
    EXPECT_EQ(Shown(Run(Method::UpdatePassword, {utf8, "new"})), "0");
    EXPECT_EQ(Shown(Run(Method::HMAC_MD5, {"new", "m"})), Expected("digest:m"));
    EXPECT_EQ(Shown(Run(Method::HMAC_MD5, {utf8, "m"})), "-5");
}

TEST_F(KeyMethods, NamesAreExact)
{
    for (int i = 0; i < METHOD_COUNT; ++i) {
        Method method;
        ASSERT_TRUE(MethodByName(MethodName(static_cast<Method>(i)), method));
        EXPECT_EQ(static_cast<int>(method), i);
    }
    Method ignored;
    for (const char* name : {"getsn", "GETSN", "GetSN ", "", "HMAC_MD5_Hexstring", "ResetDigest"})
        EXPECT_FALSE(MethodByName(name, ignored)) << name;
}

// The control drives the session itself: ending the session ends the
// key's proof too, whatever step the caller stopped at.
TEST_F(KeyMethods, ASessionThatCheckedAPasswordIdentifiesTheKeyAgainAsItEnds)
{
    Attach(Keys::WithPassword);
    {
        HIDUSBKEY::CKeySession key(fake.devices);
        ASSERT_EQ(key.Find(), HIDUSBKEY::KEY_RESULT_OK);
        ASSERT_EQ(key.Open(), HIDUSBKEY::KEY_RESULT_OK);
        ASSERT_EQ(key.Prove("pw", 2), HIDUSBKEY::KEY_RESULT_OK);
        EXPECT_EQ(fake.key.firmware.verified, 1);
    }
    EXPECT_EQ(fake.key.firmware.verified, 0);
    EXPECT_EQ(fake.key.writes.back().command, HIDUSBKEY::KEY_CMD_IDENTIFY);
    const size_t writes = fake.key.writes.size();
    {
        HIDUSBKEY::CKeySession key(fake.devices);
        ASSERT_EQ(key.Find(), HIDUSBKEY::KEY_RESULT_OK);
        ASSERT_EQ(key.Open(), HIDUSBKEY::KEY_RESULT_OK);
    }
    EXPECT_EQ(fake.key.writes.size(), writes + 1) << "no password checked: nothing more sent";
}
