// qg: the CGI gateway, and a FastCGI responder when started as one. A CGI run
// serves one request and always exits with 0.
#include "cycle.h"
#include "fastcgi/responder.h"

int main(int argc, char** argv) {
    if (const auto status = qg::fastcgi::serve_if_responder(argc, argv)) return *status;
    qg::serve_request();
    return 0;
}
