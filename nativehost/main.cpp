// tallykey-host: the native messaging host of the Tallykey browser
// extension. The browser starts it for the extension's port and talks to
// it over its standard streams; it answers each request in turn and ends
// when its input does.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <memory>
#include <string>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <cerrno>

#include <poll.h>
#include <unistd.h>

#include "registration.h"
#endif

#include "framing.h"
#include "hidapi.h"
#include "hostfiles.h"
#include "protocol.h"

using namespace NATIVEHOST;

namespace {

// The standard streams, read without the C library's buffer, so that
// "is there input" asks the pipe itself.
class StandardStreams : public ByteStream {
public:
#ifdef _WIN32
    // Anonymous pipes can be neither waited on nor polled reliably (Wine's
    // refuse PeekNamedPipe), so a reader thread fills a buffer and an
    // event says when it holds bytes or the input ended. The thread and
    // its state live as long as the process: it may sit in ReadFile when
    // the host returns from main, and the process's end stops it.
    StandardStreams() : input(new Input)
    {
        InitializeCriticalSection(&input->lock);
        input->ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = input->ready ? CreateThread(nullptr, 0, ReadInput, input, 0, nullptr) : nullptr;
        if (thread)
            CloseHandle(thread);
        else
            input->ended = true;  // no reader: no input
    }
    size_t Read(void* buffer, size_t count) override
    {
        if (input->ready)
            WaitForSingleObject(input->ready, INFINITE);
        EnterCriticalSection(&input->lock);
        size_t n = count < input->bytes.size() ? count : input->bytes.size();
        std::memcpy(buffer, input->bytes.data(), n);
        input->bytes.erase(0, n);
        if (input->bytes.empty() && !input->ended)
            ResetEvent(input->ready);
        LeaveCriticalSection(&input->lock);
        return n;
    }
    bool WaitReadable(int64_t ms) override
    {
        if (!input->ready)
            return true;
        DWORD wait = ms < 0 ? INFINITE : static_cast<DWORD>(ms > 3600000 ? 3600000 : ms);
        return WaitForSingleObject(input->ready, wait) == WAIT_OBJECT_0;
    }

private:
    struct Input {
        CRITICAL_SECTION lock;
        HANDLE ready = nullptr;
        std::string bytes;
        bool ended = false;
    };
    // Far more than one frame: beyond this the reader lets the pipe fill.
    static const size_t MAX_BUFFERED = 4 * 1024 * 1024;

    static DWORD WINAPI ReadInput(void* state)
    {
        Input* input = static_cast<Input*>(state);
        HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
        static char chunk[65536];
        for (;;) {
            for (;;) {
                EnterCriticalSection(&input->lock);
                bool full = input->bytes.size() > MAX_BUFFERED;
                LeaveCriticalSection(&input->lock);
                if (!full)
                    break;
                Sleep(5);
            }
            DWORD got = 0;
            BOOL ok = ReadFile(in, chunk, sizeof chunk, &got, nullptr);
            EnterCriticalSection(&input->lock);
            try {
                if (ok && got > 0)
                    input->bytes.append(chunk, got);
            } catch (const std::bad_alloc&) {
                ok = FALSE;  // out of memory: as if the input ended
            }
            if (!ok || got == 0)
                input->ended = true;
            SetEvent(input->ready);
            LeaveCriticalSection(&input->lock);
            if (!ok || got == 0)
                return 0;
        }
    }

    Input* input;

public:
#else
    size_t Read(void* buffer, size_t count) override
    {
        for (;;) {
            ssize_t got = read(STDIN_FILENO, buffer, count);
            if (got >= 0)
                return static_cast<size_t>(got);
            if (errno != EINTR)
                return 0;
        }
    }
    bool WaitReadable(int64_t ms) override
    {
        struct pollfd input = {STDIN_FILENO, POLLIN, 0};
        int ready;
        do
            ready = poll(&input, 1, ms < 0 ? -1 : static_cast<int>(ms > 3600000 ? 3600000 : ms));
        while (ready < 0 && errno == EINTR);
        return ready != 0;
    }
#endif
    bool Write(const void* bytes, size_t count) override
    {
        return std::fwrite(bytes, 1, count, stdout) == count && std::fflush(stdout) == 0;
    }
};

// Calls that wait out a wrong password's delay, in their order of arrival.
// Other calls go ahead meanwhile; a page that keeps guessing holds up only
// its own password calls.
const size_t MAX_WAITING_CALLS = 64;

// One frame out; a host that cannot answer says so and stops.
bool Send(StandardStreams& streams, const std::string& text)
{
    if (WriteFrame(streams, text))
        return true;
    std::fprintf(stderr, "tallykey-host: cannot write the answer; stopping\n");
    return false;
}

// Runs the call, its answer sent the moment it is known.
bool RunAndSend(Host& host, StandardStreams& streams, const KeyCall& call)
{
    bool sent = false;
    host.Run(call, [&](const std::string& answer) { sent = Send(streams, answer); });
    return sent;
}

int Serve(Host& host, StandardStreams& streams)
{
    std::deque<KeyCall> waiting;
    for (;;) {
        // Whatever is due now runs first, the rest wait for input or their time.
        int64_t nextDue = -1;
        for (auto call = waiting.begin(); call != waiting.end();) {
            int64_t wait = host.WaitBefore(*call);
            if (wait > 0) {
                nextDue = nextDue < 0 || wait < nextDue ? wait : nextDue;
                ++call;
                continue;
            }
            if (!Send(streams, Notice(*call, "running")) || !RunAndSend(host, streams, *call))
                return 1;
            waiting.erase(call);
            nextDue = -1;  // the ledger may have changed: look again
            call = waiting.begin();
        }
        if (!streams.WaitReadable(nextDue))
            continue;
        std::string frame;
        const FrameRead read = ReadFrame(streams, frame);
        switch (read) {
        case FrameRead::End:
            // The browser closed the port: nobody waits for the rest.
            return 0;
        case FrameRead::Truncated:
            std::fprintf(stderr, "tallykey-host: the input ended inside a frame\n");
            return 1;
        case FrameRead::TooLong:
        case FrameRead::Frame:
            break;
        }
        std::string answer;
        KeyCall call;
        if (read == FrameRead::TooLong) {
            answer = TOO_LONG_ANSWER;
        } else if (!host.Take(frame, answer, call)) {
            if (call.withdraw) {
                // Only a call still waiting can be withdrawn; one that ran was answered.
                auto found = std::find_if(waiting.begin(), waiting.end(),
                                          [&](const KeyCall& parked) { return parked.id == call.id; });
                if (found == waiting.end())
                    continue;
                answer = Withdrawn(*found);
                waiting.erase(found);
            } else if (host.WaitBefore(call) > 0) {
                if (waiting.size() >= MAX_WAITING_CALLS) {
                    answer = Busy(call);
                } else {
                    answer = Notice(call, "waiting");
                    waiting.push_back(std::move(call));
                }
            } else if (!Send(streams, Notice(call, "running")) || !RunAndSend(host, streams, call)) {
                return 1;
            } else {
                continue;
            }
        }
        if (!Send(streams, answer))
            return 1;
    }
}

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
    // The platform's devices, released however the host ends.
    const std::unique_ptr<HIDUSBKEY::DeviceTable> devices = HIDUSBKEY::BindSystemDevices();
    const std::string folder = UserStateFolder();
    HostTrace trace(folder);
    std::string problem;
    OriginPolicy policy = OriginPolicy::Load(problem);
    if (!problem.empty()) {
        std::fprintf(stderr, "tallykey-host: %s\n", problem.c_str());
        trace.Problem(problem);
    }
    GuessLedger guesses(folder);
    Host host(*devices, policy, trace, guesses);
    StandardStreams streams;
    return Serve(host, streams);
}
