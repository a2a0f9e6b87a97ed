#include "folders.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace NATIVEHOST {

void MakeFolders(const std::string& path, unsigned mode)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/' && path[at] != '\\')
            continue;
        std::string part = path.substr(0, at);
#ifdef _WIN32
        (void)mode;
        CreateDirectoryA(part.c_str(), nullptr);
#else
        mkdir(part.c_str(), static_cast<mode_t>(mode));
#endif
    }
}

} // namespace NATIVEHOST
