// Which file systems a write lease can tell the truth on.
#pragma once

#include <cstdint>

namespace qg::posix {

// Whether `type` (statfs's f_type) is a network file system. There a write
// lease says nothing about other processes on this machine: an NFSv4 client
// without a write delegation, or cifs without a write-caching lease, refuses
// every lease with EAGAIN, as if the file were still held open. On these the
// gateway relies on the application's order (close the output file, then
// create the signal file), as the application library does.
constexpr bool network_file_system(std::int64_t type) {
    switch (static_cast<std::uint32_t>(type)) {
        case 0x6969u:      // NFS (versions 2 to 4)
        case 0xFF534D42u:  // cifs
        case 0xFE534D42u:  // SMB2/3 (smb3)
        case 0x517Bu:      // smbfs
        case 0x00C36400u:  // ceph
        case 0x01021997u:  // 9p
        case 0x5346414Fu:  // AFS
        case 0x47504653u:  // GPFS
        case 0x0BD00BD0u:  // Lustre
            return true;
        default: return false;
    }
}

}  // namespace qg::posix
