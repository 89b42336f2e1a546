// POSIX ACL entries to the library's entries and back, as data: the entries
// read from a file become DACL entries that carry where they came from, a
// list of DACL entries becomes the ACL to write (the mask settled), and a
// grant on a directory yields the default ACL to write. Nothing here touches
// a file or libacl's ACL objects (posix_acl.h does), so it runs anywhere.
#pragma once

#include <sys/acl.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "dacl.h"

namespace permwell::posix {

struct AclEntryView {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    std::uint32_t qualifier = 0;  // named users and groups only
    std::uint8_t perms = 0;
};

// One entry of the ACL to be written. Bits kept from entries that were read
// and bits given by new entries are held apart until the mask is settled.
struct Slot {
    acl_tag_t tag;
    std::uint32_t qualifier;  // named users and groups only
    std::uint8_t kept = 0;
    std::uint8_t granted = 0;
    bool supplied = false;  // some entry of the list went here
    std::uint8_t perms() const { return static_cast<std::uint8_t>(kept | granted); }
};

struct PosixAcl {
    std::vector<Slot> slots;  // owner, owning group and other always present
    // The mask to write, when the entries were read with one.
    std::optional<std::uint8_t> mask;
    // Named entries and no mask read: the mask is the union of the group
    // class, as setfacl computes it (acl_calc_mask when the ACL is made).
    bool calc_mask = false;
    bool minimal() const { return !mask && !calc_mask && slots.size() == 3; }
};

// Where an entry came from: its POSIX tag and qualifier, its permission bits
// as stored (not limited by the mask), and the mask the ACL had when it was
// read. It travels in Ace::native so that an entry a grant does not replace is
// written back exactly as it was read, and so that the write knows the old mask.
struct EntryOrigin {
    acl_tag_t tag = ACL_UNDEFINED_TAG;
    std::uint32_t qualifier = 0;  // the uid or gid the entry applied to when read
    std::uint8_t perms = 0;
    std::optional<std::uint8_t> mask;  // nullopt: the ACL had no mask entry
};

// The origin as the 8 bytes Ace::native holds: a version, the tag, the
// qualifier (little-endian), the bits and the mask (0xFF for none).
std::vector<std::uint8_t> encode_origin(const EntryOrigin& origin);
// nullopt for bytes that are no origin this version wrote.
std::optional<EntryOrigin> decode_origin(const std::vector<std::uint8_t>& bytes);

// The entries of an ACL as the library lists them; nullopt for an entry of a
// kind the mapping does not know.
std::optional<std::vector<Ace>> aces_of(const std::vector<AclEntryView>& views, const struct stat& file);
// The POSIX ACL for a list of entries; nullopt when POSIX cannot express it.
std::optional<PosixAcl> plan_acl(const std::vector<Ace>& entries, const struct stat& file);
// The default ACL a grant on a directory leaves, from the entries of the one
// it has (empty for none): nullopt inside when it needs no change, nullopt
// when it cannot be planned.
std::optional<std::optional<PosixAcl>> default_acl_after_grant(const std::vector<AclEntryView>& current,
                                                               const std::vector<Ace>& entries,
                                                               const struct stat& file);
// The permission bits of a minimal ACL as mode bits (owner, group, other).
mode_t mode_bits_of(const PosixAcl& minimal);

}  // namespace permwell::posix
