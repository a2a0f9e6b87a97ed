#include "hosttrace.h"

#include <cstdio>
#include <cstdlib>

#include "folders.h"

namespace NATIVEHOST {

const char HOST_LOG[] = "host.log";

namespace {

// The host's own log stays small whatever happens.
const long MAX_HOST_LOG_BYTES = 64 * 1024;

} // namespace

bool IsBareFileName(const std::string& name)
{
    if (name.empty() || name.size() > 200 || name[0] == '.')
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
    if (!problem.empty())
        Append(file, problem);
    return true;
}

void HostTrace::Problem(const std::string& text)
{
    problem = "problem: " + text;
    if (folder.empty())
        return;
#ifdef _WIN32
    const std::string log = folder + "\\" + HOST_LOG;
#else
    const std::string log = folder + "/" + HOST_LOG;
#endif
    Append(log, problem);
    if (!file.empty())
        Append(file, problem);
}

void HostTrace::Append(const std::string& path, const std::string& line)
{
    MakeFolders(folder, 0700);
    FILE* out = std::fopen(path.c_str(), "a");
    if (out == nullptr)
        return;
    std::fseek(out, 0, SEEK_END);
    if (std::ftell(out) < MAX_HOST_LOG_BYTES)
        std::fprintf(out, "%s\n", line.c_str());
    std::fclose(out);
}

void HostTrace::Refused(const std::string& method, size_t argumentCount, const char* error)
{
    if (!file.empty())
        Append(file, method + " " + std::to_string(argumentCount) + " " + error);
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
