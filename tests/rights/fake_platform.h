// A platform double: tests describe any DACL, account table and group list,
// including what real Linux files cannot have (denials, no DACL, a null DACL).
#pragma once

#include <map>
#include <new>
#include <set>
#include <string>

#include "platform.h"
#include "utf.h"

namespace permwell::testing {

struct FakePlatform final : Platform {
    std::optional<std::string> user = "alice";
    std::map<std::string, Sid, std::less<>> accounts;  // lookup name -> identifier
    std::int32_t lookup_error = error_none_mapped;
    std::map<std::string, std::string> trustees;  // identifier text -> trustee name
    std::set<std::string> unnamable;              // identifiers whose name lookup fails
    std::map<std::string, FileDacl, std::less<>> files;
    bool write_fails = false;
    std::vector<std::pair<std::string, std::vector<Ace>>> writes;
    std::vector<std::uint16_t> written_controls;  // FileDacl::control of each write
    LocalGroups groups;
    bool out_of_memory = false;  // every file and group query throws std::bad_alloc

    std::optional<std::string> current_user_name() override { return user; }
    AccountLookup lookup_account(std::string_view name) override {
        const auto found = accounts.find(name);
        if (found == accounts.end()) return {std::nullopt, lookup_error};
        return {found->second, 0};
    }
    std::optional<std::string> account_name(const Sid& sid) override {
        if (unnamable.contains(sid.text())) return std::nullopt;
        const auto found = trustees.find(sid.text());
        return found == trustees.end() ? sid.text() : found->second;
    }
    std::optional<FileDacl> read_dacl(const char* path) override {
        if (out_of_memory) throw std::bad_alloc();
        const auto found = files.find(path);
        if (found == files.end()) return std::nullopt;
        return found->second;
    }
    bool write_dacl(const char* path, const FileDacl& dacl) override {
        if (write_fails) return false;
        writes.emplace_back(path, dacl.entries);
        written_controls.push_back(dacl.control);
        return true;
    }
    LocalGroups local_groups(std::u16string_view, std::u16string_view) override {
        if (out_of_memory) throw std::bad_alloc();
        return groups;
    }
    std::optional<std::u16string> to_wide(std::string_view ansi) override { return utf8_to_utf16(ansi); }
    std::string to_ansi(std::u16string_view wide) override { return utf16_to_utf8(wide); }
    std::size_t ansi_prefix_length(std::string_view ansi, std::size_t max_bytes) override {
        return utf8_prefix_length(ansi, max_bytes);
    }
};

// Identifiers and entries, short enough for tables.
inline Sid sid(std::uint32_t rid) { return Sid{5, {21, rid}}; }
inline Ace allow(std::uint32_t rid, std::uint32_t mask) { return {AceType::access_allowed, 0, mask, sid(rid), {}}; }
inline Ace deny(std::uint32_t rid, std::uint32_t mask) { return {AceType::access_denied, 0, mask, sid(rid), {}}; }

}  // namespace permwell::testing
