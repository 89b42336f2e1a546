// The system's account database on Linux and other POSIX systems, asked
// through NSS with reentrant calls only, so that local files, nss_wrapper and
// directory services (nslcd, sssd, winbind) all answer the same way.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace permwell::posix {

// How a lookup in the account database ended.
enum class Found {
    Yes,
    // The database answered that no such account exists (a zero return
    // without a record).
    No,
    // A code that some databases use for "no such account" while others
    // report a failure with it (glibc hands on a service's errno, often ENOENT
    // when the service cannot be reached): the account may well exist.
    Unsure,
    // The record does not fit the largest scratch buffer (a group with a
    // huge member list): the account exists but its record cannot be had.
    TooLarge,
    Error,
};

struct Account {
    Found found = Found::No;
    std::string name;
    std::uint32_t id = 0;
    std::uint32_t primaryGroup = 0;  // users only
};

Account userByName(const std::string& name);
Account userById(uid_t uid);
Account groupByName(const std::string& name);
Account groupById(gid_t gid);

// Every group of the user as the database reports it, the primary group
// included, nested groups too where the service resolves them.
std::vector<gid_t> groupIdsOf(const std::string& user, gid_t primary);

// How groupsById names the ids.
enum class GroupNaming {
    // Enumerates for a long list (where the database can enumerate), else per id.
    Automatic,
    // One lookup per id.
    PerId,
    // One pass through the enumeration first, per-id lookups for the rest.
    Enumeration,
};

// The group record of every id, in the order of the ids. Both ways give the
// same answer: an enumeration only names the ids it meets (the first record
// of each id, as a lookup by id finds it), and every id it does not meet,
// because the service does not enumerate (sssd's and winbind's default) or
// the pass stopped early, is looked up by itself.
std::vector<Account> groupsById(const std::vector<gid_t>& ids, GroupNaming naming = GroupNaming::Automatic);

// Lists shorter than this are named per id: a few lookups cost less than a
// pass through a database of any size.
inline constexpr std::size_t kEnumerateFrom = 64;

// The names to ask the database for, first to last, for an account name as
// users type it. A bare name is asked for as it is. A qualified one
// (DOMAIN\name or name@domain) is asked for as typed (winbind's form and
// sssd's fully qualified names), then in the other qualified form, and last
// as the bare name, but only when its domain is this computer's: its host
// name, the DNS domain after the host name's first dot, or that domain's
// first label (EXAMPLE for example.test). Another domain's account is never
// taken for a local or directory account of the same bare name.
std::vector<std::string> nameForms(std::string_view typed);

// Whether a name for the computer (optionally after backslashes) is this
// computer's host name, letter case aside.
bool isThisComputer(std::string_view server);

}  // namespace permwell::posix
