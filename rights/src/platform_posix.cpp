// The platform layer on Linux and other POSIX systems: accounts come from the
// system's account database (NSS, reentrant calls only), a file's DACL is its
// POSIX access ACL (libacl), and the ANSI code page is UTF-8.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform.h"
#include "posix_accounts.h"
#include "posix_acl.h"
#include "unix_mapping.h"
#include "utf.h"

namespace permwell {

using posix::Account;
using posix::Acl;
using posix::AclEntryView;
using posix::Found;
using posix::Slot;

std::optional<std::string> SystemPlatform::currentUserName() {
    Account user = posix::userById(geteuid());
    if (user.found != Found::Yes) {
        return std::nullopt;
    }
    return std::move(user.name);
}

AccountLookup SystemPlatform::lookupAccount(std::string_view name) {
    const auto resolved = [](const Account& account, Sid (*toSid)(std::uint32_t)) -> std::optional<Sid> {
        if (account.found != Found::Yes) {
            return std::nullopt;
        }
        return toSid(account.id);
    };
    std::optional<Sid> sid;
    if (name == kEveryoneName) {
        sid = Sid::everyone();
    } else if (name.starts_with(kUserDomain)) {
        sid = resolved(posix::userByName(std::string(name.substr(kUserDomain.size()))), unixUserSid);
    } else if (name.starts_with(kGroupDomain)) {
        sid = resolved(posix::groupByName(std::string(name.substr(kGroupDomain.size()))), unixGroupSid);
    } else if (auto parsed = Sid::parse(name); parsed && unixAccountOf(*parsed)) {
        // The identifier text that listings show for an id without a name.
        sid = std::move(parsed);
    } else {
        // A name without Unix User\ or Unix Group\ is a user's; it is taken
        // as a group's only when the database answers that no user has it.
        // A lookup that fails (a directory service out of reach) ends the
        // search: it must not send the grant to the user's private group of
        // the same name, nor to the next form of the name.
        for (const std::string& form : posix::nameForms(name)) {
            const Account user = posix::userByName(form);
            if (user.found != Found::No) {
                sid = resolved(user, unixUserSid);
                break;
            }
            const Account group = posix::groupByName(form);
            if (group.found != Found::No) {
                sid = resolved(group, unixGroupSid);
                break;
            }
        }
    }
    if (!sid) {
        return AccountLookup{std::nullopt, kErrorNoneMapped};
    }
    return AccountLookup{std::move(sid), 0};
}

std::optional<std::string> SystemPlatform::accountName(const Sid& sid) {
    const auto account = unixAccountOf(sid);
    if (!account) {
        return sid.text();
    }
    Account found;
    std::string_view domain;
    switch (account->kind) {
        case UnixAccountKind::Everyone: return std::string(kEveryoneName);
        case UnixAccountKind::User:
            found = posix::userById(account->id);
            domain = kUserDomain;
            break;
        case UnixAccountKind::Group:
            found = posix::groupById(account->id);
            domain = kGroupDomain;
            break;
    }
    switch (found.found) {
        case Found::Yes: return std::string(domain) + found.name;
        // An id without a record, or whose record is too large to be read,
        // is named by its identifier, which a grant accepts as well.
        case Found::No:
        case Found::Unsure:
        case Found::TooLarge: return sid.text();
        case Found::Error: break;
    }
    return std::nullopt;
}

std::optional<FileDacl> SystemPlatform::readDacl(const char* path) {
    struct stat file {};
    if (stat(path, &file) != 0) {
        return std::nullopt;
    }
    std::vector<AclEntryView> views;
    if (const Acl acl(acl_get_file(path, ACL_TYPE_ACCESS)); acl) {
        auto read = posix::entriesOf(acl.get());
        if (!read) {
            return std::nullopt;
        }
        views = std::move(*read);
    } else if (posix::isNotSupported(errno)) {
        views = posix::entriesFromMode(file.st_mode);
    } else {
        return std::nullopt;
    }
    auto entries = posix::acesOf(views, file);
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
        const auto change = posix::defaultAclAfterGrant(oldDefault.get(), dacl.entries, file);
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
    mode_t mode = file.st_mode & (S_ISUID | S_ISGID | S_ISVTX);
    for (const Slot& slot : plan->slots) {
        const int shift = slot.tag == ACL_USER_OBJ ? 6 : slot.tag == ACL_GROUP_OBJ ? 3 : 0;
        mode |= static_cast<mode_t>(slot.perms()) << shift;
    }
    return chmod(path, mode) == 0;
}

LocalGroups SystemPlatform::localGroups(std::u16string_view server, std::u16string_view user) {
    if (!server.empty() && !posix::isThisComputer(utf16ToUtf8(server))) {
        return LocalGroups{kNerrInvalidComputer, {}};
    }
    std::string name = utf16ToUtf8(user);
    if (std::string_view(name).starts_with(kUserDomain)) {
        name.erase(0, kUserDomain.size());
    }
    // A database that cannot be asked is reported as an unknown user rather
    // than as a user without groups.
    Account account;
    for (const std::string& form : posix::nameForms(name)) {
        account = posix::userByName(form);
        if (account.found != Found::No) {
            break;
        }
    }
    if (account.found != Found::Yes) {
        return LocalGroups{kNerrUserNotFound, {}};
    }
    const std::vector<gid_t> ids = posix::groupIdsOf(account.name, account.primaryGroup);
    LocalGroups groups;
    groups.names.reserve(ids.size());
    const std::vector<Account> named = posix::groupsById(ids);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Found found = named[i].found;
        if (found == Found::Yes) {
            groups.names.push_back(utf8ToUtf16Lossy(named[i].name));
            continue;
        }
        // The primary group comes from the user's record and may have no
        // record of its own (the database answers "no such group"); it is
        // then named by its identifier, as listings name it, and so is a
        // group whose record is too large to be read. Every other id comes
        // from a group record that lists the user. Any other answer means the
        // database failed, ENOENT included: glibc passes that on only from a
        // service that could not answer (a directory that went away between
        // the two questions). A list with a name missing or replaced would
        // read as a complete answer, so the call fails.
        const bool primary = ids[i] == account.primaryGroup;
        if (found == Found::TooLarge || (primary && found == Found::No)) {
            groups.names.push_back(utf8ToUtf16Lossy(unixGroupSid(ids[i]).text()));
            continue;
        }
        return LocalGroups{kNerrUserNotFound, {}};
    }
    return groups;
}

std::optional<std::u16string> SystemPlatform::toWide(std::string_view ansi) { return utf8ToUtf16(ansi); }

std::string SystemPlatform::toAnsi(std::u16string_view wide) { return utf16ToUtf8(wide); }

std::size_t SystemPlatform::ansiPrefixLength(std::string_view ansi, std::size_t maxBytes) {
    return utf8PrefixLength(ansi, maxBytes);
}

}  // namespace permwell
