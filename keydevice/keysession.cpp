#include "keysession.h"

#include "hex.h"
#include "md5.h"

namespace HIDUSBKEY {

namespace {

// The password's digest, wiped when the step is done.
struct PasswordDigest {
    PasswordDigest(const void* password, size_t length) { Md5Digest(password, length, bytes); }
    ~PasswordDigest() { SecureWipe(bytes, sizeof bytes); }
    uint8_t bytes[MD5_DIGEST_BYTES];
};

} // namespace

CKeySession::CKeySession(const DeviceTable& table) : devices(table), finder(table), key(table) {}

CKeySession::~CKeySession() { EndProof(); }

void CKeySession::EndProof()
{
    if (!proofSent)
        return;
    proofSent = false;
    // Nothing to report if it fails: a key that does not answer holds nothing new either.
    key.Identify();
}

KeyResult CKeySession::Check() const { return devices.IsComplete() ? KEY_RESULT_OK : KEY_RESULT_HID_UNAVAILABLE; }

KeyResult CKeySession::Find()
{
    finder.Scan();
    if (finder.Count() == 0)
        return KEY_RESULT_NO_KEY;
    return finder.Count() == 1 ? KEY_RESULT_OK : KEY_RESULT_MULTIPLE_KEYS;
}

unsigned CKeySession::CountKeys()
{
    finder.Scan();
    return finder.Count();
}

KeyResult CKeySession::Open() { return key.Open(finder.First()) ? KEY_RESULT_OK : KEY_RESULT_OPEN_FAILED; }

KeyResult CKeySession::Prove(const void* password, size_t length)
{
    PasswordDigest digest(password, length);
    proofSent = true;
    return key.VerifyPassword(digest.bytes) ? KEY_RESULT_OK : KEY_RESULT_WRONG_PASSWORD;
}

KeyResult CKeySession::ProveBlank()
{
    proofSent = true;
    return key.VerifyPassword(BLANK_PASSWORD_DIGEST) ? KEY_RESULT_OK : KEY_RESULT_WRONG_PASSWORD;
}

KeyResult CKeySession::SetPassword(const void* password, size_t length)
{
    PasswordDigest digest(password, length);
    return key.SetPassword(digest.bytes) ? KEY_RESULT_OK : KEY_RESULT_OPERATION_FAILED;
}

KeyResult CKeySession::HmacMd5(const uint8_t* message, size_t length, uint8_t digest[KEY_DIGEST_BYTES])
{
    if (length > KEY_DATA_BYTES)
        return KEY_RESULT_OPERATION_FAILED;
    return key.HmacMd5(message, static_cast<uint8_t>(length), digest) ? KEY_RESULT_OK : KEY_RESULT_OPERATION_FAILED;
}

KeyResult CKeySession::ResetDigest(const uint8_t value[KEY_DIGEST_BYTES])
{
    return key.ResetDigest(value) ? KEY_RESULT_OK : KEY_RESULT_OPERATION_FAILED;
}

} // namespace HIDUSBKEY
