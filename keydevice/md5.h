// MD5 (RFC 1321). The host digests only passwords; the keyed digest is the key's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace HIDUSBKEY {

const size_t MD5_DIGEST_BYTES = 16;

struct Md5Context {
    uint32_t state[4];
    uint32_t bitCountLow;
    uint32_t bitCountHigh;
    uint32_t bufferedBytes;
    uint8_t buffer[64];
};

void Md5Init(Md5Context& context);
void Md5Update(Md5Context& context, const void* bytes, size_t length);
void Md5Final(Md5Context& context, uint8_t digest[MD5_DIGEST_BYTES]);
void Md5Digest(const void* bytes, size_t length, uint8_t digest[MD5_DIGEST_BYTES]);

// Overwrites memory that held a secret (a password, its digest, a digest
// state); the compiler may not drop it.
void SecureWipe(void* data, size_t bytes);

} // namespace HIDUSBKEY
