// One simulated HID interface as it is stored in its device file: a key
// (with its firmware state) or any other HID device. The file is a fixed
// block, so that providers can rewrite it in place through the caller's
// device handle.
#pragma once

#include <cstdint>
#include <string>

#include "firmware.h"

namespace SIMKEY {

const size_t RECORD_BYTES = 512;
const size_t MAX_PRODUCT_CHARS = 126;  // a USB string descriptor's limit
// Environment variable naming the folder of device files, and their ending.
const char DEVICE_DIR_VARIABLE[] = "TALLYKEY_SIMKEY_DIR";
const char DEVICE_FILE_SUFFIX[] = ".dev";

enum DeviceKind : uint8_t { KIND_KEY = 1, KIND_OTHER_HID = 2 };

struct DeviceCounters {
    uint32_t preparsedDataGets;
    uint32_t attributeReads;
    uint32_t productStringReads;
    uint32_t featureWrites;
    uint32_t featureReads;
};

struct DeviceRecord {
    DeviceKind kind;
    uint16_t vendorId;
    uint16_t productId;
    uint16_t versionNumber;
    std::u16string productString;
    DeviceCounters counters;
    KeyState key;  // the firmware's state; only meaningful for KIND_KEY
    // The top-level collection a kernel device (uhid) declares: 0 is a
    // vendor page with the key's one feature report; 0x0001 a mouse;
    // 0xF1D0 a FIDO token.
    uint16_t usagePage;
};

const uint16_t USAGE_PAGE_DESKTOP = 0x0001;
const uint16_t USAGE_PAGE_FIDO = 0xF1D0;

// A factory-new key: ids 0x0111, the maker's product string.
DeviceRecord NewKeyRecord(const uint8_t serial[8]);
// Any other HID interface.
DeviceRecord NewOtherHidRecord(uint16_t vendorId, uint16_t productId, const std::u16string& productString);

void EncodeRecord(const DeviceRecord& record, uint8_t block[RECORD_BYTES]);
// False for anything that is not a well-formed record.
bool DecodeRecord(const uint8_t block[RECORD_BYTES], DeviceRecord& record);

} // namespace SIMKEY
