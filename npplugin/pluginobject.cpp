#include "pluginobject.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "browser.h"
#include "tracelog.h"

using namespace KEYMETHODS;

namespace {

// Static storage for the one object, built in place on first use.
alignas(CPluginObject) unsigned char storage[sizeof(CPluginObject)];
bool built;

void SetInt(NPVariant* result, int32_t value)
{
    result->type = NPVariantType_Int32;
    result->value.intValue = value;
}

// A string result in a buffer the browser then owns: 32 bytes for a serial
// number, 64 for a digest, the digits and a terminating zero.
void SetText(NPVariant* result, const std::string& text, uint32_t bufferBytes)
{
    char* buffer = text.size() < bufferBytes ? static_cast<char*>(Browser::MemAlloc(bufferBytes)) : nullptr;
    if (buffer == nullptr) {
        SetInt(result, HIDUSBKEY::KEY_RESULT_OPERATION_FAILED);
        return;
    }
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    result->type = NPVariantType_String;
    result->value.stringValue.UTF8Characters = buffer;
    result->value.stringValue.UTF8Length = static_cast<uint32_t>(text.size());
}

// The trace goes wherever a page points it, as long as that is a local file.
class PageLogTarget : public LogTarget {
public:
    bool Accept(const std::string& path) override
    {
        // A page must not make the browser open a share (which hands it the
        // user's credentials) or a device; the trace stays where it was.
        if (!IsLocalLogPath(path))
            return false;
        SetLogPath(path);
        return true;
    }
};

} // namespace

CPluginObject::CPluginObject() : header{}
{
    // Without the browser's identifiers no name can be mapped: no methods.
    for (int i = 0; i < METHOD_COUNT; ++i) {
        Method method = static_cast<Method>(i);
        NPIdentifier id = Browser::GetStringIdentifier(MethodName(method));
        if (id != nullptr)
            methods.insert({id, method});
    }
    // Last, so that running out of memory above leaves no library loaded.
    devices = HIDUSBKEY::BindSystemDevices();
}

CPluginObject::~CPluginObject() = default;

CPluginObject* CPluginObject::Instance()
{
    if (!built) {
        try {
            new (storage) CPluginObject();
        } catch (const std::bad_alloc&) {
            return nullptr;  // not built: the next call tries again
        }
        built = true;
    }
    return reinterpret_cast<CPluginObject*>(storage);
}

void CPluginObject::Teardown()
{
    if (built) {
        reinterpret_cast<CPluginObject*>(storage)->~CPluginObject();
        built = false;
    }
}

bool CPluginObject::HasMethod(NPIdentifier name) const { return methods.count(name) != 0; }

bool CPluginObject::Invoke(NPIdentifier name, const NPVariant* args, uint32_t argCount, NPVariant* result)
{
    auto entry = methods.find(name);
    if (entry == methods.end())
        return false;
    const Method method = entry->second;
    if (method == Method::SetLog)
        WriteLog("SetLog start\n");
    Result answer;
    try {
        std::vector<Argument> arguments;
        arguments.reserve(argCount);
        for (uint32_t i = 0; i < argCount; ++i) {
            const NPVariant& arg = args[i];
            arguments.push_back(arg.type == NPVariantType_String
                                    ? Argument::String(arg.value.stringValue.UTF8Characters,
                                                       arg.value.stringValue.UTF8Length)
                                    : Argument::NotAString());
        }
        PageLogTarget log;
        answer = Call(method, *devices, arguments.data(), arguments.size(), log);
    } catch (const std::exception&) {  // no memory for the arguments' list
        answer = Result::Number(HIDUSBKEY::KEY_RESULT_OPERATION_FAILED);
    }
    if (answer.isString)
        SetText(result, answer.text, method == Method::GetSN ? 32 : 64);
    else
        SetInt(result, answer.number);
    if (method == Method::SetLog)
        WriteLog("SetLog start\n");
    return true;
}
