// Small file helpers the POSIX platform files share.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform.h"
#include "quillgate/common/posix_io.h"

namespace qg::posix {

// Files the gateway creates are for the owner and the group of the work
// directory (less the umask); a default ACL on the directory still decides
// for named accounts. Requests carry cookies and form bodies.
constexpr mode_t file_mode = 0660;

using quillgate::common::Fd;
using quillgate::common::write_all;

std::optional<std::string> read_whole_file(const std::string& path);

inline platform::FileId id_of(const struct stat& st) {
    return platform::FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

}  // namespace qg::posix
