// The plug-in's trace: fixed printf-style lines appended to the file that a
// page script names with SetLog. Off while no file is named.
#pragma once

#include <string>

void WriteLog(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 1, 2)))
#endif
    ;

// The bytes of the file name as the browser delivered them; empty turns tracing off.
void SetLogPath(const std::string& path);

// A name a page chose (a method or property name), as a trace line shows it:
// letters, digits and '_' as they are, every other byte as \xNN, so that no
// page can write line breaks or commands into the file. At most
// TRACE_NAME_MAX_BYTES are written; an escape is never cut.
const size_t TRACE_NAME_MAX_BYTES = 256;
std::string TraceName(const char* name);

// False for a path that would make the browser open another machine's share
// or a device (two leading slashes or backslashes, as in \\server\share,
// \\.\ or //server) or that holds a control character.
bool IsLocalLogPath(const std::string& path);
