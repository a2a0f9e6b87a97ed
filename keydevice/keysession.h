// The key work of one script call, shared by the plug-in and the COM
// control: check the bound functions, find the one key, open it, prove the
// password, perform one command. Each step returns KEY_RESULT_OK or the
// failure value that both libraries report to scripts; the callers decide
// the order of the steps and where their own argument checks go.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devicetable.h"
#include "keyfinder.h"
#include "usbhidkey.h"

namespace HIDUSBKEY {

// Script result values, the same in both libraries.
enum KeyResult : int32_t {
    KEY_RESULT_OK = 0,
    KEY_RESULT_HID_UNAVAILABLE = -1,
    KEY_RESULT_NO_KEY = -2,
    KEY_RESULT_MULTIPLE_KEYS = -3,
    KEY_RESULT_OPEN_FAILED = -4,
    KEY_RESULT_WRONG_PASSWORD = -5,
    KEY_RESULT_OPERATION_FAILED = -6,
};

class CKeySession {
public:
    explicit CKeySession(const DeviceTable& table);
    // Ends the key's proof (EndProof) before the key is let go.
    ~CKeySession();
    CKeySession(const CKeySession&) = delete;
    CKeySession& operator=(const CKeySession&) = delete;

    // Every entry point the platform offers is there.
    KeyResult Check() const;
    // Scans once; exactly one key must be attached.
    KeyResult Find();
    // Scans once; the number of keys, whatever it is.
    unsigned CountKeys();
    // Opens and identifies the key that Find found.
    KeyResult Open();
    // Verifies the MD5 of the password bytes (the caller's encoding).
    KeyResult Prove(const void* password, size_t length);
    // Verifies the digest of a key that has never had a password.
    KeyResult ProveBlank();
    KeyResult SetPassword(const void* password, size_t length);
    // At most KEY_DATA_BYTES message bytes; the digest is written only on success.
    KeyResult HmacMd5(const uint8_t* message, size_t length, uint8_t digest[KEY_DIGEST_BYTES]);
    KeyResult ResetDigest(const uint8_t value[KEY_DIGEST_BYTES]);

    const uint8_t* SerialNumber() const { return key.SerialNumber(); }

    // A key may keep a verified password as proven until it is identified
    // again, and another program could then set a password or a digest
    // value without knowing the password. After any password check this
    // identifies the key once more, while it is still this session's
    // alone. The session's end does it anyway; a caller that answers its
    // page first calls it only after that.
    void EndProof();

private:
    const DeviceTable& devices;
    CUsbHidKeyFinder finder;
    CUsbHidKey key;
    bool proofSent = false;  // a password check went to the key since it was identified
};

} // namespace HIDUSBKEY
