// Everything the gateway sends back: the application's response copied from
// the output file, the error page, and the error-log line.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform.h"

namespace qg {

// Where response bytes go: standard output in the gateway, a buffer in tests.
using Sink = std::function<void(std::string_view)>;

// Size of one piece of the relay.
inline constexpr std::size_t relay_piece = 16384;

// How an application's own status line reaches the web server.
enum class StatusLine {
    // Untouched: the server passes the response through as it is (Apache's
    // nph- programs, lighttpd).
    as_written,
    // As a CGI "Status:" header: a server behind a FastCGI wrapper (nginx
    // with fcgiwrap) reads the response as CGI headers and would drop a
    // status line, answering 200 whatever the application said.
    as_header,
};

// Copies the output file to `out`, with the default header first when the file
// does not begin with "HTTP" (any case). An unreadable file is logged and
// answered with its error page; an empty file gets the no-output page.
// Returns false when the file could not be opened. With `expected`, only the
// file of that identity is relayed (see ExclusiveFile::open): an application
// account that put a link or another file at the name gets the unreadable
// page, never the contents of a file it could not read itself.
bool relay_output_file(const std::string& output_path, const std::string& log_path, const Sink& out,
                       StatusLine status_line = StatusLine::as_written,
                       const std::optional<platform::FileId>& expected = std::nullopt);

// The complete error page for `title` and `message`, with its final line feed.
std::string error_page(std::string_view title, std::string_view message);
void write_error_page(const Sink& out, std::string_view title, std::string_view message);
// The page for any failure of the request cycle, fixed when the program is
// built, so that it can be sent when no memory is left.
std::string_view exception_page();

// One error-log line: "dd/mm/yyyy hh:mm  " and " message - code", cut to 500
// characters, then CR LF.
std::string log_line(const platform::LocalTime& when, std::string_view message, int code);

// Appends a line for `message` with the code of the error a call returned (0
// for a check of the gateway's own, which no call failed). Failures of the
// log are not reported.
void log_error(const std::string& log_path, std::string_view message, const platform::Error& error);
// Appends the line for an exception that ended the work. No call returned
// its error: the line carries the thread's last error as the system holds it,
// taken before anything else can change it.
void log_exception(const std::string& log_path);

}  // namespace qg
