// qg: the CGI gateway. One run serves one request and always exits with 0.
#include "cycle.h"

int main() {
    qg::serve_request();
    return 0;
}
