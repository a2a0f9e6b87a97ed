// An in-process HidApi table for the channel and finder tests: HID
// interfaces and a key that live in the test itself. CreateFileA is the
// system's, so every interface has an empty node file to open; the fake
// functions tell the interfaces apart by the path behind the handle.
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "firmware.h"
#include "hidapi.h"
#include "usbhidkey.h"

struct FakeInterface {
    std::string name;
    std::string path;
    USHORT vendorId = 0x0111;
    USHORT productId = 0x0111;
    std::u16string product = u"www.bhrbkey.cn";
    BOOLEAN preparsedAnswer = TRUE;  // FALSE hands nothing out; any other value hands data out
    bool attributesOk = true;
    bool productStringOk = true;
    bool detailOk = true;
    DWORD claimedDetailBytes = 0;  // the size the service reports, when not 0
    bool unterminatedPath = false;  // the detail fills its buffer with no NUL
    int detailFills = 0;
    int attributeReads = 0;
    int productStringReads = 0;
};

struct FakeEvent {
    char kind;  // 'w' write, 'r' read
    std::chrono::steady_clock::time_point at;
};

// The far end of the command channel.
struct FakeKey {
    bool writeOk = true;
    int failReadNumber = 0;            // the n-th read fails (1-based); 0 never
    std::deque<HIDUSBKEY::KeyReport> answers;  // scripted answers, used first
    bool busyForever = false;
    SIMKEY::KeyState firmware;         // answers when no script is left
    std::vector<HIDUSBKEY::KeyReport> writes;
    int reads = 0;
    std::vector<FakeEvent> events;
};

class FakeHid {
public:
    FakeHid();
    ~FakeHid();
    FakeHid(const FakeHid&) = delete;
    FakeHid& operator=(const FakeHid&) = delete;

    FakeInterface& Add(const std::string& name);
    FakeInterface* ByHandle(HANDLE handle);

    HIDUSBKEY::HidApi api;
    HIDUSBKEY::HidDeviceTable devices{api};  // the key logic's view of api
    std::deque<FakeInterface> interfaces;  // references stay valid as more are added
    FakeKey key;
    bool classDevsFails = false;
    std::vector<DWORD> failingIndices;  // enumeration fails there with another error
    bool endlessEnumeration = false;    // past the interfaces, every index fails; never "no more"
    DWORD enumerationCalls = 0;
    int setsCreated = 0;
    int setsDestroyed = 0;
    int preparsedHeld = 0;  // handed out and not yet freed

    static FakeHid* current;

private:
    std::string nodeDir;
};

// A ready answer of the key, as the scripts want it.
HIDUSBKEY::KeyReport Answer(uint8_t status, uint8_t length = 0, const std::string& data = "");
