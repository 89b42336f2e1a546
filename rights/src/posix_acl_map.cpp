#include "posix_acl_map.h"

#include <utility>

#include "unix_mapping.h"

namespace permwell::posix {

namespace {

constexpr std::uint8_t kAllPerms = kPermRead | kPermWrite | kPermExecute;
constexpr std::size_t kOriginBytes = 8;
constexpr std::uint8_t kOriginVersion = 1;
constexpr std::uint8_t kNoMask = 0xFF;

// Tags are stored as small codes of our own rather than libacl's values.
constexpr std::pair<acl_tag_t, std::uint8_t> kTagCodes[] = {
    {ACL_USER_OBJ, 1}, {ACL_USER, 2}, {ACL_GROUP_OBJ, 3}, {ACL_GROUP, 4}, {ACL_OTHER, 5}};

}  // namespace

std::vector<std::uint8_t> encodeOrigin(const EntryOrigin& origin) {
    std::uint8_t code = 0;
    for (const auto& [tag, tagCode] : kTagCodes) {
        if (tag == origin.tag) code = tagCode;
    }
    return {kOriginVersion,
            code,
            static_cast<std::uint8_t>(origin.qualifier),
            static_cast<std::uint8_t>(origin.qualifier >> 8),
            static_cast<std::uint8_t>(origin.qualifier >> 16),
            static_cast<std::uint8_t>(origin.qualifier >> 24),
            origin.perms,
            origin.mask.value_or(kNoMask)};
}

std::optional<EntryOrigin> decodeOrigin(const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() != kOriginBytes || bytes[0] != kOriginVersion || (bytes[6] & ~kAllPerms) != 0 ||
        (bytes[7] != kNoMask && (bytes[7] & ~kAllPerms) != 0)) {
        return std::nullopt;
    }
    EntryOrigin origin;
    for (const auto& [tag, tagCode] : kTagCodes) {
        if (tagCode == bytes[1]) origin.tag = tag;
    }
    if (origin.tag == ACL_UNDEFINED_TAG) {
        return std::nullopt;
    }
    origin.qualifier = std::uint32_t{bytes[2]} | std::uint32_t{bytes[3]} << 8 | std::uint32_t{bytes[4]} << 16 |
                       std::uint32_t{bytes[5]} << 24;
    origin.perms = bytes[6];
    if (bytes[7] != kNoMask) origin.mask = bytes[7];
    return origin;
}

namespace {

// The identifier a POSIX entry stands for.
Sid sidOf(acl_tag_t tag, std::uint32_t qualifier) {
    switch (tag) {
        case ACL_USER_OBJ:
        case ACL_USER: return unixUserSid(qualifier);
        case ACL_GROUP_OBJ:
        case ACL_GROUP: return unixGroupSid(qualifier);
        default: return Sid::everyone();
    }
}

bool inGroupClass(acl_tag_t tag) { return tag == ACL_USER || tag == ACL_GROUP_OBJ || tag == ACL_GROUP; }

}  // namespace

// Works out the POSIX ACL for a list of entries: each entry read from the file
// goes back to the tag and qualifier it came from with the bits it had; a new
// entry goes to the owner, owning-group or other entry when its account is the
// file's owner, owning group or Everyone, and to a named entry otherwise. The
// mask keeps every bit it had and gains the bits the new entries need; a bit
// it gains is dropped from the other group-class entries, where the old mask
// hid it, so that no other account's access widens. Without an old mask, the
// mask is the union of the group class, as setfacl computes it (calcMask).
// nullopt when an entry cannot be expressed: a denial, inheritance flags, an
// identifier that is no Unix user, no Unix group and not Everyone, or an
// origin that does not belong to the entry; and when the owner, owning-group
// or other entry would be missing.
std::optional<PosixAcl> planAcl(const std::vector<Ace>& entries, const struct stat& file) {
    PosixAcl acl;
    acl.slots = {{ACL_USER_OBJ, 0}, {ACL_GROUP_OBJ, 0}, {ACL_OTHER, 0}};
    const auto slotFor = [&acl](acl_tag_t tag, std::uint32_t qualifier) -> Slot& {
        const bool named = tag == ACL_USER || tag == ACL_GROUP;
        for (Slot& slot : acl.slots) {
            if (slot.tag == tag && (!named || slot.qualifier == qualifier)) return slot;
        }
        return acl.slots.emplace_back(Slot{tag, qualifier});
    };
    const auto newSlotFor = [&](const UnixAccount& account) -> Slot& {
        switch (account.kind) {
            case UnixAccountKind::User:
                return slotFor(account.id == file.st_uid ? ACL_USER_OBJ : ACL_USER, account.id);
            case UnixAccountKind::Group:
                return slotFor(account.id == file.st_gid ? ACL_GROUP_OBJ : ACL_GROUP, account.id);
            case UnixAccountKind::Everyone: break;
        }
        return slotFor(ACL_OTHER, 0);
    };
    for (const Ace& ace : entries) {
        const auto account = unixAccountOf(ace.sid);
        if (ace.type != AceType::AccessAllowed || ace.flags != 0 || !account) {
            return std::nullopt;
        }
        if (!ace.native.empty()) {
            const auto origin = decodeOrigin(ace.native);
            if (!origin || sidOf(origin->tag, origin->qualifier) != ace.sid) {
                return std::nullopt;
            }
            if (origin->mask) acl.mask = origin->mask;
            Slot& slot = slotFor(origin->tag, origin->qualifier);
            slot.kept |= origin->perms;
            slot.supplied = true;
            continue;
        }
        Slot& slot = newSlotFor(*account);
        slot.granted |= permsFromMask(ace.mask);
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
            if (inGroupClass(slot.tag)) needed |= slot.granted;
        }
        const auto added = static_cast<std::uint8_t>(needed & ~*acl.mask);
        for (Slot& slot : acl.slots) {
            if (inGroupClass(slot.tag)) slot.kept &= static_cast<std::uint8_t>(~added);
        }
        *acl.mask |= needed;
    } else if (acl.slots.size() > 3) {
        acl.calcMask = true;
    }
    return acl;
}

// The entries of an ACL as the library lists them, each carrying its origin.
// The mask entry is no entry of its own: it limits the group class. nullopt
// for an entry of a kind this mapping does not know.
std::optional<std::vector<Ace>> acesOf(const std::vector<AclEntryView>& views, const struct stat& file) {
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
        if (inGroupClass(view.tag) && mask) effective &= *mask;
        if (view.tag == ACL_USER && view.qualifier == file.st_uid) effective = 0;
        entries.push_back({AceType::AccessAllowed, 0, maskFromPerms(effective), sidOf(view.tag, qualifier),
                           encodeOrigin({view.tag, qualifier, view.perms, mask})});
    }
    return entries;
}

namespace {

// Whether the grant made an entry of its own (one not read from the file)
// for the account a named POSIX entry stands for.
bool grantedAnew(const std::vector<Ace>& entries, const AclEntryView& view) {
    if (view.tag != ACL_USER && view.tag != ACL_GROUP) {
        return false;
    }
    const Sid named = sidOf(view.tag, view.qualifier);
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
std::optional<std::optional<PosixAcl>> defaultAclAfterGrant(const std::vector<AclEntryView>& current,
                                                             const std::vector<Ace>& entries,
                                                             const struct stat& file) {
    std::vector<AclEntryView> kept;
    for (const AclEntryView& view : current) {
        if (!grantedAnew(entries, view)) kept.push_back(view);
    }
    if (kept.size() == current.size()) {
        return std::optional<PosixAcl>{};  // nothing of the account's, or no default ACL at all
    }
    const auto aces = acesOf(kept, file);
    if (!aces) {
        return std::nullopt;
    }
    auto plan = planAcl(*aces, file);
    if (!plan) {
        return std::nullopt;
    }
    return std::optional<PosixAcl>{std::move(*plan)};
}

mode_t modeBitsOf(const PosixAcl& minimal) {
    mode_t mode = 0;
    for (const Slot& slot : minimal.slots) {
        const int shift = slot.tag == ACL_USER_OBJ ? 6 : slot.tag == ACL_GROUP_OBJ ? 3 : 0;
        mode |= static_cast<mode_t>(slot.perms()) << shift;
    }
    return mode;
}

}  // namespace permwell::posix
