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
std::optional<FileDacl> readFileDacl(Platform& platform, const char* fileName) {
    auto dacl = platform.readDacl(fileName);
    if (dacl && dacl->state == DaclState::Present &&
        kSecurityDescriptorMinLength + daclBytesInUse(dacl->entries) > kDescriptorBufferSize) {
        return std::nullopt;
    }
    return dacl;
}

// The trustee name of every entry, in entry order; nullopt when one of them
// cannot be had, which fails the whole listing.
std::optional<std::vector<std::string>> trusteeNames(Platform& platform, const std::vector<Ace>& entries) {
    std::vector<std::string> names;
    names.reserve(entries.size());
    for (const Ace& ace : entries) {
        auto name = platform.accountName(ace.sid);
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
std::size_t formatAccessLine(Platform& platform, char (&line)[kAccessLineBufferSize], const std::string& name,
                             std::uint32_t mask) {
    char tail[32];
    const int tailLength = std::snprintf(tail, sizeof tail, ";%i\r\n", static_cast<std::int32_t>(mask));
    const std::size_t room = kAccessLineBufferSize - 1 - static_cast<std::size_t>(tailLength);
    const std::size_t nameLength = platform.ansiPrefixLength(name, room);
    std::memcpy(line, name.data(), nameLength);
    std::memcpy(line + nameLength, tail, static_cast<std::size_t>(tailLength) + 1);
    return nameLength + static_cast<std::size_t>(tailLength);
}

int listAccessRights(Platform& platform, const char* fileName, char* buffer, std::int32_t* length) {
    if (fileName == nullptr || buffer == nullptr || length == nullptr) {
        return 0;
    }
    const auto userName = platform.currentUserName();
    if (!userName || userName->size() >= kUserNameBufferSize) {
        return 0;
    }
    // The listing goes on only when the calling user's name resolves.
    if (!platform.lookupAccount(*userName).sid) {
        return 0;
    }
    auto dacl = readFileDacl(platform, fileName);
    if (!dacl) {
        return 0;
    }
    buffer[0] = '\0';

    // Without a DACL, or with a null one, the file grants everyone everything.
    if (dacl->state != DaclState::Present) {
        dacl->entries = {Ace{AceType::AccessAllowed, 0, kFullAccessMask, Sid::everyone(), {}}};
    }
    const auto names = trusteeNames(platform, dacl->entries);
    if (!names) {
        return 0;
    }
    std::size_t used = 0;
    for (std::size_t i = 0; i < names->size(); ++i) {
        char line[kAccessLineBufferSize];
        const std::size_t lineLength = formatAccessLine(platform, line, (*names)[i], dacl->entries[i].mask);
        std::memcpy(buffer + used, line, lineLength + 1);
        used += lineLength;
    }
    *length = static_cast<std::int32_t>(used);
    return 1;
}

int grantAccessRights(Platform& platform, const char* fileName, const char* accountName,
                      std::uint32_t accessMask) {
    if (fileName == nullptr || accountName == nullptr) {
        return 0;
    }
    const AccountLookup account = platform.lookupAccount(accountName);
    if (!account.sid) {
        std::printf("Error %d:LookupAccountName\n", static_cast<int>(account.error));
        std::fflush(stdout);
        return 0;
    }
    const auto dacl = readFileDacl(platform, fileName);
    if (!dacl) {
        return 0;
    }

    // Keep every entry whose trustee name differs from the account name, byte
    // for byte; without a DACL (or with a null one) nothing is kept.
    std::vector<Ace> entries;
    if (dacl->state == DaclState::Present) {
        const auto names = trusteeNames(platform, dacl->entries);
        if (!names) {
            return 0;
        }
        for (std::size_t i = 0; i < names->size(); ++i) {
            if ((*names)[i] != accountName) {
                entries.push_back(dacl->entries[i]);
            }
        }
    }
    entries.push_back(Ace{AceType::AccessAllowed, 0, accessMask, *account.sid, {}});
    return platform.writeDacl(fileName, FileDacl{DaclState::Present, std::move(entries), dacl->control}) ? 1 : 0;
}

}  // namespace

int readAccessRights(Platform& platform, const char* fileName, char* buffer, std::int32_t* length) noexcept {
    return failSafe([&] { return listAccessRights(platform, fileName, buffer, length); });
}

int setAccessRights(Platform& platform, const char* fileName, const char* accountName,
                    std::uint32_t accessMask) noexcept {
    return failSafe([&] { return grantAccessRights(platform, fileName, accountName, accessMask); });
}

}  // namespace permwell
