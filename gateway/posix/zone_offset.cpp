#include "posix/zone_offset.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "guard_text.h"
#include "posix/io.h"
#include "posix/tz_rule.h"

namespace qg::posix {
namespace {

std::uint32_t be32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

std::int64_t be64(const unsigned char* p) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(be32(p)) << 32 | be32(p + 4));
}

constexpr std::size_t header_size = 44;

struct Counts {
    std::size_t isut, isstd, leap, time, type, chars;
};

bool read_header(const unsigned char* data, std::size_t size, Counts& c) {
    if (size < header_size || data[0] != 'T' || data[1] != 'Z' || data[2] != 'i' || data[3] != 'f') return false;
    const unsigned char* n = data + 20;
    c = {be32(n), be32(n + 4), be32(n + 8), be32(n + 12), be32(n + 16), be32(n + 20)};
    // Counts beyond any real file would only overflow the size sums below.
    constexpr std::size_t limit = 1u << 20;
    return c.isut < limit && c.isstd < limit && c.leap < limit && c.time < limit && c.type >= 1 && c.type <= 256 &&
           c.chars < limit;
}

// Bytes of a data block whose times take `time_size` bytes.
std::size_t block_size(const Counts& c, std::size_t time_size) {
    return c.time * time_size + c.time + c.type * 6 + c.chars + c.leap * (time_size + 4) + c.isstd + c.isut;
}

}  // namespace

bool tzif_utc_offset(const unsigned char* data, std::size_t size, std::int64_t utc, long& offset) {
    Counts c{};
    if (!read_header(data, size, c)) return false;
    std::size_t time_size = 4;
    const unsigned char* block = data + header_size;
    if (data[4] >= '2') {
        // Version 2 and later repeat the data with 64-bit times after the
        // 32-bit block; only that second block covers every moment.
        const std::size_t skip = header_size + block_size(c, 4);
        if (skip > size || !read_header(data + skip, size - skip, c)) return false;
        time_size = 8;
        block = data + skip + header_size;
    }
    if (block_size(c, time_size) > size - static_cast<std::size_t>(block - data)) return false;

    const unsigned char* times = block;
    const unsigned char* indices = times + c.time * time_size;
    const unsigned char* types = indices + c.time;
    std::size_t type = 0;
    // Transitions are in ascending order: find the last one at or before utc.
    std::size_t low = 0, high = c.time;
    while (low < high) {
        const std::size_t mid = low + (high - low) / 2;
        const unsigned char* t = times + mid * time_size;
        const std::int64_t at = time_size == 8 ? be64(t) : static_cast<std::int32_t>(be32(t));
        if (at <= utc)
            low = mid + 1;
        else
            high = mid;
    }
    // After the last transition the footer's rule, when there is one, says
    // what comes next (summer time beyond the listed years, or a zone that
    // lists none at all).
    if (time_size == 8 && low == c.time) {
        const unsigned char* footer = block + block_size(c, time_size);
        const std::size_t left = size - static_cast<std::size_t>(footer - data);
        if (left >= 2 && footer[0] == '\n') {
            std::size_t end = 1;
            while (end < left && footer[end] != '\n') ++end;
            if (end < left && end > 1 &&
                tz_rule_offset(reinterpret_cast<const char*>(footer + 1), end - 1, utc, offset))
                return true;
        }
    }
    if (low > 0) type = indices[low - 1];
    if (type >= c.type) return false;
    offset = static_cast<std::int32_t>(be32(types + type * 6));
    return true;
}

long local_utc_offset(std::int64_t utc, unsigned char* buffer, std::size_t capacity) {
    char path[1024];
    const char* tz = ::getenv("TZ");
    if (tz == nullptr) {
        guard_text::copy_text(path, sizeof path, "/etc/localtime");
    } else {
        if (*tz == ':') ++tz;
        if (*tz == '\0') return 0;
        if (*tz == '/') {
            guard_text::copy_text(path, sizeof path, tz);
        } else {
            const char* dir = ::getenv("TZDIR");
            if (dir == nullptr || *dir == '\0') dir = "/usr/share/zoneinfo";
            char* out = guard_text::put_text(path, dir, 500);
            *out++ = '/';
            out = guard_text::put_text(out, tz, 500);
            *out = '\0';
        }
    }
    std::size_t size = 0;
    {
        Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
        while (fd.valid() && size < capacity) {
            const ssize_t n = ::read(fd.get(), buffer + size, capacity - size);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            size += static_cast<std::size_t>(n);
        }
    }
    long offset = 0;
    if (tzif_utc_offset(buffer, size, utc, offset)) return offset;
    // No zone file by that name: the value itself may be a rule ("JST-9").
    if (tz != nullptr && *tz != '/') {
        std::size_t length = 0;
        while (tz[length] != '\0') ++length;
        if (tz_rule_offset(tz, length, utc, offset)) return offset;
    }
    return 0;
}

}  // namespace qg::posix
