// One connection from the web server, as records: BEGIN_REQUEST, PARAMS and
// STDIN gathered per request id (several at once when the server multiplexes),
// GET_VALUES answered, other roles refused, aborts passed on. No I/O: bytes
// come in through receive(), replies go out through the text it appends to.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fastcgi/record.h"

namespace qg::fastcgi {

// What a connection hands over per request once its PARAMS and STDIN streams
// have ended.
struct Incoming {
    // The parameters as "NAME=value", in the order the server sent them: the
    // CGI program's environment.
    std::vector<std::string> environment;
    // The body after the text-mode translation (CR LF becomes LF, 0x1A ends
    // it), cut to the length CONTENT_LENGTH gives; all of it for a chunked
    // request without one; nothing otherwise.
    std::string body;
    bool keep_conn = false;
};

// Translates a stream as a text-mode reader does, piece by piece, keeping at
// most `wanted` bytes.
class TextModeBody {
public:
    explicit TextModeBody(std::uint64_t wanted) : wanted_(wanted) {}
    void feed(std::string_view raw);
    // The input has ended: a CR held back for a following LF is kept.
    std::string finish();

private:
    void put(char c);
    std::uint64_t wanted_;
    std::string body_;
    bool pending_cr_ = false;
    bool ended_ = false;
};

// How many bytes of body a request with these parameters wants: the rule of
// the CGI program's CONTENT_LENGTH and chunked handling.
std::uint64_t wanted_body(const std::vector<std::string>& environment);

class Connection {
public:
    struct Handler {
        virtual ~Handler() = default;
        // A whole request, ready to be passed on. Once done with it, the
        // handler calls Connection::finished.
        virtual void request(std::uint16_t id, Incoming incoming) = 0;
        // The server aborted a request that was handed over; the handler
        // cleans up and then calls Connection::finished.
        virtual void aborted(std::uint16_t id) = 0;
    };

    // Largest PARAMS stream of one request: far above any server's limit on
    // header size.
    static constexpr std::size_t max_params = 1 << 20;

    explicit Connection(Handler& handler) : handler_(handler) {}

    // Takes bytes from the server; replies that need no handler (GET_VALUES,
    // refusals, the end of an aborted request still being received) are
    // appended to `out`. False when the stream cannot go on (a broken
    // record, a parameter stream too long or malformed): close it.
    bool receive(std::string_view bytes, std::string& out);

    // The answer of a handed-over request is complete: appends its end (an
    // empty STDOUT and END_REQUEST) to `out` and frees its id.
    void finished(std::uint16_t id, std::string& out);

    // Ids handed over and not yet finished.
    const std::set<std::uint16_t>& handed_over() const { return handed_; }
    // Whether any request is being received or answered.
    bool busy() const { return !receiving_.empty() || !handed_.empty(); }

private:
    struct Receiving {
        bool keep_conn = false;
        std::string params;
        bool params_done = false;
        std::vector<std::string> environment;
        std::string early_stdin;  // STDIN that came before PARAMS ended
        std::optional<TextModeBody> body;
    };

    bool record(const Record& r, std::string& out);
    bool params_ended(Receiving& request);

    Handler& handler_;
    RecordReader reader_;
    std::map<std::uint16_t, Receiving> receiving_;
    std::set<std::uint16_t> handed_;
};

}  // namespace qg::fastcgi
