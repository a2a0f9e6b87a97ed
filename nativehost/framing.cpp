#include "framing.h"

namespace NATIVEHOST {

namespace {

// Reads exactly count bytes unless the input ends; the bytes read.
size_t ReadFully(ByteStream& in, void* buffer, size_t count)
{
    size_t done = 0;
    while (done < count) {
        size_t got = in.Read(static_cast<char*>(buffer) + done, count - done);
        if (got == 0)
            break;
        done += got;
    }
    return done;
}

} // namespace

FrameRead ReadFrame(ByteStream& in, std::string& frame)
{
    uint8_t prefix[4];
    size_t got = ReadFully(in, prefix, sizeof prefix);
    if (got == 0)
        return FrameRead::End;
    if (got < sizeof prefix)
        return FrameRead::Truncated;
    uint32_t length = static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
                      static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (length > MAX_FRAME_BYTES) {
        // Read past it in small pieces, so the next frame starts in step and
        // one page's oversized call ends no one else's.
        char discard[4096];
        for (uint32_t left = length; left > 0;) {
            size_t piece = left < sizeof discard ? left : sizeof discard;
            if (ReadFully(in, discard, piece) != piece)
                return FrameRead::Truncated;
            left -= static_cast<uint32_t>(piece);
        }
        return FrameRead::TooLong;
    }
    frame.assign(length, '\0');
    return ReadFully(in, &frame[0], length) == length ? FrameRead::Frame : FrameRead::Truncated;
}

bool WriteFrame(ByteStream& out, const std::string& json)
{
    if (json.size() > MAX_FRAME_BYTES)
        return false;
    uint32_t length = static_cast<uint32_t>(json.size());
    const uint8_t prefix[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    // One write for the whole frame: a browser that reads the length first
    // would otherwise wait a read cycle more for the body.
    std::string frame(reinterpret_cast<const char*>(prefix), sizeof prefix);
    frame += json;
    return out.Write(frame.data(), frame.size());
}

} // namespace NATIVEHOST
