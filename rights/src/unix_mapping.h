// How Unix accounts and permission bits look from the Windows side: users are
// S-1-22-1-<uid>, groups S-1-22-2-<gid>, the "other" class is Everyone, and
// the read, write and execute bits correspond to fixed access masks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sid.h"

namespace permwell {

inline constexpr std::string_view kUserDomain = "Unix User\\";
inline constexpr std::string_view kGroupDomain = "Unix Group\\";
inline constexpr std::string_view kEveryoneName = "Everyone";

inline constexpr std::uint32_t kReadMask = 0x120089;
inline constexpr std::uint32_t kWriteMask = 0x120116;
inline constexpr std::uint32_t kExecuteMask = 0x1200A0;
inline constexpr std::uint32_t kFullAccessMask = 0x1F01FF;

// Read, write and execute as the bits 4, 2 and 1 of a permission triple.
enum PermBits : std::uint8_t { kPermExecute = 1, kPermWrite = 2, kPermRead = 4 };

std::uint32_t maskFromPerms(std::uint8_t perms);
std::uint8_t permsFromMask(std::uint32_t mask);

enum class UnixAccountKind { User, Group, Everyone };

struct UnixAccount {
    UnixAccountKind kind;
    std::uint32_t id;  // uid or gid; 0 for Everyone
};

Sid unixUserSid(std::uint32_t uid);
Sid unixGroupSid(std::uint32_t gid);
// The Unix account an identifier stands for; nullopt when it stands for none.
std::optional<UnixAccount> unixAccountOf(const Sid& sid);

}  // namespace permwell
