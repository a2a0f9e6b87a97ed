// The simulated key's firmware as a WebAssembly module, for the page
// library's tests under node: a fake WebHID device hands it each report, so
// that it answers exactly as simkey's devices (and the key) do.
#include <emscripten.h>

#include <cstdint>
#include <cstring>

#include "firmware.h"

namespace {
const int MAX_KEYS = 256;
SIMKEY::KeyState keys[MAX_KEYS];
uint8_t report[SIMKEY::REPORT_BYTES];
bool Valid(int key) { return key >= 0 && key < MAX_KEYS; }
} // namespace

extern "C" {

// A factory-new key in slot key (0..255) with an 8-byte serial number.
EMSCRIPTEN_KEEPALIVE int simkey_init(int key, const uint8_t* serial)
{
    if (!Valid(key))
        return 0;
    SIMKEY::InitKeyState(keys[key], serial);
    return 1;
}

// Busy answers before each final answer, and the fault switches.
EMSCRIPTEN_KEEPALIVE void simkey_set(int key, int busyAnswers, uint32_t faults)
{
    if (!Valid(key))
        return;
    keys[key].busyAnswers = static_cast<uint8_t>(busyAnswers);
    keys[key].faults = faults;
}

// The MD5 of the key's password, as the key holds it.
EMSCRIPTEN_KEEPALIVE const uint8_t* simkey_password_digest(int key)
{
    return Valid(key) ? keys[key].passwordDigest : nullptr;
}

// The 65-byte report buffer both directions use (report id first).
EMSCRIPTEN_KEEPALIVE uint8_t* simkey_report() { return report; }

EMSCRIPTEN_KEEPALIVE void simkey_receive(int key)
{
    if (Valid(key))
        SIMKEY::Receive(keys[key], report);
}

EMSCRIPTEN_KEEPALIVE void simkey_answer(int key)
{
    std::memset(report, 0, sizeof report);
    if (Valid(key))
        SIMKEY::Answer(keys[key], report);
}

} // extern "C"
