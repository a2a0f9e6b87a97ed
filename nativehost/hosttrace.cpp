#include "hosttrace.h"

#include <cctype>

#include "hex.h"
#include "hostfiles.h"
#include "md5.h"

namespace NATIVEHOST {

const char HOST_LOG[] = "host.log";

namespace {

const uint64_t MAX_TRACE_BYTES = 1024 * 1024;
// The host's own log stays small whatever happens.
const uint64_t MAX_HOST_LOG_BYTES = 64 * 1024;
// Origins tracing at once; more are not a page's real need.
const size_t MAX_TRACING_ORIGINS = 64;
// What the pages' traces may take of the user's disk: 4 files of 1 MiB
// per origin, and 64 origins' folders.
const size_t MAX_TRACE_FILES_PER_ORIGIN = 4;
const size_t MAX_TRACE_FOLDERS = 64;
const char TRACES[] = "traces";
// Longer folder names are cut and told apart by a digest (Windows paths
// have room for about 260 characters).
const size_t MAX_FOLDER_NAME = 96;

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

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
    return !IsDeviceName(name) && !SameIgnoringCase(name, HOST_LOG);
}

std::string TraceFolderName(const std::string& origin)
{
    std::string name = origin;
    const size_t scheme = name.find("://");
    if (scheme != std::string::npos)
        name.replace(scheme, 3, "_");
    for (char& c : name) {
        if (c == ':')
            c = '_';
    }
    if (name.size() <= MAX_FOLDER_NAME)
        return name;
    uint8_t digest[HIDUSBKEY::MD5_DIGEST_BYTES];
    HIDUSBKEY::Md5Digest(origin.data(), origin.size(), digest);
    return name.substr(0, MAX_FOLDER_NAME - 17) + "-" + HIDUSBKEY::ToHexLower(digest, 8);
}

bool HostTrace::ForOrigin::Accept(const std::string& name)
{
    if (name.empty()) {
        trace.files.erase(origin);
        return true;
    }
    if (!IsTraceName(name) || trace.folder.empty() || !trace.WithinBounds(origin, name))
        return false;
    if (trace.files.size() >= MAX_TRACING_ORIGINS && trace.files.count(origin) == 0)
        trace.files.erase(trace.files.begin());
    trace.files[origin] = name;
    if (!trace.problem.empty())
        trace.Append(origin, trace.problem);
    return true;
}

std::string HostTrace::FolderOf(const std::string& origin) const
{
    return PathIn(PathIn(folder, TRACES), TraceFolderName(origin));
}

bool HostTrace::WithinBounds(const std::string& origin, const std::string& name) const
{
    const std::string mine = FolderOf(origin);
    const std::vector<std::string> existing = NamesIn(mine, false);
    for (const std::string& file : existing) {
        // Windows names ignore case: the same file however the page spells it.
        if (SameIgnoringCase(file, name))
            return true;
    }
    if (existing.size() >= MAX_TRACE_FILES_PER_ORIGIN)
        return false;
    if (!existing.empty())
        return true;
    // A new folder for this origin, if there is room for one.
    const std::vector<std::string> folders = NamesIn(PathIn(folder, TRACES), true);
    for (const std::string& other : folders) {
        if (other == TraceFolderName(origin))
            return true;
    }
    return folders.size() < MAX_TRACE_FOLDERS;
}

std::string HostTrace::FileOf(const std::string& origin) const
{
    auto found = files.find(origin);
    return found == files.end() ? std::string() : found->second;
}

void HostTrace::Append(const std::string& origin, const std::string& line)
{
    const std::string name = FileOf(origin);
    const std::string traces = PathIn(folder, TRACES);
    // A trace that cannot be written is no reason to fail the call.
    if (!name.empty() && PrivateFolder(traces))
        AppendLine(FolderOf(origin), name, line, MAX_TRACE_BYTES);
}

void HostTrace::Line(const std::string& origin, const std::string& method, size_t argumentCount,
                     const KEYMETHODS::Result& result)
{
    Append(origin, method + " " + std::to_string(argumentCount) + " " +
                       (result.isString ? std::string("string") : std::to_string(result.number)));
}

void HostTrace::Refused(const std::string& origin, const std::string& method, size_t argumentCount,
                        const char* error)
{
    Append(origin, method + " " + std::to_string(argumentCount) + " " + error);
}

void HostTrace::Problem(const std::string& text)
{
    problem = "problem: " + text;
    AppendLine(folder, HOST_LOG, problem, MAX_HOST_LOG_BYTES);
    for (const auto& traced : files)
        Append(traced.first, problem);
}

} // namespace NATIVEHOST
