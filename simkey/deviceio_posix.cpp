#include "deviceio.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SIMKEY {

bool ReadRecord(HANDLE device, DeviceRecord& record)
{
    int fd = CompatHandleToFd(device);
    uint8_t block[RECORD_BYTES];
    if (fd < 0 || pread(fd, block, sizeof block, 0) != static_cast<ssize_t>(sizeof block))
        return false;
    return DecodeRecord(block, record);
}

bool WriteRecord(HANDLE device, const DeviceRecord& record)
{
    int fd = CompatHandleToFd(device);
    uint8_t block[RECORD_BYTES];
    EncodeRecord(record, block);
    return fd >= 0 && pwrite(fd, block, sizeof block, 0) == static_cast<ssize_t>(sizeof block);
}

std::vector<std::string> ListDevicePaths()
{
    std::vector<std::string> paths;
    const char* folder = std::getenv(DEVICE_DIR_VARIABLE);
    if (folder == nullptr || *folder == '\0')
        return paths;
    DIR* dir = opendir(folder);
    if (dir == nullptr)
        return paths;
    const size_t suffixLength = std::strlen(DEVICE_FILE_SUFFIX);
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() <= suffixLength || name[0] == '.' ||
            name.compare(name.size() - suffixLength, suffixLength, DEVICE_FILE_SUFFIX) != 0)
            continue;
        std::string path = std::string(folder) + "/" + name;
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            paths.push_back(path);
    }
    closedir(dir);
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace SIMKEY
