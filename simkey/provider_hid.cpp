// The simulated hid.dll: the seven HidD_* entry points, answering from the
// device file behind the product's own handle.
#include <cstring>
#include <new>

#include "deviceio.h"
#include "provider.h"

using namespace SIMKEY;
using HIDUSBKEY::HIDD_ATTRIBUTES;
using HIDUSBKEY::PHIDP_PREPARSED_DATA;

namespace {

const uint32_t PREPARSED_MAGIC = 0x50524550;  // "PREP"

struct PreparsedData {
    uint32_t magic;
};

} // namespace

SIM_EXPORT void WINAPI HidD_GetHidGuid(GUID* guid)
{
    if (guid)
        *guid = HID_INTERFACE_GUID;
}

SIM_EXPORT BOOLEAN WINAPI HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data)
{
    if (data == nullptr)
        return FALSE;
    return WithRecord(device, [&](DeviceRecord& record) {
        ++record.counters.preparsedDataGets;
        if (record.key.faults & FAULT_NO_PREPARSED)
            return false;
        auto* preparsed = new (std::nothrow) PreparsedData{PREPARSED_MAGIC};
        *data = reinterpret_cast<PHIDP_PREPARSED_DATA>(preparsed);
        return preparsed != nullptr;
    });
}

SIM_EXPORT BOOLEAN WINAPI HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data)
{
    auto* preparsed = reinterpret_cast<PreparsedData*>(data);
    if (preparsed == nullptr || preparsed->magic != PREPARSED_MAGIC)
        return FALSE;
    preparsed->magic = 0;
    delete preparsed;
    return TRUE;
}

SIM_EXPORT BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes)
{
    if (attributes == nullptr)
        return FALSE;
    return WithRecord(device, [&](DeviceRecord& record) {
        ++record.counters.attributeReads;
        if (record.key.faults & FAULT_ATTRIBUTES)
            return false;
        attributes->VendorID = record.vendorId;
        attributes->ProductID = record.productId;
        attributes->VersionNumber = record.versionNumber;
        return true;
    });
}

SIM_EXPORT BOOLEAN WINAPI HidD_GetProductString(HANDLE device, void* buffer, ULONG bufferBytes)
{
    if (buffer == nullptr)
        return FALSE;
    return WithRecord(device, [&](DeviceRecord& record) {
        ++record.counters.productStringReads;
        if (record.key.faults & FAULT_PRODUCT_STRING)
            return false;
        // As the driver does: as much of the string and its NUL as fits.
        WCHAR* out = static_cast<WCHAR*>(buffer);
        size_t room = bufferBytes / sizeof(WCHAR);
        const std::u16string& product = record.productString;
        for (size_t i = 0; i < room && i <= product.size(); ++i)
            out[i] = i < product.size() ? static_cast<WCHAR>(product[i]) : 0;
        return true;
    });
}

SIM_EXPORT BOOLEAN WINAPI HidD_SetFeature(HANDLE device, void* report, ULONG reportBytes)
{
    return ExchangeFeature(device, true, report, reportBytes);
}

SIM_EXPORT BOOLEAN WINAPI HidD_GetFeature(HANDLE device, void* report, ULONG reportBytes)
{
    return ExchangeFeature(device, false, report, reportBytes);
}
