// Creating the host's folders: its state folder and the browsers' manifest folders.
#pragma once

#include <string>

namespace NATIVEHOST {

// Creates the folder (UTF-8) and its parents; existing ones are fine. mode
// applies on Linux to the folders it creates.
void MakeFolders(const std::string& path, unsigned mode);

#ifdef _WIN32
// A UTF-8 path for the wide-character calls, and wide text back as UTF-8.
std::wstring WidePath(const std::string& utf8);
std::string Utf8FromWide(const wchar_t* wide);
#endif

} // namespace NATIVEHOST
