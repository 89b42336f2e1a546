// The platform layer on Linux and other POSIX systems: a file's DACL is its
// POSIX access ACL (libacl), and the ANSI code page is UTF-8. The accounts are
// in platform_posix_accounts.cpp.
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "platform.h"
#include "posix_acl.h"
#include "unix_mapping.h"
#include "utf.h"

namespace permwell {

using posix::Acl;

std::optional<FileDacl> SystemPlatform::read_dacl(const char* path) {
    struct stat file {};
    if (stat(path, &file) != 0) {
        return std::nullopt;
    }
    const Acl acl = posix::access_acl_of(path, file.st_mode);
    if (!acl) {
        return std::nullopt;
    }
    const auto views = posix::entries_of(acl.get());
    if (!views) {
        return std::nullopt;
    }
    auto entries = posix::aces_of(*views, file);
    if (!entries) {
        return std::nullopt;
    }
    return FileDacl{DaclState::present, std::move(*entries), 0};
}

bool SystemPlatform::write_dacl(const char* path, const FileDacl& dacl) {
    struct stat file {};
    if (stat(path, &file) != 0 || dacl.state != DaclState::present) {
        return false;
    }
    const auto plan = posix::plan_acl(dacl.entries, file);
    if (!plan) {
        return false;
    }
    Acl acl(acl_init(static_cast<int>(plan->slots.size() + 1)));
    if (!acl || !posix::fill_acl(acl, *plan)) {
        return false;
    }
    // A directory's default ACL is worked out and checked before anything is
    // written. It is written first, so that a revocation never leaves files
    // made later with rights the directory no longer gives; when the access
    // ACL then cannot be written, the old default ACL is put back.
    Acl old_default(S_ISDIR(file.st_mode) ? acl_get_file(path, ACL_TYPE_DEFAULT) : nullptr);
    if (S_ISDIR(file.st_mode) && !old_default && !posix::is_not_supported(errno)) {
        return false;
    }
    if (old_default) {
        const auto views = posix::entries_of(old_default.get());
        const auto change = views ? posix::default_acl_after_grant(*views, dacl.entries, file) : std::nullopt;
        if (!change) {
            return false;
        }
        if (*change) {
            Acl new_default(acl_init(static_cast<int>((*change)->slots.size() + 1)));
            if (!new_default || !posix::fill_acl(new_default, **change) ||
                acl_set_file(path, ACL_TYPE_DEFAULT, new_default.get()) != 0) {
                return false;
            }
            if (acl_set_file(path, ACL_TYPE_ACCESS, acl.get()) == 0) {
                return true;
            }
            acl_set_file(path, ACL_TYPE_DEFAULT, old_default.get());
            return false;
        }
    }
    // One call replaces the whole ACL, so the file changes wholly or not at all.
    if (acl_set_file(path, ACL_TYPE_ACCESS, acl.get()) == 0) {
        return true;
    }
    // Without ACL support the mode bits hold the owner, the owning group and
    // Everyone; anything more cannot be stored, and the file stays as it was.
    if (!posix::is_not_supported(errno) || !plan->minimal()) {
        return false;
    }
    return chmod(path, (file.st_mode & (S_ISUID | S_ISGID | S_ISVTX)) | posix::mode_bits_of(*plan)) == 0;
}

std::optional<std::u16string> SystemPlatform::to_wide(std::string_view ansi) { return utf8_to_utf16(ansi); }

std::string SystemPlatform::to_ansi(std::u16string_view wide) { return utf16_to_utf8(wide); }

std::size_t SystemPlatform::ansi_prefix_length(std::string_view ansi, std::size_t max_bytes) {
    return utf8_prefix_length(ansi, max_bytes);
}

}  // namespace permwell
