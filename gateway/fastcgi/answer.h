// An answer as STDOUT records, built piece by piece as the relay reads the
// output file, so it is held once. The web server reads a FastCGI response as
// CGI headers: the first piece's status line ("HTTP/1.0 404 Not Found", the
// application's own, the default header's or an error page's) becomes the
// CGI header "Status: 404 Not Found".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qg::fastcgi {

class Answer {
public:
    explicit Answer(std::uint16_t id) : id_(id) {}
    void add(std::string_view piece);
    std::string take() { return std::move(records_); }

private:
    std::uint16_t id_;
    bool first_ = true;
    std::string records_;
};

}  // namespace qg::fastcgi
