#include "user_groups.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "fail_safe.h"

namespace permwell {

namespace {

// A group's name as it fits the fixed name buffer: a longer name is cut at a
// character boundary, as the access listing cuts long trustee names.
std::string group_name(Platform& platform, std::u16string_view wide) {
    std::string name = platform.to_ansi(wide);
    name.resize(platform.ansi_prefix_length(name, group_name_buffer_size - 1));
    return name;
}

int list_user_groups(Platform& platform, const char* user_name, char* buffer, std::uint32_t* length) {
    if (user_name == nullptr || buffer == nullptr || length == nullptr) {
        return 0;
    }
    const std::uint32_t capacity = *length;

    const auto wide_name = platform.to_wide(user_name);
    if (!wide_name || wide_name->size() >= wide_user_name_units) {
        return 0;
    }
    const LocalGroups groups = platform.local_groups(u"", *wide_name);
    if (groups.status == nerr_invalid_computer || groups.status == nerr_user_not_found) {
        return 0;
    }

    // Lines are appended while the text and its zero fit the capacity. The
    // first line that does not fit ends the text, but the remaining lines are
    // still counted so the caller learns the length of the whole text.
    // A zero capacity cannot even hold the empty text, so nothing is written.
    bool fits = capacity > 0;
    if (fits) {
        buffer[0] = '\0';
    }
    std::uint64_t total = 0;
    for (const std::u16string& wide : groups.names) {
        const std::string name = group_name(platform, wide);
        const std::uint64_t kept = total;
        total += name.size() + 2;
        if (fits && total >= capacity) {
            fits = false;
        }
        if (fits) {
            std::memcpy(buffer + kept, name.data(), name.size());
            std::memcpy(buffer + kept + name.size(), "\r\n", 3);
        }
    }
    *length = static_cast<std::uint32_t>(std::min<std::uint64_t>(total, UINT32_MAX));
    return fits ? 1 : 0;
}

}  // namespace

int get_user_groups(Platform& platform, const char* user_name, char* buffer, std::uint32_t* length) noexcept {
    return fail_safe([&] { return list_user_groups(platform, user_name, buffer, length); });
}

}  // namespace permwell
