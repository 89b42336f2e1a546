// FastCGI records (protocol version 1): the incremental reader of a byte
// stream, the name-value pairs of PARAMS and GET_VALUES, and the encoders of
// everything a responder sends. Pure functions over bytes, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qg::fastcgi {

inline constexpr std::uint8_t protocol_version = 1;
inline constexpr std::size_t header_size = 8;
inline constexpr std::size_t max_content = 0xFFFF;

enum class Type : std::uint8_t {
    begin_request = 1,
    abort_request = 2,
    end_request = 3,
    params = 4,
    stdin_stream = 5,
    stdout_stream = 6,
    stderr_stream = 7,
    data = 8,
    get_values = 9,
    get_values_result = 10,
    unknown_type = 11,
};

inline constexpr std::uint16_t role_responder = 1;
inline constexpr std::uint8_t flag_keep_conn = 1;

enum class ProtocolStatus : std::uint8_t {
    request_complete = 0,
    cant_mpx_conn = 1,
    overloaded = 2,
    unknown_role = 3,
};

// One record as read; `content` points into the reader's buffer and stays
// valid until the reader is fed or asked for the next record.
struct Record {
    std::uint8_t type = 0;
    std::uint16_t request_id = 0;
    std::string_view content;
};

// Splits a byte stream into records. Bytes may arrive in any pieces.
class RecordReader {
public:
    void feed(std::string_view bytes);
    // The next whole record, or nothing while more bytes are needed or once
    // the stream is broken (a version other than 1: nothing after it can be
    // framed).
    std::optional<Record> next();
    bool broken() const { return broken_; }
    // Bytes held that are not yet part of a whole record.
    std::size_t pending() const { return buffer_.size() - pos_; }

private:
    std::string buffer_;
    std::size_t pos_ = 0;
    bool broken_ = false;
};

struct BeginRequest {
    std::uint16_t role = 0;
    std::uint8_t flags = 0;
};
// The body of BEGIN_REQUEST; nothing when it is shorter than its 8 bytes.
std::optional<BeginRequest> parse_begin_request(std::string_view content);

using Pair = std::pair<std::string, std::string>;
// Decodes name-value pairs (each length one byte below 128, or four bytes
// with the high bit set). Nothing when a length runs past the end.
std::optional<std::vector<Pair>> decode_pairs(std::string_view content);
void append_pair(std::string& out, std::string_view name, std::string_view value);

// Appends `content` as records of `type`: pieces of at most 65,535 bytes,
// each padded to a multiple of 8. Empty content gives one empty record,
// which ends a stream.
void append_records(std::string& out, Type type, std::uint16_t request_id, std::string_view content);
void append_end_request(std::string& out, std::uint16_t request_id, std::uint32_t app_status, ProtocolStatus status);
void append_unknown_type(std::string& out, std::uint8_t type);

}  // namespace qg::fastcgi
