// The plug-in's one scriptable object: process-wide, built on the first
// allocate, torn down when the library is unloaded. Every instance hands
// out this same object.
#pragma once

#include <cstdint>
#include <map>

#include "hidapi.h"
#include "keysession.h"
#include "npapi.h"

class CPluginObject {
public:
    enum ErrorCodes : int32_t {
        HidUnavailable = HIDUSBKEY::KEY_RESULT_HID_UNAVAILABLE,
        NoKey = HIDUSBKEY::KEY_RESULT_NO_KEY,
        MultipleKeys = HIDUSBKEY::KEY_RESULT_MULTIPLE_KEYS,
        OpenFailed = HIDUSBKEY::KEY_RESULT_OPEN_FAILED,
        WrongPassword = HIDUSBKEY::KEY_RESULT_WRONG_PASSWORD,
        OperationFailed = HIDUSBKEY::KEY_RESULT_OPERATION_FAILED,
        InvalidArgument = -11,
    };
    typedef void (CPluginObject::*Handler)(const NPVariant* args, uint32_t argCount, NPVariant* result);

    // The object, built on first use (after NP_Initialize); null when memory
    // ran out while building it.
    static CPluginObject* Instance();
    static void Teardown();

    NPObject* Header() { return &header; }
    bool HasMethod(NPIdentifier name) const;
    // False for a name that is not a method; a method's own failure is its result.
    bool Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result);

private:
    CPluginObject();
    ~CPluginObject();

    void InitPassword(const NPVariant* args, uint32_t argCount, NPVariant* result);
    void FindKeys(const NPVariant* args, uint32_t argCount, NPVariant* result);
    void UpdatePassword(const NPVariant* args, uint32_t argCount, NPVariant* result);
    void GetSN(const NPVariant* args, uint32_t argCount, NPVariant* result);
    void HMAC_MD5(const NPVariant* args, uint32_t argCount, NPVariant* result);
    void ResetDigist(const NPVariant* args, uint32_t argCount, NPVariant* result);
    void HMAC_MD5_HexString(const NPVariant* args, uint32_t argCount, NPVariant* result);
    void SetLog(const NPVariant* args, uint32_t argCount, NPVariant* result);

    NPObject header;  // first, as NPAPI lays objects out; the browser writes it
    std::map<NPIdentifier, Handler> methods;
    HIDUSBKEY::HidApi hidApi;
};
