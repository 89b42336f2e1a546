// The POSIX mapping as data: ACL entries to the library's entries and back,
// the mask rules of a grant, the default-ACL step and the origin each entry
// carries. No file, no account database, no root.
#include <gtest/gtest.h>

#include <tuple>

#include "posix_acl_map.h"
#include "unix_mapping.h"

namespace permwell::posix {
namespace {

constexpr std::uint8_t r = kPermRead, w = kPermWrite, x = kPermExecute;
constexpr std::uint32_t owner = 1001, owningGroup = 1100;

struct stat ownedFile() {
    struct stat file {};
    file.st_uid = owner;
    file.st_gid = owningGroup;
    return file;
}

using SlotView = std::tuple<acl_tag_t, std::uint32_t, std::uint8_t>;  // tag, qualifier, bits written

std::vector<SlotView> slotsOf(const PosixAcl& acl) {
    std::vector<SlotView> slots;
    for (const Slot& slot : acl.slots) slots.emplace_back(slot.tag, slot.qualifier, slot.perms());
    return slots;
}

Ace granted(const Sid& sid, std::uint8_t perms) { return {AceType::AccessAllowed, 0, maskFromPerms(perms), sid, {}}; }

// The entries as the portable logic hands them to a write: the ones read,
// less the grantee's, then the grantee's new entry.
std::vector<Ace> afterGrant(const std::vector<AclEntryView>& acl, const Ace& grant) {
    const auto read = acesOf(acl, ownedFile());
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
        const std::vector<std::uint8_t> bytes = encodeOrigin(origin);
        ASSERT_EQ(bytes.size(), 8u);
        const auto back = decodeOrigin(bytes);
        ASSERT_TRUE(back) << origin.tag;
        EXPECT_EQ(std::tie(back->tag, back->qualifier, back->perms, back->mask),
                  std::tie(origin.tag, origin.qualifier, origin.perms, origin.mask));
    }
    const std::vector<std::uint8_t> good = encodeOrigin({ACL_USER, 7, r, std::uint8_t{r}});
    const std::pair<std::size_t, std::uint8_t> corruptions[] = {
        {0, 2}, {1, 0}, {1, 6}, {6, 8}, {7, 0x10}, {7, 0xFE}};  // version, tag code, bits, mask
    for (const auto& [at, value] : corruptions) {
        std::vector<std::uint8_t> bytes = good;
        bytes[at] = value;
        EXPECT_FALSE(decodeOrigin(bytes)) << at << "=" << int{value};
    }
    EXPECT_FALSE(decodeOrigin({good.begin(), good.end() - 1}));
    EXPECT_FALSE(decodeOrigin({}));
}

TEST(PosixAclMap, EntriesAreListedWithTheMaskApplied) {
    // user::rwx user:1002:rwx user:1001:rwx group::rw- group:1101:r-x mask::r-- other::--x
    const std::vector<AclEntryView> acl = {{ACL_USER_OBJ, 0, r | w | x}, {ACL_USER, 1002, r | w | x},
                                           {ACL_USER, owner, r | w | x}, {ACL_GROUP_OBJ, 0, r | w},
                                           {ACL_GROUP, 1101, r | x},     {ACL_MASK, 0, r},
                                           {ACL_OTHER, 0, x}};
    const auto listed = acesOf(acl, ownedFile());
    ASSERT_TRUE(listed);
    const std::pair<Sid, std::uint8_t> expected[] = {
        {unixUserSid(owner), r | w | x},  {unixUserSid(1002), r},
        {unixUserSid(owner), 0},  // a named entry for the owner never decides
        {unixGroupSid(owningGroup), r}, {unixGroupSid(1101), r}, {Sid::everyone(), x}};
    ASSERT_EQ(listed->size(), std::size(expected));
    for (std::size_t i = 0; i < listed->size(); ++i) {
        const Ace& ace = (*listed)[i];
        EXPECT_EQ(ace.sid, expected[i].first) << i;
        EXPECT_EQ(ace.mask, maskFromPerms(expected[i].second)) << i;
        EXPECT_EQ(std::tie(ace.type, ace.flags), std::make_tuple(AceType::AccessAllowed, std::uint8_t{0})) << i;
    }
    // Written back unchanged, every entry keeps the bits the mask hid.
    const auto plan = planAcl(*listed, ownedFile());
    ASSERT_TRUE(plan);
    EXPECT_EQ(slotsOf(*plan), (std::vector<SlotView>{{ACL_USER_OBJ, 0, r | w | x},
                                                     {ACL_GROUP_OBJ, 0, r | w},
                                                     {ACL_OTHER, 0, x},
                                                     {ACL_USER, 1002, r | w | x},
                                                     {ACL_USER, owner, r | w | x},
                                                     {ACL_GROUP, 1101, r | x}}));
    EXPECT_EQ(plan->mask, std::optional<std::uint8_t>(r));
    EXPECT_FALSE(plan->calcMask);

    EXPECT_FALSE(acesOf({{ACL_USER_OBJ, 0, r}, {ACL_UNDEFINED_TAG, 0, r}}, ownedFile()));
}

struct GrantCase {
    const char* name;
    std::vector<AclEntryView> acl;
    Ace grant;
    std::vector<SlotView> slots;
    std::optional<std::uint8_t> mask;
    bool calcMask;
};

class PosixAclGrant : public ::testing::TestWithParam<GrantCase> {};

TEST_P(PosixAclGrant, PlansTheAcl) {
    const GrantCase& c = GetParam();
    const auto plan = planAcl(afterGrant(c.acl, c.grant), ownedFile());
    ASSERT_TRUE(plan);
    EXPECT_EQ(slotsOf(*plan), c.slots);
    EXPECT_EQ(plan->mask, c.mask);
    EXPECT_EQ(plan->calcMask, c.calcMask);
}

const std::vector<AclEntryView> minimal = {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, 0}};
const std::vector<AclEntryView> masked = {{ACL_USER_OBJ, 0, r | w | x}, {ACL_USER, 1002, r | w | x},
                                          {ACL_GROUP_OBJ, 0, r | x},     {ACL_MASK, 0, r},
                                          {ACL_OTHER, 0, 0}};

INSTANTIATE_TEST_SUITE_P(
    Cases, PosixAclGrant,
    ::testing::Values(
        GrantCase{"OwnerTakesTheOwnerEntry", minimal, granted(unixUserSid(owner), r | w | x),
                  {{ACL_USER_OBJ, 0, r | w | x}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, 0}}, std::nullopt, false},
        GrantCase{"OwningGroupTakesTheGroupEntry", minimal, granted(unixGroupSid(owningGroup), w),
                  {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, w}, {ACL_OTHER, 0, 0}}, std::nullopt, false},
        GrantCase{"EveryoneTakesTheOtherEntry", minimal, granted(Sid::everyone(), r),
                  {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, r}}, std::nullopt, false},
        // Without a mask read, the first named entry has libacl compute one.
        GrantCase{"NamedGroupWithoutMask", minimal, granted(unixGroupSid(1101), r | x),
                  {{ACL_USER_OBJ, 0, r | w}, {ACL_GROUP_OBJ, 0, r}, {ACL_OTHER, 0, 0}, {ACL_GROUP, 1101, r | x}},
                  std::nullopt, true},
        // The mask gains w for the new entry; user 1002's w, hidden until now,
        // is dropped so that 1002 gains nothing.
        GrantCase{"MaskWidensWithoutWideningOthers", masked, granted(unixUserSid(1003), w),
                  {{ACL_USER_OBJ, 0, r | w | x},
                   {ACL_GROUP_OBJ, 0, r | x},
                   {ACL_OTHER, 0, 0},
                   {ACL_USER, 1002, r | x},
                   {ACL_USER, 1003, w}},
                  std::uint8_t{r | w}, false},
        GrantCase{"MaskKeptWhenNothingNewIsNeeded", masked, granted(unixUserSid(1003), r),
                  {{ACL_USER_OBJ, 0, r | w | x},
                   {ACL_GROUP_OBJ, 0, r | x},
                   {ACL_OTHER, 0, 0},
                   {ACL_USER, 1002, r | w | x},
                   {ACL_USER, 1003, r}},
                  std::uint8_t{r}, false},
        GrantCase{"RevokedNamedEntryStaysAtNothing", masked, granted(unixUserSid(1002), 0),
                  {{ACL_USER_OBJ, 0, r | w | x}, {ACL_GROUP_OBJ, 0, r | x}, {ACL_OTHER, 0, 0}, {ACL_USER, 1002, 0}},
                  std::uint8_t{r}, false}),
    [](const auto& param) { return param.param.name; });

TEST(PosixAclMap, ListsPosixCannotHoldAreRefused) {
    const std::vector<Ace> base = afterGrant(minimal, granted(unixUserSid(1002), r));
    const auto with = [&](auto change) {
        std::vector<Ace> entries = base;
        change(entries);
        return planAcl(entries, ownedFile());
    };
    ASSERT_TRUE(with([](std::vector<Ace>&) {}));
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e.back().type = AceType::AccessDenied; }));
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e.back().flags = 0x3; }));
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e.back().sid = *Sid::parse("S-1-5-32-544"); }));
    // An origin that belongs to another account, or that is no origin.
    EXPECT_FALSE(with([](std::vector<Ace>& e) { e[0].sid = unixUserSid(1002); }));
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
    const auto change = defaultAclAfterGrant(defaults, {granted(unixGroupSid(1101), r)}, ownedFile());
    ASSERT_TRUE(change && *change);
    EXPECT_EQ(slotsOf(**change), (std::vector<SlotView>{{ACL_USER_OBJ, 0, r | w | x},
                                                        {ACL_GROUP_OBJ, 0, r},
                                                        {ACL_OTHER, 0, 0},
                                                        {ACL_USER, 1002, r | w}}));
    EXPECT_EQ((*change)->mask, std::optional<std::uint8_t>(r | w));

    // No named default entry of the grantee (the owning group's is no named
    // one), an entry read from the file, or no default ACL: nothing to write.
    for (const auto& [acl, entry] :
         {std::pair{defaults, granted(unixUserSid(1003), r)}, std::pair{defaults, granted(unixGroupSid(owningGroup), r)},
          std::pair{defaults, afterGrant(defaults, granted(unixUserSid(1003), r))[1]},
          std::pair{std::vector<AclEntryView>{}, granted(unixUserSid(1002), r)}}) {
        const auto none = defaultAclAfterGrant(acl, {entry}, ownedFile());
        ASSERT_TRUE(none);
        EXPECT_FALSE(*none);
    }
}

TEST(PosixAclMap, MinimalAclAsModeBits) {
    for (const mode_t mode : {0000, 0754, 0640, 0777, 0007}) {
        const std::vector<AclEntryView> acl = {{ACL_USER_OBJ, 0, static_cast<std::uint8_t>(mode >> 6)},
                                               {ACL_GROUP_OBJ, 0, static_cast<std::uint8_t>((mode >> 3) & 7)},
                                               {ACL_OTHER, 0, static_cast<std::uint8_t>(mode & 7)}};
        const auto plan = planAcl(*acesOf(acl, ownedFile()), ownedFile());
        ASSERT_TRUE(plan && plan->minimal()) << std::oct << mode;
        EXPECT_EQ(modeBitsOf(*plan), mode) << std::oct << mode;
    }
}

}  // namespace
}  // namespace permwell::posix
