// Windows only: a DACL in memory to the library's entries and back. Each
// entry read keeps its exact bytes in Ace::native, so an entry written back
// (an object entry, an inherited one, a callback entry) is the same entry.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
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
std::optional<Sid> sidFromNative(PSID sid);
// The identifier in its binary form; empty when it has too many parts.
std::vector<std::uint8_t> nativeSid(const Sid& sid);

// The DACL of a descriptor (absolute or self-relative) as entries, in order,
// every one carrying its bytes; nullopt when the descriptor or an entry is
// malformed.
std::optional<FileDacl> daclFromDescriptor(PSECURITY_DESCRIPTOR descriptor);

// A new ACL from the local heap holding the entries in order: an entry with
// bytes of its own is copied byte for byte, one without (the entry being
// granted) is made from its fields. Null when an entry cannot be written or
// the list exceeds the 64 KiB an ACL can hold.
LocalBlock aclFromEntries(const std::vector<Ace>& entries);

}  // namespace permwell::win32
