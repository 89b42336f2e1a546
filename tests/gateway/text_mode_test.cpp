#include "posix/text_mode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace qg::posix {
namespace {

// Reads everything through a reader whose raw source hands out `raw_piece`
// bytes at a time, asking for `piece` translated bytes per call.
std::string read_all(const std::string& raw, std::size_t raw_piece, std::size_t piece) {
    std::size_t offset = 0;
    TextModeReader reader([&](char* buffer, std::size_t size) {
        const std::size_t n = std::min({size, raw_piece, raw.size() - offset});
        std::memcpy(buffer, raw.data() + offset, n);
        offset += n;
        return n;
    });
    std::string out;
    std::vector<char> buffer(piece);
    while (const std::size_t n = reader.read(buffer.data(), buffer.size())) out.append(buffer.data(), n);
    return out;
}

TEST(TextModeReader, Translates) {
    struct Case {
        std::string raw, text;
    };
    const std::vector<Case> cases = {
        {"a=1&b=2", "a=1&b=2"},
        {"a\r\nb\r\n", "a\nb\n"},
        {"a\rb", "a\rb"},
        {"a\r", "a\r"},
        {"\r\r\n", "\r\n"},
        {"\n\r", "\n\r"},
        {"ab\x1A" "cd", "ab"},
        {"ab\r\x1A\r\n", "ab\r"},
        {"\x1A", ""},
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    // Small raw pieces put a CR at the end of a raw read, where the reader has
    // to look ahead across the boundary.
    for (const std::size_t raw_piece : {1u, 2u, 4096u}) {
        for (const std::size_t piece : {1u, 3u, 100u}) {
            for (const auto& c : cases)
                EXPECT_EQ(read_all(c.raw, raw_piece, piece), c.text) << "raw piece " << raw_piece << " piece " << piece;
        }
    }
}

TEST(TextModeReader, StaysEndedAfterCtrlZ) {
    std::string raw = "x\x1Ay";
    std::size_t offset = 0;
    TextModeReader reader([&](char* buffer, std::size_t size) {
        const std::size_t n = std::min(size, raw.size() - offset);
        std::memcpy(buffer, raw.data() + offset, n);
        offset += n;
        return n;
    });
    char buffer[8];
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 1u);
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(reader.read(buffer, sizeof buffer), 0u);
}

}  // namespace
}  // namespace qg::posix
