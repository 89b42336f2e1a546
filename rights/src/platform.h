// The narrow questions the library asks of the operating system. The portable
// logic takes a Platform by reference; SystemPlatform answers them for the
// machine the library runs on (one source file per operating system).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dacl.h"
#include "sid.h"

namespace permwell {

// Status codes of the account services, as a Windows host knows them.
inline constexpr std::int32_t error_none_mapped = 1332;
inline constexpr std::int32_t nerr_success = 0;
inline constexpr std::int32_t nerr_user_not_found = 2221;
inline constexpr std::int32_t nerr_invalid_computer = 2351;

struct AccountLookup {
    std::optional<Sid> sid;  // set on success
    std::int32_t error = 0;  // the platform's code on failure
};

struct LocalGroups {
    std::int32_t status = nerr_success;
    std::vector<std::u16string> names;  // every group the service returned
};

class Platform {
public:
    virtual ~Platform() = default;

    // Name of the user the calling thread runs as; nullopt on failure.
    virtual std::optional<std::string> current_user_name() = 0;
    // Resolves an account name to its identifier.
    virtual AccountLookup lookup_account(std::string_view name) = 0;
    // The trustee name of an identifier as listings show it; nullopt when the
    // account database cannot be asked.
    virtual std::optional<std::string> account_name(const Sid& sid) = 0;
    // The file's DACL, read in one step; nullopt on failure.
    virtual std::optional<FileDacl> read_dacl(const char* path) = 0;
    // Replaces the file's DACL in one step: the file changes wholly or not at
    // all. Entries without bytes of their own (Ace::native empty) are the ones
    // the grant made; an account given such an entry loses every entry it had,
    // the ones new files inherit included.
    virtual bool write_dacl(const char* path, const FileDacl& dacl) = 0;
    // Every local group of the user, indirect memberships included. An empty
    // server name means the local computer.
    virtual LocalGroups local_groups(std::u16string_view server, std::u16string_view user) = 0;
    // Text in the ANSI code page to UTF-16; nullopt for invalid input.
    virtual std::optional<std::u16string> to_wide(std::string_view ansi) = 0;
    // UTF-16 to the ANSI code page; characters it cannot hold are replaced.
    virtual std::string to_ansi(std::u16string_view wide) = 0;
    // Length of the longest prefix of ANSI text, at most max_bytes bytes, that
    // does not end inside a character of the ANSI code page.
    virtual std::size_t ansi_prefix_length(std::string_view ansi, std::size_t max_bytes) = 0;
};

class SystemPlatform final : public Platform {
public:
    std::optional<std::string> current_user_name() override;
    AccountLookup lookup_account(std::string_view name) override;
    std::optional<std::string> account_name(const Sid& sid) override;
    std::optional<FileDacl> read_dacl(const char* path) override;
    bool write_dacl(const char* path, const FileDacl& dacl) override;
    LocalGroups local_groups(std::u16string_view server, std::u16string_view user) override;
    std::optional<std::u16string> to_wide(std::string_view ansi) override;
    std::string to_ansi(std::u16string_view wide) override;
    std::size_t ansi_prefix_length(std::string_view ansi, std::size_t max_bytes) override;
};

}  // namespace permwell
