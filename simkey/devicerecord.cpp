#include "devicerecord.h"

#include <cstring>

namespace SIMKEY {

namespace {

const char MAGIC[8] = {'T', 'K', 'S', 'I', 'M', 'D', 'E', 'V'};
const uint8_t FORMAT_VERSION = 1;

// Writes or reads the fields in one fixed order, little-endian, so that
// encoding and decoding cannot drift apart.
class Cursor {
public:
    Cursor(uint8_t* block, bool writing) : block(block), writing(writing) {}

    void Bytes(void* field, size_t size)
    {
        if (writing)
            std::memcpy(block + offset, field, size);
        else
            std::memcpy(field, block + offset, size);
        offset += size;
    }
    template <typename T> void Number(T& field)
    {
        for (size_t i = 0; i < sizeof(T); ++i) {
            if (writing)
                block[offset + i] = static_cast<uint8_t>(static_cast<uint64_t>(field) >> (8 * i));
            else
                field = static_cast<T>(field | static_cast<T>(static_cast<uint64_t>(block[offset + i]) << (8 * i)));
        }
        offset += sizeof(T);
    }
    size_t Offset() const { return offset; }

private:
    uint8_t* block;
    bool writing;
    size_t offset = 0;
};

void Fields(Cursor& c, DeviceRecord& r, uint8_t& kind, uint8_t& productChars, char16_t* product)
{
    c.Number(kind);
    c.Number(r.vendorId);
    c.Number(r.productId);
    c.Number(r.versionNumber);
    c.Number(productChars);
    for (size_t i = 0; i < MAX_PRODUCT_CHARS; ++i)
        c.Number(product[i]);
    c.Number(r.counters.preparsedDataGets);
    c.Number(r.counters.attributeReads);
    c.Number(r.counters.productStringReads);
    c.Number(r.counters.featureWrites);
    c.Number(r.counters.featureReads);
    KeyState& k = r.key;
    c.Bytes(k.serial, sizeof k.serial);
    c.Bytes(k.passwordDigest, sizeof k.passwordDigest);
    c.Bytes(k.digestKey, sizeof k.digestKey);
    c.Number(k.verified);
    c.Number(k.busyAnswers);
    c.Number(k.busyRemaining);
    c.Number(k.hasResponse);
    c.Bytes(k.response, sizeof k.response);
    c.Bytes(k.lastRequest, sizeof k.lastRequest);
    c.Bytes(k.identity, sizeof k.identity);
    c.Number(k.afterIdentity);
    c.Number(k.identifyLength);
    c.Number(k.finalStatus);
    c.Number(k.faults);
    c.Number(r.usagePage);
}

} // namespace

DeviceRecord NewKeyRecord(const uint8_t serial[8])
{
    DeviceRecord record{};
    record.kind = KIND_KEY;
    record.vendorId = 0x0111;
    record.productId = 0x0111;
    record.versionNumber = 0x0100;
    record.productString = u"www.bhrbkey.cn";
    InitKeyState(record.key, serial);
    return record;
}

DeviceRecord NewOtherHidRecord(uint16_t vendorId, uint16_t productId, const std::u16string& productString)
{
    const uint8_t noSerial[8] = {};
    DeviceRecord record = NewKeyRecord(noSerial);
    record.kind = KIND_OTHER_HID;
    record.vendorId = vendorId;
    record.productId = productId;
    record.productString = productString.substr(0, MAX_PRODUCT_CHARS);
    return record;
}

void EncodeRecord(const DeviceRecord& record, uint8_t block[RECORD_BYTES])
{
    std::memset(block, 0, RECORD_BYTES);
    std::memcpy(block, MAGIC, sizeof MAGIC);
    block[sizeof MAGIC] = FORMAT_VERSION;

    DeviceRecord copy = record;
    uint8_t kind = copy.kind;
    char16_t product[MAX_PRODUCT_CHARS] = {};
    size_t chars = copy.productString.size() < MAX_PRODUCT_CHARS ? copy.productString.size() : MAX_PRODUCT_CHARS;
    uint8_t productChars = static_cast<uint8_t>(chars);
    copy.productString.copy(product, chars);
    Cursor cursor(block + sizeof MAGIC + 1, true);
    Fields(cursor, copy, kind, productChars, product);
}

bool DecodeRecord(const uint8_t block[RECORD_BYTES], DeviceRecord& record)
{
    if (std::memcmp(block, MAGIC, sizeof MAGIC) != 0 || block[sizeof MAGIC] != FORMAT_VERSION)
        return false;
    uint8_t scratch[RECORD_BYTES];
    std::memcpy(scratch, block, RECORD_BYTES);
    DeviceRecord decoded{};
    uint8_t kind = 0, productChars = 0;
    char16_t product[MAX_PRODUCT_CHARS] = {};
    Cursor cursor(scratch + sizeof MAGIC + 1, false);
    Fields(cursor, decoded, kind, productChars, product);
    if ((kind != KIND_KEY && kind != KIND_OTHER_HID) || productChars > MAX_PRODUCT_CHARS)
        return false;
    decoded.kind = static_cast<DeviceKind>(kind);
    decoded.productString.assign(product, productChars);
    record = decoded;
    return true;
}

} // namespace SIMKEY
