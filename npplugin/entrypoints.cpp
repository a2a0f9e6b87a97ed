// What the browser calls: the library's exports, the instance functions and
// the scriptable object's class callbacks. Each writes its trace line first.
#include <string>

#include "browser.h"
#include "npapi.h"
#include "pluginobject.h"
#include "tracelog.h"

#ifdef _WIN32
#define NP_EXPORT(type) extern "C" type NP_EXPORT_CALL
#else
#define NP_EXPORT(type) extern "C" __attribute__((visibility("default"))) type
#endif

namespace {

const uint16_t NPAPI_VERSION = 27;
#ifndef _WIN32
// On Windows these live in the version resource.
const char MIME_TYPE[] = "application/bhrb-usbkey";
const char PRODUCT_NAME[] = "tallykey";
const char DESCRIPTION[] = "Brightharbor Usbkey plugin file";
#endif

#ifdef _WIN32
// Set when the process ends rather than the library being unloaded.
bool processTerminating;
#endif

// The object's teardown runs when the library is unloaded. When the process
// ends the system reclaims everything, and freeing libraries under the
// loader lock then could only deadlock.
struct UnloadGuard {
    ~UnloadGuard()
    {
#ifdef _WIN32
        if (processTerminating)
            return;
#endif
        CPluginObject::Teardown();
    }
} unloadGuard;

NPObject* Allocate(NPP, NPClass*)
{
    WriteLog("MyNPAllocateFunctionPtr\n");
    CPluginObject* object = CPluginObject::Instance();
    return object ? object->Header() : nullptr;
}

void Deallocate(NPObject*)
{
    // The object is process-wide: it stays for the next request.
    WriteLog("MyNPDeallocateFunctionPtr\n");
}

void Invalidate(NPObject*) { WriteLog("MyNPInvalidateFunctionPtr\n"); }

bool HasMethod(NPObject*, NPIdentifier name)
{
    WriteLog("MyNPHasMethodFunctionPtr %s\n", Browser::IdentifierName(name).Text());
    CPluginObject* object = CPluginObject::Instance();
    return object && object->HasMethod(name);
}

bool Invoke(NPObject*, NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    WriteLog("MyNPInvokeFunctionPtr %s argCount = %d\n", Browser::IdentifierName(name).Text(),
             static_cast<int>(argCount));
    CPluginObject* object = CPluginObject::Instance();
    return object && object->Invoke(name, args, argCount, result);
}

bool InvokeDefault(NPObject*, const NPVariant*, uint32_t, NPVariant*)
{
    WriteLog("MyNPInvokeDefaultFunctionPtr\n");
    return false;
}

bool HasProperty(NPObject*, NPIdentifier name)
{
    WriteLog("MyNPHasPropertyFunctionPtr %s\n", Browser::IdentifierName(name).Text());
    return false;
}

bool GetProperty(NPObject*, NPIdentifier name, NPVariant*)
{
    WriteLog("MyNPGetPropertyFunctionPtr %s\n", Browser::IdentifierName(name).Text());
    return false;
}

bool SetProperty(NPObject*, NPIdentifier name, const NPVariant*)
{
    WriteLog("MyNPSetPropertyFunctionPtr %s\n", Browser::IdentifierName(name).Text());
    return false;
}

bool RemoveProperty(NPObject*, NPIdentifier name)
{
    WriteLog("MyNPRemovePropertyFunctionPtr %s\n", Browser::IdentifierName(name).Text());
    return false;
}

bool Enumerate(NPObject*, NPIdentifier**, uint32_t*)
{
    WriteLog("MyNPEnumerationFunctionPtr\n");
    return false;
}

bool Construct(NPObject*, const NPVariant*, uint32_t, NPVariant*)
{
    WriteLog("MyNPConstructFunctionPtr\n");
    return true;
}

NPClass pluginClass = {
    NP_CLASS_STRUCT_VERSION,
    Allocate,
    Deallocate,
    Invalidate,
    HasMethod,
    Invoke,
    InvokeDefault,
    HasProperty,
    GetProperty,
    SetProperty,
    RemoveProperty,
    Enumerate,
    Construct,
};

NPError NPP_New(NPMIMEType, NPP, uint16_t, int16_t, char**, char**, NPSavedData*)
{
    WriteLog("NPP_New\n");
    return NPERR_NO_ERROR;
}

NPError NPP_Destroy(NPP, NPSavedData**)
{
    WriteLog("NPP_Destroy\n");
    return NPERR_NO_ERROR;
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value)
{
    WriteLog("NPP_GetValue variable = %d\n", static_cast<int>(variable));
    if (variable == NPPVpluginScriptableNPObject && value != nullptr)
        *static_cast<NPObject**>(value) = Browser::CreateObject(instance, &pluginClass);
    return NPERR_NO_ERROR;
}

// Four entries; the size and all others stay as the browser passed them.
NPError FillPluginFuncs(NPPluginFuncs* pluginFuncs)
{
    if (pluginFuncs == nullptr)
        return NPERR_INVALID_PARAM;
    pluginFuncs->version = NPAPI_VERSION;
    pluginFuncs->newp = NPP_New;
    pluginFuncs->destroy = NPP_Destroy;
    pluginFuncs->getvalue = NPP_GetValue;
    return NPERR_NO_ERROR;
}

} // namespace

NP_EXPORT(NPError) NP_GetEntryPoints(NPPluginFuncs* pluginFuncs)
{
    WriteLog("NP_GetEntryPoints\n");
    return FillPluginFuncs(pluginFuncs);
}

#ifdef _WIN32
NP_EXPORT(NPError) NP_Initialize(NPNetscapeFuncs* browserFuncs)
{
    WriteLog("NP_Initialize()\n");
    Browser::Keep(browserFuncs);
    return NPERR_NO_ERROR;
}
#else
// Unix browsers hand over both tables at once and ask for the MIME type and
// the name and description through the library itself.
NP_EXPORT(NPError) NP_Initialize(NPNetscapeFuncs* browserFuncs, NPPluginFuncs* pluginFuncs)
{
    WriteLog("NP_Initialize()\n");
    Browser::Keep(browserFuncs);
    return FillPluginFuncs(pluginFuncs);
}

NP_EXPORT(const char*) NP_GetMIMEDescription()
{
    static const std::string description = std::string(MIME_TYPE) + "::" + DESCRIPTION;
    return description.c_str();
}

NP_EXPORT(NPError) NP_GetValue(void*, NPPVariable variable, void* value)
{
    if (value == nullptr)
        return NPERR_INVALID_PARAM;
    if (variable == NPPVpluginNameString)
        *static_cast<const char**>(value) = PRODUCT_NAME;
    else if (variable == NPPVpluginDescriptionString)
        *static_cast<const char**>(value) = DESCRIPTION;
    else
        return NPERR_INVALID_PARAM;
    return NPERR_NO_ERROR;
}
#endif

NP_EXPORT(NPError) NP_Shutdown()
{
    WriteLog("NP_Shutdown()\n");
    return NPERR_NO_ERROR;
}

#ifdef _WIN32
// A non-null reserved argument on detach means the process is ending.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr)
        processTerminating = true;
    return TRUE;
}
#endif
