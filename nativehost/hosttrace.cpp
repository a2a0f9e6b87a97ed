#include "hosttrace.h"

#include <cstdio>
#include <cstdlib>

#include "folders.h"

namespace NATIVEHOST {

bool IsBareFileName(const std::string& name)
{
    if (name.empty() || name.size() > 200 || name == "." || name == "..")
        return false;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':')
            return false;
    }
    return true;
}

std::string HostTrace::UserLogFolder()
{
#ifdef _WIN32
    const char* base = std::getenv("LOCALAPPDATA");
    return base && *base ? std::string(base) + "\\Tallykey" : std::string();
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::string(state) + "/tallykey";
    const char* home = std::getenv("HOME");
    return home && *home == '/' ? std::string(home) + "/.local/state/tallykey" : std::string();
#endif
}

bool HostTrace::Accept(const std::string& name)
{
    if (name.empty()) {
        file.clear();
        return true;
    }
    if (!IsBareFileName(name) || folder.empty())
        return false;
#ifdef _WIN32
    file = folder + "\\" + name;
#else
    file = folder + "/" + name;
#endif
    return true;
}

void HostTrace::Line(const std::string& method, size_t argumentCount, const KEYMETHODS::Result& result)
{
    if (file.empty())
        return;
    MakeFolders(folder, 0700);
    FILE* out = std::fopen(file.c_str(), "a");
    if (out == nullptr)
        return;  // a trace that cannot be written is no reason to fail the call
    if (result.isString)
        std::fprintf(out, "%s %u string\n", method.c_str(), static_cast<unsigned>(argumentCount));
    else
        std::fprintf(out, "%s %u %d\n", method.c_str(), static_cast<unsigned>(argumentCount),
                     static_cast<int>(result.number));
    std::fclose(out);
}

} // namespace NATIVEHOST
