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

std::optional<std::string> SystemPlatform::current_user_name() {
    Account user = posix::user_by_id(geteuid());
    if (user.found != Found::yes) {
        return std::nullopt;
    }
    return std::move(user.name);
}

AccountLookup SystemPlatform::lookup_account(std::string_view name) {
    const auto resolved = [](const Account& account, Sid (*to_sid)(std::uint32_t)) -> std::optional<Sid> {
        if (account.found != Found::yes) {
            return std::nullopt;
        }
        return to_sid(account.id);
    };
    std::optional<Sid> sid;
    if (name == everyone_name) {
        sid = Sid::everyone();
    } else if (name.starts_with(user_domain)) {
        sid = resolved(posix::user_by_name(std::string(name.substr(user_domain.size()))), unix_user_sid);
    } else if (name.starts_with(group_domain)) {
        sid = resolved(posix::group_by_name(std::string(name.substr(group_domain.size()))), unix_group_sid);
    } else if (auto parsed = Sid::parse(name); parsed && unix_account_of(*parsed)) {
        // The identifier text that listings show for an id without a name.
        sid = std::move(parsed);
    } else {
        // A name without Unix User\ or Unix Group\ is a user's; it is taken
        // as a group's only when the database answers that no user has it.
        // A lookup that fails (a directory service out of reach) ends the
        // search: it must not send the grant to the user's private group of
        // the same name, nor to the next form of the name.
        for (const std::string& form : posix::name_forms(name)) {
            const Account user = posix::user_by_name(form);
            if (user.found != Found::no) {
                sid = resolved(user, unix_user_sid);
                break;
            }
            const Account group = posix::group_by_name(form);
            if (group.found != Found::no) {
                sid = resolved(group, unix_group_sid);
                break;
            }
        }
    }
    if (!sid) {
        return AccountLookup{std::nullopt, error_none_mapped};
    }
    return AccountLookup{std::move(sid), 0};
}

std::optional<std::string> SystemPlatform::account_name(const Sid& sid) {
    const auto account = unix_account_of(sid);
    if (!account) {
        return sid.text();
    }
    Account found;
    std::string_view domain;
    switch (account->kind) {
        case UnixAccountKind::everyone: return std::string(everyone_name);
        case UnixAccountKind::user:
            found = posix::user_by_id(account->id);
            domain = user_domain;
            break;
        case UnixAccountKind::group:
            found = posix::group_by_id(account->id);
            domain = group_domain;
            break;
    }
    switch (found.found) {
        case Found::yes: return std::string(domain) + found.name;
        // An id without a record, or whose record is too large to be read,
        // is named by its identifier, which a grant accepts as well.
        case Found::no:
        case Found::unsure:
        case Found::too_large: return sid.text();
        case Found::error: break;
    }
    return std::nullopt;
}

LocalGroups SystemPlatform::local_groups(std::u16string_view server, std::u16string_view user) {
    if (!server.empty() && !posix::is_this_computer(utf16_to_utf8(server))) {
        return LocalGroups{nerr_invalid_computer, {}};
    }
    std::string name = utf16_to_utf8(user);
    if (std::string_view(name).starts_with(user_domain)) {
        name.erase(0, user_domain.size());
    }
    // A database that cannot be asked is reported as an unknown user rather
    // than as a user without groups.
    Account account;
    for (const std::string& form : posix::name_forms(name)) {
        account = posix::user_by_name(form);
        if (account.found != Found::no) {
            break;
        }
    }
    if (account.found != Found::yes) {
        return LocalGroups{nerr_user_not_found, {}};
    }
    const std::vector<gid_t> ids = posix::group_ids_of(account.name, account.primary_group);
    LocalGroups groups;
    groups.names.reserve(ids.size());
    const std::vector<Account> named = posix::groups_by_id(ids);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Found found = named[i].found;
        if (found == Found::yes) {
            groups.names.push_back(utf8_to_utf16_lossy(named[i].name));
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
        const bool primary = ids[i] == account.primary_group;
        if (found == Found::too_large || (primary && found == Found::no)) {
            groups.names.push_back(utf8_to_utf16_lossy(unix_group_sid(ids[i]).text()));
            continue;
        }
        return LocalGroups{nerr_user_not_found, {}};
    }
    return groups;
}

}  // namespace permwell
