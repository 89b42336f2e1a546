// The discretionary access-control list of a file as an ordered list of entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sid.h"

namespace permwell {

// The kind of an entry, numbered as in a Windows ACE header. Entries the
// library makes are allowed or denied; a platform may read other kinds (object
// or callback entries on Windows), which keep their number and are only carried.
enum class AceType : std::uint8_t { access_allowed = 0, access_denied = 1 };

struct Ace {
    AceType type = AceType::access_allowed;
    std::uint8_t flags = 0;  // inheritance flags
    std::uint32_t mask = 0;
    Sid sid;
    // The platform's own record of an entry it read (for example the entry's
    // original form), handed back unchanged when the entry is written again.
    // The portable logic only carries it along; entries it makes leave it empty.
    std::vector<std::uint8_t> native;

    bool operator==(const Ace&) const = default;
};

// A descriptor may carry no DACL at all, a null DACL (which allows everyone
// everything) or a list of entries, possibly empty.
enum class DaclState { absent, null, present };

struct FileDacl {
    DaclState state = DaclState::present;
    std::vector<Ace> entries;
    // The list's own inheritance settings as the platform keeps them (on
    // Windows the descriptor's SE_DACL_* control bits: inheritance switched
    // off, entries inherited automatically). The portable logic carries them
    // from the read to the write unchanged, so a grant does not alter them.
    std::uint16_t control = 0;
};

// Bytes the list occupies in a security descriptor: an 8-byte header, then
// per entry a 4-byte header, the 4-byte mask and the identifier.
inline std::size_t dacl_bytes_in_use(const std::vector<Ace>& entries) {
    std::size_t bytes = 8;
    for (const Ace& ace : entries) {
        bytes += 8 + ace.sid.byte_length();
    }
    return bytes;
}

}  // namespace permwell
