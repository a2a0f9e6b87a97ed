#include "browser.h"

#include <new>

#include "tracelog.h"

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

IdentifierName::IdentifierName(NPIdentifier identifier) : text("(null)")
{
    NPUTF8* name = utf8FromIdentifier ? utf8FromIdentifier(identifier) : nullptr;
    if (name == nullptr)
        return;
    struct Owned {
        NPUTF8* name;
        ~Owned() { MemFree(name); }
    } owned{name};
    try {
        text = TraceName(name);
    } catch (const std::bad_alloc&) {
        text.clear();  // the line goes without the name rather than the browser with an exception
    }
}

} // namespace Browser
