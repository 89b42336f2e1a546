// Listing the local groups of a user.
#pragma once

#include <cstdint>

#include "platform.h"

namespace permwell {

inline constexpr std::size_t kWideUserNameUnits = 128;
inline constexpr std::size_t kGroupNameBufferSize = 256;

int getUserGroups(Platform& platform, const char* userName, char* buffer, std::uint32_t* length) noexcept;

}  // namespace permwell
