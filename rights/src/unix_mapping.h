// How Unix accounts and permission bits look from the Windows side: users are
// S-1-22-1-<uid>, groups S-1-22-2-<gid>, the "other" class is Everyone, and
// the read, write and execute bits correspond to fixed access masks.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "sid.h"

namespace permwell {

inline constexpr std::string_view user_domain = "Unix User\\";
inline constexpr std::string_view group_domain = "Unix Group\\";
inline constexpr std::string_view everyone_name = "Everyone";

inline constexpr std::uint32_t read_mask = 0x120089;
inline constexpr std::uint32_t write_mask = 0x120116;
inline constexpr std::uint32_t execute_mask = 0x1200A0;
inline constexpr std::uint32_t full_access_mask = 0x1F01FF;

// Read, write and execute as the bits 4, 2 and 1 of a permission triple.
enum PermBits : std::uint8_t { perm_execute = 1, perm_write = 2, perm_read = 4 };

std::uint32_t mask_from_perms(std::uint8_t perms);
std::uint8_t perms_from_mask(std::uint32_t mask);

enum class UnixAccountKind { user, group, everyone };

struct UnixAccount {
    UnixAccountKind kind;
    std::uint32_t id;  // uid or gid; 0 for Everyone
};

Sid unix_user_sid(std::uint32_t uid);
Sid unix_group_sid(std::uint32_t gid);
// The Unix account an identifier stands for; nullopt when it stands for none.
std::optional<UnixAccount> unix_account_of(const Sid& sid);

}  // namespace permwell
