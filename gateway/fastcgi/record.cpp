#include "fastcgi/record.h"

namespace qg::fastcgi {
namespace {

std::uint16_t be16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>((static_cast<unsigned char>(b[at]) << 8) | static_cast<unsigned char>(b[at + 1]));
}

void put_header(std::string& out, Type type, std::uint16_t id, std::size_t length, std::size_t padding) {
    const char header[header_size] = {
        static_cast<char>(protocol_version),
        static_cast<char>(type),
        static_cast<char>(id >> 8),
        static_cast<char>(id & 0xFF),
        static_cast<char>((length >> 8) & 0xFF),
        static_cast<char>(length & 0xFF),
        static_cast<char>(padding),
        0,
    };
    out.append(header, header_size);
}

// Reads one length of a name-value pair at `at`, moving past it.
std::optional<std::size_t> read_length(std::string_view b, std::size_t& at) {
    if (at >= b.size()) return std::nullopt;
    const auto first = static_cast<unsigned char>(b[at]);
    if (first < 0x80) {
        ++at;
        return first;
    }
    if (b.size() - at < 4) return std::nullopt;
    std::size_t n = first & 0x7F;
    for (std::size_t i = 1; i < 4; ++i) n = (n << 8) | static_cast<unsigned char>(b[at + i]);
    at += 4;
    return n;
}

void put_length(std::string& out, std::size_t n) {
    if (n < 0x80) {
        out += static_cast<char>(n);
        return;
    }
    out += static_cast<char>(((n >> 24) & 0x7F) | 0x80);
    out += static_cast<char>((n >> 16) & 0xFF);
    out += static_cast<char>((n >> 8) & 0xFF);
    out += static_cast<char>(n & 0xFF);
}

}  // namespace

void RecordReader::feed(std::string_view bytes) {
    if (broken_) return;
    // Drop what was consumed once it outweighs what is left, so the buffer
    // holds about one record however long the connection lives.
    if (pos_ > 0 && pos_ >= buffer_.size() - pos_) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    buffer_.append(bytes);
}

std::optional<Record> RecordReader::next() {
    if (broken_ || buffer_.size() - pos_ < header_size) return std::nullopt;
    const std::string_view b(buffer_);
    if (static_cast<unsigned char>(b[pos_]) != protocol_version) {
        broken_ = true;
        return std::nullopt;
    }
    const std::size_t length = be16(b, pos_ + 4);
    const std::size_t padding = static_cast<unsigned char>(b[pos_ + 6]);
    if (b.size() - pos_ < header_size + length + padding) return std::nullopt;
    Record record;
    record.type = static_cast<std::uint8_t>(b[pos_ + 1]);
    record.request_id = be16(b, pos_ + 2);
    record.content = b.substr(pos_ + header_size, length);
    pos_ += header_size + length + padding;
    return record;
}

std::optional<BeginRequest> parse_begin_request(std::string_view content) {
    if (content.size() < 8) return std::nullopt;
    return BeginRequest{be16(content, 0), static_cast<std::uint8_t>(content[2])};
}

std::optional<std::vector<Pair>> decode_pairs(std::string_view content) {
    std::vector<Pair> pairs;
    std::size_t at = 0;
    while (at < content.size()) {
        const auto name_length = read_length(content, at);
        if (!name_length) return std::nullopt;
        const auto value_length = read_length(content, at);
        if (!value_length) return std::nullopt;
        const std::size_t left = content.size() - at;
        if (*name_length > left || *value_length > left - *name_length) return std::nullopt;
        pairs.emplace_back(std::string(content.substr(at, *name_length)),
                           std::string(content.substr(at + *name_length, *value_length)));
        at += *name_length + *value_length;
    }
    return pairs;
}

void append_pair(std::string& out, std::string_view name, std::string_view value) {
    put_length(out, name.size());
    put_length(out, value.size());
    out += name;
    out += value;
}

void append_records(std::string& out, Type type, std::uint16_t request_id, std::string_view content) {
    do {
        const std::string_view piece = content.substr(0, max_content);
        content.remove_prefix(piece.size());
        const std::size_t padding = (8 - piece.size() % 8) % 8;
        put_header(out, type, request_id, piece.size(), padding);
        out += piece;
        out.append(padding, '\0');
    } while (!content.empty());
}

void append_end_request(std::string& out, std::uint16_t request_id, std::uint32_t app_status, ProtocolStatus status) {
    const char body[8] = {static_cast<char>(app_status >> 24),
                          static_cast<char>((app_status >> 16) & 0xFF),
                          static_cast<char>((app_status >> 8) & 0xFF),
                          static_cast<char>(app_status & 0xFF),
                          static_cast<char>(status),
                          0,
                          0,
                          0};
    append_records(out, Type::end_request, request_id, std::string_view(body, sizeof body));
}

void append_unknown_type(std::string& out, std::uint8_t type) {
    const char body[8] = {static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0};
    append_records(out, Type::unknown_type, 0, std::string_view(body, sizeof body));
}

}  // namespace qg::fastcgi
