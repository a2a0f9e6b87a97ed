#include "browser.h"

namespace Browser {

namespace {

// Process-wide and never cleared, as the browser's table outlives us.
NPN_MemAllocProcPtr memAlloc;
NPN_MemFreeProcPtr memFree;
NPN_GetStringIdentifierProcPtr getStringIdentifier;
NPN_UTF8FromIdentifierProcPtr utf8FromIdentifier;
NPN_CreateObjectProcPtr createObject;

} // namespace

void Keep(const NPNetscapeFuncs* functions)
{
    if (functions == nullptr)
        return;
    memAlloc = functions->memalloc;
    memFree = functions->memfree;
    getStringIdentifier = functions->getstringidentifier;
    utf8FromIdentifier = functions->utf8fromidentifier;
    createObject = functions->createobject;
}

void* MemAlloc(uint32_t size) { return memAlloc ? memAlloc(size) : nullptr; }

void MemFree(void* ptr)
{
    if (ptr && memFree)
        memFree(ptr);
}

NPIdentifier GetStringIdentifier(const char* name) { return getStringIdentifier ? getStringIdentifier(name) : nullptr; }

NPObject* CreateObject(NPP instance, NPClass* aClass) { return createObject ? createObject(instance, aClass) : nullptr; }

IdentifierName::IdentifierName(NPIdentifier identifier)
    : text(utf8FromIdentifier ? utf8FromIdentifier(identifier) : nullptr)
{
}

IdentifierName::~IdentifierName() { MemFree(text); }

} // namespace Browser
