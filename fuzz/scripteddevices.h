// The HID interfaces and keys behind the plug-in in the fuzzing harnesses.
// This library is the process's "hid.dll.so" and "setupapi.dll.so" (both
// names link to it), so the plug-in binds its eleven entry points here.
// They answer either as a well-behaved key does or as a fuzzer's input
// scripts them, and a ledger of one method call's traffic checks the rules
// the host must keep whatever a device answers. A broken rule aborts.
#pragma once

#include <cstdint>

#include <fuzzer/FuzzedDataProvider.h>

#define SCRIPTED_EXPORT __attribute__((visibility("default")))

namespace SCRIPTED {

// What one method call did on the wire.
struct Ledger {
    int requests = 0;            // feature reports sent
    int privileged = 0;          // set-password, digest and digest-reset requests
    bool failedStep = false;     // an exchange failed: nothing may follow it
    bool lastExchangeOk = false; // the last final answer was a success
    bool digestAnswered = false; // the last digest request ended OK with 16 bytes
    uint8_t digest[16] = {};
    bool identified = false;     // an identify succeeded; its serial number:
    uint8_t serial[8] = {};
    bool passwordSent = false;   // a password check was sent: one closing identify may follow anything
    bool closed = false;         // that closing identify was sent: nothing may follow it
};

// Creates the device nodes in folder (once per process). Scripted paths
// are relative ones without a slash; they are only ever opened, not created.
SCRIPTED_EXPORT void StartDevices(const char* folder);

// Every device answers as a fresh simulated key, the first one present;
// script (when not null) decides everything else, call by call. A key
// starts with passwordDigest as its password digest (null: never set).
SCRIPTED_EXPORT void ResetDevices(FuzzedDataProvider* script, const uint8_t* passwordDigest);

// The first device's key state, for models of the key.
SCRIPTED_EXPORT const uint8_t* KeyPasswordDigest();
SCRIPTED_EXPORT const uint8_t* KeyDigestKey();

SCRIPTED_EXPORT void BeginCall();
SCRIPTED_EXPORT const Ledger& CallLedger();
// Everything handed out (preparsed data, device sets) was given back, and
// a key that checked a password was identified again before it was let go.
SCRIPTED_EXPORT void CheckNothingHeld();

[[noreturn]] SCRIPTED_EXPORT void Violation(const char* rule);

} // namespace SCRIPTED
