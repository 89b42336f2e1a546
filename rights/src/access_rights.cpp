#include "access_rights.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "fail_safe.h"
#include "unix_mapping.h"

namespace permwell {

namespace {

// Reads the file's DACL; a descriptor that would not fit the fixed descriptor
// buffer fails the read, as it does for the platform's own call.
std::optional<FileDacl> read_file_dacl(Platform& platform, const char* file_name) {
    auto dacl = platform.read_dacl(file_name);
    if (dacl && dacl->state == DaclState::present &&
        security_descriptor_min_length + dacl_bytes_in_use(dacl->entries) > descriptor_buffer_size) {
        return std::nullopt;
    }
    return dacl;
}

// The trustee name of every entry, in entry order; nullopt when one of them
// cannot be had, which fails the whole listing.
std::optional<std::vector<std::string>> trustee_names(Platform& platform, const std::vector<Ace>& entries) {
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const Ace& ace : entries) {
        auto name = platform.account_name(ace.sid);
        if (!name) {
            return std::nullopt;
        }
        names.push_back(std::move(*name));
    }
    return names;
}

// Formats "<name>;<signed mask>\r\n" into the line buffer. A name too long for
// the buffer is cut (never inside a character of the ANSI code page) so the
// line keeps its ending.
std::size_t format_access_line(Platform& platform, char (&line)[access_line_buffer_size], const std::string& name,
                               std::uint32_t mask) {
    char tail[32];
    const int tail_length = std::snprintf(tail, sizeof tail, ";%i\r\n", static_cast<std::int32_t>(mask));
    const std::size_t room = access_line_buffer_size - 1 - static_cast<std::size_t>(tail_length);
    const std::size_t name_length = platform.ansi_prefix_length(name, room);
    std::memcpy(line, name.data(), name_length);
    std::memcpy(line + name_length, tail, static_cast<std::size_t>(tail_length) + 1);
    return name_length + static_cast<std::size_t>(tail_length);
}

int list_access_rights(Platform& platform, const char* file_name, char* buffer, std::int32_t* length) {
    if (file_name == nullptr || buffer == nullptr || length == nullptr) {
        return 0;
    }
    const auto user_name = platform.current_user_name();
    if (!user_name || user_name->size() >= user_name_buffer_size) {
        return 0;
    }
    // The listing goes on only when the calling user's name resolves.
    if (!platform.lookup_account(*user_name).sid) {
        return 0;
    }
    auto dacl = read_file_dacl(platform, file_name);
    if (!dacl) {
        return 0;
    }
    buffer[0] = '\0';

    // Without a DACL, or with a null one, the file grants everyone everything.
    if (dacl->state != DaclState::present) {
        dacl->entries = {Ace{AceType::access_allowed, 0, full_access_mask, Sid::everyone(), {}}};
    }
    const auto names = trustee_names(platform, dacl->entries);
    if (!names) {
        return 0;
    }
    std::size_t used = 0;
    for (std::size_t i = 0; i < names->size(); ++i) {
        char line[access_line_buffer_size];
        const std::size_t line_length = format_access_line(platform, line, (*names)[i], dacl->entries[i].mask);
        std::memcpy(buffer + used, line, line_length + 1);
        used += line_length;
    }
    *length = static_cast<std::int32_t>(used);
    return 1;
}

int grant_access_rights(Platform& platform, const char* file_name, const char* account_name,
                        std::uint32_t access_mask) {
    if (file_name == nullptr || account_name == nullptr) {
        return 0;
    }
    const AccountLookup account = platform.lookup_account(account_name);
    if (!account.sid) {
        std::printf("Error %d:LookupAccountName\n", static_cast<int>(account.error));
        std::fflush(stdout);
        return 0;
    }
    const auto dacl = read_file_dacl(platform, file_name);
    if (!dacl) {
        return 0;
    }

    // Keep every entry whose trustee name differs from the account name, byte
    // for byte; without a DACL (or with a null one) nothing is kept.
    std::vector<Ace> entries;
    if (dacl->state == DaclState::present) {
        const auto names = trustee_names(platform, dacl->entries);
        if (!names) {
            return 0;
        }
        for (std::size_t i = 0; i < names->size(); ++i) {
            if ((*names)[i] != account_name) {
                entries.push_back(dacl->entries[i]);
            }
        }
    }
    entries.push_back(Ace{AceType::access_allowed, 0, access_mask, *account.sid, {}});
    return platform.write_dacl(file_name, FileDacl{DaclState::present, std::move(entries), dacl->control}) ? 1 : 0;
}

}  // namespace

int read_access_rights(Platform& platform, const char* file_name, char* buffer, std::int32_t* length) noexcept {
    return fail_safe([&] { return list_access_rights(platform, file_name, buffer, length); });
}

int set_access_rights(Platform& platform, const char* file_name, const char* account_name,
                      std::uint32_t access_mask) noexcept {
    return fail_safe([&] { return grant_access_rights(platform, file_name, account_name, access_mask); });
}

}  // namespace permwell
