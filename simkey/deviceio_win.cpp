#include "deviceio.h"

#include <algorithm>
#include <cstring>

namespace SIMKEY {

namespace {

// The product opened the file exclusively, so it cannot be opened again:
// every access goes through the product's handle, at an explicit offset.
bool TransferAt(HANDLE device, void* buffer, DWORD bytes, bool write)
{
    OVERLAPPED at{};
    DWORD done = 0;
    BOOL ok = write ? WriteFile(device, buffer, bytes, &done, &at) : ReadFile(device, buffer, bytes, &done, &at);
    if (!ok && (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(device, &at, &done, TRUE)))
        return false;
    return done == bytes;
}

} // namespace

bool ReadRecord(HANDLE device, DeviceRecord& record)
{
    uint8_t block[RECORD_BYTES];
    return TransferAt(device, block, sizeof block, false) && DecodeRecord(block, record);
}

bool WriteRecord(HANDLE device, const DeviceRecord& record)
{
    uint8_t block[RECORD_BYTES];
    EncodeRecord(record, block);
    return TransferAt(device, block, sizeof block, true);
}

std::vector<std::string> ListDevicePaths()
{
    std::vector<std::string> paths;
    char folder[MAX_PATH];
    DWORD length = GetEnvironmentVariableA(DEVICE_DIR_VARIABLE, folder, sizeof folder);
    if (length == 0 || length >= sizeof folder)
        return paths;
    std::string base = folder;
    // Under Wine a Unix path is reached through drive Z:.
    if (base[0] == '/')
        base = "Z:" + base;
    std::replace(base.begin(), base.end(), '/', '\\');
    if (base.back() != '\\')
        base += '\\';

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((base + "*" + DEVICE_FILE_SUFFIX).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return paths;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && found.cFileName[0] != '.')
            paths.push_back(base + found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace SIMKEY
