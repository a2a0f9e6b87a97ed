#include "folders.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace NATIVEHOST {

#ifdef _WIN32
std::wstring WidePath(const std::string& utf8)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], size);
    return wide;
}

std::string Utf8FromWide(const wchar_t* wide)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(size > 1 ? size - 1 : 0, '\0');
    if (size > 1)
        WideCharToMultiByte(CP_UTF8, 0, wide, -1, &text[0], size, nullptr, nullptr);
    return text;
}
#endif

void MakeFolders(const std::string& path, unsigned mode)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/' && path[at] != '\\')
            continue;
        std::string part = path.substr(0, at);
#ifdef _WIN32
        (void)mode;
        CreateDirectoryW(WidePath(part).c_str(), nullptr);
#else
        mkdir(part.c_str(), static_cast<mode_t>(mode));
#endif
    }
}

} // namespace NATIVEHOST
