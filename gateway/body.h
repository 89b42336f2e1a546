// The form body of a request, read from standard input into one block that
// grows with what actually arrives and is never copied afterwards: the
// request file is written from it directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

#include "platform.h"

namespace qg {

class Body {
public:
    Body() = default;

    // Reads up to `wanted` bytes from `read`, stopping early at the end of the
    // input. Memory follows the bytes that arrive, never a claimed length;
    // std::bad_alloc when it runs out, rather than a body cut short.
    static Body read(std::uint64_t wanted, const platform::TextReader& read);

    std::string_view bytes() const { return {data_.get(), size_}; }

private:
    // Grows the block to at least `needed` bytes; false when memory is short.
    bool reserve(std::size_t needed, std::uint64_t wanted);

    // realloc, not new[]: large blocks are moved by remapping their pages
    // rather than copied, so growing never holds two copies of the body.
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace qg
