// The host's own files in the user's state folder: the pages' trace
// files, host.log and the guess ledger. Written so that nothing in that
// folder can redirect them: on Linux no symbolic link is followed, only
// regular files the user owns are read or written, nothing blocks on a
// FIFO, files are created 0600 in 0700 folders the user owns; on Windows
// every path goes through the wide-character calls (a user name outside
// the ANSI code page is fine), under the known folder LocalAppData, and no
// reparse point is followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace NATIVEHOST {

// $XDG_STATE_HOME/tallykey (~/.local/state/tallykey) on Linux,
// <LocalAppData>\Tallykey on Windows; UTF-8; empty when there is none.
std::string UserStateFolder();

// folder + separator + name.
std::string PathIn(const std::string& folder, const std::string& name);

// Makes folder (and its parents) and checks that it is a real folder of the
// user's, private to the user (on Linux, 0700). False when it is not.
bool PrivateFolder(const std::string& folder);

// Appends line and a line end to the file name in folder, making both as
// above. A file that has reached cap bytes grows no more: the last line
// that fits says it was cut off. False when nothing could be written.
bool AppendLine(const std::string& folder, const std::string& name, const std::string& line, uint64_t cap);

enum class FileRead {
    Missing,   // no such file (nor folder): nothing was ever written
    Read,      // text holds the whole file
    Unusable,  // there, but not a regular file of the user's, too big, or unreadable
};
// The whole file name in folder, if it is at most maxBytes.
FileRead ReadPrivateFile(const std::string& folder, const std::string& name, size_t maxBytes, std::string& text);

// Replaces the file name in folder by one holding text: written under a
// name of its own beside it, then renamed over it, so that a reader never
// sees half a file and nothing placed there beforehand is written through.
bool ReplacePrivateFile(const std::string& folder, const std::string& name, const std::string& text);

// The names of the regular files (or, with folders, of the folders) in
// folder; none when it is not there.
std::vector<std::string> NamesIn(const std::string& folder, bool folders);

} // namespace NATIVEHOST
