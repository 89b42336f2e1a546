// Listing a file's DACL and granting an account rights on a file.
#pragma once

#include <cstdint>

#include "platform.h"

namespace permwell {

// Fixed limits of one call.
inline constexpr std::size_t kUserNameBufferSize = 250;
inline constexpr std::size_t kDescriptorBufferSize = 65536 + 20;
inline constexpr std::size_t kSecurityDescriptorMinLength = 20;
inline constexpr std::size_t kAccessLineBufferSize = 256;

int readAccessRights(Platform& platform, const char* fileName, char* buffer, std::int32_t* length) noexcept;
int setAccessRights(Platform& platform, const char* fileName, const char* accountName,
                    std::uint32_t accessMask) noexcept;

}  // namespace permwell
