// The Windows platform layer against the real advapi32: a DACL built in memory
// with allowed, denied, inherited and object entries is read as entries,
// listed and rewritten, and the written ACL is compared byte for byte with one
// built directly by advapi32.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "access_rights.h"
#include "platform.h"
#include "win32_dacl.h"

namespace permwell::testing {
namespace {

using win32::LocalBlock;

std::vector<BYTE> sid_bytes(const char* text) {
    PSID sid = nullptr;
    if (!ConvertStringSidToSidA(text, &sid)) {
        ADD_FAILURE() << "ConvertStringSidToSidA " << text;
        return {};
    }
    const LocalBlock owned(sid);
    const auto* bytes = static_cast<const BYTE*>(sid);
    return {bytes, bytes + GetLengthSid(sid)};
}

const GUID object_type{0x6da8a4ff, 0x0e52, 0x11d0, {0xa2, 0x86, 0x00, 0xaa, 0x00, 0x30, 0x49, 0xe2}};
const GUID inherited_type{0xbf967aba, 0x0de6, 0x11d0, {0xa2, 0x85, 0x00, 0xaa, 0x00, 0x42, 0x3d, 0xe2}};

// An object entry laid out by hand (Wine has no AddAccessAllowedObjectAce):
// header, mask, flags word, the GUIDs present, the identifier.
BOOL add_object_ace(PACL acl, BYTE type, BYTE flags, DWORD mask, const GUID* object, const GUID* inherited, PSID sid) {
    std::vector<BYTE> ace(12 + 2 * sizeof(GUID) + GetLengthSid(sid));
    const DWORD present = (object ? ACE_OBJECT_TYPE_PRESENT : 0) | (inherited ? ACE_INHERITED_OBJECT_TYPE_PRESENT : 0);
    std::memcpy(ace.data() + 4, &mask, 4);
    std::memcpy(ace.data() + 8, &present, 4);
    std::size_t size = 12;
    for (const GUID* guid : {object, inherited}) {
        if (guid) {
            std::memcpy(ace.data() + size, guid, sizeof(GUID));
            size += sizeof(GUID);
        }
    }
    std::memcpy(ace.data() + size, sid, GetLengthSid(sid));
    size += GetLengthSid(sid);
    ace[0] = type;
    ace[1] = flags;
    const auto ace_size = static_cast<WORD>(size);
    std::memcpy(ace.data() + 2, &ace_size, 2);
    return AddAce(acl, ACL_REVISION_DS, MAXDWORD, ace.data(), ace_size);
}

// One entry of the sample DACL: its identifier and the advapi32 call that adds it.
struct SampleEntry {
    const char* sid;
    std::function<BOOL(PACL, DWORD, PSID)> add;
    AceType type;
    BYTE flags;
    DWORD mask;
};

const std::vector<SampleEntry>& sample() {
    static const std::vector<SampleEntry> entries = {
        {"S-1-1-0", [](PACL a, DWORD r, PSID s) { return AddAccessAllowedAce(a, r, 0x1F01FF, s); },
         AceType::access_allowed, 0, 0x1F01FF},
        {"S-1-5-32-545", [](PACL a, DWORD r, PSID s) { return AddAccessDeniedAce(a, r, 0x80000000, s); },
         AceType::access_denied, 0, 0x80000000},
        {"S-1-5-18",
         [](PACL a, DWORD r, PSID s) {
             return AddAccessAllowedAceEx(a, r, INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                          0x1200A9, s);
         },
         AceType::access_allowed, INHERITED_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, 0x1200A9},
        {"S-1-5-21-1-2-3-1001",
         [](PACL a, DWORD, PSID s) {
             return add_object_ace(a, ACCESS_ALLOWED_OBJECT_ACE_TYPE, CONTAINER_INHERIT_ACE, 0x100, &object_type,
                                 &inherited_type, s);
         },
         static_cast<AceType>(ACCESS_ALLOWED_OBJECT_ACE_TYPE), CONTAINER_INHERIT_ACE, 0x100},
        {"S-1-5-32-545", [](PACL a, DWORD r, PSID s) { return AddAccessAllowedAce(a, r, 0x120089, s); },
         AceType::access_allowed, 0, 0x120089},
        {"S-1-5-32-544",
         [](PACL a, DWORD, PSID s) {
             return add_object_ace(a, ACCESS_DENIED_OBJECT_ACE_TYPE, 0, 0x10, nullptr, &inherited_type, s);
         },
         static_cast<AceType>(ACCESS_DENIED_OBJECT_ACE_TYPE), 0, 0x10},
    };
    return entries;
}

// An ACL holding the sample entries at the given positions, each added by its
// own call, then (when mask is set) an access-allowed entry for `grantee`.
std::vector<DWORD> sample_acl(const std::vector<std::size_t>& positions, const char* grantee = nullptr,
                             DWORD mask = 0) {
    // Object entries need the directory-service revision of the ACL.
    DWORD revision = ACL_REVISION;
    for (std::size_t i : positions) {
        if (static_cast<BYTE>(sample()[i].type) >= ACCESS_ALLOWED_OBJECT_ACE_TYPE) revision = ACL_REVISION_DS;
    }
    std::vector<DWORD> acl(4096);
    EXPECT_TRUE(InitializeAcl(reinterpret_cast<PACL>(acl.data()), acl.size() * sizeof(DWORD), revision));
    for (std::size_t i : positions) {
        std::vector<BYTE> sid = sid_bytes(sample()[i].sid);
        EXPECT_TRUE(sample()[i].add(reinterpret_cast<PACL>(acl.data()), revision, sid.data())) << i;
    }
    if (grantee != nullptr) {
        std::vector<BYTE> sid = sid_bytes(grantee);
        EXPECT_TRUE(AddAccessAllowedAce(reinterpret_cast<PACL>(acl.data()), revision, mask, sid.data()));
    }
    return acl;
}

// A self-relative descriptor, as GetFileSecurityA hands it out, with this
// DACL (null pointer with present TRUE for a null DACL) or without one.
std::vector<BYTE> self_relative(PACL acl, bool present, SECURITY_DESCRIPTOR_CONTROL control = 0) {
    SECURITY_DESCRIPTOR absolute{};
    EXPECT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_TRUE(SetSecurityDescriptorControl(&absolute, win32::dacl_control_bits, control));
    if (present) {
        EXPECT_TRUE(SetSecurityDescriptorDacl(&absolute, TRUE, acl, FALSE));
    }
    std::vector<BYTE> out(65536);
    DWORD size = static_cast<DWORD>(out.size());
    EXPECT_TRUE(MakeSelfRelativeSD(&absolute, out.data(), &size));
    out.resize(size);
    return out;
}

// The portable logic with the real account services and a file held in memory.
struct MemoryFilePlatform final : Platform {
    SystemPlatform system;
    std::vector<BYTE> descriptor;
    std::unique_ptr<win32::NewDescriptor> written;

    std::optional<std::string> current_user_name() override { return system.current_user_name(); }
    AccountLookup lookup_account(std::string_view name) override { return system.lookup_account(name); }
    std::optional<std::string> account_name(const Sid& sid) override { return system.account_name(sid); }
    std::optional<FileDacl> read_dacl(const char*) override { return win32::dacl_from_descriptor(descriptor.data()); }
    bool write_dacl(const char*, const FileDacl& dacl) override {
        written = std::make_unique<win32::NewDescriptor>();
        return win32::descriptor_for_write(dacl, *written);
    }
    LocalGroups local_groups(std::u16string_view s, std::u16string_view u) override {
        return system.local_groups(s, u);
    }
    std::optional<std::u16string> to_wide(std::string_view a) override { return system.to_wide(a); }
    std::string to_ansi(std::u16string_view w) override { return system.to_ansi(w); }
    std::size_t ansi_prefix_length(std::string_view a, std::size_t n) override {
        return system.ansi_prefix_length(a, n);
    }
};

TEST(Win32Dacl, EveryEntryIsReadAtItsPositionWithItsBytes) {
    std::vector<DWORD> acl = sample_acl({0, 1, 2, 3, 4, 5});
    const std::vector<BYTE> descriptor = self_relative(reinterpret_cast<PACL>(acl.data()), true);
    const auto dacl = win32::dacl_from_descriptor(const_cast<BYTE*>(descriptor.data()));
    ASSERT_TRUE(dacl);
    EXPECT_EQ(dacl->state, DaclState::present);
    ASSERT_EQ(dacl->entries.size(), sample().size());
    for (std::size_t i = 0; i < sample().size(); ++i) {
        const Ace& ace = dacl->entries[i];
        EXPECT_EQ(ace.type, sample()[i].type) << i;
        EXPECT_EQ(ace.flags, sample()[i].flags) << i;
        EXPECT_EQ(ace.mask, sample()[i].mask) << i;
        EXPECT_EQ(ace.sid.text(), sample()[i].sid) << i;
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(reinterpret_cast<PACL>(acl.data()), static_cast<DWORD>(i), &raw));
        const auto* bytes = static_cast<const BYTE*>(raw);
        EXPECT_EQ(ace.native, std::vector<std::uint8_t>(bytes, bytes + static_cast<ACE_HEADER*>(raw)->AceSize)) << i;
    }
}

TEST(Win32Dacl, DescriptorStates) {
    std::vector<DWORD> empty = sample_acl({});
    const std::pair<std::vector<BYTE>, DaclState> cases[] = {
        {self_relative(nullptr, false), DaclState::absent},
        {self_relative(nullptr, true), DaclState::null},
        {self_relative(reinterpret_cast<PACL>(empty.data()), true), DaclState::present}};
    for (const auto& [descriptor, state] : cases) {
        const auto dacl = win32::dacl_from_descriptor(const_cast<BYTE*>(descriptor.data()));
        ASSERT_TRUE(dacl);
        EXPECT_EQ(dacl->state, state);
        EXPECT_TRUE(dacl->entries.empty());
    }
}

// One line per entry in DACL order, each identifier named by the account
// service: "DOMAIN\name", a bare name for Everyone, the identifier's text for
// an account that does not exist.
TEST(Win32Dacl, ListingNamesEveryEntry) {
    MemoryFilePlatform platform;
    std::vector<DWORD> acl = sample_acl({0, 1, 2, 3, 4, 5});
    platform.descriptor = self_relative(reinterpret_cast<PACL>(acl.data()), true);
    std::vector<char> buffer(4096);
    std::int32_t length = -1;
    ASSERT_EQ(read_access_rights(platform, "f", buffer.data(), &length), 1);
    EXPECT_EQ(std::string(buffer.data()),
              "Everyone;2032127\r\n"
              "BUILTIN\\Users;-2147483648\r\n"
              "NT AUTHORITY\\SYSTEM;1179817\r\n"
              "S-1-5-21-1-2-3-1001;256\r\n"
              "BUILTIN\\Users;1179785\r\n"
              "BUILTIN\\Administrators;16\r\n");
    EXPECT_EQ(length, static_cast<std::int32_t>(std::strlen(buffer.data())));
}

void expect_same_acl(PACL written, PACL expected) {
    ACL_SIZE_INFORMATION got{}, want{};
    ASSERT_TRUE(GetAclInformation(written, &got, sizeof got, AclSizeInformation));
    ASSERT_TRUE(GetAclInformation(expected, &want, sizeof want, AclSizeInformation));
    EXPECT_EQ(got.AceCount, want.AceCount);
    ASSERT_EQ(got.AclBytesInUse, want.AclBytesInUse);
    EXPECT_EQ(got.AclBytesFree, 0u);  // sized exactly
    EXPECT_EQ(written->AclRevision, expected->AclRevision);
    EXPECT_EQ(std::memcmp(reinterpret_cast<BYTE*>(written) + sizeof(ACL), reinterpret_cast<BYTE*>(expected) + sizeof(ACL),
                          want.AclBytesInUse - sizeof(ACL)),
              0);
}

// Granting removes the account's two entries, copies every other entry byte
// for byte (inherited and object entries included) and appends the new one.
TEST(Win32Dacl, GrantCopiesKeptEntriesByteForByte) {
    struct Case {
        std::vector<std::size_t> before;
        const char* account;
        const char* sid;
        std::vector<std::size_t> kept;
    };
    const Case cases[] = {
        {{0, 1, 2, 3, 4, 5}, "BUILTIN\\Users", "S-1-5-32-545", {0, 2, 3, 5}},
        {{0, 1, 2, 3, 4, 5}, "Users", "S-1-5-32-545", {0, 1, 2, 3, 4, 5}},  // names match byte for byte only
        {{}, "Everyone", "S-1-1-0", {}},
    };
    for (const Case& c : cases) {
        MemoryFilePlatform platform;
        std::vector<DWORD> acl = sample_acl(c.before);
        platform.descriptor = self_relative(reinterpret_cast<PACL>(acl.data()), true);
        ASSERT_EQ(set_access_rights(platform, "f", c.account, 0x42), 1) << c.account;
        ASSERT_TRUE(platform.written);
        std::vector<DWORD> expected = sample_acl(c.kept, c.sid, 0x42);
        expect_same_acl(static_cast<PACL>(platform.written->acl.get()), reinterpret_cast<PACL>(expected.data()));
    }
}

// The descriptor written carries the DACL control bits of the one read
// (inheritance switched off, entries inherited automatically), whatever the
// DACL was. Wine keeps no control bits on disk, so this is shown in memory.
TEST(Win32Dacl, GrantKeepsTheDaclControlBits) {
    const SECURITY_DESCRIPTOR_CONTROL controls[] = {0, SE_DACL_PROTECTED, SE_DACL_AUTO_INHERITED | SE_DACL_AUTO_INHERIT_REQ,
                                                    win32::dacl_control_bits};
    std::vector<DWORD> acl = sample_acl({0, 2});
    for (const SECURITY_DESCRIPTOR_CONTROL control : controls) {
        for (const bool present : {true, false}) {
            MemoryFilePlatform platform;
            platform.descriptor = self_relative(reinterpret_cast<PACL>(acl.data()), present, control);
            ASSERT_EQ(set_access_rights(platform, "f", "Users", 0x42), 1) << control;
            SECURITY_DESCRIPTOR_CONTROL written = 0;
            DWORD revision = 0;
            ASSERT_TRUE(GetSecurityDescriptorControl(&platform.written->descriptor, &written, &revision));
            EXPECT_EQ(written & win32::dacl_control_bits, control) << present;
            EXPECT_TRUE(written & SE_DACL_PRESENT);
        }
    }
}

// Any failure of the account service names the trustee by its identifier.
TEST(Win32Accounts, TrusteeThatCannotBeNamedGetsItsIdentifier) {
    static DWORD failure = 0;
    const auto failing = [](LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD, PSID_NAME_USE) -> BOOL {
        SetLastError(failure);
        return FALSE;
    };
    const Sid sid = *Sid::parse("S-1-5-21-7-8-9-1001");
    for (const DWORD code : {DWORD{ERROR_NONE_MAPPED}, DWORD{ERROR_TRUSTED_RELATIONSHIP_FAILURE},
                             DWORD{RPC_S_SERVER_UNAVAILABLE}, DWORD{ERROR_INSUFFICIENT_BUFFER}}) {
        failure = code;
        EXPECT_EQ(win32::trustee_name(sid, failing), "S-1-5-21-7-8-9-1001") << code;
    }
    const auto naming = [](LPCSTR, PSID, LPSTR name, LPDWORD, LPSTR domain, LPDWORD, PSID_NAME_USE) -> BOOL {
        std::strcpy(name, "bob");
        std::strcpy(domain, "CORP");
        return TRUE;
    };
    EXPECT_EQ(win32::trustee_name(sid, naming), "CORP\\bob");
}

// Names are cut to their buffers at character boundaries of the code page.
// In Shift-JIS 0x82 leads a two-byte character and may also be its second
// byte, so "\x82\x82" followed by "a" must not be cut to one byte.
TEST(Win32Text, PrefixNeverEndsInsideACharacter) {
    struct Case {
        UINT code_page;
        const char* text;
        std::size_t max_bytes;
        std::size_t kept;
    };
    const Case cases[] = {
        {932, "ab\x82\xA0" "c", 3, 2},  {932, "ab\x82\xA0" "c", 4, 4}, {932, "\x82\x82" "a", 2, 2},
        {932, "\x82\x82\x82\x82", 3, 2}, {932, "abc", 9, 3},           {1252, "ab\xC3\xA9", 3, 3},
        {CP_UTF8, "ab\xC3\xA9", 3, 2},     {CP_UTF8, "ab\xC3\xA9", 4, 4},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(win32::ansi_prefix_length(c.text, c.max_bytes, c.code_page), c.kept)
            << c.code_page << " " << c.text << " " << c.max_bytes;
    }
}

// An ACL's size is a 16-bit count: a list that would pass 64 KiB is refused,
// never written with a wrapped size.
TEST(Win32Dacl, AclBeyond64KiBIsRefused) {
    const Ace everyone{AceType::access_allowed, 0, 1, Sid::everyone(), {}};  // 20 bytes each
    for (const auto& [count, fits] : {std::pair{std::size_t{3276}, true}, std::pair{std::size_t{3277}, false}}) {
        const LocalBlock acl = win32::acl_from_entries(std::vector<Ace>(count, everyone));
        ASSERT_EQ(acl != nullptr, fits) << count;
        if (fits) {
            EXPECT_EQ(static_cast<PACL>(acl.get())->AclSize, 8 + 20 * count);
            EXPECT_EQ(static_cast<PACL>(acl.get())->AceCount, count);
        }
    }
}

TEST(Win32Accounts, LookupsAndNames) {
    SystemPlatform platform;
    const AccountLookup users = platform.lookup_account("Users");
    ASSERT_TRUE(users.sid);
    EXPECT_EQ(users.sid->text(), "S-1-5-32-545");
    EXPECT_EQ(platform.lookup_account("no-such-account-here").error, ERROR_NONE_MAPPED);
    const std::pair<const char*, const char*> names[] = {{"S-1-1-0", "Everyone"},
                                                         {"S-1-5-18", "NT AUTHORITY\\SYSTEM"},
                                                         {"S-1-5-21-1-2-3-1001", "S-1-5-21-1-2-3-1001"}};
    for (const auto& [sid, name] : names) {
        EXPECT_EQ(platform.account_name(*Sid::parse(sid)), name);
    }
}

}  // namespace
}  // namespace permwell::testing
