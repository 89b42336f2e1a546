#include "body.h"

#include <algorithm>
#include <new>

namespace qg {
namespace {

constexpr std::size_t first_block = 65536;
// Largest piece handed to the reader at once.
constexpr std::size_t read_piece = 1 << 20;

}  // namespace

bool Body::reserve(std::size_t needed, std::uint64_t wanted) {
    if (needed <= capacity_) return true;
    // Double, but never beyond the length the request claims.
    std::size_t grown = std::max({needed, first_block, capacity_ * 2});
    grown = static_cast<std::size_t>(std::min<std::uint64_t>(grown, wanted));
    grown = std::max(grown, needed);
    void* moved = std::realloc(data_.get(), grown);
    if (moved == nullptr) return false;
    data_.release();
    data_.reset(static_cast<char*>(moved));
    capacity_ = grown;
    return true;
}

Body Body::read(std::uint64_t wanted, const platform::TextReader& read) {
    Body body;
    while (body.size_ < wanted) {
        const auto remaining = static_cast<std::size_t>(std::min<std::uint64_t>(wanted - body.size_, read_piece));
        // Short of memory, the run fails: a body cut where memory ran out
        // would reach the application as if the browser had sent no more.
        if (body.capacity_ == body.size_ && !body.reserve(body.size_ + std::min(remaining, first_block), wanted))
            throw std::bad_alloc();
        const std::size_t piece = std::min(remaining, body.capacity_ - body.size_);
        const std::size_t got = read(body.data_.get() + body.size_, piece);
        if (got == 0) break;
        body.size_ += got;
    }
    return body;
}

}  // namespace qg
