// SHA-256 from the platform: Windows CNG (bcrypt.dll, a system DLL), or
// OpenSSL's libcrypto on Linux.
#include "boundmessage.h"

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

namespace KEYMETHODS {

#ifdef _WIN32
namespace {

// The algorithm provider and the hash object, released however hashing ends.
struct Provider {
    BCRYPT_ALG_HANDLE handle = nullptr;
    ~Provider()
    {
        if (handle)
            BCryptCloseAlgorithmProvider(handle, 0);
    }
};
struct Hash {
    BCRYPT_HASH_HANDLE handle = nullptr;
    ~Hash()
    {
        if (handle)
            BCryptDestroyHash(handle);
    }
};

} // namespace
#endif

bool PlatformSha256(const uint8_t* bytes, size_t length, uint8_t digest[SHA256_BYTES])
{
    static const uint8_t nothing = 0;
    if (bytes == nullptr)
        bytes = &nothing;  // an empty input has no bytes to point at
#ifdef _WIN32
    if (length > 0xFFFFFFFFu)
        return false;
    Provider provider;
    Hash hash;
    // The hash object's memory is CNG's own (a null buffer), from Windows 7 on.
    return BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&provider.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
           BCRYPT_SUCCESS(BCryptCreateHash(provider.handle, &hash.handle, nullptr, 0, nullptr, 0, 0)) &&
           BCRYPT_SUCCESS(BCryptHashData(hash.handle, const_cast<PUCHAR>(bytes), static_cast<ULONG>(length), 0)) &&
           BCRYPT_SUCCESS(BCryptFinishHash(hash.handle, digest, SHA256_BYTES, 0));
#else
    unsigned int size = 0;
    return EVP_Digest(bytes, length, digest, &size, EVP_sha256(), nullptr) == 1 && size == SHA256_BYTES;
#endif
}

} // namespace KEYMETHODS
