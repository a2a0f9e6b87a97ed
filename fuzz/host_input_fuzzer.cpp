// Hostile input to the native host: any bytes as the stream of frames the
// browser would write (lengths of any size, frames cut short), each frame
// as a request (any JSON, or not JSON; strings that are not well-formed
// Unicode; nesting of any depth; any origin, consent and id), against one
// well-behaved key whose waits are skipped. Every request is answered with
// a JSON object no larger than a frame, carrying a short id; every answer
// to a call is a result or a named error. The same bytes also go through
// the settings parser, the origin form and the trace-name rule, which
// must agree with each other.
#include <cstring>
#include <filesystem>
#include <string>

#include <unistd.h>

#include <nlohmann/json.hpp>

#include "fakehid.h"
#include "framing.h"
#include "protocol.h"

using namespace NATIVEHOST;
using nlohmann::json;

namespace {

class Input : public ByteStream {
public:
    Input(const uint8_t* data, size_t size) : data(data), size(size) {}
    size_t Read(void* buffer, size_t count) override
    {
        size_t n = count < size - at ? count : size - at;
        std::memcpy(buffer, data + at, n);
        at += n;
        return n;
    }
    bool Write(const void*, size_t) override { return true; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

void NoWait(DWORD) {}

[[noreturn]] void Violation(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "VIOLATION: %s: %.300s\n", what, detail.c_str());
    std::abort();
}

void CheckAnswer(const std::string& text)
{
    if (text.size() > MAX_FRAME_BYTES)
        Violation("answer over a frame", text.substr(0, 100));
    json answer = json::parse(text, nullptr, false);
    if (!answer.is_object() || !answer.contains("id"))
        Violation("answer is not an object with an id", text);
    const json& id = answer["id"];
    if (!(id.is_null() || id.is_number() || (id.is_string() && id.get_ref<const std::string&>().size() <= 64)))
        Violation("answer carries an id no request may have", text);
    if (answer.contains("error") == answer.contains("result"))
        Violation("answer is neither a result nor an error", text);
    if (answer.contains("error")) {
        static const char* const names[] = {"bad-request", "origin-refused", "permission-denied", "busy", "timeout"};
        bool named = false;
        for (const char* name : names)
            named = named || answer["error"] == name;
        if (!named)
            Violation("unnamed error", text);
    }
}

struct Fixture {
    Fixture()
        : folder((std::filesystem::temp_directory_path() / ("tallykey-host-fuzz-" + std::to_string(getpid())))
                     .string()),
          trace(folder), guesses("")
    {
        HIDUSBKEY::SetKeyWaitFunction(NoWait);
        fake.Add("key");
    }
    ~Fixture() { std::filesystem::remove_all(folder); }
    FakeHid fake;
    std::string folder;
    HostTrace trace;
    GuessLedger guesses;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Fixture fixture;
    fixture.fake.key.writes.clear();
    fixture.fake.key.events.clear();
    Host host(fixture.fake.devices, OriginPolicy({"https://listed.example"}, true), fixture.trace, fixture.guesses);

    Input input(data, size);
    std::string frame;
    for (int frames = 0; frames < 64; ++frames) {
        FrameRead read = ReadFrame(input, frame);
        if (read == FrameRead::End || read == FrameRead::Truncated)
            break;
        if (read == FrameRead::TooLong)
            continue;
        std::string answer;
        KeyCall call;
        if (host.Take(frame, answer, call))
            CheckAnswer(answer);
        else if (!call.withdraw)
            CheckAnswer(host.Run(call));  // the guessing wait is the loop's, not under test here
    }

    // The same bytes as a settings file, an origin and a trace name.
    const std::string text(reinterpret_cast<const char*>(data), size);
    PolicySettings settings;
    if (OriginPolicy::Parse(text, settings)) {
        OriginPolicy policy(settings);
        for (const std::string& origin : settings.origins) {
            if (policy.AccessFor(origin) == Access::Ask)
                Violation("a listed origin asks", origin);
        }
    }
    const std::string canonical = CanonicalOrigin(text);
    if (!canonical.empty() && CanonicalOrigin(canonical) != canonical)
        Violation("an origin's canonical form is not canonical", text);
    if (IsTraceName(text) && (text.find_first_of("/\\:\0", 0, 4) != std::string::npos || text[0] == '.'))
        Violation("a trace name reaches outside its folder", text);
    return 0;
}
