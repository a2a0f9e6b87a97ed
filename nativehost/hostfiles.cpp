#include "hostfiles.h"

#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "folders.h"

namespace NATIVEHOST {

namespace {

const char CUT_OFF[] = "(the trace stops here: the file reached its size limit)";

// What to write so that the file stays within cap: the line, the notice
// that the file is full, or nothing more.
std::string NextWrite(uint64_t size, const std::string& line, uint64_t cap)
{
    const std::string text = line + "\n";
    const std::string notice = std::string(CUT_OFF) + "\n";
    if (size + text.size() + notice.size() <= cap)
        return text;
    if (size + notice.size() <= cap)
        return notice;
    return std::string();
}

#ifdef _WIN32
// An open file handle, closed however the write ends.
struct FileHandle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~FileHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};
#else
// An open descriptor, closed however the write ends.
struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

// The folder exists, is a real folder (not a link), is the user's, and
// only the user may enter it.
bool PrivateFolder(const std::string& folder)
{
    MakeFolders(folder, 0700);
    struct stat status;
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != geteuid())
        return false;
    return (status.st_mode & 077) == 0 || chmod(folder.c_str(), 0700) == 0;
}
#endif

} // namespace

std::string UserStateFolder()
{
#ifdef _WIN32
    PWSTR base = nullptr;
    std::string folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &base)) && base && *base)
        folder = Utf8FromWide(base) + "\\Tallykey";
    CoTaskMemFree(base);
    return folder;
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && *state == '/')
        return std::string(state) + "/tallykey";
    const char* home = std::getenv("HOME");
    return home && *home == '/' ? std::string(home) + "/.local/state/tallykey" : std::string();
#endif
}

std::string PathIn(const std::string& folder, const std::string& name)
{
#ifdef _WIN32
    return folder + "\\" + name;
#else
    return folder + "/" + name;
#endif
}

bool AppendLine(const std::string& folder, const std::string& name, const std::string& line, uint64_t cap)
{
    if (folder.empty())
        return false;
#ifdef _WIN32
    MakeFolders(folder, 0700);
    FileHandle file;
    file.handle = CreateFileW(WidePath(PathIn(folder, name)).c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (file.handle == INVALID_HANDLE_VALUE || GetFileType(file.handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    std::string text = NextWrite(size, line, cap);
    // The platform's text files end lines with CR LF.
    if (!text.empty())
        text.insert(text.size() - 1, "\r");
    DWORD written = 0;
    return !text.empty() && WriteFile(file.handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
#else
    if (!PrivateFolder(folder))
        return false;
    Descriptor file;
    file.fd = open(PathIn(folder, name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                   0600);
    struct stat status;
    if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid())
        return false;
    const std::string text = NextWrite(static_cast<uint64_t>(status.st_size), line, cap);
    return !text.empty() && write(file.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
#endif
}

} // namespace NATIVEHOST
