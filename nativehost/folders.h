// Creating the host's folders: its log folder and the browsers' manifest folders.
#pragma once

#include <string>

namespace NATIVEHOST {

// Creates the folder and its parents; existing ones are fine. mode applies
// on Linux to the folders it creates.
void MakeFolders(const std::string& path, unsigned mode);

} // namespace NATIVEHOST
