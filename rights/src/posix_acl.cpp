#include "posix_acl.h"

#include <acl/libacl.h>

#include <cerrno>

#include "unix_mapping.h"

namespace permwell::posix {

namespace {

// Owns an ACL or a qualifier handed out by libacl.
class AclObject {
public:
    explicit AclObject(void* object) : object_(object) {}
    AclObject(const AclObject&) = delete;
    AclObject& operator=(const AclObject&) = delete;
    ~AclObject() {
        if (object_ != nullptr) {
            acl_free(object_);
        }
    }
    void* get() const { return object_; }

private:
    void* object_;
};

std::optional<AclEntryView> view_entry(acl_entry_t entry) {
    AclEntryView view;
    acl_permset_t permset = nullptr;
    if (acl_get_tag_type(entry, &view.tag) != 0 || acl_get_permset(entry, &permset) != 0) {
        return std::nullopt;
    }
    if (acl_get_perm(permset, ACL_READ) == 1) view.perms |= perm_read;
    if (acl_get_perm(permset, ACL_WRITE) == 1) view.perms |= perm_write;
    if (acl_get_perm(permset, ACL_EXECUTE) == 1) view.perms |= perm_execute;
    if (view.tag == ACL_USER || view.tag == ACL_GROUP) {
        const AclObject qualifier(acl_get_qualifier(entry));
        if (qualifier.get() == nullptr) {
            return std::nullopt;
        }
        view.qualifier = *static_cast<const id_t*>(qualifier.get());
    }
    return view;
}

}  // namespace

// The ACL's entries in libacl's order; nullopt when one cannot be read.
std::optional<std::vector<AclEntryView>> entries_of(acl_t acl) {
    std::vector<AclEntryView> views;
    acl_entry_t entry = nullptr;
    for (int rc = acl_get_entry(acl, ACL_FIRST_ENTRY, &entry); rc != 0;
         rc = acl_get_entry(acl, ACL_NEXT_ENTRY, &entry)) {
        if (rc < 0) {
            return std::nullopt;
        }
        auto view = view_entry(entry);
        if (!view) {
            return std::nullopt;
        }
        views.push_back(*view);
    }
    return views;
}

namespace {

bool add_entry(Acl& acl, acl_tag_t tag, std::optional<id_t> qualifier, std::uint8_t perms) {
    acl_entry_t entry = nullptr;
    acl_permset_t permset = nullptr;
    if (acl_create_entry(acl.address(), &entry) != 0 || acl_set_tag_type(entry, tag) != 0 ||
        (qualifier && acl_set_qualifier(entry, &*qualifier) != 0) || acl_get_permset(entry, &permset) != 0 ||
        acl_clear_perms(permset) != 0) {
        return false;
    }
    if (perms & perm_read && acl_add_perm(permset, ACL_READ) != 0) return false;
    if (perms & perm_write && acl_add_perm(permset, ACL_WRITE) != 0) return false;
    if (perms & perm_execute && acl_add_perm(permset, ACL_EXECUTE) != 0) return false;
    return true;
}

}  // namespace

// Puts the planned entries into an empty ACL; false when libacl refuses one
// or the result is no valid ACL.
bool fill_acl(Acl& acl, const PosixAcl& plan) {
    for (const Slot& slot : plan.slots) {
        const bool named = slot.tag == ACL_USER || slot.tag == ACL_GROUP;
        if (!add_entry(acl, slot.tag, named ? std::optional<id_t>(slot.qualifier) : std::nullopt, slot.perms())) {
            return false;
        }
    }
    if (plan.mask && !add_entry(acl, ACL_MASK, std::nullopt, *plan.mask)) {
        return false;
    }
    if (plan.calc_mask && acl_calc_mask(acl.address()) != 0) {
        return false;
    }
    return acl_valid(acl.get()) == 0;
}

Acl access_acl_of(const char* path, mode_t mode) {
    acl_t acl = acl_get_file(path, ACL_TYPE_ACCESS);
    if (acl == nullptr && is_not_supported(errno)) {
        acl = acl_from_mode(mode);
    }
    return Acl(acl);
}

bool is_not_supported(int error) { return error == ENOTSUP || error == EOPNOTSUPP; }

}  // namespace permwell::posix
