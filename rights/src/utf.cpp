#include "utf.h"

#include <cstdint>

namespace permwell {

namespace {

constexpr char32_t replacement = 0xFFFD;

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one code point at `pos`, advancing it; nullopt for an ill-formed
// sequence (overlong forms, surrogates and values past U+10FFFF included), in
// which case `pos` moves past the first byte only.
std::optional<char32_t> decode_one(std::string_view text, std::size_t& pos) {
    const auto lead = static_cast<unsigned char>(text[pos++]);
    if (lead < 0x80) {
        return lead;
    }
    std::size_t extra = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - pos < extra) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < extra; ++i) {
        const auto byte = static_cast<unsigned char>(text[pos + i]);
        if (!is_continuation(byte)) {
            return std::nullopt;
        }
        value = (value << 6) | (byte & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    pos += extra;
    return value;
}

void append_utf16(std::u16string& out, char32_t value) {
    if (value < 0x10000) {
        out += static_cast<char16_t>(value);
        return;
    }
    value -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (value >> 10));
    out += static_cast<char16_t>(0xDC00 + (value & 0x3FF));
}

void append_utf8(std::string& out, char32_t value) {
    if (value < 0x80) {
        out += static_cast<char>(value);
    } else if (value < 0x800) {
        out += static_cast<char>(0xC0 | (value >> 6));
        out += static_cast<char>(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        out += static_cast<char>(0xE0 | (value >> 12));
        out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (value & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (value >> 18));
        out += static_cast<char>(0x80 | ((value >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (value & 0x3F));
    }
}

}  // namespace

std::optional<std::u16string> utf8_to_utf16(std::string_view text) {
    std::u16string out;
    for (std::size_t pos = 0; pos < text.size();) {
        const auto value = decode_one(text, pos);
        if (!value) {
            return std::nullopt;
        }
        append_utf16(out, *value);
    }
    return out;
}

std::u16string utf8_to_utf16_lossy(std::string_view text) {
    std::u16string out;
    for (std::size_t pos = 0; pos < text.size();) {
        append_utf16(out, decode_one(text, pos).value_or(replacement));
    }
    return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        char32_t value = unit;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            value = 0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            value = replacement;
        }
        append_utf8(out, value);
    }
    return out;
}

std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes) {
    if (text.size() <= max_bytes) {
        return text.size();
    }
    std::size_t cut = max_bytes;
    // Back up to the start of the character that would be split.
    while (cut > 0 && is_continuation(static_cast<unsigned char>(text[cut]))) {
        --cut;
    }
    return cut;
}

}  // namespace permwell
