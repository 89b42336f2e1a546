// POSIX access ACLs as the library reads and writes them (libacl): the
// entries of an ACL as DACL entries, each carrying where it came from, and the
// ACL a list of DACL entries is written as.
#pragma once

#include <sys/acl.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "dacl.h"

namespace permwell::posix {

// Owns an ACL handed out by libacl.
class Acl {
public:
    explicit Acl(acl_t acl) : acl_(acl) {}
    Acl(const Acl&) = delete;
    Acl& operator=(const Acl&) = delete;
    ~Acl() {
        if (acl_ != nullptr) {
            acl_free(acl_);
        }
    }
    acl_t get() const { return acl_; }
    acl_t* address() { return &acl_; }  // for calls that may replace the ACL
    explicit operator bool() const { return acl_ != nullptr; }

private:
    acl_t acl_;
};

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
    std::optional<std::uint8_t> mask;
    bool minimal() const { return !mask && slots.size() == 3; }
};

// The ACL's entries in libacl's order; nullopt when one cannot be read.
std::optional<std::vector<AclEntryView>> entriesOf(acl_t acl);
// The entries of a minimal ACL for a file system without POSIX ACLs.
std::vector<AclEntryView> entriesFromMode(mode_t mode);
// The entries of an ACL as the library lists them; nullopt for an entry of a
// kind the mapping does not know.
std::optional<std::vector<Ace>> acesOf(const std::vector<AclEntryView>& views, const struct stat& file);
// The POSIX ACL for a list of entries; nullopt when POSIX cannot express it.
std::optional<PosixAcl> planAcl(const std::vector<Ace>& entries, const struct stat& file);
// Puts the planned entries into an empty ACL; false when libacl refuses one.
bool fillAcl(Acl& acl, const PosixAcl& plan);
// The default ACL a grant on a directory leaves: nullopt inside when it needs
// no change, nullopt when it cannot be read or planned.
std::optional<std::optional<PosixAcl>> defaultAclAfterGrant(acl_t current, const std::vector<Ace>& entries,
                                                             const struct stat& file);
// Whether an error code says that the file system has no ACLs.
bool isNotSupported(int error);

}  // namespace permwell::posix
