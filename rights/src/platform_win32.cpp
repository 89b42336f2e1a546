// The platform layer on Windows: the security services of advapi32 (account
// lookup, file security descriptors, ACL editing), the local-group service of
// netapi32, and the ANSI code page of the process for all text.
#include <windows.h>
#include <lm.h>
#include <sddl.h>

#include <cstring>

#include "access_rights.h"
#include "platform.h"
#include "utf.h"
#include "win32_dacl.h"

namespace permwell {

namespace {

constexpr DWORD sid_buffer_size = 1024;
constexpr DWORD domain_buffer_chars = 250;
// Names of an identifier's account and domain as LookupAccountSidA gives them.
constexpr DWORD account_name_chars = 257;

// Releases a list handed out by the network-management service.
struct NetApiBufferDeleter {
    void operator()(void* buffer) const noexcept {
        if (buffer != nullptr) {
            NetApiBufferFree(buffer);
        }
    }
};

// Entry types whose identifier follows a flags word and up to two GUIDs.
bool is_object_ace(BYTE type) {
    switch (type) {
        case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_OBJECT_ACE_TYPE:
        case SYSTEM_AUDIT_OBJECT_ACE_TYPE:
        case SYSTEM_ALARM_OBJECT_ACE_TYPE:
        case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE:
        case ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE:
        case SYSTEM_AUDIT_CALLBACK_OBJECT_ACE_TYPE:
        case SYSTEM_ALARM_CALLBACK_OBJECT_ACE_TYPE: return true;
        default: return false;
    }
}

// Where an entry's (first) identifier starts. Every entry type has its header
// and access mask first; object entries then have a flags word saying which of
// the two GUIDs follow, the compound entry a type word and a reserved word.
std::size_t sid_offset(const std::uint8_t* ace, std::size_t size) {
    const BYTE type = ace[0];
    if (is_object_ace(type)) {
        if (size < 12) {
            return size;
        }
        DWORD flags = 0;
        std::memcpy(&flags, ace + 8, sizeof flags);
        return 12 + ((flags & ACE_OBJECT_TYPE_PRESENT) ? 16 : 0) +
               ((flags & ACE_INHERITED_OBJECT_TYPE_PRESENT) ? 16 : 0);
    }
    return type == ACCESS_ALLOWED_COMPOUND_ACE_TYPE ? 12 : 8;
}

// One entry as GetAce hands it out: its fields for the portable logic and its
// bytes for writing it back. Nullopt when its identifier does not lie within it.
std::optional<Ace> ace_from_native(const void* raw) {
    const auto* bytes = static_cast<const std::uint8_t*>(raw);
    const auto* header = static_cast<const ACE_HEADER*>(raw);
    const std::size_t size = header->AceSize;
    const std::size_t offset = sid_offset(bytes, size);
    if (size < 8 || offset + 8 > size) {
        return std::nullopt;
    }
    const std::size_t sid_bytes = 8 + 4 * std::size_t{bytes[offset + 1]};
    if (offset + sid_bytes > size) {
        return std::nullopt;
    }
    auto sid = win32::sid_from_native(const_cast<std::uint8_t*>(bytes + offset));
    if (!sid) {
        return std::nullopt;
    }
    Ace ace;
    // Types other than allowed and denied keep their number; the portable logic
    // only carries them, and their bytes are what gets written.
    ace.type = static_cast<AceType>(header->AceType);
    ace.flags = header->AceFlags;
    std::memcpy(&ace.mask, bytes + 4, sizeof ace.mask);
    ace.sid = std::move(*sid);
    ace.native.assign(bytes, bytes + size);
    return ace;
}

std::wstring to_wide_string(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

namespace win32 {

std::optional<Sid> sid_from_native(PSID sid) {
    if (sid == nullptr || !IsValidSid(sid)) {
        return std::nullopt;
    }
    const SID_IDENTIFIER_AUTHORITY* authority = GetSidIdentifierAuthority(sid);
    Sid out;
    for (BYTE part : authority->Value) {
        out.authority = (out.authority << 8) | part;
    }
    const BYTE count = *GetSidSubAuthorityCount(sid);
    for (BYTE i = 0; i < count; ++i) {
        out.sub_authorities.push_back(*GetSidSubAuthority(sid, i));
    }
    return out;
}

std::vector<std::uint8_t> native_sid(const Sid& sid) {
    if (sid.sub_authorities.size() > SID_MAX_SUB_AUTHORITIES) {
        return {};
    }
    std::vector<std::uint8_t> bytes(GetSidLengthRequired(static_cast<UCHAR>(sid.sub_authorities.size())));
    SID_IDENTIFIER_AUTHORITY authority{};
    for (int i = 5, shift = 0; i >= 0; --i, shift += 8) {
        authority.Value[i] = static_cast<BYTE>(sid.authority >> shift);
    }
    if (!InitializeSid(bytes.data(), &authority, static_cast<BYTE>(sid.sub_authorities.size()))) {
        return {};
    }
    for (std::size_t i = 0; i < sid.sub_authorities.size(); ++i) {
        *GetSidSubAuthority(bytes.data(), static_cast<DWORD>(i)) = sid.sub_authorities[i];
    }
    return bytes;
}

std::optional<FileDacl> dacl_from_descriptor(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted)) {
        return std::nullopt;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    if (!GetSecurityDescriptorControl(descriptor, &control, &revision)) {
        return std::nullopt;
    }
    const std::uint16_t carried = control & dacl_control_bits;
    if (!present) {
        return FileDacl{DaclState::absent, {}, carried};
    }
    if (acl == nullptr) {
        return FileDacl{DaclState::null, {}, carried};
    }
    // The entries are walked one by one so that every entry is listed at its
    // own position, whatever its type, and its identifier can be named.
    ACL_SIZE_INFORMATION size{};
    if (!GetAclInformation(acl, &size, sizeof size, AclSizeInformation)) {
        return std::nullopt;
    }
    FileDacl dacl{DaclState::present, {}, carried};
    dacl.entries.reserve(size.AceCount);
    for (DWORD i = 0; i < size.AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(acl, i, &raw)) {
            return std::nullopt;
        }
        auto ace = ace_from_native(raw);
        if (!ace) {
            return std::nullopt;
        }
        dacl.entries.push_back(std::move(*ace));
    }
    return dacl;
}

LocalBlock acl_from_entries(const std::vector<Ace>& entries) {
    // An ACL's size is a 16-bit count of bytes and a multiple of 4.
    constexpr std::size_t max_acl_bytes = 0xFFFC;
    std::size_t bytes = sizeof(ACL);
    DWORD revision = ACL_REVISION;
    std::vector<std::vector<std::uint8_t>> sids(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Ace& ace = entries[i];
        if (!ace.native.empty()) {
            const auto* header = reinterpret_cast<const ACE_HEADER*>(ace.native.data());
            if (ace.native.size() < sizeof(ACE_HEADER) || header->AceSize != ace.native.size()) {
                return nullptr;
            }
            // Entry types beyond allowed, denied, audit and alarm (object,
            // compound, callback entries) need the newest ACL revision.
            if (header->AceType > ACCESS_MAX_MS_V2_ACE_TYPE) {
                revision = ACL_REVISION_DS;
            }
            bytes += ace.native.size();
        } else {
            if (ace.type != AceType::access_allowed && ace.type != AceType::access_denied) {
                return nullptr;
            }
            sids[i] = native_sid(ace.sid);
            if (sids[i].empty()) {
                return nullptr;
            }
            bytes += 8 + sids[i].size();
        }
        if (bytes > max_acl_bytes) {
            return nullptr;
        }
    }
    bytes = (bytes + 3) & ~std::size_t{3};
    LocalBlock acl(LocalAlloc(LMEM_ZEROINIT, bytes));
    if (!acl || !InitializeAcl(static_cast<PACL>(acl.get()), static_cast<DWORD>(bytes), revision)) {
        return nullptr;
    }
    auto* list = static_cast<PACL>(acl.get());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Ace& ace = entries[i];
        BOOL added = FALSE;
        if (!ace.native.empty()) {
            added = AddAce(list, revision, MAXDWORD, const_cast<std::uint8_t*>(ace.native.data()),
                           static_cast<DWORD>(ace.native.size()));
        } else if (ace.type == AceType::access_allowed && ace.flags == 0) {
            added = AddAccessAllowedAce(list, revision, ace.mask, sids[i].data());
        } else if (ace.type == AceType::access_allowed) {
            added = AddAccessAllowedAceEx(list, revision, ace.flags, ace.mask, sids[i].data());
        } else {
            added = AddAccessDeniedAceEx(list, revision, ace.flags, ace.mask, sids[i].data());
        }
        if (!added) {
            return nullptr;
        }
    }
    return acl;
}

bool descriptor_for_write(const FileDacl& dacl, NewDescriptor& out) {
    // A fresh descriptor has no control bits; the DACL's are set as they were
    // read, so that a file whose inheritance was switched off stays so and
    // the next change on its parent does not merge the parent's entries in.
    if (!InitializeSecurityDescriptor(&out.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorControl(&out.descriptor, dacl_control_bits, dacl.control & dacl_control_bits)) {
        return false;
    }
    out.acl = acl_from_entries(dacl.entries);
    return out.acl && SetSecurityDescriptorDacl(&out.descriptor, TRUE, static_cast<PACL>(out.acl.get()), FALSE);
}

std::optional<std::string> trustee_name(const Sid& sid, LookupAccountSidFunction lookup) {
    std::vector<std::uint8_t> native = native_sid(sid);
    if (native.empty()) {
        return std::nullopt;
    }
    char name[account_name_chars];
    DWORD name_size = account_name_chars;
    char domain[account_name_chars];
    DWORD domain_size = account_name_chars;
    SID_NAME_USE use = SidTypeUnknown;
    if (lookup(nullptr, native.data(), name, &name_size, domain, &domain_size, &use)) {
        // Well-known identifiers such as Everyone have no domain.
        return domain[0] == '\0' ? std::string(name) : std::string(domain) + '\\' + name;
    }
    // One trustee that cannot be named (an account that no longer exists, a
    // trust that failed, a domain controller out of reach) is named by its
    // identifier's text rather than failing the listing of the whole file.
    char* text = nullptr;
    if (!ConvertSidToStringSidA(native.data(), &text)) {
        return sid.text();
    }
    const LocalBlock owned(text);
    return std::string(text);
}

std::size_t ansi_prefix_length(std::string_view text, std::size_t max_bytes, UINT code_page) {
    if (text.size() <= max_bytes) {
        return text.size();
    }
    if (code_page == CP_UTF8) {
        return utf8_prefix_length(text, max_bytes);
    }
    CPINFO info{};
    if (!GetCPInfo(code_page, &info) || info.MaxCharSize < 2) {
        return max_bytes;
    }
    std::size_t kept = 0;
    while (kept < text.size()) {
        const std::size_t next = kept + (IsDBCSLeadByteEx(code_page, static_cast<BYTE>(text[kept])) ? 2 : 1);
        if (next > max_bytes) {
            break;
        }
        kept = next;
    }
    return kept;
}

}  // namespace win32

std::optional<std::string> SystemPlatform::current_user_name() {
    char name[user_name_buffer_size];
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) {
        return std::nullopt;
    }
    return std::string(name);
}

AccountLookup SystemPlatform::lookup_account(std::string_view name) {
    const std::string account(name);
    BYTE sid[sid_buffer_size];
    DWORD sid_size = sizeof sid;
    char domain[domain_buffer_chars];
    DWORD domain_size = domain_buffer_chars;
    SID_NAME_USE use = SidTypeUnknown;
    if (!LookupAccountNameA(nullptr, account.c_str(), sid, &sid_size, domain, &domain_size, &use)) {
        return AccountLookup{std::nullopt, static_cast<std::int32_t>(GetLastError())};
    }
    auto resolved = win32::sid_from_native(sid);
    if (!resolved) {
        return AccountLookup{std::nullopt, ERROR_INVALID_SID};
    }
    return AccountLookup{std::move(resolved), 0};
}

std::optional<std::string> SystemPlatform::account_name(const Sid& sid) { return win32::trustee_name(sid); }

std::optional<FileDacl> SystemPlatform::read_dacl(const char* path) {
    // DWORD elements keep the descriptor aligned as the security calls expect.
    std::vector<DWORD> descriptor(descriptor_buffer_size / sizeof(DWORD));
    DWORD needed = 0;
    if (!GetFileSecurityA(path, DACL_SECURITY_INFORMATION, descriptor.data(),
                          static_cast<DWORD>(descriptor_buffer_size), &needed)) {
        return std::nullopt;
    }
    return win32::dacl_from_descriptor(descriptor.data());
}

bool SystemPlatform::write_dacl(const char* path, const FileDacl& dacl) {
    win32::NewDescriptor fresh;
    if (!win32::descriptor_for_write(dacl, fresh)) {
        return false;
    }
    // Only the DACL is replaced; owner, group and system ACL stay as they are.
    return SetFileSecurityA(path, DACL_SECURITY_INFORMATION, &fresh.descriptor) != FALSE;
}

LocalGroups SystemPlatform::local_groups(std::u16string_view server, std::u16string_view user) {
    const std::wstring server_name = to_wide_string(server);
    const std::wstring user_name = to_wide_string(user);
    LPBYTE list = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    // The preferred length asks for every group at once, not the first 8,088 bytes.
    const NET_API_STATUS status =
        NetUserGetLocalGroups(server.empty() ? nullptr : server_name.c_str(), user_name.c_str(), 0, LG_INCLUDE_INDIRECT,
                              &list, MAX_PREFERRED_LENGTH, &read, &total);
    const std::unique_ptr<void, NetApiBufferDeleter> owned(list);
    LocalGroups groups;
    groups.status = static_cast<std::int32_t>(status);
    if (list == nullptr) {
        return groups;
    }
    const auto* entries = reinterpret_cast<const LOCALGROUP_USERS_INFO_0*>(list);
    groups.names.reserve(read);
    for (DWORD i = 0; i < read; ++i) {
        const wchar_t* name = entries[i].lgrui0_name;
        groups.names.emplace_back(name, name + (name != nullptr ? std::wcslen(name) : 0));
    }
    return groups;
}

std::optional<std::u16string> SystemPlatform::to_wide(std::string_view ansi) {
    if (ansi.empty()) {
        return std::u16string();
    }
    // No ANSI code page turns one byte into more than one UTF-16 unit.
    std::vector<wchar_t> wide(ansi.size());
    const int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, ansi.data(), static_cast<int>(ansi.size()),
                                          wide.data(), static_cast<int>(wide.size()));
    if (units <= 0) {
        return std::nullopt;
    }
    return std::u16string(wide.begin(), wide.begin() + units);
}

std::string SystemPlatform::to_ansi(std::u16string_view wide) {
    if (wide.empty()) {
        return {};
    }
    const std::wstring text = to_wide_string(wide);
    // At most three bytes per unit, as in UTF-8 as the ANSI code page.
    std::string ansi(3 * text.size(), '\0');
    const int bytes = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), ansi.data(),
                                          static_cast<int>(ansi.size()), nullptr, nullptr);
    ansi.resize(bytes > 0 ? static_cast<std::size_t>(bytes) : 0);
    return ansi;
}

std::size_t SystemPlatform::ansi_prefix_length(std::string_view ansi, std::size_t max_bytes) {
    return win32::ansi_prefix_length(ansi, max_bytes, GetACP());
}

}  // namespace permwell
