#include "posix/text_mode.h"

namespace qg::posix {

bool TextModeReader::fill() {
    if (ended_) return false;
    if (pos_ < len_) return true;
    pos_ = 0;
    len_ = raw_(raw_buffer_, sizeof raw_buffer_);
    if (len_ == 0) ended_ = true;
    return len_ != 0;
}

std::size_t TextModeReader::read(char* buffer, std::size_t size) {
    std::size_t out = 0;
    while (out < size && fill()) {
        const char c = raw_buffer_[pos_];
        if (c == '\x1A') {
            ended_ = true;
            break;
        }
        ++pos_;
        if (c == '\r') {
            // A CR is dropped only when an LF follows it; look ahead, refilling
            // the raw buffer if the CR was its last byte.
            if (fill() && raw_buffer_[pos_] == '\n') continue;
        }
        buffer[out++] = c;
    }
    return out;
}

}  // namespace qg::posix
