#include "boundmessage.h"

#include <cstring>

namespace KEYMETHODS {

bool BeginsWithPurposeTag(const uint8_t* message, size_t length)
{
    return length >= PURPOSE_TAG_BYTES && message != nullptr &&
           (std::memcmp(message, SIGN_IN_TAG, PURPOSE_TAG_BYTES) == 0 ||
            std::memcmp(message, CONFIRM_TAG, PURPOSE_TAG_BYTES) == 0);
}

std::vector<uint8_t> BoundMessage(Purpose purpose, const std::string& origin, const uint8_t* payload, size_t length,
                                  Sha256Function sha256)
{
    const bool signIn = purpose == Purpose::SignIn;
    if (sha256 == nullptr || origin.empty() || (length > 0 && payload == nullptr) ||
        (signIn ? length < MIN_CHALLENGE_BYTES || length > MAX_CHALLENGE_BYTES : length > MAX_CONFIRM_TEXT_BYTES))
        return {};
    std::vector<uint8_t> message(signIn ? SIGN_IN_TAG : CONFIRM_TAG, (signIn ? SIGN_IN_TAG : CONFIRM_TAG) +
                                                                          PURPOSE_TAG_BYTES);
    uint8_t digest[SHA256_BYTES];
    if (!sha256(reinterpret_cast<const uint8_t*>(origin.data()), origin.size(), digest))
        return {};
    message.insert(message.end(), digest, digest + BOUND_DIGEST_BYTES);
    if (signIn) {
        message.insert(message.end(), payload, payload + length);
    } else {
        if (!sha256(payload, length, digest))
            return {};
        message.insert(message.end(), digest, digest + BOUND_DIGEST_BYTES);
    }
    return message;
}

} // namespace KEYMETHODS
