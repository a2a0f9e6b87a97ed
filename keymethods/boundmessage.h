// The messages a key digests for a sign-in and for confirming a
// transaction, bound to the page's origin, so that a digest a page obtains
// for one site is worth nothing at another. The layout, byte for byte, is in
// docs/sign-in.md; this is its one implementation.
//
//   sign-in:  tag F8 54 4B 53 ("\xF8TKS"), the first 16 bytes of
//             SHA-256(origin), the challenge (16 to 32 bytes): 36 to 52 bytes
//   confirm:  tag F8 54 4B 43 ("\xF8TKC"), the first 16 bytes of
//             SHA-256(origin), the first 16 bytes of SHA-256(text): 36 bytes
//
// No UTF-8 text begins with 0xF8, and every raw digest call refuses a
// message that begins with either tag, so no page can have the key digest a
// hand-built bound message through our software.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace KEYMETHODS {

enum class Purpose { SignIn, Confirm };

const size_t PURPOSE_TAG_BYTES = 4;
const uint8_t SIGN_IN_TAG[PURPOSE_TAG_BYTES] = {0xF8, 0x54, 0x4B, 0x53};
const uint8_t CONFIRM_TAG[PURPOSE_TAG_BYTES] = {0xF8, 0x54, 0x4B, 0x43};
// A digest of the origin or the text: the first bytes of its SHA-256.
const size_t BOUND_DIGEST_BYTES = 16;
const size_t MIN_CHALLENGE_BYTES = 16;
const size_t MAX_CHALLENGE_BYTES = 32;
// A transaction text is shown whole to the user: at most this many UTF-8 bytes.
const size_t MAX_CONFIRM_TEXT_BYTES = 1024;

const size_t SHA256_BYTES = 32;
// SHA-256 from the platform (never written here): false when it failed.
typedef bool (*Sha256Function)(const uint8_t* bytes, size_t length, uint8_t digest[SHA256_BYTES]);

// Whether the message begins with a purpose's tag.
bool BeginsWithPurposeTag(const uint8_t* message, size_t length);

// The bound message for a canonical origin (scheme, lower-case host in
// punycode, the port only when it is not the scheme's default: as browsers
// serialise an origin) and the purpose's payload: the challenge's bytes, or
// the transaction text's UTF-8 bytes. Empty when the payload is out of its
// bounds or the platform's SHA-256 failed.
std::vector<uint8_t> BoundMessage(Purpose purpose, const std::string& origin, const uint8_t* payload, size_t length,
                                  Sha256Function sha256);

// The platform's SHA-256 (CNG on Windows, libcrypto on Linux), where the
// keymethods_sha256 library is linked.
bool PlatformSha256(const uint8_t* bytes, size_t length, uint8_t digest[SHA256_BYTES]);

} // namespace KEYMETHODS
