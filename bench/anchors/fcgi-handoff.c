/* The smallest persistent FastCGI program doing the file hand-off: libfcgi,
 * 8 threads, each with its own inotify watch of the work directory; per
 * request the output file made empty, the request file written in one write
 * (variables encoded, marker line, body), a wait for the signal file woken by
 * any change in the directory, then the output file copied out and the three
 * files deleted. No settings, no error handling: the work directory (ending
 * in '/') is compiled in as WORK. */
#include <fcgiapp.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

static void *serve(void *arg) {
    static __thread char text[1 << 16], buf[1 << 16];
    char out[256], req[256], sig[256];
    struct stat st;
    const unsigned thread = (unsigned)(size_t)arg;
    unsigned count = 0;
    const int watch = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watch, WORK, IN_CREATE | IN_MOVED_TO | IN_ATTRIB);
    FCGX_Request request;
    FCGX_InitRequest(&request, 0, 0);
    while (FCGX_Accept_r(&request) >= 0) {
        const unsigned id = ((unsigned)getpid() << 12) ^ (thread << 8) ^ (count++ & 0xFF);
        snprintf(out, sizeof out, "%scgf%X.TMP", WORK, id);
        snprintf(req, sizeof req, "%smq_%X.TMP", WORK, id);
        snprintf(sig, sizeof sig, "%smq_%X.ret", WORK, id);
        close(open(out, O_WRONLY | O_CREAT | O_TRUNC, 0660));
        size_t n = (size_t)sprintf(text, "&OUTPUT+FILE=%s", out);
        for (char **e = request.envp; *e; e++) {
            const char *p = strncmp(*e, "HTTP_", 5) ? *e : *e + 5, *eq = strchr(p, '=');
            if (!eq || eq == p || !eq[1]) continue;
            text[n++] = '&';
            for (; p < eq; p++) text[n++] = *p == '_' ? '+' : *p;
            text[n++] = '=';
            for (p = eq + 1; *p; p++) {
                const unsigned char c = (unsigned char)*p;
                if ((c | 32) >= 'a' && (c | 32) <= 'z') text[n++] = (char)c;
                else if (c >= '0' && c <= '9') text[n++] = (char)c;
                else if (c == ' ') text[n++] = '+';
                else n += (size_t)sprintf(text + n, "%%%02X", c);
            }
        }
        n += (size_t)sprintf(text + n, "&DllVersion=Anchor&\r\n#@$ FORM VARIABLES $@#\r\n");
        const char *cl = FCGX_GetParam("CONTENT_LENGTH", request.envp);
        const long length = cl ? atol(cl) : 0;
        char *body = malloc(n + (size_t)length + 2);
        memcpy(body, text, n);
        if (length > 0) {
            n += (size_t)FCGX_GetStr(body + n, (int)length, request.in);
            memcpy(body + n, "\r\n", 2), n += 2;
        }
        int fd = open(req, O_WRONLY | O_CREAT | O_TRUNC, 0660);
        write(fd, body, n);
        close(fd);
        free(body);
        while (stat(sig, &st) != 0) read(watch, buf, sizeof buf); /* any change: check again */
        unlink(sig);
        unlink(req);
        fd = open(out, O_RDONLY);
        for (ssize_t k; (k = read(fd, buf, sizeof buf)) > 0;) FCGX_PutStr(buf, (int)k, request.out);
        close(fd);
        unlink(out);
        FCGX_Finish_r(&request);
    }
    return 0;
}

int main(void) {
    pthread_t threads[8];
    FCGX_Init();
    for (int i = 0; i < 8; i++) pthread_create(&threads[i], 0, serve, (void *)(size_t)i);
    for (int i = 0; i < 8; i++) pthread_join(threads[i], 0);
    return 0;
}
