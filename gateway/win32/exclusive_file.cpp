// The output file opened for the relay on Windows, only once no other handle
// to it is open (share mode 0 tells).
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "win32/kernel.h"

namespace qg::platform {

Result<ExclusiveFile> ExclusiveFile::open(const std::string& path, const std::optional<FileId>& expected) {
    // Share mode 0: the open fails with a sharing violation while any other
    // handle to the file is open, which is the application still writing it.
    // A reparse point at the name is opened as itself and refused below, so
    // a link never leads the gateway to a file it may read and the
    // application's account may not.
    OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return error_of(last_error());
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return error_of(ERROR_INVALID_FUNCTION);
    bool reparse_point = false;
    const auto id = id_of(file.get(), &reparse_point);
    if (!id) return error_of(last_error());
    if (reparse_point || (expected && *id != *expected)) return error_of(ERROR_ACCESS_DENIED);  // not the file made
    return ExclusiveFile(reinterpret_cast<std::intptr_t>(file.release()));
}

ExclusiveFile::~ExclusiveFile() {
    if (handle_ != -1) OwnedHandle closing(handle_of(handle_));
}

Result<std::size_t> ExclusiveFile::read(char* buffer, std::size_t size) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(handle_of(handle_), buffer, chunk, &got, nullptr)) return error_of(last_error());
    return std::size_t{got};
}

}  // namespace qg::platform
