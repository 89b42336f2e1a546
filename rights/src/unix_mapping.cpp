#include "unix_mapping.h"

namespace permwell {

namespace {

constexpr std::uint64_t unix_authority = 22;
constexpr std::uint32_t unix_user_class = 1;
constexpr std::uint32_t unix_group_class = 2;

// Generic rights count as every specific right they stand for.
constexpr std::uint32_t generic_all = 0x10000000;
constexpr std::uint32_t generic_execute = 0x20000000;
constexpr std::uint32_t generic_write = 0x40000000;
constexpr std::uint32_t generic_read = 0x80000000;

constexpr std::uint32_t read_bits = 0x1 | 0x8 | generic_read | generic_all;
constexpr std::uint32_t write_bits = 0x2 | 0x4 | 0x10 | generic_write | generic_all;
constexpr std::uint32_t execute_bits = 0x20 | generic_execute | generic_all;

}  // namespace

std::uint32_t mask_from_perms(std::uint8_t perms) {
    constexpr std::uint8_t all = perm_read | perm_write | perm_execute;
    if ((perms & all) == all) {
        return full_access_mask;
    }
    std::uint32_t mask = 0;
    if (perms & perm_read) mask |= read_mask;
    if (perms & perm_write) mask |= write_mask;
    if (perms & perm_execute) mask |= execute_mask;
    return mask;
}

std::uint8_t perms_from_mask(std::uint32_t mask) {
    std::uint8_t perms = 0;
    if (mask & read_bits) perms |= perm_read;
    if (mask & write_bits) perms |= perm_write;
    if (mask & execute_bits) perms |= perm_execute;
    return perms;
}

Sid unix_user_sid(std::uint32_t uid) { return Sid{unix_authority, {unix_user_class, uid}}; }

Sid unix_group_sid(std::uint32_t gid) { return Sid{unix_authority, {unix_group_class, gid}}; }

std::optional<UnixAccount> unix_account_of(const Sid& sid) {
    if (sid == Sid::everyone()) {
        return UnixAccount{UnixAccountKind::everyone, 0};
    }
    if (sid.authority != unix_authority || sid.sub_authorities.size() != 2) {
        return std::nullopt;
    }
    const std::uint32_t id = sid.sub_authorities[1];
    switch (sid.sub_authorities[0]) {
        case unix_user_class: return UnixAccount{UnixAccountKind::user, id};
        case unix_group_class: return UnixAccount{UnixAccountKind::group, id};
        default: return std::nullopt;
    }
}

}  // namespace permwell
