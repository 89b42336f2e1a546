// A file's stamp on Windows: size, volume and file index, and the last
// write time in 100-nanosecond steps. A file put in the settings file's
// place by a rename has another index, even with the same size and time.
#include <windows.h>

#include <string>

#include "fastcgi/settings.h"

namespace qg::fastcgi {

std::string file_stamp(const std::string& path) {
    std::string stamp;
    const HANDLE file =
        ::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        BY_HANDLE_FILE_INFORMATION info{};
        if (::GetFileInformationByHandle(file, &info)) {
            const auto wide = [](DWORD high, DWORD low) {
                return std::to_string(static_cast<unsigned long long>(high) << 32 | low);
            };
            stamp = wide(info.nFileSizeHigh, info.nFileSizeLow) + ":" + std::to_string(info.dwVolumeSerialNumber) +
                    "." + wide(info.nFileIndexHigh, info.nFileIndexLow) + ":" +
                    wide(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
        }
        ::CloseHandle(file);
    }
    return stamp;
}

}  // namespace qg::fastcgi
