// POSIX ACLs through libacl: the entries of an ACL read out, and the ACL
// that a planned list of entries (posix_acl_map.h) is written as.
#pragma once

#include <sys/acl.h>
#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "posix_acl_map.h"

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

// The ACL's entries in libacl's order; nullopt when one cannot be read.
std::optional<std::vector<AclEntryView>> entries_of(acl_t acl);
// Puts the planned entries into an empty ACL; false when libacl refuses one.
bool fill_acl(Acl& acl, const PosixAcl& plan);
// The file's access ACL; on a file system without POSIX ACLs, the minimal
// ACL of its mode (the owner, owning group and other classes). Null on failure.
Acl access_acl_of(const char* path, mode_t mode);
// Whether an error code says that the file system has no ACLs.
bool is_not_supported(int error);

}  // namespace permwell::posix
