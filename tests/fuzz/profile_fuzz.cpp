// The settings reader and writer: reading never fails on any bytes, and
// writing a key then reading it back gives the value written, with every
// other line of the file kept.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "posix/profile.h"

namespace {

constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

// Lines as a reader sees them: a leading byte-order mark skipped, split at
// LF, one CR before it dropped.
std::vector<std::string_view> lines_of(std::string_view content) {
    std::vector<std::string_view> lines;
    if (content.starts_with(byte_order_mark)) content.remove_prefix(byte_order_mark.size());
    while (!content.empty()) {
        const auto nl = content.find('\n');
        std::string_view line = content.substr(0, nl);
        content = nl == std::string_view::npos ? std::string_view{} : content.substr(nl + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines.push_back(line);
    }
    return lines;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Names and values the gateway can write: a name of printable characters
// that cannot start a comment or section or end early; a value on one line,
// without blanks at its ends or one pair of quotes around it.
bool writable_name(std::string_view name) {
    if (name.empty() || name.front() == ';' || name.front() == '[') return false;
    if (is_blank(name.front()) || is_blank(name.back())) return false;
    for (const char c : name)
        if (c < 0x20 || c > 0x7E || c == '=' || c == ']') return false;
    return true;
}

bool writable_value(std::string_view value) {
    if (value.find_first_of("\r\n") != std::string_view::npos) return false;
    if (!value.empty() && (is_blank(value.front()) || is_blank(value.back()))) return false;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        return false;
    return true;
}

// `after` is `before` with the line `entry` put in place of one line, or
// inserted once, or appended with its section header.
bool only_entry_changed(const std::vector<std::string_view>& before, const std::vector<std::string_view>& after,
                        std::string_view entry, std::string_view header) {
    if (after.size() == before.size()) {
        std::size_t changed = 0;
        for (std::size_t i = 0; i < before.size(); ++i)
            if (before[i] != after[i] && (++changed > 1 || after[i] != entry)) return false;
        return true;
    }
    if (after.size() == before.size() + 1) {
        std::size_t i = 0;
        while (i < before.size() && before[i] == after[i]) ++i;
        if (after[i] != entry) return false;
        for (; i < before.size(); ++i)
            if (before[i] != after[i + 1]) return false;
        return true;
    }
    if (after.size() == before.size() + 2) {
        for (std::size_t i = 0; i < before.size(); ++i)
            if (before[i] != after[i]) return false;
        return after[before.size()] == header && after[before.size() + 1] == entry;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string keys[] = {"Timeout", "PollTime", "Path", "Template"};
    FuzzedDataProvider input(data, size);
    const std::string section = input.ConsumeBool() ? "zrcgi" : input.ConsumeRandomLengthString(16);
    const std::string key =
        input.ConsumeBool() ? keys[input.ConsumeIntegralInRange(0, 3)] : input.ConsumeRandomLengthString(16);
    const std::string value = input.ConsumeRandomLengthString(64);
    const std::string content = input.ConsumeRemainingBytesAsString();

    // Reading: any bytes at all.
    const auto old_value = qg::posix::profile_lookup(content, section, key);
    if (old_value) (void)qg::posix::profile_parse_int(*old_value, 150);
    (void)qg::posix::profile_parse_int(value, 0);

    if (!writable_name(section) || !writable_name(key) || !writable_value(value)) return 0;
    const std::string written = qg::posix::profile_assign(content, section, key, value);
    const auto read_back = qg::posix::profile_lookup(written, section, key);
    FUZZ_CHECK(read_back && *read_back == value);
    FUZZ_CHECK(only_entry_changed(lines_of(content), lines_of(written), key + "=" + value, "[" + section + "]"));
    // Every line of what was written ends with CR LF; a byte-order mark stays.
    FUZZ_CHECK(written.ends_with("\r\n"));
    FUZZ_CHECK(written.starts_with(byte_order_mark) == content.starts_with(byte_order_mark));
    return 0;
}
