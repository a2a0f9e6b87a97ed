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
