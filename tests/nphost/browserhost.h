// The browser side of NPAPI, as small as a test needs: loads the plug-in
// library the way a browser does, supplies the browser functions, and
// drives the scriptable object through its class callbacks.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "npapi.h"

class BrowserHost {
public:
    explicit BrowserHost(const std::string& pluginPath);
    // A plug-in linked into the host's own image (fuzzing harnesses).
    BrowserHost(NP_GetEntryPointsFunc getEntryPoints, NP_InitializeFunc initialize, NP_ShutdownFunc shutdown);
    ~BrowserHost();
    BrowserHost(const BrowserHost&) = delete;
    BrowserHost& operator=(const BrowserHost&) = delete;

    bool Loaded() const { return library != nullptr; }

    // The browser's function table as handed to NP_Initialize (tests may blank entries first).
    NPNetscapeFuncs browserFuncs{};
    NPPluginFuncs pluginFuncs{};

    NPError GetEntryPoints();
    NPError Initialize();
    NPError Shutdown();
    NPError NewInstance(NPP instance);
    NPObject* ScriptableObject(NPP instance);

    // Calls through the object's class, as a script engine would.
    bool Invoke(NPObject* object, NPIdentifier name, const std::vector<NPVariant>& args, NPVariant* result);
    bool Call(NPObject* object, const std::string& method, const std::vector<NPVariant>& args, NPVariant* result)
    {
        return Invoke(object, StringId(method), args, result);
    }

    static NPIdentifier StringId(const std::string& name);
    static NPIdentifier IntId(int32_t value);
    static NPVariant String(const std::string& text);
    static NPVariant Int(int32_t value);
    // A result as text: "int N", "string \"...\"", or the type; frees a string result.
    static std::string Describe(NPVariant& result);
    static void Release(NPVariant& result);

    // Allocations the plug-in still holds from NPN_MemAlloc (name texts it
    // must free, result strings the host frees).
    static int outstandingAllocations;
    static bool failAllocations;

    std::string error;

private:
    void SetUpBrowserFunctions();

    void* library = nullptr;
    NP_GetEntryPointsFunc getEntryPoints = nullptr;
    NP_InitializeFunc initialize = nullptr;
    NP_ShutdownFunc shutdown = nullptr;
};
