// Permwell's portable logic against the platform double, with random entry
// lists, trustee names and masks:
// - granting: every entry of another trustee name is kept in order, and the
//   account's new access-allowed entry is there once, last;
// - listing: one line per entry, the trustee name cut to fit the line buffer
//   (never inside a character) and the mask as a signed decimal;
// - group listing: whole lines only, within the caller's capacity.
// Output buffers are sized exactly, so AddressSanitizer sees any overrun.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "access_rights.h"
#include "fake_platform.h"
#include "fuzz_check.h"
#include "user_groups.h"
#include "utf8_rules.h"

namespace {

using permwell::Ace;
using permwell::AceType;
using permwell::DaclState;
using permwell::testing::FakePlatform;

// Bytes a name may take: an access line (name and tail) and a group name
// each fill a buffer of 256 bytes with its zero.
constexpr std::size_t buffer_room = 255;

// Takes one line from the front of `rest`: `name` cut to at most `room`
// bytes as the library cuts it, then `tail`. False when no such line is there.
bool take_line(std::string_view& rest, std::string_view name, std::size_t room, std::string_view tail) {
    const std::size_t longest = std::min(name.size(), room);
    for (std::size_t k = longest + 1; k-- > 0;) {
        if (rest.substr(0, k) != name.substr(0, k) || rest.substr(k, tail.size()) != tail) continue;
        if (k < name.size()) {
            // Cut: only where a character starts, and for valid text no more
            // than the one character that did not fit.
            if ((static_cast<unsigned char>(name[k]) & 0xC0) == 0x80) return false;
            if (name.size() <= room) return false;
            if (fuzz::valid_utf8(name) && k + fuzz::char_length(name, k) <= room) return false;
        }
        rest.remove_prefix(k + tail.size());
        return true;
    }
    return false;
}

std::string mask_tail(std::uint32_t mask) { return ";" + std::to_string(static_cast<std::int32_t>(mask)) + "\r\n"; }

void check_grant_and_listing(FuzzedDataProvider& input) {
    FakePlatform fake;
    // A few trustees; names of any bytes and length, and sometimes the same
    // name for two identifiers.
    std::vector<std::string> names(input.ConsumeIntegralInRange<std::size_t>(1, 6));
    for (std::size_t i = 0; i < names.size(); ++i) {
        names[i] = i > 0 && input.ConsumeBool() ? names[input.ConsumeIntegralInRange<std::size_t>(0, i - 1)]
                                                : input.ConsumeRandomLengthString(300);
        fake.trustees[permwell::testing::sid(static_cast<std::uint32_t>(i + 1)).text()] = names[i];
    }
    // Entries of those trustees, and of one without a name of its own.
    permwell::FileDacl dacl;
    dacl.state = input.PickValueInArray({DaclState::present, DaclState::present, DaclState::absent, DaclState::null});
    dacl.entries.resize(input.ConsumeIntegralInRange<std::size_t>(0, 40));
    for (Ace& ace : dacl.entries) {
        ace.type = input.ConsumeBool() ? AceType::access_allowed : AceType::access_denied;
        ace.flags = input.ConsumeIntegral<std::uint8_t>();
        ace.mask = input.ConsumeIntegral<std::uint32_t>();
        ace.sid = permwell::testing::sid(
            input.ConsumeIntegralInRange<std::uint32_t>(1, static_cast<std::uint32_t>(names.size() + 1)));
    }
    fake.files["f"] = dacl;

    // The account: one of the trustees, or a name of its own.
    const std::size_t pick = input.ConsumeIntegralInRange<std::size_t>(0, names.size());
    const std::string account =
        pick < names.size() ? std::string(names[pick].c_str()) : input.ConsumeRandomLengthString(300).c_str();
    const permwell::Sid account_sid =
        permwell::testing::sid(pick < names.size() ? static_cast<std::uint32_t>(pick + 1) : 99);
    fake.accounts[account] = account_sid;
    fake.user = account;
    const auto mask = input.ConsumeIntegral<std::uint32_t>();

    auto name_of = [&](const Ace& ace) { return *fake.account_name(ace.sid); };

    // Listing: everyone has full access without a DACL or with a null one.
    std::vector<Ace> listed = dacl.entries;
    if (dacl.state != DaclState::present)
        listed = {Ace{AceType::access_allowed, 0, 0x1F01FF, permwell::Sid::everyone(), {}}};
    std::size_t most = 1;
    for (const Ace& ace : listed) most += std::min(name_of(ace).size(), buffer_room) + mask_tail(ace.mask).size();
    std::vector<char> buffer(most);  // exactly what the longest listing needs
    std::int32_t length = -1;
    const int listed_ok = permwell::read_access_rights(fake, "f", buffer.data(), &length);
    FUZZ_CHECK(listed_ok == (account.size() < permwell::user_name_buffer_size ? 1 : 0));
    if (listed_ok == 1) {
        FUZZ_CHECK(length >= 0 && static_cast<std::size_t>(length) < buffer.size() && buffer[length] == '\0');
        std::string_view rest(buffer.data(), static_cast<std::size_t>(length));
        for (const Ace& ace : listed) {
            const std::string tail = mask_tail(ace.mask);
            FUZZ_CHECK(take_line(rest, name_of(ace), buffer_room - tail.size(), tail));
        }
        FUZZ_CHECK(rest.empty());
    } else {
        FUZZ_CHECK(length == -1);
    }

    // Granting: the account's entries (by exact name) go, the rest stay in
    // order, and the new entry comes last.
    FUZZ_CHECK(permwell::set_access_rights(fake, "f", account.c_str(), mask) == 1);
    FUZZ_CHECK(fake.writes.size() == 1);
    std::vector<Ace> expected;
    if (dacl.state == DaclState::present)
        for (const Ace& ace : dacl.entries)
            if (name_of(ace) != account) expected.push_back(ace);
    expected.push_back(Ace{AceType::access_allowed, 0, mask, account_sid, {}});
    FUZZ_CHECK(fake.writes[0].second == expected);
}

void check_groups(FuzzedDataProvider& input) {
    FakePlatform fake;
    fake.groups.status = input.PickValueInArray<std::int32_t>({0, 5, 234, 2221, 2351});
    fake.groups.names.resize(input.ConsumeIntegralInRange<std::size_t>(0, 20));
    for (auto& name : fake.groups.names) {
        const std::string bytes = input.ConsumeRandomLengthString(600);
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            const auto unit = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                                    static_cast<unsigned char>(bytes[i + 1]) << 8);
            name += unit == 0 ? u'x' : unit;  // group names hold no zero
        }
    }
    const std::string user = input.ConsumeRandomLengthString(300).c_str();
    const auto capacity = input.ConsumeIntegralInRange<std::uint32_t>(0, 3000);

    std::vector<char> buffer(std::max<std::uint32_t>(capacity, 1), '\x7F');
    std::uint32_t length = capacity;
    const int ok = permwell::get_user_groups(fake, user.c_str(), buffer.data(), &length);

    const auto wide = permwell::utf8_to_utf16(user);
    if (!wide || wide->size() >= permwell::wide_user_name_units || fake.groups.status == 2221 ||
        fake.groups.status == 2351) {
        FUZZ_CHECK(ok == 0 && length == capacity);
        for (const char c : buffer) FUZZ_CHECK(c == '\x7F');
        return;
    }
    if (capacity == 0) {
        FUZZ_CHECK(ok == 0 && buffer[0] == '\x7F');
        return;
    }
    const std::size_t text_size = std::strlen(buffer.data());
    FUZZ_CHECK(text_size < capacity);
    std::string_view rest(buffer.data(), text_size);
    std::size_t lines = 0;
    while (!rest.empty()) {
        FUZZ_CHECK(lines < fake.groups.names.size());
        FUZZ_CHECK(take_line(rest, permwell::utf16_to_utf8(fake.groups.names[lines]), buffer_room, "\r\n"));
        ++lines;
    }
    if (ok == 1) {
        FUZZ_CHECK(lines == fake.groups.names.size() && length == text_size);
    } else {
        // Stopped at the first line that, with the zero, would not fit.
        FUZZ_CHECK(lines < fake.groups.names.size());
        const std::string next = permwell::utf16_to_utf8(fake.groups.names[lines]);
        FUZZ_CHECK(text_size + permwell::utf8_prefix_length(next, buffer_room) + 2 >= capacity);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    if (input.ConsumeBool()) {
        check_grant_and_listing(input);
    } else {
        check_groups(input);
    }
    return 0;
}
