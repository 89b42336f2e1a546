#include "posix_acl_map.h"

#include <utility>

#include "unix_mapping.h"

namespace permwell::posix {

namespace {

constexpr std::uint8_t all_perms = perm_read | perm_write | perm_execute;
constexpr std::size_t origin_bytes = 8;
constexpr std::uint8_t origin_version = 1;
constexpr std::uint8_t no_mask = 0xFF;

// Tags are stored as small codes of our own rather than libacl's values.
constexpr std::pair<acl_tag_t, std::uint8_t> tag_codes[] = {
    {ACL_USER_OBJ, 1}, {ACL_USER, 2}, {ACL_GROUP_OBJ, 3}, {ACL_GROUP, 4}, {ACL_OTHER, 5}};

}  // namespace

std::vector<std::uint8_t> encode_origin(const EntryOrigin& origin) {
    std::uint8_t code = 0;
    for (const auto& [tag, tag_code] : tag_codes) {
        if (tag == origin.tag) code = tag_code;
    }
    return {origin_version,
            code,
            static_cast<std::uint8_t>(origin.qualifier),
            static_cast<std::uint8_t>(origin.qualifier >> 8),
            static_cast<std::uint8_t>(origin.qualifier >> 16),
            static_cast<std::uint8_t>(origin.qualifier >> 24),
            origin.perms,
            origin.mask.value_or(no_mask)};
}

std::optional<EntryOrigin> decode_origin(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != origin_bytes || bytes[0] != origin_version || (bytes[6] & ~all_perms) != 0 ||
        (bytes[7] != no_mask && (bytes[7] & ~all_perms) != 0)) {
        return std::nullopt;
    }
    EntryOrigin origin;
    for (const auto& [tag, tag_code] : tag_codes) {
        if (tag_code == bytes[1]) origin.tag = tag;
    }
    if (origin.tag == ACL_UNDEFINED_TAG) {
        return std::nullopt;
    }
    origin.qualifier = std::uint32_t{bytes[2]} | std::uint32_t{bytes[3]} << 8 | std::uint32_t{bytes[4]} << 16 |
                       std::uint32_t{bytes[5]} << 24;
    origin.perms = bytes[6];
    if (bytes[7] != no_mask) origin.mask = bytes[7];
    return origin;
}

namespace {

// The identifier a POSIX entry stands for.
Sid sid_of(acl_tag_t tag, std::uint32_t qualifier) {
    switch (tag) {
        case ACL_USER_OBJ:
        case ACL_USER: return unix_user_sid(qualifier);
        case ACL_GROUP_OBJ:
        case ACL_GROUP: return unix_group_sid(qualifier);
        default: return Sid::everyone();
    }
}

bool in_group_class(acl_tag_t tag) { return tag == ACL_USER || tag == ACL_GROUP_OBJ || tag == ACL_GROUP; }

}  // namespace

// Works out the POSIX ACL for a list of entries: each entry read from the file
// goes back to the tag and qualifier it came from with the bits it had; a new
// entry goes to the owner, owning-group or other entry when its account is the
// file's owner, owning group or Everyone, and to a named entry otherwise. The
// mask keeps every bit it had and gains the bits the new entries need; a bit
// it gains is dropped from the other group-class entries, where the old mask
// hid it, so that no other account's access widens. Without an old mask, the
// mask is the union of the group class, as setfacl computes it (calc_mask).
// nullopt when an entry cannot be expressed: a denial, inheritance flags, an
// identifier that is no Unix user, no Unix group and not Everyone, or an
// origin that does not belong to the entry; and when the owner, owning-group
// or other entry would be missing.
std::optional<PosixAcl> plan_acl(const std::vector<Ace>& entries, const struct stat& file) {
    PosixAcl acl;
    acl.slots = {{ACL_USER_OBJ, 0}, {ACL_GROUP_OBJ, 0}, {ACL_OTHER, 0}};
    const auto slot_for = [&acl](acl_tag_t tag, std::uint32_t qualifier) -> Slot& {
        const bool named = tag == ACL_USER || tag == ACL_GROUP;
        for (Slot& slot : acl.slots) {
            if (slot.tag == tag && (!named || slot.qualifier == qualifier)) return slot;
        }
        return acl.slots.emplace_back(Slot{tag, qualifier});
    };
    const auto new_slot_for = [&](const UnixAccount& account) -> Slot& {
        switch (account.kind) {
            case UnixAccountKind::user:
                return slot_for(account.id == file.st_uid ? ACL_USER_OBJ : ACL_USER, account.id);
            case UnixAccountKind::group:
                return slot_for(account.id == file.st_gid ? ACL_GROUP_OBJ : ACL_GROUP, account.id);
            case UnixAccountKind::everyone: break;
        }
        return slot_for(ACL_OTHER, 0);
    };
    for (const Ace& ace : entries) {
        const auto account = unix_account_of(ace.sid);
        if (ace.type != AceType::access_allowed || ace.flags != 0 || !account) {
            return std::nullopt;
        }
        if (!ace.native.empty()) {
            const auto origin = decode_origin(ace.native);
            if (!origin || sid_of(origin->tag, origin->qualifier) != ace.sid) {
                return std::nullopt;
            }
            if (origin->mask) acl.mask = origin->mask;
            Slot& slot = slot_for(origin->tag, origin->qualifier);
            slot.kept |= origin->perms;
            slot.supplied = true;
            continue;
        }
        Slot& slot = new_slot_for(*account);
        slot.granted |= perms_from_mask(ace.mask);
        slot.supplied = true;
    }
    // The owner, owning-group and other entries are never left out: a list
    // without one (an account database that names two ids alike can make
    // one) is not written.
    for (std::size_t i = 0; i < 3; ++i) {
        if (!acl.slots[i].supplied) return std::nullopt;
    }
    if (acl.mask) {
        std::uint8_t needed = 0;
        for (const Slot& slot : acl.slots) {
            if (in_group_class(slot.tag)) needed |= slot.granted;
        }
        const auto added = static_cast<std::uint8_t>(needed & ~*acl.mask);
        for (Slot& slot : acl.slots) {
            if (in_group_class(slot.tag)) slot.kept &= static_cast<std::uint8_t>(~added);
        }
        *acl.mask |= needed;
    } else if (acl.slots.size() > 3) {
        acl.calc_mask = true;
    }
    return acl;
}

// The entries of an ACL as the library lists them, each carrying its origin.
// The mask entry is no entry of its own: it limits the group class. nullopt
// for an entry of a kind this mapping does not know.
std::optional<std::vector<Ace>> aces_of(const std::vector<AclEntryView>& views, const struct stat& file) {
    std::optional<std::uint8_t> mask;
    for (const AclEntryView& view : views) {
        if (view.tag == ACL_MASK) mask = view.perms;
    }
    std::vector<Ace> entries;
    for (const AclEntryView& view : views) {
        if (view.tag == ACL_MASK) {
            continue;
        }
        if (view.tag != ACL_USER_OBJ && view.tag != ACL_USER && view.tag != ACL_GROUP_OBJ && view.tag != ACL_GROUP &&
            view.tag != ACL_OTHER) {
            return std::nullopt;
        }
        const std::uint32_t qualifier = view.tag == ACL_USER_OBJ    ? file.st_uid
                                        : view.tag == ACL_GROUP_OBJ ? file.st_gid
                                                                    : view.qualifier;
        // What the entry lets its account do: the group class is limited by
        // the mask, and a named entry for the owner's uid gives nothing, since
        // the owner entry always decides for the owner.
        std::uint8_t effective = view.perms;
        if (in_group_class(view.tag) && mask) effective &= *mask;
        if (view.tag == ACL_USER && view.qualifier == file.st_uid) effective = 0;
        entries.push_back({AceType::access_allowed, 0, mask_from_perms(effective), sid_of(view.tag, qualifier),
                           encode_origin({view.tag, qualifier, view.perms, mask})});
    }
    return entries;
}

namespace {

// Whether the grant made an entry of its own (one not read from the file)
// for the account a named POSIX entry stands for.
bool granted_anew(const std::vector<Ace>& entries, const AclEntryView& view) {
    if (view.tag != ACL_USER && view.tag != ACL_GROUP) {
        return false;
    }
    const Sid named = sid_of(view.tag, view.qualifier);
    for (const Ace& ace : entries) {
        if (ace.native.empty() && ace.sid == named) return true;
    }
    return false;
}

}  // namespace

// A grant on a directory reaches the files made in it later, as on Windows,
// where it removes the account's inheritable entries too: the named default
// entry (user:<uid>: or group:<gid>:) of every account that the grant gave a
// new entry leaves the default ACL. No default entry is added, the other
// default entries are written back as they were read, and the default mask
// is settled as the access ACL's is (it keeps its bits; no new entry needs
// more, so it stays). Returns the default ACL to write, nullopt inside when
// it needs no change, and nullopt when it cannot be planned.
std::optional<std::optional<PosixAcl>> default_acl_after_grant(const std::vector<AclEntryView>& current,
                                                               const std::vector<Ace>& entries,
                                                               const struct stat& file) {
    std::vector<AclEntryView> kept;
    for (const AclEntryView& view : current) {
        if (!granted_anew(entries, view)) kept.push_back(view);
    }
    if (kept.size() == current.size()) {
        return std::optional<PosixAcl>{};  // nothing of the account's, or no default ACL at all
    }
    const auto aces = aces_of(kept, file);
    if (!aces) {
        return std::nullopt;
    }
    auto plan = plan_acl(*aces, file);
    if (!plan) {
        return std::nullopt;
    }
    return std::optional<PosixAcl>{std::move(*plan)};
}

mode_t mode_bits_of(const PosixAcl& minimal) {
    mode_t mode = 0;
    for (const Slot& slot : minimal.slots) {
        const int shift = slot.tag == ACL_USER_OBJ ? 6 : slot.tag == ACL_GROUP_OBJ ? 3 : 0;
        mode |= static_cast<mode_t>(slot.perms()) << shift;
    }
    return mode;
}

}  // namespace permwell::posix
