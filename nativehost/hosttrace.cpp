#include "hosttrace.h"

#include <cctype>

#include "hostfiles.h"

namespace NATIVEHOST {

const char HOST_LOG[] = "host.log";

namespace {

const uint64_t MAX_TRACE_BYTES = 1024 * 1024;
// The host's own log stays small whatever happens.
const uint64_t MAX_HOST_LOG_BYTES = 64 * 1024;
// Origins tracing at once; more are not a page's real need.
const size_t MAX_TRACING_ORIGINS = 64;

bool IsDeviceName(const std::string& name)
{
    // Windows takes these names as devices whatever follows the first dot.
    std::string base = name.substr(0, name.find('.'));
    for (char& c : base)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL")
        return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           std::isdigit(static_cast<unsigned char>(base[3]));
}

} // namespace

bool IsTraceName(const std::string& name)
{
    if (name.empty() || name.size() > 64 || name.front() == '.' || name.back() == '.')
        return false;
    for (unsigned char c : name) {
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-')
            return false;
    }
    return !IsDeviceName(name);
}

bool HostTrace::ForOrigin::Accept(const std::string& name)
{
    if (name.empty()) {
        trace.files.erase(origin);
        return true;
    }
    if (!IsTraceName(name) || trace.folder.empty())
        return false;
    if (trace.files.size() >= MAX_TRACING_ORIGINS && trace.files.count(origin) == 0)
        trace.files.erase(trace.files.begin());
    trace.files[origin] = name;
    if (!trace.problem.empty())
        trace.Append(name, trace.problem, MAX_TRACE_BYTES);
    return true;
}

std::string HostTrace::FileOf(const std::string& origin) const
{
    auto found = files.find(origin);
    return found == files.end() ? std::string() : found->second;
}

void HostTrace::Append(const std::string& name, const std::string& line, uint64_t cap)
{
    // A trace that cannot be written is no reason to fail the call.
    AppendLine(folder, name, line, cap);
}

void HostTrace::Line(const std::string& origin, const std::string& method, size_t argumentCount,
                     const KEYMETHODS::Result& result)
{
    const std::string name = FileOf(origin);
    if (!name.empty())
        Append(name, method + " " + std::to_string(argumentCount) + " " +
                         (result.isString ? std::string("string") : std::to_string(result.number)),
               MAX_TRACE_BYTES);
}

void HostTrace::Refused(const std::string& origin, const std::string& method, size_t argumentCount,
                        const char* error)
{
    const std::string name = FileOf(origin);
    if (!name.empty())
        Append(name, method + " " + std::to_string(argumentCount) + " " + error, MAX_TRACE_BYTES);
}

void HostTrace::Problem(const std::string& text)
{
    problem = "problem: " + text;
    Append(HOST_LOG, problem, MAX_HOST_LOG_BYTES);
    for (const auto& traced : files)
        Append(traced.second, problem, MAX_TRACE_BYTES);
}

} // namespace NATIVEHOST
