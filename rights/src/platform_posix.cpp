// The platform layer on Linux and other POSIX systems: accounts come from the
// system's account database (NSS, reentrant calls only), a file's DACL is its
// POSIX access ACL (libacl), and the ANSI code page is UTF-8.
#include <acl/libacl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <map>

#include "platform.h"
#include "unix_mapping.h"
#include "utf.h"

namespace permwell {

namespace {

// ---- Account database -------------------------------------------------------

enum class Found { Yes, No, Error };

struct Account {
    Found found = Found::No;
    std::string name;
    std::uint32_t id = 0;
    std::uint32_t primaryGroup = 0;  // users only
};

constexpr std::size_t kInitialRecordBuffer = 4096;
constexpr std::size_t kMaxRecordBuffer = std::size_t{1} << 20;

// Runs one reentrant lookup (getpwnam_r and kin), growing its scratch buffer
// while the record does not fit, and copies what is needed out of the record
// before the buffer goes away.
template <typename Record, typename Query, typename Copy>
Account queryAccount(Query query, Copy copy) {
    std::vector<char> scratch(kInitialRecordBuffer);
    for (;;) {
        Record record{};
        Record* result = nullptr;
        const int rc = query(&record, scratch.data(), scratch.size(), &result);
        if (rc == ERANGE && scratch.size() < kMaxRecordBuffer) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        Account account;
        if (rc == 0 && result != nullptr) {
            account.found = Found::Yes;
            copy(*result, account);
        } else if (rc == 0 || rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) {
            account.found = Found::No;
        } else {
            account.found = Found::Error;
        }
        return account;
    }
}

void copyUser(const passwd& record, Account& out) {
    out.name = record.pw_name;
    out.id = record.pw_uid;
    out.primaryGroup = record.pw_gid;
}

void copyGroup(const group& record, Account& out) {
    out.name = record.gr_name;
    out.id = record.gr_gid;
}

Account userByName(const std::string& name) {
    return queryAccount<passwd>(
        [&](passwd* r, char* b, std::size_t n, passwd** out) { return getpwnam_r(name.c_str(), r, b, n, out); },
        copyUser);
}

Account userById(uid_t uid) {
    return queryAccount<passwd>(
        [&](passwd* r, char* b, std::size_t n, passwd** out) { return getpwuid_r(uid, r, b, n, out); }, copyUser);
}

Account groupByName(const std::string& name) {
    return queryAccount<group>(
        [&](group* r, char* b, std::size_t n, group** out) { return getgrnam_r(name.c_str(), r, b, n, out); },
        copyGroup);
}

Account groupById(gid_t gid) {
    return queryAccount<group>(
        [&](group* r, char* b, std::size_t n, group** out) { return getgrgid_r(gid, r, b, n, out); }, copyGroup);
}

// Every group of the user as the database reports it, the primary group
// included; the list grows until getgrouplist has room for all of them.
std::vector<gid_t> groupIdsOf(const std::string& user, gid_t primary) {
    std::vector<gid_t> ids(64);
    for (;;) {
        int count = static_cast<int>(ids.size());
        if (getgrouplist(user.c_str(), primary, ids.data(), &count) >= 0) {
            ids.resize(static_cast<std::size_t>(count));
            return ids;
        }
        const auto needed = static_cast<std::size_t>(count);
        ids.resize(needed > ids.size() ? needed : ids.size() * 2);
    }
}

// ---- POSIX ACLs -------------------------------------------------------------

// Owns an ACL or a qualifier handed out by libacl.
class AclObject {
public:
    explicit AclObject(void* object) : object_(object) {}
    AclObject(const AclObject&) = delete;
    AclObject& operator=(const AclObject&) = delete;
    ~AclObject() {
        if (object_ != nullptr) {
            acl_free(object_);
        }
    }
    void* get() const { return object_; }

private:
    void* object_;
};

class Acl {
public:
    explicit Acl(acl_t acl) : acl_(acl) {}
    Acl(const Acl&) = delete;
    Acl& operator=(const Acl&) = delete;
    ~Acl() {
        if (acl_ != nullptr) {
            acl_free(acl_);
        }
    }
    acl_t get() const { return acl_; }
    acl_t* address() { return &acl_; }  // for calls that may replace the ACL
    explicit operator bool() const { return acl_ != nullptr; }

private:
    acl_t acl_;
};

struct AclEntryView {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    std::uint32_t qualifier = 0;  // named users and groups only
    std::uint8_t perms = 0;
};

std::optional<AclEntryView> viewEntry(acl_entry_t entry) {
    AclEntryView view;
    acl_permset_t permset = nullptr;
    if (acl_get_tag_type(entry, &view.tag) != 0 || acl_get_permset(entry, &permset) != 0) {
        return std::nullopt;
    }
    if (acl_get_perm(permset, ACL_READ) == 1) view.perms |= kPermRead;
    if (acl_get_perm(permset, ACL_WRITE) == 1) view.perms |= kPermWrite;
    if (acl_get_perm(permset, ACL_EXECUTE) == 1) view.perms |= kPermExecute;
    if (view.tag == ACL_USER || view.tag == ACL_GROUP) {
        const AclObject qualifier(acl_get_qualifier(entry));
        if (qualifier.get() == nullptr) {
            return std::nullopt;
        }
        view.qualifier = *static_cast<const id_t*>(qualifier.get());
    }
    return view;
}

// The ACL's entries in libacl's order; nullopt when one cannot be read.
std::optional<std::vector<AclEntryView>> entriesOf(acl_t acl) {
    std::vector<AclEntryView> views;
    acl_entry_t entry = nullptr;
    for (int rc = acl_get_entry(acl, ACL_FIRST_ENTRY, &entry); rc != 0;
         rc = acl_get_entry(acl, ACL_NEXT_ENTRY, &entry)) {
        if (rc < 0) {
            return std::nullopt;
        }
        auto view = viewEntry(entry);
        if (!view) {
            return std::nullopt;
        }
        views.push_back(*view);
    }
    return views;
}

bool addEntry(Acl& acl, acl_tag_t tag, std::optional<id_t> qualifier, std::uint8_t perms) {
    acl_entry_t entry = nullptr;
    acl_permset_t permset = nullptr;
    if (acl_create_entry(acl.address(), &entry) != 0 || acl_set_tag_type(entry, tag) != 0 ||
        (qualifier && acl_set_qualifier(entry, &*qualifier) != 0) || acl_get_permset(entry, &permset) != 0 ||
        acl_clear_perms(permset) != 0) {
        return false;
    }
    if (perms & kPermRead && acl_add_perm(permset, ACL_READ) != 0) return false;
    if (perms & kPermWrite && acl_add_perm(permset, ACL_WRITE) != 0) return false;
    if (perms & kPermExecute && acl_add_perm(permset, ACL_EXECUTE) != 0) return false;
    return true;
}

// The rights each class of a POSIX ACL receives from a list of allowed entries.
struct PosixRights {
    std::uint8_t owner = 0;
    std::uint8_t owningGroup = 0;
    std::uint8_t other = 0;
    std::map<std::uint32_t, std::uint8_t> users;
    std::map<std::uint32_t, std::uint8_t> groups;
};

// Folds the entries into POSIX classes; nullopt when an entry cannot be
// expressed: a denial, inheritance flags, or an identifier that is no Unix
// user, no Unix group and not Everyone.
std::optional<PosixRights> foldEntries(const std::vector<Ace>& entries, const struct stat& file) {
    PosixRights rights;
    for (const Ace& ace : entries) {
        const auto account = unixAccountOf(ace.sid);
        if (ace.type != AceType::AccessAllowed || ace.flags != 0 || !account) {
            return std::nullopt;
        }
        const std::uint8_t perms = permsFromMask(ace.mask);
        switch (account->kind) {
            case UnixAccountKind::User:
                (account->id == file.st_uid ? rights.owner : rights.users[account->id]) |= perms;
                break;
            case UnixAccountKind::Group:
                (account->id == file.st_gid ? rights.owningGroup : rights.groups[account->id]) |= perms;
                break;
            case UnixAccountKind::Everyone: rights.other |= perms; break;
        }
    }
    return rights;
}

bool sameComputer(std::string_view server) {
    while (server.starts_with('\\')) {
        server.remove_prefix(1);
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return false;
    }
    const std::string_view local(host);
    if (server.size() != local.size()) {
        return false;
    }
    for (std::size_t i = 0; i < server.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(server[i])) != std::tolower(static_cast<unsigned char>(local[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> SystemPlatform::currentUserName() {
    Account user = userById(geteuid());
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
        sid = resolved(userByName(std::string(name.substr(kUserDomain.size()))), unixUserSid);
    } else if (name.starts_with(kGroupDomain)) {
        sid = resolved(groupByName(std::string(name.substr(kGroupDomain.size()))), unixGroupSid);
    } else if (auto parsed = Sid::parse(name); parsed && unixAccountOf(*parsed)) {
        // The identifier text that listings show for an id without a name.
        sid = std::move(parsed);
    } else {
        const std::string bare(name);
        sid = resolved(userByName(bare), unixUserSid);
        if (!sid) {
            sid = resolved(groupByName(bare), unixGroupSid);
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
            found = userById(account->id);
            domain = kUserDomain;
            break;
        case UnixAccountKind::Group:
            found = groupById(account->id);
            domain = kGroupDomain;
            break;
    }
    switch (found.found) {
        case Found::Yes: return std::string(domain) + found.name;
        case Found::No: return sid.text();
        case Found::Error: break;
    }
    return std::nullopt;
}

std::optional<FileDacl> SystemPlatform::readDacl(const char* path) {
    struct stat file {};
    if (stat(path, &file) != 0) {
        return std::nullopt;
    }
    const Acl acl(acl_get_file(path, ACL_TYPE_ACCESS));
    if (!acl) {
        return std::nullopt;
    }
    const auto views = entriesOf(acl.get());
    if (!views) {
        return std::nullopt;
    }
    // The mask entry is no entry of its own: it limits the group class.
    std::uint8_t groupClassLimit = kPermRead | kPermWrite | kPermExecute;
    for (const AclEntryView& view : *views) {
        if (view.tag == ACL_MASK) {
            groupClassLimit = view.perms;
        }
    }
    FileDacl dacl;
    const auto allow = [&dacl](std::uint8_t perms, Sid sid) {
        dacl.entries.push_back({AceType::AccessAllowed, 0, maskFromPerms(perms), std::move(sid), {}});
    };
    for (const AclEntryView& view : *views) {
        const auto limited = static_cast<std::uint8_t>(view.perms & groupClassLimit);
        switch (view.tag) {
            case ACL_USER_OBJ: allow(view.perms, unixUserSid(file.st_uid)); break;
            case ACL_USER: allow(limited, unixUserSid(view.qualifier)); break;
            case ACL_GROUP_OBJ: allow(limited, unixGroupSid(file.st_gid)); break;
            case ACL_GROUP: allow(limited, unixGroupSid(view.qualifier)); break;
            case ACL_OTHER: allow(view.perms, Sid::everyone()); break;
            default: break;  // the mask
        }
    }
    return dacl;
}

bool SystemPlatform::writeDacl(const char* path, const std::vector<Ace>& entries) {
    struct stat file {};
    if (stat(path, &file) != 0) {
        return false;
    }
    const auto rights = foldEntries(entries, file);
    if (!rights) {
        return false;
    }
    Acl acl(acl_init(static_cast<int>(4 + rights->users.size() + rights->groups.size())));
    if (!acl || !addEntry(acl, ACL_USER_OBJ, std::nullopt, rights->owner) ||
        !addEntry(acl, ACL_GROUP_OBJ, std::nullopt, rights->owningGroup) ||
        !addEntry(acl, ACL_OTHER, std::nullopt, rights->other)) {
        return false;
    }
    for (const auto& [uid, perms] : rights->users) {
        if (!addEntry(acl, ACL_USER, uid, perms)) return false;
    }
    for (const auto& [gid, perms] : rights->groups) {
        if (!addEntry(acl, ACL_GROUP, gid, perms)) return false;
    }
    const bool named = !rights->users.empty() || !rights->groups.empty();
    if (named && acl_calc_mask(acl.address()) != 0) {
        return false;
    }
    // One call replaces the whole ACL, so the file changes wholly or not at all.
    return acl_valid(acl.get()) == 0 && acl_set_file(path, ACL_TYPE_ACCESS, acl.get()) == 0;
}

LocalGroups SystemPlatform::localGroups(std::u16string_view server, std::u16string_view user) {
    if (!server.empty() && !sameComputer(utf16ToUtf8(server))) {
        return LocalGroups{kNerrInvalidComputer, {}};
    }
    std::string name = utf16ToUtf8(user);
    if (std::string_view(name).starts_with(kUserDomain)) {
        name.erase(0, kUserDomain.size());
    }
    // A database that cannot be asked is reported as an unknown user rather
    // than as a user without groups.
    const Account account = userByName(name);
    if (account.found != Found::Yes) {
        return LocalGroups{kNerrUserNotFound, {}};
    }
    LocalGroups groups;
    for (gid_t gid : groupIdsOf(account.name, account.primaryGroup)) {
        const Account group = groupById(gid);
        groups.names.push_back(group.found == Found::Yes ? utf8ToUtf16Lossy(group.name)
                                                         : utf8ToUtf16Lossy(unixGroupSid(gid).text()));
    }
    return groups;
}

std::optional<std::u16string> SystemPlatform::toWide(std::string_view ansi) { return utf8ToUtf16(ansi); }

std::string SystemPlatform::toAnsi(std::u16string_view wide) { return utf16ToUtf8(wide); }

}  // namespace permwell
