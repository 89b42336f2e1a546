/* The smallest application for the hand-off: it takes a request file on the
 * close of its write, answers in the output file named by its first variable
 * (the request text echoed after a status line), closes it and creates the
 * signal file. Usage: handoff-app WORKDIR PREFIX [READY_ANSWER]: with
 * READY_ANSWER, that file is copied into the output file instead, inside the
 * kernel (copy_file_range), so a large answer costs the application only a
 * copy the bench measures on its own. The gateway relays only the very file
 * it made, so a link to the answer would be refused. No error handling. */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
    static char events[1 << 16], text[1 << 20];
    static const char head[] = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n";
    char out[512], sig[512];
    const int watch = inotify_init1(IN_CLOEXEC);
    chdir(argv[1]);
    inotify_add_watch(watch, ".", IN_CLOSE_WRITE);
    for (;;) {
        const ssize_t got = read(watch, events, sizeof events);
        for (ssize_t at = 0; at < got;) {
            const struct inotify_event *ev = (const struct inotify_event *)(events + at);
            at += (ssize_t)(sizeof *ev + ev->len);
            const size_t len = ev->len ? strlen(ev->name) : 0;
            if (len < 8 || strncasecmp(ev->name, argv[2], 3) || strcmp(ev->name + len - 4, ".TMP")) continue;
            int fd = open(ev->name, O_RDONLY);
            const ssize_t n = read(fd, text, sizeof text);
            close(fd);
            if (n <= 13) continue;  /* the empty file made with the name: the request comes later */
            const size_t path = strcspn(text + 13, "&");
            snprintf(out, sizeof out, "%.*s", (int)path, text + 13);
            /* A request file closed twice (made empty, then written) is answered
             * once: only while its output file is still there and empty. */
            struct stat st;
            if (stat(out, &st) != 0 || st.st_size != 0) continue;
            if (argc > 3) {
                const int from = open(argv[3], O_RDONLY);
                fd = open(out, O_WRONLY | O_TRUNC);
                while (copy_file_range(from, NULL, fd, NULL, 1 << 30, 0) > 0) {
                }
                close(fd);
                close(from);
            } else {
                fd = open(out, O_WRONLY | O_TRUNC);
                write(fd, head, sizeof head - 1);
                write(fd, text, (size_t)n);
                close(fd);
            }
            snprintf(sig, sizeof sig, "%.*s.ret", (int)len - 4, ev->name);
            close(open(sig, O_WRONLY | O_CREAT | O_TRUNC, 0660));
        }
    }
}
