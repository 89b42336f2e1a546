// Reads a byte stream the way a text-mode C runtime stream on Windows does:
// CR LF becomes LF, a lone CR is kept, and the byte 0x1A ends the input.
// CGI bodies are counted after this translation.
#pragma once

#include <cstddef>
#include <functional>

namespace qg::posix {

class TextModeReader {
public:
    // `raw` reads up to `size` bytes into `buffer` and returns how many came;
    // 0 means the end of the input.
    using RawRead = std::function<std::size_t(char* buffer, std::size_t size)>;

    explicit TextModeReader(RawRead raw) : raw_(std::move(raw)) {}

    // Fills up to `size` translated bytes; returns how many, 0 at the end.
    std::size_t read(char* buffer, std::size_t size);

private:
    bool fill();  // refills the raw buffer; false at the end of the input

    RawRead raw_;
    char raw_buffer_[65536] = {};
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool ended_ = false;
};

}  // namespace qg::posix
