// The part of the Netscape Plugin API that this plug-in and our test hosts
// use, written from the public ABI (no SDK is packaged). Layouts follow the
// browsers' structures field for field; entries we never call are kept as
// opaque pointers so that the offsets of the ones we use stay right.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
#define NP_EXPORT_CALL __stdcall  // the three library exports, on Windows
#else
#define NP_EXPORT_CALL
#endif

typedef int16_t NPError;
typedef char NPUTF8;
typedef char* NPMIMEType;
typedef void* NPIdentifier;

const NPError NPERR_NO_ERROR = 0;
const NPError NPERR_GENERIC_ERROR = 1;
const NPError NPERR_INVALID_PARAM = 9;

struct NPP_t {
    void* pdata;  // the plug-in's
    void* ndata;  // the browser's
};
typedef NPP_t* NPP;

struct NPSavedData {
    int32_t len;
    void* buf;
};

enum NPPVariable {
    NPPVpluginNameString = 1,
    NPPVpluginDescriptionString = 2,
    NPPVpluginWindowBool = 3,
    NPPVpluginScriptableNPObject = 15,
};
typedef int NPNVariable;

struct NPString {
    const NPUTF8* UTF8Characters;
    uint32_t UTF8Length;
};

enum NPVariantType {
    NPVariantType_Void = 0,
    NPVariantType_Null = 1,
    NPVariantType_Bool = 2,
    NPVariantType_Int32 = 3,
    NPVariantType_Double = 4,
    NPVariantType_String = 5,
    NPVariantType_Object = 6,
};

struct NPObject;

struct NPVariant {
    NPVariantType type;
    union {
        bool boolValue;
        int32_t intValue;
        double doubleValue;
        NPString stringValue;
        NPObject* objectValue;
    } value;
};

struct NPClass;
typedef NPObject* (*NPAllocateFunctionPtr)(NPP npp, NPClass* aClass);
typedef void (*NPDeallocateFunctionPtr)(NPObject* npobj);
typedef void (*NPInvalidateFunctionPtr)(NPObject* npobj);
typedef bool (*NPHasMethodFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (*NPInvokeFunctionPtr)(NPObject* npobj, NPIdentifier name, const NPVariant* args, uint32_t argCount,
                                    NPVariant* result);
typedef bool (*NPInvokeDefaultFunctionPtr)(NPObject* npobj, const NPVariant* args, uint32_t argCount,
                                           NPVariant* result);
typedef bool (*NPHasPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (*NPGetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name, NPVariant* result);
typedef bool (*NPSetPropertyFunctionPtr)(NPObject* npobj, NPIdentifier name, const NPVariant* value);
typedef bool (*NPRemovePropertyFunctionPtr)(NPObject* npobj, NPIdentifier name);
typedef bool (*NPEnumerationFunctionPtr)(NPObject* npobj, NPIdentifier** value, uint32_t* count);
typedef bool (*NPConstructFunctionPtr)(NPObject* npobj, const NPVariant* args, uint32_t argCount, NPVariant* result);

const uint32_t NP_CLASS_STRUCT_VERSION = 3;

struct NPClass {
    uint32_t structVersion;
    NPAllocateFunctionPtr allocate;
    NPDeallocateFunctionPtr deallocate;
    NPInvalidateFunctionPtr invalidate;
    NPHasMethodFunctionPtr hasMethod;
    NPInvokeFunctionPtr invoke;
    NPInvokeDefaultFunctionPtr invokeDefault;
    NPHasPropertyFunctionPtr hasProperty;
    NPGetPropertyFunctionPtr getProperty;
    NPSetPropertyFunctionPtr setProperty;
    NPRemovePropertyFunctionPtr removeProperty;
    NPEnumerationFunctionPtr enumerate;
    NPConstructFunctionPtr construct;
};

struct NPObject {
    NPClass* _class;
    uint32_t referenceCount;
};

// Browser functions.
typedef void* (*NPN_MemAllocProcPtr)(uint32_t size);
typedef void (*NPN_MemFreeProcPtr)(void* ptr);
typedef NPIdentifier (*NPN_GetStringIdentifierProcPtr)(const NPUTF8* name);
typedef void (*NPN_GetStringIdentifiersProcPtr)(const NPUTF8** names, int32_t count, NPIdentifier* identifiers);
typedef NPIdentifier (*NPN_GetIntIdentifierProcPtr)(int32_t intid);
typedef bool (*NPN_IdentifierIsStringProcPtr)(NPIdentifier identifier);
typedef NPUTF8* (*NPN_UTF8FromIdentifierProcPtr)(NPIdentifier identifier);
typedef int32_t (*NPN_IntFromIdentifierProcPtr)(NPIdentifier identifier);
typedef NPObject* (*NPN_CreateObjectProcPtr)(NPP npp, NPClass* aClass);
typedef NPObject* (*NPN_RetainObjectProcPtr)(NPObject* obj);
typedef void (*NPN_ReleaseObjectProcPtr)(NPObject* obj);
typedef void (*NPN_ReleaseVariantValueProcPtr)(NPVariant* variant);

struct NPNetscapeFuncs {
    uint16_t size;
    uint16_t version;
    void* geturl;
    void* posturl;
    void* requestread;
    void* newstream;
    void* write;
    void* destroystream;
    void* status;
    void* uagent;
    NPN_MemAllocProcPtr memalloc;
    NPN_MemFreeProcPtr memfree;
    void* memflush;
    void* reloadplugins;
    void* getJavaEnv;
    void* getJavaPeer;
    void* geturlnotify;
    void* posturlnotify;
    void* getvalue;
    void* setvalue;
    void* invalidaterect;
    void* invalidateregion;
    void* forceredraw;
    NPN_GetStringIdentifierProcPtr getstringidentifier;
    NPN_GetStringIdentifiersProcPtr getstringidentifiers;
    NPN_GetIntIdentifierProcPtr getintidentifier;
    NPN_IdentifierIsStringProcPtr identifierisstring;
    NPN_UTF8FromIdentifierProcPtr utf8fromidentifier;
    NPN_IntFromIdentifierProcPtr intfromidentifier;
    NPN_CreateObjectProcPtr createobject;
    NPN_RetainObjectProcPtr retainobject;
    NPN_ReleaseObjectProcPtr releaseobject;
    void* invoke;
    void* invokeDefault;
    void* evaluate;
    void* getproperty;
    void* setproperty;
    void* removeproperty;
    void* hasproperty;
    void* hasmethod;
    NPN_ReleaseVariantValueProcPtr releasevariantvalue;
    void* setexception;
};

// Plug-in functions.
typedef NPError (*NPP_NewProcPtr)(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[],
                                  char* argv[], NPSavedData* saved);
typedef NPError (*NPP_DestroyProcPtr)(NPP instance, NPSavedData** save);
typedef NPError (*NPP_GetValueProcPtr)(NPP instance, NPPVariable variable, void* value);

struct NPPluginFuncs {
    uint16_t size;
    uint16_t version;
    NPP_NewProcPtr newp;
    NPP_DestroyProcPtr destroy;
    void* setwindow;
    void* newstream;
    void* destroystream;
    void* asfile;
    void* writeready;
    void* write;
    void* print;
    void* event;
    void* urlnotify;
    void* javaClass;
    NPP_GetValueProcPtr getvalue;
    void* setvalue;
};

// The library's exports.
typedef NPError(NP_EXPORT_CALL* NP_GetEntryPointsFunc)(NPPluginFuncs* pluginFuncs);
#ifdef _WIN32
typedef NPError(NP_EXPORT_CALL* NP_InitializeFunc)(NPNetscapeFuncs* browserFuncs);
#else
typedef NPError (*NP_InitializeFunc)(NPNetscapeFuncs* browserFuncs, NPPluginFuncs* pluginFuncs);
typedef const char* (*NP_GetMIMEDescriptionFunc)();
typedef NPError (*NP_GetValueFunc)(void* future, NPPVariable variable, void* value);
#endif
typedef NPError(NP_EXPORT_CALL* NP_ShutdownFunc)();

// The browser and the plug-in only agree on these layouts by convention:
// nothing checks them at run time, and a wrong one reads a neighbour's
// function pointer. So the numbers of the published ABI are pinned here,
// per architecture, rather than trusting sizeof.
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(NPVariant) == 16 && offsetof(NPVariant, value) == 8, "NPVariant layout (i686)");
static_assert(offsetof(NPNetscapeFuncs, memalloc) == 36 && offsetof(NPNetscapeFuncs, memfree) == 40 &&
                  offsetof(NPNetscapeFuncs, getstringidentifier) == 88 &&
                  offsetof(NPNetscapeFuncs, utf8fromidentifier) == 104 &&
                  offsetof(NPNetscapeFuncs, createobject) == 112,
              "NPNetscapeFuncs entries (i686)");
static_assert(offsetof(NPPluginFuncs, version) == 2 && offsetof(NPPluginFuncs, newp) == 4 &&
                  offsetof(NPPluginFuncs, destroy) == 8 && offsetof(NPPluginFuncs, getvalue) == 52,
              "NPPluginFuncs entries (i686)");
#else
static_assert(sizeof(void*) == 8, "other than i686, only 64-bit builds are made");
static_assert(sizeof(NPVariant) == 24 && offsetof(NPVariant, value) == 8, "NPVariant layout (x86_64)");
static_assert(offsetof(NPNetscapeFuncs, memalloc) == 72 && offsetof(NPNetscapeFuncs, memfree) == 80 &&
                  offsetof(NPNetscapeFuncs, getstringidentifier) == 176 &&
                  offsetof(NPNetscapeFuncs, utf8fromidentifier) == 208 &&
                  offsetof(NPNetscapeFuncs, createobject) == 224,
              "NPNetscapeFuncs entries (x86_64)");
static_assert(offsetof(NPPluginFuncs, version) == 2 && offsetof(NPPluginFuncs, newp) == 8 &&
                  offsetof(NPPluginFuncs, destroy) == 16 && offsetof(NPPluginFuncs, getvalue) == 104,
              "NPPluginFuncs entries (x86_64)");
#endif
