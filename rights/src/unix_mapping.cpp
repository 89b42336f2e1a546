#include "unix_mapping.h"

namespace permwell {

namespace {

constexpr std::uint64_t kUnixAuthority = 22;
constexpr std::uint32_t kUnixUserClass = 1;
constexpr std::uint32_t kUnixGroupClass = 2;

// Generic rights count as every specific right they stand for.
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericRead = 0x80000000;

constexpr std::uint32_t kReadBits = 0x1 | 0x8 | kGenericRead | kGenericAll;
constexpr std::uint32_t kWriteBits = 0x2 | 0x4 | 0x10 | kGenericWrite | kGenericAll;
constexpr std::uint32_t kExecuteBits = 0x20 | kGenericExecute | kGenericAll;

}  // namespace

std::uint32_t maskFromPerms(std::uint8_t perms) {
    constexpr std::uint8_t all = kPermRead | kPermWrite | kPermExecute;
    if ((perms & all) == all) {
        return kFullAccessMask;
    }
    std::uint32_t mask = 0;
    if (perms & kPermRead) mask |= kReadMask;
    if (perms & kPermWrite) mask |= kWriteMask;
    if (perms & kPermExecute) mask |= kExecuteMask;
    return mask;
}

std::uint8_t permsFromMask(std::uint32_t mask) {
    std::uint8_t perms = 0;
    if (mask & kReadBits) perms |= kPermRead;
    if (mask & kWriteBits) perms |= kPermWrite;
    if (mask & kExecuteBits) perms |= kPermExecute;
    return perms;
}

Sid unixUserSid(std::uint32_t uid) { return Sid{kUnixAuthority, {kUnixUserClass, uid}}; }

Sid unixGroupSid(std::uint32_t gid) { return Sid{kUnixAuthority, {kUnixGroupClass, gid}}; }

std::optional<UnixAccount> unixAccountOf(const Sid& sid) {
    if (sid == Sid::everyone()) {
        return UnixAccount{UnixAccountKind::Everyone, 0};
    }
    if (sid.authority != kUnixAuthority || sid.subAuthorities.size() != 2) {
        return std::nullopt;
    }
    const std::uint32_t id = sid.subAuthorities[1];
    switch (sid.subAuthorities[0]) {
        case kUnixUserClass: return UnixAccount{UnixAccountKind::User, id};
        case kUnixGroupClass: return UnixAccount{UnixAccountKind::Group, id};
        default: return std::nullopt;
    }
}

}  // namespace permwell
