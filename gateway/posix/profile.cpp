#include "posix/profile.h"

#include <limits>
#include <vector>

#include "ascii.h"

namespace qg::posix {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// One line of a profile, classified.
struct Line {
    enum class Kind { other, section, entry } kind = Kind::other;
    std::string_view text;   // the line without its line end
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // entry value, trimmed
};

Line classify(std::string_view text) {
    Line line;
    line.text = text;
    const std::string_view t = trim(text);
    if (t.empty() || t.front() == ';') return line;
    if (t.front() == '[') {
        const auto close = t.find(']');
        if (close != std::string_view::npos) {
            line.kind = Line::Kind::section;
            line.name = trim(t.substr(1, close - 1));
        }
        return line;
    }
    const auto eq = t.find('=');
    if (eq == std::string_view::npos) return line;
    line.kind = Line::Kind::entry;
    line.name = trim(t.substr(0, eq));
    line.value = trim(t.substr(eq + 1));
    return line;
}

// Windows editors often save a settings file in UTF-8 with a byte-order mark;
// it belongs to no line, so it must not hide the first section.
constexpr std::string_view byte_order_mark = "\xEF\xBB\xBF";

std::vector<Line> split_lines(std::string_view content) {
    std::vector<Line> lines;
    if (content.starts_with(byte_order_mark)) content.remove_prefix(byte_order_mark.size());
    while (!content.empty()) {
        const auto nl = content.find('\n');
        std::string_view text = content.substr(0, nl);
        content = nl == std::string_view::npos ? std::string_view{} : content.substr(nl + 1);
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
        lines.push_back(classify(text));
    }
    return lines;
}

std::string_view unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

}  // namespace

std::optional<std::string> profile_lookup(std::string_view content, std::string_view section, std::string_view key) {
    bool inside = false;
    for (const Line& line : split_lines(content)) {
        if (line.kind == Line::Kind::section) {
            inside = ascii::equal_any_case(line.name, section);
        } else if (inside && line.kind == Line::Kind::entry && ascii::equal_any_case(line.name, key)) {
            return std::string(unquote(line.value));
        }
    }
    return std::nullopt;
}

std::string profile_assign(std::string_view content, std::string_view section, std::string_view key,
                           std::string_view value) {
    const std::vector<Line> lines = split_lines(content);
    const std::string entry = std::string(key) + "=" + std::string(value);

    // Locate the section, the key inside it, and the last non-blank line of it.
    std::size_t section_at = lines.size();
    std::size_t key_at = lines.size();
    std::size_t last_in_section = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].kind == Line::Kind::section) {
            if (section_at != lines.size()) break;  // the section has ended
            if (ascii::equal_any_case(lines[i].name, section)) section_at = last_in_section = i;
            continue;
        }
        if (section_at == lines.size()) continue;
        if (!trim(lines[i].text).empty()) last_in_section = i;
        if (lines[i].kind == Line::Kind::entry && ascii::equal_any_case(lines[i].name, key)) {
            key_at = i;
            break;
        }
    }

    std::string out;
    out.reserve(content.size() + entry.size() + section.size() + 8);
    if (content.starts_with(byte_order_mark)) out += byte_order_mark;  // kept as the file had it
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i == key_at) {
            out += entry;
            out += "\r\n";
            continue;
        }
        out += lines[i].text;
        out += "\r\n";
        if (key_at == lines.size() && i == last_in_section) {
            out += entry;
            out += "\r\n";
        }
    }
    if (section_at == lines.size()) {
        out += "[";
        out += section;
        out += "]\r\n";
        out += entry;
        out += "\r\n";
    }
    return out;
}

std::int64_t profile_parse_int(std::string_view value, std::int64_t fallback) {
    value = trim(value);
    if (value.empty()) return fallback;
    bool negative = false;
    if (value.front() == '+' || value.front() == '-') {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    constexpr std::int64_t max = std::numeric_limits<std::int64_t>::max();
    std::int64_t result = 0;
    for (char c : value) {
        if (c < '0' || c > '9') break;
        const int digit = c - '0';
        if (result > (max - digit) / 10) {
            result = max;
            break;
        }
        result = result * 10 + digit;
    }
    return negative ? -result : result;
}

}  // namespace qg::posix
