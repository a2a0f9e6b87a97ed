#include "hostfiles.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>

#ifdef _WIN32
#include <windows.h>
#include <knownfolders.h>
#include <shlobj.h>
#else
#include <cerrno>
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

// A name no other save, in this process or another, uses at the same time.
std::string TemporaryName(const std::string& name)
{
    static std::atomic<unsigned> saves{0};
    static const unsigned salt = std::random_device{}();
#ifdef _WIN32
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(getpid());
#endif
    return "." + name + "." + std::to_string(process) + "-" + std::to_string(salt) + "-" + std::to_string(++saves) +
           ".new";
}

#ifdef _WIN32
// An open file handle, closed however the work ends.
struct FileHandle {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~FileHandle()
    {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
};

// Opens a file of the folder as a plain disk file, never through a link or
// junction; size is its length. The handle stays invalid on failure.
bool OpenPlainFile(FileHandle& file, const std::string& path, DWORD access, DWORD disposition, uint64_t& size)
{
    file.handle = CreateFileW(WidePath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (file.handle == INVALID_HANDLE_VALUE || GetFileType(file.handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(file.handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return false;
    size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return true;
}
#else
// An open descriptor, closed however the work ends.
struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            close(fd);
    }
};

// Opens a file of the folder as the user's own regular file: no link is
// followed and a FIFO or device never blocks the host; size is its length.
bool OpenPlainFile(Descriptor& file, const std::string& path, int flags, uint64_t& size)
{
    file.fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    struct stat status;
    if (file.fd < 0 || fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid())
        return false;
    size = static_cast<uint64_t>(status.st_size);
    return true;
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

bool PrivateFolder(const std::string& folder)
{
    if (folder.empty())
        return false;
    MakeFolders(folder, 0700);
#ifdef _WIN32
    const DWORD attributes = GetFileAttributesW(WidePath(folder).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
#else
    struct stat status;
    if (lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != geteuid())
        return false;
    return (status.st_mode & 077) == 0 || chmod(folder.c_str(), 0700) == 0;
#endif
}

bool AppendLine(const std::string& folder, const std::string& name, const std::string& line, uint64_t cap)
{
    if (!PrivateFolder(folder))
        return false;
    uint64_t size = 0;
#ifdef _WIN32
    FileHandle file;
    if (!OpenPlainFile(file, PathIn(folder, name), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, OPEN_ALWAYS, size))
        return false;
    std::string text = NextWrite(size, line, cap);
    // The platform's text files end lines with CR LF.
    if (!text.empty())
        text.insert(text.size() - 1, "\r");
    DWORD written = 0;
    return !text.empty() && WriteFile(file.handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
#else
    Descriptor file;
    if (!OpenPlainFile(file, PathIn(folder, name), O_WRONLY | O_APPEND | O_CREAT, size))
        return false;
    const std::string text = NextWrite(size, line, cap);
    return !text.empty() && write(file.fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
#endif
}

FileRead ReadPrivateFile(const std::string& folder, const std::string& name, size_t maxBytes, std::string& text)
{
    text.clear();
    const std::string path = PathIn(folder, name);
    uint64_t size = 0;
#ifdef _WIN32
    FileHandle file;
    if (!OpenPlainFile(file, path, GENERIC_READ, OPEN_EXISTING, size)) {
        const DWORD error = GetLastError();
        return file.handle == INVALID_HANDLE_VALUE && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                   ? FileRead::Missing
                   : FileRead::Unusable;
    }
    if (size > maxBytes)
        return FileRead::Unusable;
    text.resize(static_cast<size_t>(size));
    DWORD got = 0;
    if (size > 0 && (!ReadFile(file.handle, &text[0], static_cast<DWORD>(size), &got, nullptr) || got != size)) {
        text.clear();
        return FileRead::Unusable;
    }
    return FileRead::Read;
#else
    Descriptor file;
    if (!OpenPlainFile(file, path, O_RDONLY, size))
        return file.fd < 0 && errno == ENOENT ? FileRead::Missing : FileRead::Unusable;
    if (size > maxBytes)
        return FileRead::Unusable;
    text.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < text.size()) {
        const ssize_t n = read(file.fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got != text.size()) {
        text.clear();
        return FileRead::Unusable;
    }
    return FileRead::Read;
#endif
}

bool ReplacePrivateFile(const std::string& folder, const std::string& name, const std::string& text)
{
    if (!PrivateFolder(folder))
        return false;
    const std::string partial = PathIn(folder, TemporaryName(name));
    uint64_t size = 0;
#ifdef _WIN32
    bool written = false, created = false;
    {
        FileHandle file;
        // CREATE_NEW: a name that exists already, whatever it is, is never written through.
        const bool opened = OpenPlainFile(file, partial, GENERIC_WRITE, CREATE_NEW, size);
        created = file.handle != INVALID_HANDLE_VALUE;
        if (opened) {
            DWORD count = 0;
            written = WriteFile(file.handle, text.data(), static_cast<DWORD>(text.size()), &count, nullptr) &&
                      count == text.size() && FlushFileBuffers(file.handle);
        }
    }
    // Replaces a link at the name itself, never its target.
    if (written && MoveFileExW(WidePath(partial).c_str(), WidePath(PathIn(folder, name)).c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    if (created)
        DeleteFileW(WidePath(partial).c_str());
    return false;
#else
    bool written = false, created = false;
    {
        Descriptor file;
        // O_EXCL: a name that exists already, a link too, is never written through.
        const bool opened = OpenPlainFile(file, partial, O_WRONLY | O_CREAT | O_EXCL, size);
        created = file.fd >= 0;
        if (opened) {
            size_t done = 0;
            while (done < text.size()) {
                const ssize_t n = write(file.fd, text.data() + done, text.size() - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                done += static_cast<size_t>(n);
            }
            written = done == text.size() && fsync(file.fd) == 0;
        }
    }
    // rename replaces whatever is at the name, a link too, never its target.
    if (written && rename(partial.c_str(), PathIn(folder, name).c_str()) == 0)
        return true;
    if (created)
        unlink(partial.c_str());
    return false;
#endif
}

std::vector<std::string> NamesIn(const std::string& folder, bool folders)
{
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(fs::u8path(folder), error), end; !error && entry != end;
         entry.increment(error)) {
        std::error_code ignored;
        if (folders ? entry->is_directory(ignored) : entry->is_regular_file(ignored))
            names.push_back(entry->path().filename().u8string());
    }
    return names;
}

} // namespace NATIVEHOST
