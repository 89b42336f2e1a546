#include "posix_accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <unordered_map>

namespace permwell::posix {

namespace {

constexpr std::size_t initial_record_buffer = 4096;
constexpr std::size_t max_record_buffer = std::size_t{1} << 20;

// An enumeration reads at most this many records per id it is to name, so it
// never costs much more than the per-id lookups would, however large the
// directory behind it.
constexpr std::size_t enumerated_per_id = 8;

Found found_from(int rc, bool have_record) {
    if (rc == 0) {
        return have_record ? Found::yes : Found::no;
    }
    if (rc == ENOENT || rc == ESRCH || rc == EBADF || rc == EPERM) {
        return Found::unsure;
    }
    return rc == ERANGE ? Found::too_large : Found::error;
}

// Runs one reentrant lookup (getpwnam_r and kin), growing its scratch buffer
// while the record does not fit, and copies what is needed out of the record
// before the buffer goes away.
template <typename Record, typename Query, typename Copy>
Account query_account(Query query, Copy copy) {
    std::vector<char> scratch(initial_record_buffer);
    for (;;) {
        Record record{};
        Record* result = nullptr;
        errno = 0;
        int rc = query(&record, scratch.data(), scratch.size(), &result);
        // Some implementations return -1 and leave the code in errno; without
        // one it is still a failure, never a "no such account".
        if (rc == -1) {
            rc = errno != 0 ? errno : EIO;
        }
        if (rc == ERANGE && scratch.size() < max_record_buffer) {
            scratch.resize(scratch.size() * 2);
            continue;
        }
        Account account;
        account.found = found_from(rc, result != nullptr);
        if (account.found == Found::yes) {
            copy(*result, account);
        }
        return account;
    }
}

void copy_user(const passwd& record, Account& out) {
    out.name = record.pw_name;
    out.id = record.pw_uid;
    out.primary_group = record.pw_gid;
}

void copy_group(const group& record, Account& out) {
    out.name = record.gr_name;
    out.id = record.gr_gid;
}

// The C library keeps one group enumeration per process: two passes on two
// threads would share its position, each skipping the records the other read,
// and where two records carry one id a pass could then name it by the second.
// Passes of this library therefore take turns. The lock guards the C
// library's state, not any of ours.
std::mutex& enumeration_turn() {
    static std::mutex turn;
    return turn;
}

// Holds the turn and closes the group enumeration however the pass ends.
class GroupEnumeration {
public:
    GroupEnumeration() : turn_(enumeration_turn()) { setgrent(); }
    GroupEnumeration(const GroupEnumeration&) = delete;
    GroupEnumeration& operator=(const GroupEnumeration&) = delete;
    ~GroupEnumeration() { endgrent(); }

private:
    std::lock_guard<std::mutex> turn_;
};

// One pass through the group enumeration, naming the ids it meets. It stops
// when every id is named, at the end, on any failure, and after its budget of
// records; a record too large for the largest buffer ends it too, since the
// enumeration cannot step over it. Enumeration state is per process, so a
// host thread enumerating at the same time may make this pass see fewer
// records: those ids are then looked up one by one like any other miss.
void name_by_enumeration(const std::vector<gid_t>& ids, std::vector<Account>& named, std::vector<bool>& done) {
    std::unordered_map<gid_t, std::vector<std::size_t>> wanted;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        wanted[ids[i]].push_back(i);
    }
    std::size_t budget = enumerated_per_id * ids.size();
    std::vector<char> scratch(initial_record_buffer);
    const GroupEnumeration enumeration;
    while (!wanted.empty() && budget-- > 0) {
        group record{};
        group* result = nullptr;
        const int rc = getgrent_r(&record, scratch.data(), scratch.size(), &result);
        if (rc == ERANGE && scratch.size() < max_record_buffer) {
            scratch.resize(scratch.size() * 2);
            ++budget;
            continue;
        }
        if (rc != 0 || result == nullptr) {
            return;
        }
        const auto match = wanted.find(result->gr_gid);
        if (match == wanted.end()) {
            continue;
        }
        for (const std::size_t position : match->second) {
            named[position].found = Found::yes;
            copy_group(*result, named[position]);
            done[position] = true;
        }
        wanted.erase(match);
    }
}

std::string host_name() {
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        return {};
    }
    return host;
}

bool same_letters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

}  // namespace

Account user_by_name(const std::string& name) {
    return query_account<passwd>(
        [&](passwd* r, char* b, std::size_t n, passwd** out) { return getpwnam_r(name.c_str(), r, b, n, out); },
        copy_user);
}

Account user_by_id(uid_t uid) {
    return query_account<passwd>(
        [&](passwd* r, char* b, std::size_t n, passwd** out) { return getpwuid_r(uid, r, b, n, out); }, copy_user);
}

Account group_by_name(const std::string& name) {
    return query_account<group>(
        [&](group* r, char* b, std::size_t n, group** out) { return getgrnam_r(name.c_str(), r, b, n, out); },
        copy_group);
}

Account group_by_id(gid_t gid) {
    return query_account<group>(
        [&](group* r, char* b, std::size_t n, group** out) { return getgrgid_r(gid, r, b, n, out); }, copy_group);
}

// The list grows until getgrouplist has room for all of them.
std::vector<gid_t> group_ids_of(const std::string& user, gid_t primary) {
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

std::vector<Account> groups_by_id(const std::vector<gid_t>& ids, GroupNaming naming) {
    std::vector<Account> named(ids.size());
    std::vector<bool> done(ids.size(), false);
    if (naming == GroupNaming::enumeration || (naming == GroupNaming::automatic && ids.size() >= enumerate_from)) {
        name_by_enumeration(ids, named, done);
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (!done[i]) {
            named[i] = group_by_id(ids[i]);
        }
    }
    return named;
}

bool is_this_computer(std::string_view server) {
    while (server.starts_with('\\')) {
        server.remove_prefix(1);
    }
    const std::string host = host_name();
    return !host.empty() && same_letters(server, host);
}

std::vector<std::string> name_forms(std::string_view typed) {
    std::vector<std::string> forms = {std::string(typed)};
    std::string_view domain, name;
    std::string other;
    if (const auto slash = typed.find('\\'); slash != std::string_view::npos) {
        domain = typed.substr(0, slash);
        name = typed.substr(slash + 1);
        other = std::string(name) + "@" + std::string(domain);
    } else if (const auto at = typed.rfind('@'); at != std::string_view::npos) {
        name = typed.substr(0, at);
        domain = typed.substr(at + 1);
        other = std::string(domain) + "\\" + std::string(name);
    } else {
        return forms;
    }
    if (domain.empty() || name.empty()) {
        return forms;
    }
    forms.push_back(std::move(other));
    const std::string host = host_name();
    const auto dot = host.find('.');
    const std::string_view short_host = std::string_view(host).substr(0, dot);
    const std::string_view dns_domain = dot == std::string::npos ? "" : std::string_view(host).substr(dot + 1);
    const std::string_view first_label = dns_domain.substr(0, dns_domain.find('.'));
    if ((!short_host.empty() && same_letters(domain, short_host)) ||
        (!dns_domain.empty() && same_letters(domain, dns_domain)) ||
        (!first_label.empty() && same_letters(domain, first_label))) {
        forms.emplace_back(name);
    }
    return forms;
}

}  // namespace permwell::posix
