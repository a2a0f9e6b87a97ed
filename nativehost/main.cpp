// tallykey-host: the native messaging host of the Tallykey browser
// extension. The browser starts it for the extension's port and talks to
// it over its standard streams; it answers each request in turn and ends
// when its input does.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

#include "framing.h"
#include "hidapi.h"
#include "protocol.h"

using namespace NATIVEHOST;

namespace {

class StandardStreams : public ByteStream {
public:
    size_t Read(void* buffer, size_t count) override { return std::fread(buffer, 1, count, stdin); }
    bool Write(const void* bytes, size_t count) override
    {
        return std::fwrite(bytes, 1, count, stdout) == count && std::fflush(stdout) == 0;
    }
};

// The bound HID functions, released however the host ends.
struct BoundHidApi {
    HIDUSBKEY::HidApi api{};
    BoundHidApi() { api.Bind(); }
    ~BoundHidApi() { api.Release(); }
};

} // namespace

int main()
{
#ifdef _WIN32
    // Frames are binary: no CR LF translation, no end at a 0x1A byte.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    BoundHidApi hid;
    std::string problem;
    OriginPolicy policy = OriginPolicy::Load(problem);
    if (!problem.empty())
        std::fprintf(stderr, "tallykey-host: %s\n", problem.c_str());
    HostTrace trace(HostTrace::UserLogFolder());
    Host host(hid.api, policy, trace);
    StandardStreams streams;
    for (;;) {
        std::string frame;
        switch (ReadFrame(streams, frame)) {
        case FrameRead::End:
            return 0;
        case FrameRead::Truncated:
            std::fprintf(stderr, "tallykey-host: the input ended inside a frame\n");
            return 1;
        case FrameRead::TooLong:
            std::fprintf(stderr, "tallykey-host: a frame longer than %u bytes; stopping\n", MAX_FRAME_BYTES);
            return 1;
        case FrameRead::Frame:
            if (!WriteFrame(streams, host.Handle(frame))) {
                std::fprintf(stderr, "tallykey-host: cannot write the answer; stopping\n");
                return 1;
            }
            break;
        }
    }
}
