// The host's own files in the user's state folder: the pages' trace
// files, host.log and the guess ledger. Written so that nothing in that
// folder can redirect them: on Linux no symbolic link is followed, only
// regular files are written, files are created 0600 in a 0700 folder the
// user owns; on Windows every path goes through the wide-character calls
// (a user name outside the ANSI code page is fine), under the known folder
// LocalAppData.
#pragma once

#include <cstdint>
#include <string>

namespace NATIVEHOST {

// $XDG_STATE_HOME/tallykey (~/.local/state/tallykey) on Linux,
// <LocalAppData>\Tallykey on Windows; UTF-8; empty when there is none.
std::string UserStateFolder();

// folder + separator + name.
std::string PathIn(const std::string& folder, const std::string& name);

// Appends line and a line end to the file name in folder, making both as
// above. A file that has reached cap bytes grows no more: the last line
// that fits says it was cut off. False when nothing could be written.
bool AppendLine(const std::string& folder, const std::string& name, const std::string& line, uint64_t cap);

} // namespace NATIVEHOST
