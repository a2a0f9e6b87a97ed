#include "usbhidkey.h"

#include <cstring>

namespace HIDUSBKEY {

namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// The identity with its terminating NUL must open the answer's data.
bool IsKeyIdentity(const uint8_t* data)
{
    for (size_t i = 0; i < sizeof KEY_IDENTITY; ++i) {
        if (AsciiLower(static_cast<char>(data[i])) != KEY_IDENTITY[i])
            return false;
    }
    return true;
}

void SystemSleep(DWORD milliseconds) { Sleep(milliseconds); }

KeyWaitFunction keyWait = SystemSleep;

} // namespace

void SetKeyWaitFunction(KeyWaitFunction wait) { keyWait = wait ? wait : SystemSleep; }

CUsbHidKey::CUsbHidKey(const DeviceTable& table) : devices(table), serial{}, report{} {}

CUsbHidKey::~CUsbHidKey()
{
    // The report last carried a password digest or a digest value.
    SecureWipe(&report, sizeof report);
    SecureWipe(serial, sizeof serial);
}

void CUsbHidKey::Prepare(uint8_t command, uint8_t length)
{
    std::memset(&report, 0, sizeof report);
    report.reportId = 0;
    report.command = command;
    report.length = length;
    report.status = KEY_STATUS_BUSY;
}

bool CUsbHidKey::Transfer(DWORD waitMs)
{
    if (!channel || !channel->SetFeature(&report, sizeof report))
        return false;
    keyWait(waitMs);
    if (!channel->GetFeature(&report, sizeof report))
        return false;
    for (unsigned busy = 1; report.status == KEY_STATUS_BUSY; ++busy) {
        if (busy >= KEY_MAX_BUSY_ANSWERS)
            return false;
        keyWait(KEY_BUSY_POLL_MS);
        if (!channel->GetFeature(&report, sizeof report))
            return false;
    }
    return report.status == KEY_STATUS_OK;
}

bool CUsbHidKey::Open(const char* path)
{
    if (path == nullptr)
        return false;
    ListedDevice listed{path, {}, nullptr};
    return Open(&listed);
}

bool CUsbHidKey::Open(ListedDevice* listed)
{
    channel.reset();
    if (listed == nullptr)
        return false;
    channel = devices.Open(*listed);
    if (!channel)
        return false;
    return Identify();
}

bool CUsbHidKey::Identify()
{
    Prepare(KEY_CMD_IDENTIFY, 0);
    if (!Transfer(KEY_WAIT_MS) || report.length != KEY_IDENTIFY_LENGTH || !IsKeyIdentity(report.data))
        return false;
    std::memcpy(serial, report.data + sizeof KEY_IDENTITY, sizeof serial);
    return true;
}

bool CUsbHidKey::PasswordCommand(uint8_t command, const uint8_t digest[KEY_DIGEST_BYTES], DWORD waitMs)
{
    Prepare(command, KEY_DIGEST_BYTES);
    std::memcpy(report.data, digest, KEY_DIGEST_BYTES);
    return Transfer(waitMs) && report.data[0] != 0;
}

bool CUsbHidKey::VerifyPassword(const uint8_t digest[KEY_DIGEST_BYTES])
{
    return PasswordCommand(KEY_CMD_VERIFY_PASSWORD, digest, KEY_WAIT_MS);
}

bool CUsbHidKey::SetPassword(const uint8_t digest[KEY_DIGEST_BYTES])
{
    return PasswordCommand(KEY_CMD_SET_PASSWORD, digest, KEY_SET_PASSWORD_WAIT_MS);
}

bool CUsbHidKey::HmacMd5(const uint8_t* message, uint8_t length, uint8_t digest[KEY_DIGEST_BYTES])
{
    if (length > KEY_DATA_BYTES || (length > 0 && message == nullptr))
        return false;
    Prepare(KEY_CMD_HMAC_MD5, length);
    if (length > 0)
        std::memcpy(report.data, message, length);
    if (!Transfer(KEY_WAIT_MS) || report.length != KEY_DIGEST_BYTES)
        return false;
    std::memcpy(digest, report.data, KEY_DIGEST_BYTES);
    return true;
}

bool CUsbHidKey::ResetDigest(const uint8_t value[KEY_DIGEST_BYTES])
{
    Prepare(KEY_CMD_RESET_DIGEST, sizeof KEY_RESET_PREFIX + KEY_DIGEST_BYTES);
    std::memcpy(report.data, KEY_RESET_PREFIX, sizeof KEY_RESET_PREFIX);
    std::memcpy(report.data + sizeof KEY_RESET_PREFIX, value, KEY_DIGEST_BYTES);
    return Transfer(KEY_WAIT_MS);
}

} // namespace HIDUSBKEY
