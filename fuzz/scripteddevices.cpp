#include "scripteddevices.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "firmware.h"
#include "hidapi.h"
#include "usbhidkey.h"

using namespace HIDUSBKEY;

namespace SCRIPTED {

namespace {

const int NODE_COUNT = 3;         // interfaces with a node file behind them
const DWORD MAX_SCRIPTED_INDEX = 64;  // keeps one execution short; the product's own cap is unit-tested
const HDEVINFO DEVICE_SET = reinterpret_cast<HDEVINFO>(0x5E7);
const size_t STATUS = 64, LENGTH = 2, DATA = 3;
const char16_t PRODUCT[] = u"www.bhrbkey.cn";
int preparsedToken;

struct Node {
    std::string path;
    ino_t inode = 0;
    SIMKEY::KeyState firmware;
    bool exchangeOpen = false;   // a request was sent and its final answer not yet read
    uint8_t pendingCommand = 0;
    unsigned busyAnswers = 0;
    bool closing = false;        // the pending exchange is the closing identify, no step of the call
};

Node nodes[NODE_COUNT];
FuzzedDataProvider* script;
Ledger ledger;
int preparsedHeld;
int setsHeld;

// The script's next choice; 0 (the well-behaved answer) when there is no
// script or it has run out.
uint8_t Choice()
{
    return script && script->remaining_bytes() ? script->ConsumeIntegral<uint8_t>() : 0;
}

Node* NodeOf(HANDLE handle)
{
    struct stat info;
    int fd = CompatHandleToFd(handle);
    if (fd < 0 || fstat(fd, &info) != 0)
        return nullptr;
    for (Node& node : nodes) {
        if (node.inode == info.st_ino)
            return &node;
    }
    return nullptr;
}

bool IsIdentity(const uint8_t* data)
{
    for (size_t i = 0; i < sizeof KEY_IDENTITY; ++i) {
        char c = static_cast<char>(data[i]);
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != KEY_IDENTITY[i])
            return false;
    }
    return true;
}

// A final answer as the host must judge it.
void Judge(Node& node, const uint8_t* answer)
{
    node.exchangeOpen = false;
    if (node.closing)
        return;  // whatever it answers, the call's outcome was settled before it
    bool ok = answer[STATUS] == KEY_STATUS_OK;
    ledger.digestAnswered = false;
    switch (node.pendingCommand) {
    case KEY_CMD_IDENTIFY:
        ok = ok && answer[LENGTH] == KEY_IDENTIFY_LENGTH && IsIdentity(answer + DATA);
        if (ok) {
            ledger.identified = true;
            std::memcpy(ledger.serial, answer + DATA + sizeof KEY_IDENTITY, sizeof ledger.serial);
        }
        break;
    case KEY_CMD_VERIFY_PASSWORD:
    case KEY_CMD_SET_PASSWORD:
        ok = ok && answer[DATA] != 0;
        break;
    case KEY_CMD_HMAC_MD5:
        ok = ok && answer[LENGTH] == KEY_DIGEST_BYTES;
        ledger.digestAnswered = ok;
        if (ok)
            std::memcpy(ledger.digest, answer + DATA, sizeof ledger.digest);
        break;
    default:
        break;
    }
    ledger.lastExchangeOk = ok;
    if (!ok)
        ledger.failedStep = true;
}

void Fill(uint8_t* bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        bytes[i] = Choice();
}

} // namespace

void Violation(const char* rule)
{
    std::fprintf(stderr, "RULE BROKEN: %s\n", rule);
    std::abort();
}

void StartDevices(const char* folder)
{
    static bool started;
    if (started)
        return;
    started = true;
    for (int i = 0; i < NODE_COUNT; ++i) {
        nodes[i].path = std::string(folder) + "/hid-node-" + std::to_string(i);
        FILE* file = std::fopen(nodes[i].path.c_str(), "w");
        struct stat info;
        if (file == nullptr || fstat(fileno(file), &info) != 0)
            Violation("cannot create the device nodes");
        nodes[i].inode = info.st_ino;
        std::fclose(file);
    }
}

void ResetDevices(FuzzedDataProvider* source, const uint8_t* passwordDigest)
{
    script = source;
    for (int i = 0; i < NODE_COUNT; ++i) {
        const uint8_t serial[8] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, static_cast<uint8_t>(0x71 + i)};
        SIMKEY::InitKeyState(nodes[i].firmware, serial);
        if (passwordDigest)
            std::memcpy(nodes[i].firmware.passwordDigest, passwordDigest, 16);
        nodes[i].exchangeOpen = false;
    }
}

const uint8_t* KeyPasswordDigest() { return nodes[0].firmware.passwordDigest; }
const uint8_t* KeyDigestKey() { return nodes[0].firmware.digestKey; }

void BeginCall()
{
    ledger = Ledger{};
    for (Node& node : nodes)
        node.exchangeOpen = false;
}

const Ledger& CallLedger() { return ledger; }

void CheckNothingHeld()
{
    if (preparsedHeld != 0)
        Violation("preparsed data not freed");
    if (setsHeld != 0)
        Violation("device-information set not destroyed");
    if (ledger.passwordSent && !ledger.closed)
        Violation("a password was checked and the key let go without identifying it again");
}

} // namespace SCRIPTED

using namespace SCRIPTED;

// The device-setup service.

extern "C" SCRIPTED_EXPORT HDEVINFO SetupDiGetClassDevsA(const GUID*, const char*, HWND, DWORD)
{
    if (Choice() == 0xFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    ++setsHeld;
    return DEVICE_SET;
}

extern "C" SCRIPTED_EXPORT BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    if (set != DEVICE_SET)
        Violation("destroyed a set that was never created");
    --setsHeld;
    return TRUE;
}

// Well-behaved: one key, at index 0. Scripted: each index is a choice.
// Reserved names the interface: a node, or NODE_COUNT for a scripted path.
extern "C" SCRIPTED_EXPORT BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, SP_DEVINFO_DATA* info, const GUID*,
                                                            DWORD index, SP_DEVICE_INTERFACE_DATA* data)
{
    if (set != DEVICE_SET || info != nullptr || data == nullptr || data->cbSize != sizeof *data)
        Violation("interface enumeration with wrong arguments");
    uint8_t choice = Choice();
    if (choice == 0)
        choice = index == 0 ? 4 : 1;
    if (choice == 1 || index >= MAX_SCRIPTED_INDEX) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    if (choice < 4) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    data->Reserved = (choice - 4) % (NODE_COUNT + 1);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

extern "C" SCRIPTED_EXPORT BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                                                 SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
                                                                 DWORD bytes, DWORD* required, SP_DEVINFO_DATA* info)
{
    if (set != DEVICE_SET || data == nullptr || info != nullptr)
        Violation("interface detail with wrong arguments");
    const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
    const bool isNode = data->Reserved < static_cast<ULONG_PTR>(NODE_COUNT);
    const std::string nodePath = isNode ? nodes[data->Reserved].path : std::string();
    if (detail == nullptr) {
        if (bytes != 0 || required == nullptr)
            Violation("size query with a buffer or without a size variable");
        uint8_t choice = Choice();
        DWORD needed = static_cast<DWORD>(offset + (isNode ? nodePath.size() + 1 : 1 + choice % 40));
        switch (choice >> 5) {
        case 1: *required = needed - 1; break;
        case 2: *required = choice % 16; break;
        case 3: *required = 0xFFFFFF00u + choice; break;
        case 4: *required = 0x10000 + choice; break;
        default: *required = needed; break;
        }
        SetLastError(choice == 0xEE ? ERROR_INVALID_PARAMETER : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (required != nullptr || bytes < sizeof *detail || detail->cbSize != sizeof *detail)
        Violation("detail buffer smaller than its header or of the wrong size field");
    uint8_t choice = Choice();
    if (choice == 0xFF) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    // The service writes within the buffer it was given, but not
    // necessarily a terminated path.
    size_t room = bytes - offset;
    auto* out = reinterpret_cast<uint8_t*>(detail->DevicePath);
    if (isNode && choice < 0xC0) {
        size_t count = nodePath.size() + 1 < room ? nodePath.size() + 1 : room;
        std::memcpy(out, nodePath.c_str(), count);
    } else {
        // Scripted bytes; never a path that leaves the working folder.
        Fill(out, room);
        for (size_t i = 0; i < room; ++i) {
            if (out[i] == '/')
                out[i] = '_';
        }
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

// The HID class driver.

extern "C" SCRIPTED_EXPORT void HidD_GetHidGuid(GUID* guid)
{
    *guid = HIDUSBKEY::HID_INTERFACE_GUID;
}

extern "C" SCRIPTED_EXPORT BOOLEAN HidD_GetPreparsedData(HANDLE, PHIDP_PREPARSED_DATA* data)
{
    static const BOOLEAN answers[] = {TRUE, FALSE, 2, 0xFF};
    BOOLEAN answer = answers[Choice() % 4];
    if (answer == FALSE)
        return FALSE;
    ++preparsedHeld;
    *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(&preparsedToken);
    return answer;
}

extern "C" SCRIPTED_EXPORT BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data)
{
    if (data != reinterpret_cast<PHIDP_PREPARSED_DATA>(&preparsedToken))
        Violation("freed preparsed data that was never handed out");
    --preparsedHeld;
    return TRUE;
}

extern "C" SCRIPTED_EXPORT BOOLEAN HidD_GetAttributes(HANDLE, HIDD_ATTRIBUTES* attributes)
{
    if (attributes->Size != sizeof *attributes)
        Violation("attributes record of the wrong size");
    uint8_t choice = Choice();
    if (choice == 0xFF)
        return FALSE;
    attributes->VendorID = choice == 0xFE ? 0x0112 : 0x0111;
    attributes->ProductID = choice == 0xFD ? 0x1111 : 0x0111;
    attributes->VersionNumber = choice;
    return TRUE;
}

extern "C" SCRIPTED_EXPORT BOOLEAN HidD_GetProductString(HANDLE, void* buffer, ULONG bytes)
{
    uint8_t choice = Choice();
    if (choice == 0xFF)
        return FALSE;
    if (choice >= 0xF0) {  // scripted bytes, as many as the buffer holds
        Fill(static_cast<uint8_t*>(buffer), bytes);
        return TRUE;
    }
    char16_t text[sizeof PRODUCT / sizeof PRODUCT[0]];
    std::memcpy(text, PRODUCT, sizeof text);
    if (choice >= 0xE0)
        text[choice % 14] = static_cast<char16_t>(text[choice % 14] - 0x20);  // another case, or another letter
    std::memcpy(buffer, text, sizeof text < bytes ? sizeof text : bytes);
    return TRUE;
}

// The node behind a feature report's handle; none (a failed step) for a
// handle that is no key's. The report must have our key's shape.
static Node* FeatureNode(HANDLE handle, const void* report, ULONG bytes)
{
    Node* node = NodeOf(handle);
    if (node == nullptr) {
        ledger.failedStep = true;
        return nullptr;
    }
    if (bytes != sizeof(KeyReport) || static_cast<const uint8_t*>(report)[0] != 0)
        Violation("a feature report of the wrong size or report id");
    return node;
}

extern "C" SCRIPTED_EXPORT BOOLEAN HidD_SetFeature(HANDLE handle, void* report, ULONG bytes)
{
    Node* node = FeatureNode(handle, report, bytes);
    if (node == nullptr)
        return FALSE;
    const auto* request = static_cast<const uint8_t*>(report);
    uint8_t command = request[1];
    // After a password check the host identifies the key once more as it
    // lets it go, whatever happened since, so that the key's proof ends.
    const bool closing = command == KEY_CMD_IDENTIFY && ledger.passwordSent;
    if (ledger.closed)
        Violation("a request was sent after the closing identify");
    if (ledger.failedStep && !closing)
        Violation("a request was sent after a failed step (or to a device that failed the identity test)");
    ledger.closed = closing;
    if (command == KEY_CMD_VERIFY_PASSWORD)
        ledger.passwordSent = true;
    node->closing = closing;
    ++ledger.requests;
    if (command == KEY_CMD_SET_PASSWORD || command == KEY_CMD_HMAC_MD5 || command == KEY_CMD_RESET_DIGEST) {
        if (++ledger.privileged > 1)
            Violation("more than one privileged command in one call");
    }
    if (Choice() == 0xFF) {
        ledger.failedStep = ledger.failedStep || !closing;
        return FALSE;
    }
    SIMKEY::Receive(node->firmware, request);
    node->exchangeOpen = true;
    node->pendingCommand = command;
    node->busyAnswers = 0;
    return TRUE;
}

extern "C" SCRIPTED_EXPORT BOOLEAN HidD_GetFeature(HANDLE handle, void* report, ULONG bytes)
{
    Node* node = FeatureNode(handle, report, bytes);
    if (node == nullptr)
        return FALSE;
    if (!node->exchangeOpen)
        Violation("an answer read with no request outstanding");
    uint8_t answer[sizeof(KeyReport)];
    uint8_t choice = Choice();
    switch (choice >> 4) {
    case 0x0: case 0x1: case 0x2: case 0x3: case 0x4: case 0x5: case 0x6: case 0x7:
        SIMKEY::Answer(node->firmware, answer);
        break;
    case 0x8: case 0x9:  // busy, without the key moving on
        std::memset(answer, 0, sizeof answer);
        answer[STATUS] = KEY_STATUS_BUSY;
        break;
    case 0xA:  // another status
        SIMKEY::Answer(node->firmware, answer);
        answer[STATUS] = Choice();
        break;
    case 0xB:  // another length
        SIMKEY::Answer(node->firmware, answer);
        answer[LENGTH] = Choice();
        break;
    case 0xC: case 0xD:  // one data byte changed
        SIMKEY::Answer(node->firmware, answer);
        answer[DATA + Choice() % KEY_DATA_BYTES] = Choice();
        break;
    case 0xE:  // anything at all after the report id
        SIMKEY::Answer(node->firmware, answer);
        Fill(answer + 1, sizeof answer - 1);
        break;
    default:
        ledger.failedStep = ledger.failedStep || !node->closing;
        node->exchangeOpen = false;
        return FALSE;
    }
    answer[0] = 0;
    if (answer[STATUS] == KEY_STATUS_BUSY) {
        // The host gives up at its limit of busy answers.
        if (++node->busyAnswers >= KEY_MAX_BUSY_ANSWERS) {
            ledger.failedStep = ledger.failedStep || !node->closing;
            node->exchangeOpen = false;
        }
    } else {
        Judge(*node, answer);
    }
    std::memcpy(report, answer, sizeof answer);
    return TRUE;
}
