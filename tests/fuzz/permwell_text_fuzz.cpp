// Permwell's text conversions and identifier parsing: UTF-8 to UTF-16 and
// back round-trips valid text and rejects invalid text (judged by an
// independent reading of the UTF-8 rules), UTF-16 of any units gives valid
// UTF-8, name cutting never splits a character, and a parsed SID prints as
// text that parses to the same SID.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "sid.h"
#include "utf.h"
#include "utf8_rules.h"

namespace {

bool has_lone_surrogate(std::u16string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            ++i;
        } else if (s[i] >= 0xD800 && s[i] <= 0xDFFF) {
            return true;
        }
    }
    return false;
}

void check_utf8(const std::string& text, std::size_t cut_at) {
    const auto wide = permwell::utf8_to_utf16(text);
    const bool valid = fuzz::valid_utf8(text);
    FUZZ_CHECK(wide.has_value() == valid);
    const std::u16string lossy = permwell::utf8_to_utf16_lossy(text);
    FUZZ_CHECK(fuzz::valid_utf8(permwell::utf16_to_utf8(lossy)));
    if (valid) {
        FUZZ_CHECK(permwell::utf16_to_utf8(*wide) == text);
        FUZZ_CHECK(lossy == *wide);
    }

    // Cutting to at most `cut_at` bytes: within the limit, and for valid text
    // a whole number of characters, leaving off at most one.
    const std::size_t kept = permwell::utf8_prefix_length(text, cut_at);
    FUZZ_CHECK(kept <= text.size() && kept <= cut_at);
    if (text.size() <= cut_at) FUZZ_CHECK(kept == text.size());
    if (valid && kept < text.size()) {
        FUZZ_CHECK(fuzz::valid_utf8(std::string_view(text).substr(0, kept)));
        FUZZ_CHECK(kept + fuzz::char_length(text, kept) > cut_at);
    }
}

void check_utf16(std::u16string_view units) {
    const std::string narrow = permwell::utf16_to_utf8(units);
    FUZZ_CHECK(fuzz::valid_utf8(narrow));
    const auto back = permwell::utf8_to_utf16(narrow);
    FUZZ_CHECK(back.has_value());
    if (!has_lone_surrogate(units)) FUZZ_CHECK(*back == units);
}

void check_sid(std::string_view text) {
    const auto sid = permwell::Sid::parse(text);
    if (!sid) return;
    FUZZ_CHECK(sid->authority < (std::uint64_t{1} << 48));
    FUZZ_CHECK(sid->sub_authorities.size() <= 15);
    const std::string printed = sid->text();
    FUZZ_CHECK(permwell::Sid::parse(printed) == sid);
    FUZZ_CHECK(sid->byte_length() == 8 + 4 * sid->sub_authorities.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t cut_at = input.ConsumeIntegralInRange<std::size_t>(0, 300);
    const std::string text = input.ConsumeRemainingBytesAsString();

    check_utf8(text, cut_at);
    std::u16string units;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        units +=
            static_cast<char16_t>(static_cast<unsigned char>(text[i]) | static_cast<unsigned char>(text[i + 1]) << 8);
    check_utf16(units);
    check_sid(text);
    return 0;
}
