#include "firmware.h"

#include <cstring>

#include "md5.h"
#include "usbhidkey.h"

namespace SIMKEY {

using namespace HIDUSBKEY;

namespace {

// Byte offsets within a report.
const size_t COMMAND = 1, LENGTH = 2, DATA = 3, STATUS = 64;

void AnswerIdentify(KeyState& key, uint8_t* response)
{
    key.verified = 0;
    response[LENGTH] = key.identifyLength;
    std::memcpy(response + DATA, key.identity, sizeof key.identity);
    response[DATA + 12] = key.afterIdentity;
    std::memcpy(response + DATA + 13, key.serial, sizeof key.serial);
    response[STATUS] = KEY_STATUS_OK;
}

void AnswerVerify(KeyState& key, const uint8_t* request, uint8_t* response)
{
    if (request[LENGTH] != 16) {
        response[STATUS] = STATUS_BAD_REQUEST;
        return;
    }
    bool match = std::memcmp(request + DATA, key.passwordDigest, 16) == 0;
    key.verified = match ? 1 : 0;
    response[LENGTH] = 1;
    response[DATA] = (match && !(key.faults & FAULT_VERIFY_ZERO)) ? 1 : 0;
    response[STATUS] = KEY_STATUS_OK;
}

void AnswerSetPassword(KeyState& key, const uint8_t* request, uint8_t* response)
{
    if (request[LENGTH] != 16) {
        response[STATUS] = STATUS_BAD_REQUEST;
        return;
    }
    std::memcpy(key.passwordDigest, request + DATA, 16);
    response[LENGTH] = 1;
    response[DATA] = 1;
    response[STATUS] = KEY_STATUS_OK;
}

void AnswerHmac(KeyState& key, const uint8_t* request, uint8_t* response)
{
    uint8_t length = request[LENGTH];
    if (length > KEY_DATA_BYTES) {
        response[STATUS] = STATUS_BAD_REQUEST;
        return;
    }
    HmacMd5(key.digestKey, request + DATA, length, response + DATA);
    response[LENGTH] = (key.faults & FAULT_DIGEST_LENGTH_15) ? 15 : 16;
    response[STATUS] = KEY_STATUS_OK;
}

void AnswerReset(KeyState& key, const uint8_t* request, uint8_t* response)
{
    if (request[LENGTH] != 18 || request[DATA] != 0xFC || request[DATA + 1] != 0x00) {
        response[STATUS] = STATUS_BAD_REQUEST;
        return;
    }
    std::memcpy(key.digestKey, request + DATA + 2, 16);
    response[STATUS] = KEY_STATUS_OK;
}

} // namespace

void InitKeyState(KeyState& key, const uint8_t serial[8])
{
    std::memset(&key, 0, sizeof key);
    std::memcpy(key.serial, serial, sizeof key.serial);
    std::memset(key.passwordDigest, 0xFF, sizeof key.passwordDigest);
    std::memcpy(key.identity, DEFAULT_IDENTITY, sizeof key.identity);
    key.identifyLength = DEFAULT_IDENTIFY_LENGTH;
}

void Receive(KeyState& key, const uint8_t request[REPORT_BYTES])
{
    std::memcpy(key.lastRequest, request, REPORT_BYTES);
    uint8_t* response = key.response;
    std::memset(response, 0, REPORT_BYTES);
    response[COMMAND] = request[COMMAND];

    bool privileged = request[COMMAND] == KEY_CMD_SET_PASSWORD || request[COMMAND] == KEY_CMD_HMAC_MD5 ||
                      request[COMMAND] == KEY_CMD_RESET_DIGEST;
    if (privileged && !key.verified) {
        response[STATUS] = STATUS_NOT_VERIFIED;
    } else {
        switch (request[COMMAND]) {
        case KEY_CMD_IDENTIFY: AnswerIdentify(key, response); break;
        case KEY_CMD_VERIFY_PASSWORD: AnswerVerify(key, request, response); break;
        case KEY_CMD_SET_PASSWORD: AnswerSetPassword(key, request, response); break;
        case KEY_CMD_HMAC_MD5: AnswerHmac(key, request, response); break;
        case KEY_CMD_RESET_DIGEST: AnswerReset(key, request, response); break;
        default: response[STATUS] = STATUS_UNKNOWN_COMMAND; break;
        }
    }
    key.hasResponse = 1;
    key.busyRemaining = key.busyAnswers;
}

void Answer(KeyState& key, uint8_t answer[REPORT_BYTES])
{
    std::memset(answer, 0, REPORT_BYTES);
    if (key.faults & FAULT_BUSY_FOREVER) {
        answer[STATUS] = KEY_STATUS_BUSY;
        return;
    }
    if (!key.hasResponse) {
        answer[STATUS] = STATUS_NO_REQUEST;
        return;
    }
    if (key.busyRemaining > 0) {
        --key.busyRemaining;
        answer[COMMAND] = key.response[COMMAND];
        answer[STATUS] = KEY_STATUS_BUSY;
        return;
    }
    std::memcpy(answer, key.response, REPORT_BYTES);
    if (key.faults & FAULT_FINAL_STATUS)
        answer[STATUS] = key.finalStatus;
}

void HmacMd5(const uint8_t key[16], const uint8_t* message, size_t length, uint8_t digest[16])
{
    uint8_t pad[64];
    uint8_t inner[16];
    Md5Context context;

    std::memset(pad, 0x36, sizeof pad);
    for (size_t i = 0; i < 16; ++i)
        pad[i] ^= key[i];
    Md5Init(context);
    Md5Update(context, pad, sizeof pad);
    Md5Update(context, message, length);
    Md5Final(context, inner);

    std::memset(pad, 0x5C, sizeof pad);
    for (size_t i = 0; i < 16; ++i)
        pad[i] ^= key[i];
    Md5Init(context);
    Md5Update(context, pad, sizeof pad);
    Md5Update(context, inner, sizeof inner);
    Md5Final(context, digest);
}

} // namespace SIMKEY
