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
    std::int32_t lookupError = kErrorNoneMapped;
    std::map<std::string, std::string> trustees;  // identifier text -> trustee name
    std::set<std::string> unnamable;              // identifiers whose name lookup fails
    std::map<std::string, FileDacl, std::less<>> files;
    bool writeFails = false;
    std::vector<std::pair<std::string, std::vector<Ace>>> writes;
    std::vector<std::uint16_t> writtenControls;  // FileDacl::control of each write
    LocalGroups groups;
    bool outOfMemory = false;  // every file and group query throws std::bad_alloc

    std::optional<std::string> currentUserName() override { return user; }
    AccountLookup lookupAccount(std::string_view name) override {
        const auto found = accounts.find(name);
        if (found == accounts.end()) return {std::nullopt, lookupError};
        return {found->second, 0};
    }
    std::optional<std::string> accountName(const Sid& sid) override {
        if (unnamable.contains(sid.text())) return std::nullopt;
        const auto found = trustees.find(sid.text());
        return found == trustees.end() ? sid.text() : found->second;
    }
    std::optional<FileDacl> readDacl(const char* path) override {
        if (outOfMemory) throw std::bad_alloc();
        const auto found = files.find(path);
        if (found == files.end()) return std::nullopt;
        return found->second;
    }
    bool writeDacl(const char* path, const FileDacl& dacl) override {
        if (writeFails) return false;
        writes.emplace_back(path, dacl.entries);
        writtenControls.push_back(dacl.control);
        return true;
    }
    LocalGroups localGroups(std::u16string_view, std::u16string_view) override {
        if (outOfMemory) throw std::bad_alloc();
        return groups;
    }
    std::optional<std::u16string> toWide(std::string_view ansi) override { return utf8ToUtf16(ansi); }
    std::string toAnsi(std::u16string_view wide) override { return utf16ToUtf8(wide); }
    std::size_t ansiPrefixLength(std::string_view ansi, std::size_t maxBytes) override {
        return utf8PrefixLength(ansi, maxBytes);
    }
};

// Identifiers and entries, short enough for tables.
inline Sid sid(std::uint32_t rid) { return Sid{5, {21, rid}}; }
inline Ace allow(std::uint32_t rid, std::uint32_t mask) { return {AceType::AccessAllowed, 0, mask, sid(rid), {}}; }
inline Ace deny(std::uint32_t rid, std::uint32_t mask) { return {AceType::AccessDenied, 0, mask, sid(rid), {}}; }

}  // namespace permwell::testing
