// The FastCGI record codec and the connection's handling of records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fastcgi/connection.h"
#include "fastcgi/record.h"

namespace qg::fastcgi {
namespace {

std::string record(Type type, std::uint16_t id, std::string_view content = {}) {
    std::string out;
    append_records(out, type, id, content);
    return out;
}

std::string begin(std::uint16_t id, std::uint16_t role = role_responder, bool keep = false) {
    const char body[8] = {static_cast<char>(role >> 8), static_cast<char>(role & 0xFF), keep ? '\1' : '\0'};
    return record(Type::begin_request, id, std::string_view(body, 8));
}

std::string params(std::uint16_t id, const std::vector<Pair>& pairs) {
    std::string content;
    for (const auto& [n, v] : pairs) append_pair(content, n, v);
    return record(Type::params, id, content) + record(Type::params, id);
}

std::string body(std::uint16_t id, std::string_view bytes) {
    return (bytes.empty() ? "" : record(Type::stdin_stream, id, bytes)) + record(Type::stdin_stream, id);
}

struct Read {
    Type type;
    std::uint16_t id;
    std::string content;
};

std::vector<Read> records_of(const std::string& bytes) {
    RecordReader reader;
    reader.feed(bytes);
    std::vector<Read> out;
    while (const auto r = reader.next()) out.push_back({static_cast<Type>(r->type), r->request_id, std::string(r->content)});
    EXPECT_EQ(reader.pending(), 0u);
    return out;
}

struct Recorder : Connection::Handler {
    std::vector<std::pair<std::uint16_t, Incoming>> requests;
    std::vector<std::uint16_t> aborts;
    void request(std::uint16_t id, Incoming incoming) override { requests.emplace_back(id, std::move(incoming)); }
    void aborted(std::uint16_t id) override { aborts.push_back(id); }
};

TEST(FastcgiRecord, LongContentSplitsIntoPaddedPiecesAndEmptyContentEndsAStream) {
    const std::string content(70000, 'x');
    const auto records = records_of(record(Type::stdout_stream, 7, content));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].content.size(), 65535u);
    EXPECT_EQ(records[1].content.size(), 4465u);
    EXPECT_EQ(record(Type::stdout_stream, 7, content).size(), 8 + 65535 + 1 + 8 + 4465 + 7);
    EXPECT_EQ(record(Type::stdout_stream, 7), std::string("\1\6\0\7\0\0\0\0", 8));
}

TEST(FastcgiRecord, PairsTakeOneOrFourByteLengths) {
    std::string encoded;
    append_pair(encoded, "A", std::string(200, 'v'));
    EXPECT_EQ(encoded.substr(0, 5), std::string("\1\x80\0\0\xC8", 5));
    const auto decoded = decode_pairs(encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ((*decoded)[0].second.size(), 200u);
    for (std::size_t cut = 1; cut < encoded.size(); ++cut) EXPECT_FALSE(decode_pairs(encoded.substr(0, cut))) << cut;
}

TEST(FastcgiRecord, AnotherVersionBreaksTheStream) {
    RecordReader reader;
    reader.feed(std::string("\2\1\0\1\0\0\0\0", 8));
    EXPECT_FALSE(reader.next());
    EXPECT_TRUE(reader.broken());
}

TEST(FastcgiConnection, ManagementRecordsAndOtherRolesAreAnsweredAtOnce) {
    Recorder recorder;
    Connection connection(recorder);
    std::string asked;
    append_pair(asked, "FCGI_MPXS_CONNS", "");
    append_pair(asked, "FCGI_UNHEARD_OF", "");
    std::string out;
    ASSERT_TRUE(connection.receive(record(Type::get_values, 0, asked) + begin(1, 2) + record(static_cast<Type>(99), 0),
                                   out));
    const auto replies = records_of(out);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].type, Type::get_values_result);
    EXPECT_EQ(decode_pairs(replies[0].content), (std::vector<Pair>{{"FCGI_MPXS_CONNS", "1"}}));
    EXPECT_EQ(replies[1].type, Type::end_request);
    EXPECT_EQ(replies[1].content[4], static_cast<char>(ProtocolStatus::unknown_role));
    EXPECT_EQ(replies[2].type, Type::unknown_type);
    EXPECT_EQ(replies[2].content[0], 99);
    EXPECT_TRUE(recorder.requests.empty());
}

TEST(FastcgiConnection, InterleavedRequestsArriveWholeAndInOrderOfTheirParameters) {
    Recorder recorder;
    Connection connection(recorder);
    const std::string one = begin(1, role_responder, true) + params(1, {{"B", "2"}, {"A", "1"}, {"CONTENT_LENGTH", "3"}});
    const std::string two = begin(2) + params(2, {{"REQUEST_METHOD", "GET"}});
    std::string out;
    // Byte by byte, the two requests' records interleaved.
    for (const std::string& part : {one, two, body(1, "xyz+more"), body(2, "ignored")})
        for (const char c : part) ASSERT_TRUE(connection.receive(std::string_view(&c, 1), out));
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(recorder.requests.size(), 2u);
    EXPECT_EQ(recorder.requests[0].first, 1);
    EXPECT_EQ(recorder.requests[0].second.environment, (std::vector<std::string>{"B=2", "A=1", "CONTENT_LENGTH=3"}));
    EXPECT_EQ(recorder.requests[0].second.body, "xyz");
    EXPECT_TRUE(recorder.requests[0].second.keep_conn);
    EXPECT_EQ(recorder.requests[1].second.body, "");  // no CONTENT_LENGTH: no body, as for CGI
    connection.finished(2, out);
    const auto replies = records_of(out);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].type, Type::stdout_stream);
    EXPECT_TRUE(replies[0].content.empty());
    EXPECT_EQ(replies[1].type, Type::end_request);
    EXPECT_EQ(replies[1].id, 2);
}

TEST(FastcgiConnection, BodyFollowsTheCgiRules) {
    struct Case {
        std::vector<Pair> params;
        std::string raw;
        std::string body;
    };
    const std::vector<Case> cases = {
        {{{"CONTENT_LENGTH", "100"}}, "a\r\nb\rc\x1a" "after", "a\nb\rc"},
        {{{"CONTENT_LENGTH", " 4x"}}, "abcdef", "abcd"},
        {{{"CONTENT_LENGTH", "-4"}}, "abcdef", ""},
        {{{"HTTP_TRANSFER_ENCODING", "Chunked"}}, "all of it\r", "all of it\r"},
        {{{"content_length", "2"}}, "abc", "ab"},  // looked up in any letter case
    };
    for (const auto& c : cases) {
        Recorder recorder;
        Connection connection(recorder);
        std::string out;
        ASSERT_TRUE(connection.receive(begin(1) + params(1, c.params) + body(1, c.raw), out));
        ASSERT_EQ(recorder.requests.size(), 1u);
        EXPECT_EQ(recorder.requests[0].second.body, c.body) << c.raw;
    }
}

TEST(FastcgiConnection, AbortsEndRequestsBeingReceivedAndPassOnHandedOverOnes) {
    Recorder recorder;
    Connection connection(recorder);
    std::string out;
    ASSERT_TRUE(connection.receive(begin(1) + begin(2) + params(2, {}) + body(2, "") + record(Type::abort_request, 1) +
                                       record(Type::abort_request, 2) + record(Type::abort_request, 9),
                                   out));
    const auto replies = records_of(out);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].type, Type::end_request);
    EXPECT_EQ(replies[0].id, 1);
    EXPECT_EQ(recorder.aborts, std::vector<std::uint16_t>{2});
}

TEST(FastcgiConnection, BrokenStreamsEndTheConnection) {
    const std::vector<std::string> broken = {
        std::string("\2\1\0\1\0\0\0\0", 8),
        begin(1) + record(Type::params, 1, "\x05\x01" "ab") + record(Type::params, 1),
        begin(1) + record(Type::params, 1, std::string(60000, 'p')) + record(Type::params, 1, std::string(60000, 'p')) +
            [] {
                std::string more;
                for (int i = 0; i < 16; ++i) more += record(Type::params, 1, std::string(60000, 'p'));
                return more;
            }(),
    };
    for (const auto& bytes : broken) {
        Recorder recorder;
        Connection connection(recorder);
        std::string out;
        EXPECT_FALSE(connection.receive(bytes, out));
        EXPECT_TRUE(recorder.requests.empty());
    }
}

}  // namespace
}  // namespace qg::fastcgi
