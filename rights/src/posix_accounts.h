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
    yes,
    // The database answered that no such account exists (a zero return
    // without a record).
    no,
    // A code that some databases use for "no such account" while others
    // report a failure with it (glibc hands on a service's errno, often ENOENT
    // when the service cannot be reached): the account may well exist.
    unsure,
    // The record does not fit the largest scratch buffer (a group with a
    // huge member list): the account exists but its record cannot be had.
    too_large,
    error,
};

struct Account {
    Found found = Found::no;
    std::string name;
    std::uint32_t id = 0;
    std::uint32_t primary_group = 0;  // users only
};

Account user_by_name(const std::string& name);
Account user_by_id(uid_t uid);
Account group_by_name(const std::string& name);
Account group_by_id(gid_t gid);

// Every group of the user as the database reports it, the primary group
// included, nested groups too where the service resolves them.
std::vector<gid_t> group_ids_of(const std::string& user, gid_t primary);

// How groups_by_id names the ids.
enum class GroupNaming {
    // Enumerates for a long list (where the database can enumerate), else per id.
    automatic,
    // One lookup per id.
    per_id,
    // One pass through the enumeration first, per-id lookups for the rest.
    enumeration,
};

// The group record of every id, in the order of the ids. Both ways give the
// same answer: an enumeration only names the ids it meets (the first record
// of each id, as a lookup by id finds it), and every id it does not meet,
// because the service does not enumerate (sssd's and winbind's default) or
// the pass stopped early, is looked up by itself.
std::vector<Account> groups_by_id(const std::vector<gid_t>& ids, GroupNaming naming = GroupNaming::automatic);

// Lists shorter than this are named per id: a few lookups cost less than a
// pass through a database of any size.
inline constexpr std::size_t enumerate_from = 64;

// The names to ask the database for, first to last, for an account name as
// users type it. A bare name is asked for as it is. A qualified one
// (DOMAIN\name or name@domain) is asked for as typed (winbind's form and
// sssd's fully qualified names), then in the other qualified form, and last
// as the bare name, but only when its domain is this computer's: its host
// name, the DNS domain after the host name's first dot, or that domain's
// first label (EXAMPLE for example.test). Another domain's account is never
// taken for a local or directory account of the same bare name.
std::vector<std::string> name_forms(std::string_view typed);

// Whether a name for the computer (optionally after backslashes) is this
// computer's host name, letter case aside.
bool is_this_computer(std::string_view server);

}  // namespace permwell::posix
