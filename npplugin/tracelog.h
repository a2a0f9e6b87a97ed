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
