// The five browser functions the plug-in keeps from NP_Initialize. Any of
// them may be missing; the wrappers then do nothing harmful.
#pragma once

#include <string>

#include "npapi.h"

namespace Browser {

void Keep(const NPNetscapeFuncs* functions);

// Null when the browser gives no buffer or has no allocator.
void* MemAlloc(uint32_t size);
void MemFree(void* ptr);
// Null when the browser has no such function.
NPIdentifier GetStringIdentifier(const char* name);
NPObject* CreateObject(NPP instance, NPClass* aClass);

// The identifier's name for a trace line, escaped (the page chose it):
// "(null)" for an integer identifier.
class IdentifierName {
public:
    explicit IdentifierName(NPIdentifier identifier);
    const char* Text() const { return text.c_str(); }

private:
    std::string text;
};

} // namespace Browser
