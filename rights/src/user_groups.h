// Listing the local groups of a user.
#pragma once

#include <cstdint>

#include "platform.h"

namespace permwell {

inline constexpr std::size_t wide_user_name_units = 128;
inline constexpr std::size_t group_name_buffer_size = 256;

int get_user_groups(Platform& platform, const char* user_name, char* buffer, std::uint32_t* length) noexcept;

}  // namespace permwell
