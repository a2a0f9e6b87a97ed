// The simulated key's firmware: the key's side of the feature-report
// protocol, as plain portable code. It knows nothing of HID or files; the
// providers hand it each written report and ask it for each read.
#pragma once

#include <cstddef>
#include <cstdint>

namespace SIMKEY {

const size_t REPORT_BYTES = 65;

// Fault switches of one simulated device. The firmware acts on the first
// group; the HID provider on the second.
enum SimFault : uint32_t {
    FAULT_FINAL_STATUS = 1u << 0,      // every final answer carries finalStatus
    FAULT_BUSY_FOREVER = 1u << 1,      // every read answers busy
    FAULT_DIGEST_LENGTH_15 = 1u << 2,  // keyed digests answer with length 15
    FAULT_VERIFY_ZERO = 1u << 3,       // verify answers OK with data byte 0 = 0

    FAULT_WRITE = 1u << 8,             // HidD_SetFeature fails
    FAULT_READ = 1u << 9,              // HidD_GetFeature fails
    FAULT_NO_PREPARSED = 1u << 10,     // HidD_GetPreparsedData fails
    FAULT_ATTRIBUTES = 1u << 11,       // HidD_GetAttributes fails
    FAULT_PRODUCT_STRING = 1u << 12,   // HidD_GetProductString fails
};

// Failure statuses of our key (anything but busy and OK is a failure).
const uint8_t STATUS_UNKNOWN_COMMAND = 0xE0;
const uint8_t STATUS_BAD_REQUEST = 0xE1;
const uint8_t STATUS_NOT_VERIFIED = 0xE2;
const uint8_t STATUS_NO_REQUEST = 0xE3;

const char DEFAULT_IDENTITY[] = "brightharbor";
const uint8_t DEFAULT_IDENTIFY_LENGTH = 21;

struct KeyState {
    uint8_t serial[8];
    uint8_t passwordDigest[16];  // a new key holds sixteen 0xFF bytes
    uint8_t digestKey[16];       // the value of the last digest reset
    uint8_t verified;            // a verify succeeded since the last identify
    uint8_t busyAnswers;         // busy answers before each final answer
    uint8_t busyRemaining;
    uint8_t hasResponse;
    uint8_t response[REPORT_BYTES];
    uint8_t lastRequest[REPORT_BYTES];
    // What the identify answer carries; changed only to simulate a wrong key.
    char identity[12];
    uint8_t afterIdentity;
    uint8_t identifyLength;
    uint8_t finalStatus;
    uint32_t faults;
};

// A factory-new key with the given serial number.
void InitKeyState(KeyState& key, const uint8_t serial[8]);

// The host wrote a request (HidD_SetFeature).
void Receive(KeyState& key, const uint8_t request[REPORT_BYTES]);
// The host reads the answer (HidD_GetFeature).
void Answer(KeyState& key, uint8_t answer[REPORT_BYTES]);

// HMAC-MD5 (RFC 2104) with the key's 16-byte digest key.
void HmacMd5(const uint8_t key[16], const uint8_t* message, size_t length, uint8_t digest[16]);

} // namespace SIMKEY
