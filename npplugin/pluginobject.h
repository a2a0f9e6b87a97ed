// The plug-in's one scriptable object: process-wide, built on the first
// allocate, torn down when the library is unloaded. Every instance hands
// out this same object. Its methods' rules are the shared ones; this object
// only converts NPVariants to and from them.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "devicetable.h"
#include "keymethods.h"
#include "npapi.h"

class CPluginObject {
public:
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

    NPObject header;  // first, as NPAPI lays objects out; the browser writes it
    std::map<NPIdentifier, KEYMETHODS::Method> methods;
    std::unique_ptr<HIDUSBKEY::DeviceTable> devices;  // the platform's, bound while the object lives
};
