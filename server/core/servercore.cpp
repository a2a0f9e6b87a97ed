// The server's one way to the bound-message layout: KEYMETHODS::BoundMessage
// itself, built for Node, with node:crypto's SHA-256 as the platform's.
// The server verifies exactly the message the host has the key digest.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <emscripten.h>

#include "boundmessage.h"

namespace {

// Module.tallykeySha256(bytes) -> 32 bytes, synchronously (node:crypto).
EM_JS(int, NodeSha256, (const uint8_t* data, int length, uint8_t* out), {
    try {
        const digest = Module.tallykeySha256(HEAPU8.subarray(data, data + length));
        if (!digest || digest.length !== 32)
            return 0;
        HEAPU8.set(digest, out);
        return 1;
    } catch (error) {
        return 0;
    }
});

bool Sha256(const uint8_t* bytes, size_t length, uint8_t digest[KEYMETHODS::SHA256_BYTES])
{
    return NodeSha256(bytes, static_cast<int>(length), digest) == 1;
}

} // namespace

extern "C" {

// The message for purpose 0 (sign-in) or 1 (confirm) into out (room for
// 64 bytes); its length, or 0 when the payload is out of bounds.
EMSCRIPTEN_KEEPALIVE int tallykey_bound_message(int purpose, const char* origin, int originLength,
                                                const uint8_t* payload, int payloadLength, uint8_t* out)
{
    if (originLength < 0 || payloadLength < 0 || (purpose != 0 && purpose != 1))
        return 0;
    const std::vector<uint8_t> message =
        KEYMETHODS::BoundMessage(purpose == 0 ? KEYMETHODS::Purpose::SignIn : KEYMETHODS::Purpose::Confirm,
                                 std::string(origin, static_cast<size_t>(originLength)), payload,
                                 static_cast<size_t>(payloadLength), Sha256);
    if (message.empty() || message.size() > 64)
        return 0;
    std::memcpy(out, message.data(), message.size());
    return static_cast<int>(message.size());
}

} // extern "C"
