// The FastCGI record codec and a connection fed any bytes: records read the
// same whatever pieces the bytes come in; whatever the encoders write reads
// back as it went in, in records of at most 65,535 bytes padded to 8; the
// body translation matches the CGI program's text-mode reader; and a
// connection's replies are always whole, well-formed records.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "fastcgi/connection.h"
#include "fastcgi/record.h"
#include "fuzz_check.h"
#include "posix/text_mode.h"

namespace {

using namespace qg::fastcgi;

struct Read {
    std::uint8_t type;
    std::uint16_t id;
    std::string content;
    bool operator==(const Read&) const = default;
};

std::vector<Read> read_all(RecordReader& reader) {
    std::vector<Read> out;
    while (const auto r = reader.next()) out.push_back({r->type, r->request_id, std::string(r->content)});
    return out;
}

// Every record the encoders wrote: version 1, padding to 8, nothing left over.
std::vector<Read> check_well_formed(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        FUZZ_CHECK(bytes.size() - at >= header_size);
        FUZZ_CHECK(static_cast<unsigned char>(bytes[at]) == protocol_version);
        const std::size_t length =
            (static_cast<unsigned char>(bytes[at + 4]) << 8) | static_cast<unsigned char>(bytes[at + 5]);
        const std::size_t padding = static_cast<unsigned char>(bytes[at + 6]);
        FUZZ_CHECK((length + padding) % 8 == 0 && padding < 8);
        at += header_size + length + padding;
        FUZZ_CHECK(at <= bytes.size());
    }
    RecordReader reader;
    reader.feed(bytes);
    auto records = read_all(reader);
    FUZZ_CHECK(reader.pending() == 0 && !reader.broken());
    return records;
}

struct Recorder : Connection::Handler {
    std::vector<std::pair<std::uint16_t, Incoming>> requests;
    std::vector<std::uint16_t> aborts;
    void request(std::uint16_t id, Incoming incoming) override { requests.emplace_back(id, std::move(incoming)); }
    void aborted(std::uint16_t id) override { aborts.push_back(id); }
};

std::string text_mode_reference(const std::string& raw, std::size_t wanted) {
    std::size_t at = 0;
    qg::posix::TextModeReader reader([&](char* buffer, std::size_t size) {
        const std::size_t n = std::min(size, raw.size() - at);
        std::copy_n(raw.data() + at, n, buffer);
        at += n;
        return n;
    });
    std::string out(wanted, '\0');
    std::size_t got = 0;
    while (got < wanted) {
        const std::size_t n = reader.read(out.data() + got, wanted - got);
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t cut = input.ConsumeIntegralInRange<std::size_t>(0, 64);
    const std::size_t wanted = input.ConsumeIntegralInRange<std::size_t>(0, 4096);
    const std::string bytes = input.ConsumeRemainingBytesAsString();

    // Pieces of any size read as the whole does.
    RecordReader whole, pieces;
    whole.feed(bytes);
    const auto expected = read_all(whole);
    std::vector<Read> got;
    for (std::size_t at = 0; at < bytes.size(); at += cut + 1) {
        pieces.feed(std::string_view(bytes).substr(at, cut + 1));
        for (auto& r : read_all(pieces)) got.push_back(std::move(r));
    }
    FUZZ_CHECK(got == expected);
    FUZZ_CHECK(whole.broken() == pieces.broken());

    // Any content becomes records that read back as it.
    std::string encoded;
    append_records(encoded, Type::stdout_stream, static_cast<std::uint16_t>(cut + 1), bytes);
    std::string joined;
    for (const auto& r : check_well_formed(encoded)) {
        FUZZ_CHECK(r.type == static_cast<std::uint8_t>(Type::stdout_stream) && r.id == cut + 1);
        FUZZ_CHECK(r.content.size() <= max_content);
        joined += r.content;
    }
    FUZZ_CHECK(joined == bytes);

    // Pairs: what decodes encodes back to pairs that decode the same.
    if (const auto pairs = decode_pairs(bytes)) {
        std::string again;
        for (const auto& [name, value] : *pairs) append_pair(again, name, value);
        FUZZ_CHECK(decode_pairs(again) == pairs);
    }

    // The body's translation is the text-mode reader's, cut to `wanted`.
    TextModeBody body(wanted);
    for (std::size_t at = 0; at < bytes.size(); at += cut + 1) body.feed(std::string_view(bytes).substr(at, cut + 1));
    FUZZ_CHECK(body.finish() == text_mode_reference(bytes, wanted));

    // A connection fed anything replies only in whole records and hands over
    // each request id once.
    Recorder recorder;
    Connection connection(recorder);
    std::string replies;
    for (std::size_t at = 0; at < bytes.size(); at += cut + 1)
        if (!connection.receive(std::string_view(bytes).substr(at, cut + 1), replies)) break;
    for (const auto& [id, ignored] : recorder.requests) connection.finished(id, replies);
    check_well_formed(replies);
    FUZZ_CHECK(connection.handed_over().empty());
    return 0;
}
