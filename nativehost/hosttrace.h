// The host's trace: one line per request (method, argument count, and the
// result code or "string"), never a password, message, serial number or
// digest. A page names the file with SetLog, as a bare file name: it lives
// in the host's per-user log folder, %LOCALAPPDATA%\Tallykey on Windows and
// $XDG_STATE_HOME/tallykey (by default ~/.local/state/tallykey) on Linux.
#pragma once

#include <cstddef>
#include <string>

#include "keymethods.h"

namespace NATIVEHOST {

class HostTrace : public KEYMETHODS::LogTarget {
public:
    // folder: where trace files go (empty: nowhere, every name is refused).
    explicit HostTrace(std::string folder) : folder(std::move(folder)) {}

    // The per-user log folder of this platform (not created yet).
    static std::string UserLogFolder();

    // SetLog's rule here: empty turns tracing off; otherwise a bare file
    // name, with no folder part, no drive, no control characters, and no
    // leading dot (the host's own files in the folder start with one).
    bool Accept(const std::string& name) override;
    void Line(const std::string& method, size_t argumentCount, const KEYMETHODS::Result& result);
    // A call refused before it reached the key, with the error's name.
    void Refused(const std::string& method, size_t argumentCount, const char* error);
    // Something an administrator must hear of (a policy that cannot be
    // read): the host's own log, HOST_LOG in the folder, always, and the
    // page's trace from when one is switched on.
    void Problem(const std::string& text);

    const std::string& File() const { return file; }

private:
    void Append(const std::string& path, const std::string& line);

    std::string folder;
    std::string problem;
    std::string file;  // full path; empty while tracing is off
};

bool IsBareFileName(const std::string& name);

// The host's own log, beside the pages' trace files.
extern const char HOST_LOG[];

} // namespace NATIVEHOST
