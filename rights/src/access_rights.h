// Listing a file's DACL and granting an account rights on a file.
#pragma once

#include <cstdint>

#include "platform.h"

namespace permwell {

// Fixed limits of one call.
inline constexpr std::size_t user_name_buffer_size = 250;
inline constexpr std::size_t descriptor_buffer_size = 65536 + 20;
inline constexpr std::size_t security_descriptor_min_length = 20;
inline constexpr std::size_t access_line_buffer_size = 256;

int read_access_rights(Platform& platform, const char* file_name, char* buffer, std::int32_t* length) noexcept;
int set_access_rights(Platform& platform, const char* file_name, const char* account_name,
                      std::uint32_t access_mask) noexcept;

}  // namespace permwell
