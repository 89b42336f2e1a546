// The text-mode reader fed in pieces of random sizes, and read in requests of
// random sizes, gives the same bytes as fed whole, and both match the plain
// rule: CR LF becomes LF, a lone CR stays, 0x1A ends the input. The body
// read from such input holds exactly the first bytes of it up to the length
// wanted.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "body.h"
#include "fuzz_check.h"
#include "posix/text_mode.h"

namespace {

std::string translated(std::string_view raw) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x1A') break;
        if (raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') continue;
        out += raw[i];
    }
    return out;
}

// Reads everything `reader` gives, asking for `sizes[i]` bytes in turn
// (cycling), and checks that the end, once reached, stays the end.
std::string drain(qg::posix::TextModeReader& reader, const std::vector<std::size_t>& sizes) {
    std::string out;
    std::vector<char> buffer(70000);
    for (std::size_t i = 0;; ++i) {
        const std::size_t want = sizes[i % sizes.size()];
        const std::size_t got = reader.read(buffer.data(), want);
        FUZZ_CHECK(got <= want);
        if (got == 0) break;
        out.append(buffer.data(), got);
    }
    FUZZ_CHECK(reader.read(buffer.data(), 16) == 0);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::size_t> piece_sizes(input.ConsumeIntegralInRange<std::size_t>(1, 16));
    for (auto& s : piece_sizes) s = input.ConsumeIntegralInRange<std::size_t>(1, 5000);
    std::vector<std::size_t> read_sizes(input.ConsumeIntegralInRange<std::size_t>(1, 16));
    for (auto& s : read_sizes) s = input.ConsumeIntegralInRange<std::size_t>(1, 70000);
    const auto wanted = input.ConsumeIntegralInRange<std::uint64_t>(0, 0x7FFFFFFF);
    const std::string raw = input.ConsumeRemainingBytesAsString();

    // The whole stream offered at once (as much as each raw read asks for).
    std::size_t whole_pos = 0;
    qg::posix::TextModeReader whole([&](char* buffer, std::size_t want) {
        const std::size_t n = std::min(want, raw.size() - whole_pos);
        std::copy_n(raw.data() + whole_pos, n, buffer);
        whole_pos += n;
        return n;
    });

    // The same stream arriving in pieces, as from a pipe.
    std::size_t piece_pos = 0;
    std::size_t piece = 0;
    qg::posix::TextModeReader pieces([&](char* buffer, std::size_t want) {
        const std::size_t n = std::min({want, raw.size() - piece_pos, piece_sizes[piece++ % piece_sizes.size()]});
        std::copy_n(raw.data() + piece_pos, n, buffer);
        piece_pos += n;
        return n;
    });

    const std::string expected = translated(raw);
    FUZZ_CHECK(drain(whole, {70000}) == expected);
    FUZZ_CHECK(drain(pieces, read_sizes) == expected);

    // The body, from the same input arriving in pieces: memory follows what
    // arrives, however large the length claimed.
    piece_pos = piece = 0;
    qg::posix::TextModeReader stdin_like([&](char* buffer, std::size_t want) {
        const std::size_t n = std::min({want, raw.size() - piece_pos, piece_sizes[piece++ % piece_sizes.size()]});
        std::copy_n(raw.data() + piece_pos, n, buffer);
        piece_pos += n;
        return n;
    });
    const qg::Body body = qg::Body::read(wanted, [&](char* buffer, std::size_t size) {
        FUZZ_CHECK(size > 0);
        return stdin_like.read(buffer, size);
    });
    FUZZ_CHECK(body.bytes() == std::string_view(expected).substr(0, wanted));
    return 0;
}
