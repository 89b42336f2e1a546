// The gateway as a FastCGI responder: one process serving many requests at
// once over the same request, output and signal files as the CGI program.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace qg::fastcgi {

// Where to listen, as given to --listen: "unix:/path" or "HOST:PORT" with
// an IPv4 address.
struct ListenAddress {
    bool unix_socket = false;
    std::string path;  // the socket's path, or the IPv4 address
    int port = 0;
};
std::optional<ListenAddress> parse_listen_address(std::string_view text);

// Runs the program as a FastCGI responder when it was started as one: with a
// listening socket as standard input or passed by systemd, or, only where no
// CGI environment is present, with "--listen ADDRESS". Returns the exit
// status then; nothing when the program is to run as a CGI program.
std::optional<int> serve_if_responder(int argc, char** argv);

}  // namespace qg::fastcgi
