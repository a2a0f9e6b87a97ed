#include "tracelog.h"

#include <cstdarg>
#include <cstdio>

#ifdef _WIN32
#include <share.h>
#else
#include <sys/file.h>
#endif

namespace {

std::string& LogPath()
{
    static std::string path;
    return path;
}

// Opened for each line and closed after it, so that lines of several
// browser processes interleave whole. Nobody else may have the file open
// meanwhile; a line that meets it held elsewhere is dropped.
FILE* OpenExclusive(const char* path)
{
#ifdef _WIN32
    return _fsopen(path, "a+", _SH_DENYRW);
#else
    FILE* file = std::fopen(path, "a+");
    if (file && flock(fileno(file), LOCK_EX | LOCK_NB) != 0) {
        std::fclose(file);
        return nullptr;
    }
    return file;
#endif
}

} // namespace

void WriteLog(const char* format, ...)
{
    const std::string& path = LogPath();
    if (path.empty())
        return;
    FILE* file = OpenExclusive(path.c_str());
    if (file == nullptr)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fclose(file);
}

void SetLogPath(const std::string& path) { LogPath() = path; }

std::string TraceName(const char* name)
{
    static const char HEX[] = "0123456789abcdef";
    std::string shown;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c; ++c) {
        bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '_';
        size_t width = plain ? 1 : 4;
        if (shown.size() + width > TRACE_NAME_MAX_BYTES)
            break;
        if (plain) {
            shown += static_cast<char>(*c);
        } else {
            shown += "\\x";
            shown += HEX[*c >> 4];
            shown += HEX[*c & 0x0F];
        }
    }
    return shown;
}

bool IsLocalLogPath(const std::string& path)
{
    auto isSlash = [](char c) { return c == '\\' || c == '/'; };
    if (path.size() >= 2 && isSlash(path[0]) && isSlash(path[1]))
        return false;
    for (char c : path) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return false;
    }
    return true;
}
