// The Windows request-file maker with its number search made visible, so the
// search can be tested from a known first number; the platform layer draws the
// first number from the clock and the process.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform.h"

namespace qg::win32 {

// make_request_file, trying the numbers from `first` upward (after 0xFFFF
// comes 1; number 0 is never made). `number`, when given, receives the
// number made.
platform::Result<std::string> make_request_file_from(std::uint16_t first, const std::string& dir,
                                                     std::string_view prefix,
                                                     std::initializer_list<std::string_view> pieces,
                                                     std::uint16_t* number = nullptr);

}  // namespace qg::win32
