// tallykey-host: the native messaging host of the Tallykey browser
// extension. The browser starts it for the extension's port and talks to
// it over its standard streams; it answers each request in turn and ends
// when its input does.
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <cstring>
#include <vector>

#include <unistd.h>

#include "registration.h"
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

int main(int argc, char** argv)
{
#ifndef _WIN32
    // Registration for Linux browsers; the browsers' own arguments (an
    // extension's origin, a manifest's path) are not commands.
    if (argc > 1 && (std::strcmp(argv[1], "install") == 0 || std::strcmp(argv[1], "uninstall") == 0 ||
                     std::strcmp(argv[1], "manifest") == 0)) {
        char self[4096];
        ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
        if (length <= 0) {
            std::fprintf(stderr, "tallykey-host: cannot tell where this program is\n");
            return 1;
        }
        self[length] = '\0';
        std::string out, err;
        int code = Register(std::vector<std::string>(argv + 1, argv + argc), self, out, err);
        std::fputs(out.c_str(), stdout);
        std::fputs(err.c_str(), stderr);
        return code;
    }
#else
    (void)argc;
    (void)argv;
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
