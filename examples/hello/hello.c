/* hello: the smallest application on libquillgate-app. Every request in the
 * work directory gets a plain-text greeting naming its method. */
#include <quillgate/app.h>
#include <stdio.h>

int main(int argc, char** argv) {
    qga_dir* dir;
    if (argc != 2 || qga_open(argv[1], "qg_", NULL, &dir) != QGA_OK) {
        fprintf(stderr, "usage: hello WORKDIR (%s)\n", qga_last_error());
        return 2;
    }
    for (;;) {
        qga_request* req;
        int rc = qga_accept(dir, -1, &req);
        if (rc == QGA_TIMEOUT) continue;
        if (rc != QGA_OK) break;
        const char* method = qga_param(req, "REQUEST_METHOD", NULL);
        char page[200];
        int n = snprintf(page, sizeof page, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nHello, %s!\n",
                         method ? method : "world");
        if (qga_answer(req, page, (size_t)n) != QGA_OK) fprintf(stderr, "hello: %s\n", qga_last_error());
        qga_release(req);
    }
    fprintf(stderr, "hello: %s\n", qga_last_error());
    qga_close(dir);
    return 1;
}
