// Native messaging frames: a 32-bit length in the machine's byte order
// (little-endian on x86), then that many bytes of UTF-8 JSON.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace NATIVEHOST {

// Larger requests are not ours: a page's arguments are a few hundred bytes.
const uint32_t MAX_FRAME_BYTES = 1024 * 1024;

// Where frames come from and go to; the host uses its standard streams.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Up to count bytes; 0 at the end of the input.
    virtual size_t Read(void* buffer, size_t count) = 0;
    virtual bool Write(const void* bytes, size_t count) = 0;
    // Whether input (or its end) is there within ms milliseconds; a
    // negative ms waits as long as it takes.
    virtual bool WaitReadable(int64_t) { return true; }
};

enum class FrameRead {
    Frame,      // a whole frame was read
    End,        // the input ended before a frame began
    Truncated,  // the input ended inside a frame
    TooLong,    // the length is over MAX_FRAME_BYTES: its bytes were read past, unkept
};

FrameRead ReadFrame(ByteStream& in, std::string& frame);
bool WriteFrame(ByteStream& out, const std::string& json);

} // namespace NATIVEHOST
