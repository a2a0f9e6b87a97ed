// The host's trace: one line per request (method, argument count, and the
// result code or "string", or the refusal), never a password, message,
// serial number or digest. A page names its trace file with SetLog; the
// file lives in a folder of its origin's own under the host's per-user
// state folder (hostfiles.h), traces/<scheme>_<host>[_<port>], so that two
// origins naming the same file never share it, and traces only the calls
// of that origin. Each file stops growing at 1 MiB; an origin has at most
// 4 trace files, and at most 64 origins have a trace folder: SetLog of a
// name beyond either bound answers -11.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "keymethods.h"

namespace NATIVEHOST {

class HostTrace {
public:
    // folder: where trace files go (empty: nowhere, every name is refused).
    explicit HostTrace(std::string folder) : folder(std::move(folder)) {}

    // SetLog as one origin's call sees it.
    class ForOrigin : public KEYMETHODS::LogTarget {
    public:
        ForOrigin(HostTrace& trace, std::string origin) : trace(trace), origin(std::move(origin)) {}
        // Empty turns that origin's tracing off; otherwise a trace name.
        bool Accept(const std::string& name) override;

    private:
        HostTrace& trace;
        std::string origin;
    };

    void Line(const std::string& origin, const std::string& method, size_t argumentCount,
              const KEYMETHODS::Result& result);
    // A call refused before it reached the key, with the error's name.
    void Refused(const std::string& origin, const std::string& method, size_t argumentCount, const char* error);
    // Something an administrator must hear of (a policy that cannot be
    // read): the host's own log, HOST_LOG, always, and every trace file
    // switched on from now.
    void Problem(const std::string& text);

    // The trace file's name of an origin, empty while it traces nothing.
    std::string FileOf(const std::string& origin) const;
    // The folder of an origin's trace files.
    std::string FolderOf(const std::string& origin) const;
    const std::string& Folder() const { return folder; }

private:
    // Whether the origin may name this trace file within the bounds.
    bool WithinBounds(const std::string& origin, const std::string& name) const;
    void Append(const std::string& origin, const std::string& line);

    std::string folder;
    std::string problem;
    std::map<std::string, std::string> files;  // origin -> trace file name
};

// SetLog's rule for a trace name: 1 to 64 characters of A-Z a-z 0-9 . _ -,
// not starting with a dot (the host's own files do) nor ending with one,
// not a Windows device name (CON, NUL, COM1, LPT1, ...) with or without an
// extension, and not a name of the host's own files (host.log, in any case).
bool IsTraceName(const std::string& name);

// An origin's trace folder name: its canonical form with "_" for "://" and
// the port's ":" (no host holds "_"), shortened with a digest when long.
std::string TraceFolderName(const std::string& origin);

// The host's own log, beside the pages' trace files.
extern const char HOST_LOG[];

} // namespace NATIVEHOST
