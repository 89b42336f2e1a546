// The POSIX mapping as data: ACL entries to the library's entries and back,
// the mask rules of a grant, the default-ACL step and the origin each entry
// carries. No file, no account database, no root.
#include <gtest/gtest.h>

#include <tuple>

#include "posix_acl_map.h"
#include "unix_mapping.h"

namespace permwell::posix {
namespace {

constexpr std::uint8_t r = perm_read, w = perm_write, x = perm_execute;
constexpr std::uint32_t owner = 1001, owning_group = 1100;

struct stat owned_file() {
    struct stat file {};
    file.st_uid = owner;
    file.st_gid = owning_group;
    return file;
}

using SlotView = std::tuple<acl_tag_t, std::uint32_t, std::uint8_t>;  // tag, qualifier, bits written

std::vector<SlotView> slots_of(const PosixAcl& acl) {
    std::vector<SlotView> slots;
    for (const Slot& slot : acl.slots) slots.emplace_back(slot.tag, slot.qualifier, slot.perms());
    return slots;
}

Ace granted(const Sid& sid, std::uint8_t perms) {
    return {AceType::access_allowed, 0, mask_from_perms(perms), sid, {}};
}

// The entries as the portable logic hands them to a write: the ones read,
// less the grantee's, then the grantee's new entry.
std::vector<Ace> after_grant(const std::vector<AclEntryView>& acl, const Ace& grant) {
    const auto read = aces_of(acl, owned_file());
    EXPECT_TRUE(read);
    std::vector<Ace> entries;
    for (const Ace& ace : read.value_or(std::vector<Ace>{})) {
        if (ace.sid != grant.sid) entries.push_back(ace);
    }
    entries.push_back(grant);
    return entries;
}

TEST(PosixAclMap, OriginRoundTripsAndRejectsForeignBytes) {
    for (const EntryOrigin& origin : {EntryOrigin{ACL_USER_OBJ, owner, r | w | x, std::nullopt},
                                      EntryOrigin{ACL_USER, 0xFEDCBA98, w, std::uint8_t{r}},
                                      EntryOrigin{ACL_GROUP_OBJ, 0, 0, std::uint8_t{0}},
                                      EntryOrigin{ACL_GROUP, 70000, r | x, std::uint8_t{r | w | x}},
                                      EntryOrigin{ACL_OTHER, 0, r, std::nullopt}}) {
        const std::vector<std::uint8_t> bytes = encode_origin(origin);
        ASSERT_EQ(bytes.size(), 8u);
        const auto back = decode_origin(bytes);
        ASSERT_TRUE(back) << origin.tag;
        EXPECT_EQ(std::tie(back->tag, back->qualifier, back->perms, back->mask),
                  std::tie(origin.tag, origin.qualifier, origin.perms, origin.mask));
    }
    const std::vector<std::uint8_t> good = encode_origin({ACL_USER, 7, r, std::uint8_t{r}});
    const std::pair<std::size_t, std::uint8_t> corruptions[] = {
        {0, 2}, {1, 0}, {1, 6}, {6, 8}, {7, 0x10}, {7, 0xFE}};  // version, tag code, bits, mask
    for (const auto& [at, value] : corruptions) {
        std::vector<std::uint8_t> bytes = good;
        bytes[at] = value;
        EXPECT_FALSE(decode_origin(bytes)) << at << "=" << int{value};
    }
    EXPECT_FALSE(decode_origin({good.begin(), good.end() - 1}));
    EXPECT_FALSE(decode_origin({}));
}

TEST(PosixAclMap, EntriesAreListedWithTheMaskApplied) {
    // user::rwx user:1002:rwx user:1001:rwx group::rw- group:1101:r-x mask::r-- other::--x
    const std::vector<AclEntryView> acl = {{ACL_USER_OBJ, 0, r | w | x}, {ACL_USER, 1002, r | w | x},
                                           {ACL_USER, owner, r | w | x}, {ACL_GROUP_OBJ, 0, r | w},
                                           {ACL_GROUP, 1101, r | x},     {ACL_MASK, 0, r},
                                           {ACL_OTHER, 0, x}};
    const auto listed = aces_of(acl, owned_file());
    ASSERT_TRUE(listed);
    const std::pair<Sid, std::uint8_t> expected[] = {
        {unix_user_sid(owner), r | w | x},  {unix_user_sid(1002), r},
        {unix_user_sid(owner), 0},  // a named entry for the owner never decides
        {unix_group_sid(owning_group), r}, {unix_group_sid(1101), r}, {Sid::everyone(), x}};
    ASSERT_EQ(listed->size(), std::size(expected));
    for (std::size_t i = 0; i < listed->size(); ++i) {
        const Ace& ace = (*listed)[i];
        EXPECT_EQ(ace.sid, expected[i].first) << i;
        EXPECT_EQ(ace.mask, mask_from_perms(expected[i].second)) << i;
        EXPECT_EQ(std::tie(ace.type, ace.flags), std::make_tuple(AceType::access_allowed, std::uint8_t{0})) << i;
    }
    // Written back unchanged, every entry keeps the bits the mask hid.
    const auto plan = plan_acl(*listed, owned_file());
    ASSERT_TRUE(plan);
    EXPECT_EQ(slots_of(*plan), (std::vector<SlotView>{{ACL_USER_OBJ, 0, r | w | x},
                                                     {ACL_GROUP_OBJ, 0, r | w},
                                                     {ACL_OTHER, 0, x},
                                                     {ACL_USER, 1002, r | w | x},
                                                     {ACL_USER, owner, r | w | x},
                                                     {ACL_GROUP, 1101, r | x}}));
    EXPECT_EQ(plan->mask, std::optional<std::uint8_t>(r));
    EXPECT_FALSE(plan->calc_mask);

    EXPECT_FALSE(aces_of({{ACL_USER_OBJ, 0, r}, {ACL_UNDEFINED_TAG, 0, r}}, owned_file()));
}

struct GrantCase {
    const char* name;
    std::vector<AclEntryView> acl;
    Ace grant;
    std::vector<SlotView> slots;
    std::optional<std::uint8_t> mask;
    bool calc_mask;
};

class PosixAclGrant : public ::testing::TestWithParam<GrantCase> {};

TEST_P(PosixAclGrant, PlansTheAcl) {
    const GrantCase& c = GetParam();
    const auto plan = plan_acl(after_grant(c.acl, c.grant), owned_file());
    ASSERT_TRUE(plan);
    EXPECT_EQ(slots_of(*plan), c.slots);
    EXPECT_EQ(plan->mask, c.mask);
    EXPECT_EQ(plan->calc_mask, c.calc_mask);
}

const std::vector<AclEntryView> minimal = {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, 0}};
const std::vector<AclEntryView> masked = {{ACL_USER_OBJ, 0, r | w | x}, {ACL_USER, 1002, r | w | x},
                                          {ACL_GROUP_OBJ, 0, r | x},     {ACL_MASK, 0, r},
                                          {ACL_OTHER, 0, 0}};

INSTANTIATE_TEST_SUITE_P(
    Cases, PosixAclGrant,
    ::testing::Values(
        GrantCase{"OwnerTakesTheOwnerEntry", minimal, granted(unix_user_sid(owner), r | w | x),
                  {{ACL_USER_OBJ, 0, r | w | x}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, 0}}, std::nullopt, false},
        GrantCase{"OwningGroupTakesTheGroupEntry", minimal, granted(unix_group_sid(owning_group), w),
                  {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, w}, {ACL_OTHER, 0, 0}}, std::nullopt, false},
        GrantCase{"EveryoneTakesTheOtherEntry", minimal, granted(Sid::everyone(), r),
                  {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, r}}, std::nullopt, false},
        // Without a mask read, the first named entry has libacl compute one.
        GrantCase{"NamedGroupWithoutMask", minimal, granted(unix_group_sid(1101), r | x),
                  {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, 0}, {ACL_GROUP, 1101, r | x}},
                  std::nullopt, true},
        // The mask gains w for the new entry; user 1002's w, hidden until now,
        // is dropped so that 1002 gains nothing.
        GrantCase{"MaskWidensWithoutWideningOthers", masked, granted(unix_user_sid(1003), w),
                  {{ACL_USER_OBJ, 0, r | w | x},
                   {ACL_GROUP_OBJ, 0, r | x},
                   {ACL_OTHER, 0, 0},
                   {ACL_USER, 1002, r | x},
                   {ACL_USER, 1003, w}},
                  std::uint8_t{r | w}, false},
        GrantCase{"MaskKeptWhenNothingNewIsNeeded", masked, granted(unix_user_sid(1003), r),
                  {{ACL_USER_OBJ, 0, r | w | x},
                   {ACL_GROUP_OBJ, 0, r | x},
                   {ACL_OTHER, 0, 0},
                   {ACL_USER, 1002, r | w | x},
                   {ACL_USER, 1003, r}},
                  std::uint8_t{r}, false},
        GrantCase{"RevokedNamedEntryStaysAtNothing", masked, granted(unix_user_sid(1002), 0),
                  {{ACL_USER_OBJ, 0, r | w | x}, {ACL_GROUP_OBJ, 0, r | x}, {ACL_OTHER, 0, 0}, {ACL_USER, 1002, 0}},
                  std::uint8_t{r}, false}),
    [](const auto& param) { return param.param.name; });

TEST(PosixAclMap, ListsPosixCannotHoldAreRefused) {
    const std::vector<Ace> base = after_grant(minimal, granted(unix_user_sid(1002), r));
    const auto with = [&](auto change) {
        std::vector<Ace> entries = base;
        change(entries);
        return plan_acl(entries, owned_file());
    };
    ASSERT_TRUE(with([](std::vector<Ace>&) {}));
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e.back().type = AceType::access_denied; }));
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e.back().flags = 0x3; }));
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e.back().sid = *Sid::parse("S-1-5-32-544"); }));
    // An origin that belongs to another account, or that is no origin.
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e[0].sid = unix_user_sid(1002); }));
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e[0].native.pop_back(); }));
    // The owner, owning-group and other entries are never left out.
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_FALSE(with([i](std::vector<Ace>& e) { e.erase(e.begin() + static_cast<std::ptrdiff_t>(i)); })) << i;
    }
}

TEST(PosixAclMap, GrantOnADirectoryDropsOnlyTheGranteesNamedDefaults) {
    const std::vector<AclEntryView> defaults = {{ACL_USER_OBJ, 0, r | w | x}, {ACL_USER, 1002, r | w},
                                                {ACL_GROUP_OBJ, 0, r},        {ACL_GROUP, 1101, r | w | x},
                                                {ACL_MASK, 0, r | w},         {ACL_OTHER, 0, 0}};
    const auto change = default_acl_after_grant(defaults, {granted(unix_group_sid(1101), r)}, owned_file());
    ASSERT_TRUE(change && *change);
    EXPECT_EQ(slots_of(**change), (std::vector<SlotView>{{ACL_USER_OBJ, 0, r | w | x},
                                                        {ACL_GROUP_OBJ, 0, r},
                                                        {ACL_OTHER, 0, 0},
                                                        {ACL_USER, 1002, r | w}}));
    EXPECT_EQ((*change)->mask, std::optional<std::uint8_t>(r | w));

    // No named default entry of the grantee (the owning group's is no named
    // one), an entry read from the file, or no default ACL: nothing to write.
    for (const auto& [acl, entry] : {std::pair{defaults, granted(unix_user_sid(1003), r)},
                                     std::pair{defaults, granted(unix_group_sid(owning_group), r)},
                                     std::pair{defaults, after_grant(defaults, granted(unix_user_sid(1003), r))[1]},
                                     std::pair{std::vector<AclEntryView>{}, granted(unix_user_sid(1002), r)}}) {
        const auto none = default_acl_after_grant(acl, {entry}, owned_file());
        ASSERT_TRUE(none);
        EXPECT_FALSE(*none);
    }
}

TEST(PosixAclMap, MinimalAclAsModeBits) {
    for (const mode_t mode : {0000, 0754, 0640, 0777, 0007}) {
        const std::vector<AclEntryView> acl = {{ACL_USER_OBJ, 0, static_cast<std::uint8_t>(mode >> 6)},
                                               {ACL_GROUP_OBJ, 0, static_cast<std::uint8_t>((mode >> 3) & 7)},
                                               {ACL_OTHER, 0, static_cast<std::uint8_t>(mode & 7)}};
        const auto plan = plan_acl(*aces_of(acl, owned_file()), owned_file());
        ASSERT_TRUE(plan && plan->minimal()) << std::oct << mode;
        EXPECT_EQ(mode_bits_of(*plan), mode) << std::oct << mode;
    }
}

}  // namespace
}  // namespace permwell::posix
