// The platform layer's account questions on Linux and other POSIX systems:
// names to identifiers and back, and a user's groups, answered by the
// system's account database (NSS, reentrant calls only).
#include <unistd.h>

#include <utility>

#include "platform.h"
#include "posix_accounts.h"
#include "unix_mapping.h"
#include "utf.h"

namespace permwell {

using posix::Account;
using posix::Found;

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

}  // namespace permwell
