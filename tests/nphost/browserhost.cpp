#include "browserhost.h"

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

int BrowserHost::outstandingAllocations = 0;
bool BrowserHost::failAllocations = false;

namespace {

// String identifiers are interned names; integer identifiers are odd values,
// which no name's address can be.
std::map<std::string, std::unique_ptr<std::string>>& Names()
{
    static std::map<std::string, std::unique_ptr<std::string>> names;
    return names;
}

bool IsIntId(NPIdentifier id) { return (reinterpret_cast<uintptr_t>(id) & 1) != 0; }

void* MemAlloc(uint32_t size)
{
    if (BrowserHost::failAllocations)
        return nullptr;
    ++BrowserHost::outstandingAllocations;
    return std::malloc(size ? size : 1);
}

void MemFree(void* ptr)
{
    if (ptr) {
        --BrowserHost::outstandingAllocations;
        std::free(ptr);
    }
}

NPIdentifier GetStringIdentifier(const NPUTF8* name) { return BrowserHost::StringId(name); }

NPIdentifier GetIntIdentifier(int32_t value) { return BrowserHost::IntId(value); }

bool IdentifierIsString(NPIdentifier id) { return !IsIntId(id); }

NPUTF8* UTF8FromIdentifier(NPIdentifier id)
{
    if (IsIntId(id))
        return nullptr;
    const std::string& name = *static_cast<std::string*>(id);
    auto* text = static_cast<NPUTF8*>(MemAlloc(static_cast<uint32_t>(name.size() + 1)));
    if (text)
        std::memcpy(text, name.c_str(), name.size() + 1);
    return text;
}

int32_t IntFromIdentifier(NPIdentifier id)
{
    return static_cast<int32_t>(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(id) >> 1));
}

NPObject* CreateObject(NPP npp, NPClass* aClass)
{
    NPObject* object = aClass->allocate ? aClass->allocate(npp, aClass) : static_cast<NPObject*>(std::malloc(sizeof(NPObject)));
    if (object) {
        object->_class = aClass;
        object->referenceCount = 1;
    }
    return object;
}

template <typename T>
T Symbol(void* library, const char* name)
{
#ifdef _WIN32
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(static_cast<HMODULE>(library), name)));
#else
    return reinterpret_cast<T>(dlsym(library, name));
#endif
}

} // namespace

BrowserHost::BrowserHost(NP_GetEntryPointsFunc getEntryPoints, NP_InitializeFunc initialize, NP_ShutdownFunc shutdown)
    : getEntryPoints(getEntryPoints), initialize(initialize), shutdown(shutdown)
{
    SetUpBrowserFunctions();
}

BrowserHost::BrowserHost(const std::string& pluginPath)
{
    SetUpBrowserFunctions();
#ifdef _WIN32
    library = LoadLibraryA(pluginPath.c_str());
#else
    library = dlopen(pluginPath.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    if (library == nullptr) {
        error = "cannot load " + pluginPath;
        return;
    }
    getEntryPoints = Symbol<NP_GetEntryPointsFunc>(library, "NP_GetEntryPoints");
    initialize = Symbol<NP_InitializeFunc>(library, "NP_Initialize");
    shutdown = Symbol<NP_ShutdownFunc>(library, "NP_Shutdown");
    if (!initialize || !shutdown)
        error = "the plug-in lacks its exports";
}

void BrowserHost::SetUpBrowserFunctions()
{
    browserFuncs.size = sizeof browserFuncs;
    browserFuncs.version = 27;
    browserFuncs.memalloc = MemAlloc;
    browserFuncs.memfree = MemFree;
    browserFuncs.getstringidentifier = GetStringIdentifier;
    browserFuncs.getintidentifier = GetIntIdentifier;
    browserFuncs.identifierisstring = IdentifierIsString;
    browserFuncs.utf8fromidentifier = UTF8FromIdentifier;
    browserFuncs.intfromidentifier = IntFromIdentifier;
    browserFuncs.createobject = CreateObject;
    pluginFuncs.size = sizeof pluginFuncs;
}

BrowserHost::~BrowserHost()
{
#ifdef _WIN32
    if (library)
        FreeLibrary(static_cast<HMODULE>(library));
#else
    if (library)
        dlclose(library);
#endif
}

NPError BrowserHost::GetEntryPoints()
{
#ifdef _WIN32
    return getEntryPoints ? getEntryPoints(&pluginFuncs) : NPERR_GENERIC_ERROR;
#else
    return NPERR_NO_ERROR;  // a Unix plug-in fills its table in NP_Initialize
#endif
}

NPError BrowserHost::Initialize()
{
#ifdef _WIN32
    return initialize(&browserFuncs);
#else
    return initialize(&browserFuncs, &pluginFuncs);
#endif
}

NPError BrowserHost::Shutdown() { return shutdown(); }

NPError BrowserHost::NewInstance(NPP instance)
{
    char type[] = "application/bhrb-usbkey";
    return pluginFuncs.newp(type, instance, 1, 0, nullptr, nullptr, nullptr);
}

NPObject* BrowserHost::ScriptableObject(NPP instance)
{
    NPObject* object = nullptr;
    if (pluginFuncs.getvalue(instance, NPPVpluginScriptableNPObject, &object) != NPERR_NO_ERROR)
        return nullptr;
    return object;
}

bool BrowserHost::Invoke(NPObject* object, NPIdentifier name, const std::vector<NPVariant>& args, NPVariant* result)
{
    result->type = NPVariantType_Void;
    return object->_class->invoke(object, name, args.data(), static_cast<uint32_t>(args.size()), result);
}

NPIdentifier BrowserHost::StringId(const std::string& name)
{
    auto& slot = Names()[name];
    if (!slot)
        slot.reset(new std::string(name));
    return slot.get();
}

NPIdentifier BrowserHost::IntId(int32_t value)
{
    // Shifted as unsigned: any value, negative ones included, keeps its 32 bits.
    return reinterpret_cast<NPIdentifier>((static_cast<uintptr_t>(static_cast<uint32_t>(value)) << 1) | 1);
}

NPVariant BrowserHost::String(const std::string& text)
{
    // Kept alive for the run: a script engine's strings outlive the call.
    static std::vector<std::unique_ptr<std::string>> texts;
    texts.emplace_back(new std::string(text));
    NPVariant variant{};
    variant.type = NPVariantType_String;
    variant.value.stringValue.UTF8Characters = texts.back()->data();
    variant.value.stringValue.UTF8Length = static_cast<uint32_t>(text.size());
    return variant;
}

NPVariant BrowserHost::Int(int32_t value)
{
    NPVariant variant{};
    variant.type = NPVariantType_Int32;
    variant.value.intValue = value;
    return variant;
}

void BrowserHost::Release(NPVariant& result)
{
    if (result.type == NPVariantType_String)
        MemFree(const_cast<NPUTF8*>(result.value.stringValue.UTF8Characters));
    result.type = NPVariantType_Void;
}

std::string BrowserHost::Describe(NPVariant& result)
{
    std::string text;
    switch (result.type) {
    case NPVariantType_Int32: text = "int " + std::to_string(result.value.intValue); break;
    case NPVariantType_String:
        text = "string \"" + std::string(result.value.stringValue.UTF8Characters, result.value.stringValue.UTF8Length) + "\"";
        break;
    case NPVariantType_Void: text = "void"; break;
    default: text = "type " + std::to_string(result.type); break;
    }
    Release(result);
    return text;
}
