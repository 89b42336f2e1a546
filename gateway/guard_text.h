// Text formatting for the fault guards of both platforms. A guard writes from
// inside a signal handler or an exception filter, where nothing may allocate
// or take a lock, so these helpers only copy bytes into fixed buffers.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace qg::guard_text {

// Copies `text` into `target`, cut to fit, always terminated.
inline void copy_text(char* target, std::size_t capacity, std::string_view text) {
    const std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(target, text.data(), n);
    target[n] = '\0';
}

// Appends decimal digits, at least `width` of them, zero padded.
inline char* put_number(char* out, long value, int width) {
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    unsigned long v = negative ? 0ul - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n < width) digits[n++] = '0';
    if (negative) *out++ = '-';
    while (n > 0) *out++ = digits[--n];
    return out;
}

inline char* put_text(char* out, const char* text, std::size_t max) {
    for (std::size_t i = 0; i < max && text[i] != '\0'; ++i) *out++ = text[i];
    return out;
}

// Room for the longest error-log line.
inline constexpr std::size_t log_line_capacity = 700;

// Writes one error-log line into `line` (log_line_capacity bytes):
// "dd/mm/yyyy hh:mm  ", then the entry " message - code" cut to 500
// characters, then CR LF. Returns its length.
inline std::size_t format_log_line(char* line, int day, int month, int year, int hour, int minute, const char* message,
                                   long code) {
    char* out = line;
    out = put_number(out, day, 2);
    *out++ = '/';
    out = put_number(out, month, 2);
    *out++ = '/';
    out = put_number(out, year, 1);
    *out++ = ' ';
    out = put_number(out, hour, 2);
    *out++ = ':';
    out = put_number(out, minute, 2);
    *out++ = ' ';
    *out++ = ' ';
    char entry[600];
    char* e = entry;
    *e++ = ' ';
    e = put_text(e, message, 500);
    e = put_text(e, " - ", 3);
    e = put_number(e, code, 1);
    const std::size_t entry_size = static_cast<std::size_t>(e - entry);
    const std::size_t kept = entry_size < 500 ? entry_size : 500;
    std::memcpy(out, entry, kept);
    out += kept;
    *out++ = '\r';
    *out++ = '\n';
    return static_cast<std::size_t>(out - line);
}

}  // namespace qg::guard_text
