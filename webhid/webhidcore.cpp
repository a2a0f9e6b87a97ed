// The key layer and the methods' rules (the eight, and the origin-bound
// signIn and confirm), compiled to WebAssembly for pages that reach the key
// through WebHID. The page library's WebHID module
// (tallykey-webhid.js) hands the module an object, Module.tallykeyHid, that
// lists the devices this site may use and carries their feature reports;
// every step, check and limit is the same code as the plug-in's and the
// native host's.
//
// One call runs at a time (Asyncify suspends it at each device operation and
// each of the key's waits); the page library queues the rest.
#include <emscripten.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "devicetable.h"
#include "keymethods.h"

namespace {

// The page's origin (location.origin, which the browser serialises in the
// canonical form) for the bound methods, and SHA-256 from Web Crypto.
EM_JS(int, OriginLength, (), { return typeof Module.tallykeyOrigin === "string" ? Module.tallykeyOrigin.length : 0; });
EM_JS(int, CopyOrigin, (char* out, int length), {
    const text = Module.tallykeyOrigin;
    for (let i = 0; i < length; ++i) {
        const c = text.charCodeAt(i);
        if (c < 0x21 || c > 0x7e)
            return 0;  // an origin in its serialised form is printable ASCII
        HEAPU8[out + i] = c;
    }
    return 1;
});
EM_ASYNC_JS(int, WebSha256, (const uint8_t* data, int length, uint8_t* out), {
    try {
        const digest = new Uint8Array(await Module.tallykeySha256(HEAPU8.slice(data, data + length)));
        if (digest.length !== 32)
            return 0;
        HEAPU8.set(digest, out);
        return 1;
    } catch {
        return 0;
    }
});

std::string PageOrigin()
{
    const int length = OriginLength();
    std::string origin(length > 0 && length <= 1024 ? static_cast<size_t>(length) : 0, '\0');
    if (!origin.empty() && !CopyOrigin(&origin[0], length))
        origin.clear();
    return origin;
}

bool PageSha256(const uint8_t* bytes, size_t length, uint8_t digest[KEYMETHODS::SHA256_BYTES])
{
    return length <= 0x7fffffff && WebSha256(bytes, static_cast<int>(length), digest) == 1;
}

// Device operations in the page. Each answers 1 or 0 and never hangs: the
// page side bounds every promise WebHID gives it.
EM_ASYNC_JS(int, ListDevices, (), { return await Module.tallykeyHid.list(); });
EM_JS(int, ProductLength, (int index), { return Module.tallykeyHid.product(index).length; });
EM_JS(void, CopyProduct, (int index, char16_t* out, int length), {
    const text = Module.tallykeyHid.product(index);
    for (let i = 0; i < length; ++i)
        HEAPU16[(out >> 1) + i] = text.charCodeAt(i);
});
EM_ASYNC_JS(int, OpenDevice, (int index), { return await Module.tallykeyHid.open(index); });
EM_JS(void, CloseDevice, (int index), { Module.tallykeyHid.close(index); });
EM_ASYNC_JS(int, SendFeature, (int index, const uint8_t* data, int length), {
    return await Module.tallykeyHid.send(index, HEAPU8.slice(data, data + length));
});
// The answer's bytes go to out (at most capacity); the count, or -1.
EM_ASYNC_JS(int, ReceiveFeature, (int index, uint8_t* out, int capacity), {
    const answer = await Module.tallykeyHid.receive(index);
    if (!answer)
        return -1;
    const length = Math.min(answer.length, capacity);
    HEAPU8.set(answer.subarray(0, length), out);
    return length;
});

const uint16_t KEY_VENDOR_ID = 0x0111;
const uint16_t KEY_PRODUCT_ID = 0x0111;

int IndexOf(const HIDUSBKEY::ListedDevice& device) { return std::stoi(device.path); }

class WebHidChannel : public HIDUSBKEY::DeviceChannel {
public:
    explicit WebHidChannel(int index) : index_(index) {}
    // The page side decides whether a key stays open between calls.
    ~WebHidChannel() override { CloseDevice(index_); }

    // Reports here carry a leading report id 0, which WebHID takes apart.
    bool SetFeature(void* report, size_t bytes) override
    {
        if (bytes < 1)
            return false;
        return SendFeature(index_, static_cast<const uint8_t*>(report) + 1, static_cast<int>(bytes - 1)) == 1;
    }

    bool GetFeature(void* report, size_t bytes) override
    {
        if (bytes < 1)
            return false;
        uint8_t* out = static_cast<uint8_t*>(report);
        std::memset(out, 0, bytes);
        return ReceiveFeature(index_, out + 1, static_cast<int>(bytes - 1)) >= 0;
    }

private:
    int index_;
};

class WebHidDeviceTable : public HIDUSBKEY::DeviceTable {
public:
    bool IsComplete() const override { return true; }

    // The site's granted devices with these ids (the page side filters by
    // them: a site may have been granted other devices too).
    bool Enumerate(uint16_t vendorId, uint16_t productId, std::vector<HIDUSBKEY::ListedDevice>& devices) const override
    {
        if (vendorId != KEY_VENDOR_ID || productId != KEY_PRODUCT_ID)
            return true;
        int count = ListDevices();
        if (count < 0)
            return false;
        for (int index = 0; index < count; ++index) {
            HIDUSBKEY::ListedDevice device;
            device.path = std::to_string(index);
            device.product.resize(static_cast<size_t>(ProductLength(index)));
            CopyProduct(index, &device.product[0], static_cast<int>(device.product.size()));
            devices.push_back(std::move(device));
        }
        return true;
    }

    std::unique_ptr<HIDUSBKEY::DeviceChannel> Open(HIDUSBKEY::ListedDevice& device) const override
    {
        int index = IndexOf(device);
        if (OpenDevice(index) != 1)
            return nullptr;
        return std::unique_ptr<HIDUSBKEY::DeviceChannel>(new WebHidChannel(index));
    }
};

// A page has no trace file: SetLog answers as with tracing switched off.
class NoTrace : public KEYMETHODS::LogTarget {
public:
    bool Accept(const std::string&) override { return true; }
};

// The last call's string result, for the page side to read.
char resultText[64];

} // namespace

namespace HIDUSBKEY {
std::unique_ptr<DeviceTable> BindSystemDevices() { return std::unique_ptr<DeviceTable>(new WebHidDeviceTable()); }
} // namespace HIDUSBKEY

// One method call. args holds count triples (is a string, byte address,
// byte count). Answers 1 for a string result (tallykey_result_text), 0 for
// a number (in *number), -1 for a method name that is none of the ten.
extern "C" EMSCRIPTEN_KEEPALIVE int tallykey_call(const char* name, const uint32_t* args, int count, int32_t* number)
{
    KEYMETHODS::Method method;
    if (!KEYMETHODS::MethodByName(name, method) || count < 0)
        return -1;
    KEYMETHODS::Result result;
    try {
        std::vector<KEYMETHODS::Argument> arguments;
        for (int i = 0; i < count; ++i) {
            const uint32_t* triple = args + 3 * i;
            arguments.push_back(triple[0] ? KEYMETHODS::Argument::String(reinterpret_cast<const char*>(triple[1]),
                                                                          triple[2])
                                          : KEYMETHODS::Argument::NotAString());
        }
        static std::unique_ptr<HIDUSBKEY::DeviceTable> devices = HIDUSBKEY::BindSystemDevices();
        NoTrace trace;
        const KEYMETHODS::Binding binding{PageOrigin(), PageSha256};
        result = KEYMETHODS::Call(method, *devices, arguments.data(), arguments.size(), trace, nullptr, &binding);
    } catch (const std::bad_alloc&) {
        // Out of memory before the call could start: -6, as Call answers inside.
        result = KEYMETHODS::Result::Number(HIDUSBKEY::KEY_RESULT_OPERATION_FAILED);
    }
    if (!result.isString) {
        *number = result.number;
        return 0;
    }
    std::snprintf(resultText, sizeof resultText, "%s", result.text.c_str());
    return 1;
}

extern "C" EMSCRIPTEN_KEEPALIVE const char* tallykey_result_text() { return resultText; }
