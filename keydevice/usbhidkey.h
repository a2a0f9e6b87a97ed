// The feature-report command channel to one key.
#pragma once

#include <cstdint>
#include <memory>

#include "devicetable.h"
#include "md5.h"
#include "platform.h"

namespace HIDUSBKEY {

#pragma pack(push, 1)
// One 65-byte HID feature report: report id 0, then the key's 64-byte report.
struct KeyReport {
    uint8_t reportId;
    uint8_t command;
    uint8_t length;
    uint8_t data[61];
    uint8_t status;
};
#pragma pack(pop)
static_assert(sizeof(KeyReport) == 65, "the key's report is 65 bytes on the wire");

const size_t KEY_DATA_BYTES = sizeof(KeyReport::data);
const size_t KEY_SERIAL_BYTES = 8;
const size_t KEY_DIGEST_BYTES = 16;

const uint8_t KEY_CMD_IDENTIFY = 0x01;
const uint8_t KEY_CMD_VERIFY_PASSWORD = 0x02;
const uint8_t KEY_CMD_SET_PASSWORD = 0x04;
const uint8_t KEY_CMD_HMAC_MD5 = 0x20;
const uint8_t KEY_CMD_RESET_DIGEST = 0x30;

const uint8_t KEY_STATUS_BUSY = 0x2E;
const uint8_t KEY_STATUS_OK = 0xD3;

const char KEY_IDENTITY[] = "brightharbor";
const uint8_t KEY_IDENTIFY_LENGTH = 21;      // identity, NUL, 8 serial bytes
const uint8_t KEY_RESET_PREFIX[2] = {0xFC, 0x00};

const DWORD KEY_WAIT_MS = 50;                // after every request but set-password
const DWORD KEY_SET_PASSWORD_WAIT_MS = 500;
const DWORD KEY_BUSY_POLL_MS = 50;
// A key that never stops answering busy must not hold the caller for ever:
// the exchange fails at this many busy answers (about five seconds).
const unsigned KEY_MAX_BUSY_ANSWERS = 100;

// How the channel waits for the key: the system's sleep. A fuzzing harness
// replaces it to run at full speed; nothing else should.
typedef void (*KeyWaitFunction)(DWORD milliseconds);
void SetKeyWaitFunction(KeyWaitFunction wait);  // null restores the sleep

class CUsbHidKey {
public:
    explicit CUsbHidKey(const DeviceTable& table);
    virtual ~CUsbHidKey();
    CUsbHidKey(const CUsbHidKey&) = delete;
    CUsbHidKey& operator=(const CUsbHidKey&) = delete;

    // Opens a listed key (taking over what the listing holds) and identifies it.
    bool Open(ListedDevice* listed);
    bool Open(const char* path);
    const uint8_t* SerialNumber() const { return serial; }
    // The identify command again: whatever the key holds as proven (a
    // verified password) ends with it.
    bool Identify();
    bool VerifyPassword(const uint8_t digest[KEY_DIGEST_BYTES]);
    bool SetPassword(const uint8_t digest[KEY_DIGEST_BYTES]);
    // Messages over KEY_DATA_BYTES are refused without anything being sent.
    bool HmacMd5(const uint8_t* message, uint8_t length, uint8_t digest[KEY_DIGEST_BYTES]);
    bool ResetDigest(const uint8_t value[KEY_DIGEST_BYTES]);

    bool Transfer(DWORD waitMs);

private:
    // Starts a request; the data area is zeroed so that no request carries
    // bytes of an earlier one (such as a password digest).
    void Prepare(uint8_t command, uint8_t length);
    bool PasswordCommand(uint8_t command, const uint8_t digest[KEY_DIGEST_BYTES], DWORD waitMs);

    const DeviceTable& devices;
    std::unique_ptr<DeviceChannel> channel;
    uint8_t serial[KEY_SERIAL_BYTES];
    KeyReport report;
};

} // namespace HIDUSBKEY
