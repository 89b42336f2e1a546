// Windows only: a DACL in memory to the library's entries and back. Each
// entry read keeps its exact bytes in Ace::native, so an entry written back
// (an object entry, an inherited one, a callback entry) is the same entry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dacl.h"
#include "sid.h"

namespace permwell::win32 {

// Releases a block from the local heap (LocalAlloc, or a call that hands one out).
struct LocalFreeDeleter {
    void operator()(void* block) const noexcept {
        if (block != nullptr) {
            LocalFree(block);
        }
    }
};
using LocalBlock = std::unique_ptr<void, LocalFreeDeleter>;

// The identifier's fields; nullopt for a SID that is not valid.
std::optional<Sid> sid_from_native(PSID sid);
// The identifier in its binary form; empty when it has too many parts.
std::vector<std::uint8_t> native_sid(const Sid& sid);

// The DACL of a descriptor (absolute or self-relative) as entries, in order,
// every one carrying its bytes; nullopt when the descriptor or an entry is
// malformed.
std::optional<FileDacl> dacl_from_descriptor(PSECURITY_DESCRIPTOR descriptor);

// A new ACL from the local heap holding the entries in order: an entry with
// bytes of its own is copied byte for byte, one without (the entry being
// granted) is made from its fields. Null when an entry cannot be written or
// the list exceeds the 64 KiB an ACL can hold.
LocalBlock acl_from_entries(const std::vector<Ace>& entries);

// The DACL control bits a descriptor hands on from the one read to the one
// written: inheritance from the parent switched off, entries inherited
// automatically, and the request for that.
inline constexpr SECURITY_DESCRIPTOR_CONTROL dacl_control_bits =
    SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ;

// The absolute descriptor of one write and the DACL it points to.
struct NewDescriptor {
    LocalBlock acl;
    SECURITY_DESCRIPTOR descriptor{};
};

// Fills `out` with a descriptor holding the list's entries as its DACL and
// the list's DACL control bits; false when either cannot be set.
bool descriptor_for_write(const FileDacl& dacl, NewDescriptor& out);

// The account service's name for an identifier, "DOMAIN\name" or a bare
// name for a well-known one; the identifier's text when the service cannot
// name it, for whatever reason (no such account, a domain out of reach).
// `lookup` stands for LookupAccountSidA. Nullopt only for an identifier
// that has no binary form.
using LookupAccountSidFunction = BOOL(WINAPI*)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD, PSID_NAME_USE);
std::optional<std::string> trustee_name(const Sid& sid, LookupAccountSidFunction lookup = LookupAccountSidA);

// Length of the longest prefix of text in the code page, at most max_bytes
// bytes, that does not end inside a character: a double-byte code page is
// walked character by character from the start with IsDBCSLeadByteEx (a
// trail byte may look like a lead byte, so the text cannot be read
// backwards), UTF-8 by its own rules, a single-byte code page anywhere.
std::size_t ansi_prefix_length(std::string_view text, std::size_t max_bytes, UINT code_page);

}  // namespace permwell::win32
