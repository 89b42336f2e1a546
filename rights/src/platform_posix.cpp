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

std::optional<FileDacl> SystemPlatform::readDacl(const char* path) {
    struct stat file {};
    if (stat(path, &file) != 0) {
        return std::nullopt;
    }
    const Acl acl = posix::accessAclOf(path, file.st_mode);
    if (!acl) {
        return std::nullopt;
    }
    const auto views = posix::entriesOf(acl.get());
    if (!views) {
        return std::nullopt;
    }
    auto entries = posix::acesOf(*views, file);
    if (!entries) {
        return std::nullopt;
    }
    return FileDacl{DaclState::Present, std::move(*entries), 0};
}

bool SystemPlatform::writeDacl(const char* path, const FileDacl& dacl) {
    struct stat file {};
    if (stat(path, &file) != 0 || dacl.state != DaclState::Present) {
        return false;
    }
    const auto plan = posix::planAcl(dacl.entries, file);
    if (!plan) {
        return false;
    }
    Acl acl(acl_init(static_cast<int>(plan->slots.size() + 1)));
    if (!acl || !posix::fillAcl(acl, *plan)) {
        return false;
    }
    // A directory's default ACL is worked out and checked before anything is
    // written. It is written first, so that a revocation never leaves files
    // made later with rights the directory no longer gives; when the access
    // ACL then cannot be written, the old default ACL is put back.
    Acl oldDefault(S_ISDIR(file.st_mode) ? acl_get_file(path, ACL_TYPE_DEFAULT) : nullptr);
    if (S_ISDIR(file.st_mode) && !oldDefault && !posix::isNotSupported(errno)) {
        return false;
    }
    if (oldDefault) {
        const auto views = posix::entriesOf(oldDefault.get());
        const auto change = views ? posix::defaultAclAfterGrant(*views, dacl.entries, file) : std::nullopt;
        if (!change) {
            return false;
        }
        if (*change) {
            Acl newDefault(acl_init(static_cast<int>((*change)->slots.size() + 1)));
            if (!newDefault || !posix::fillAcl(newDefault, **change) ||
                acl_set_file(path, ACL_TYPE_DEFAULT, newDefault.get()) != 0) {
                return false;
            }
            if (acl_set_file(path, ACL_TYPE_ACCESS, acl.get()) == 0) {
                return true;
            }
            acl_set_file(path, ACL_TYPE_DEFAULT, oldDefault.get());
            return false;
        }
    }
    // One call replaces the whole ACL, so the file changes wholly or not at all.
    if (acl_set_file(path, ACL_TYPE_ACCESS, acl.get()) == 0) {
        return true;
    }
    // Without ACL support the mode bits hold the owner, the owning group and
    // Everyone; anything more cannot be stored, and the file stays as it was.
    if (!posix::isNotSupported(errno) || !plan->minimal()) {
        return false;
    }
    return chmod(path, (file.st_mode & (S_ISUID | S_ISGID | S_ISVTX)) | posix::modeBitsOf(*plan)) == 0;
}

std::optional<std::u16string> SystemPlatform::toWide(std::string_view ansi) { return utf8ToUtf16(ansi); }

std::string SystemPlatform::toAnsi(std::u16string_view wide) { return utf16ToUtf8(wide); }

std::size_t SystemPlatform::ansiPrefixLength(std::string_view ansi, std::size_t maxBytes) {
    return utf8PrefixLength(ansi, maxBytes);
}

}  // namespace permwell
