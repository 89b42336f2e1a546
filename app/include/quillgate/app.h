/* libquillgate-app: the application's side of the Quillgate gateway.
 *
 * The gateway `qg` writes each HTTP request into a request file in a work
 * directory and waits for an answer. This library finds those requests,
 * claims each one for exactly one process (several processes, on several
 * hosts sharing the directory, may serve the same work directory), decodes
 * it, and answers it: output file written and closed first, signal file
 * created last.
 *
 *     qga_dir* dir;
 *     if (qga_open("/srv/qgwork", "qg_", NULL, &dir) != QGA_OK) fail(qga_last_error());
 *     for (;;) {
 *         qga_request* req;
 *         if (qga_accept(dir, -1, &req) != QGA_OK) continue;
 *         const char* method = qga_param(req, "REQUEST_METHOD", NULL);
 *         qga_answer(req, "hello\n", 6);
 *         qga_release(req);
 *     }
 *
 * Return values: QGA_OK (0) on success, a positive value for an outcome that
 * is not a fault (QGA_TIMEOUT, QGA_GONE), a negative value on failure. After
 * any result other than QGA_OK, qga_last_error() describes it. The library
 * prints nothing.
 *
 * Threads: one qga_dir may be used from many threads at once; each request
 * handle belongs to one thread at a time.
 *
 * Text: names, values, paths and the body are bytes, handed back exactly as
 * the gateway had them (decoded from the request file). Every returned text
 * is followed by a zero byte; a value or body may itself hold zero bytes, so
 * use the length functions for binary data. */
#ifndef QUILLGATE_APP_H
#define QUILLGATE_APP_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(QGA_BUILDING_DLL)
#define QGA_API __declspec(dllexport)
#elif defined(QGA_STATIC)
#define QGA_API
#else
#define QGA_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define QGA_API __attribute__((visibility("default")))
#else
#define QGA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define QGA_OK 0
/* qga_accept: no request arrived within the wait. */
#define QGA_TIMEOUT 1
/* qga_write, qga_finish, qga_answer: the gateway gave the request up (its
 * request or output file is gone, usually after its time-out); nothing more
 * is written and no signal file is left behind. */
#define QGA_GONE 2
/* A system call failed, or the work directory is unusable. */
#define QGA_ERROR (-1)
/* A wrong argument, or a call in the wrong state (writing after finishing). */
#define QGA_INVALID (-2)
/* The request names an output file that the library will not write: not a
 * file of the gateway's kind (cgiXXXX.TMP) directly in the work directory,
 * or reached through a symbolic link. */
#define QGA_REFUSED (-3)

typedef struct qga_dir qga_dir;
typedef struct qga_request qga_request;

/* Settings for qga_open; a zero field takes its default. Set `size` to
 * sizeof(qga_options) so later versions can add fields. */
typedef struct qga_options {
    size_t size;
    /* A claim whose owner has not renewed it for this many seconds belongs to
     * a dead process and is cleared. Keep it at least the gateway's Timeout
     * (default 60; at least 10 is used). */
    unsigned claim_expiry_s;
    /* Request files larger than this are not read (default 256 MiB). */
    unsigned long long max_request_bytes;
    /* How often the directory is listed in full, in milliseconds: the only
     * way to see requests where the kernel reports no changes (default 1000
     * with change notification, 100 without). */
    unsigned scan_interval_ms;
} qga_options;

/* The message of the last result other than QGA_OK on this thread; "" when
 * there was none. Valid until the next qga_ call on this thread. */
QGA_API const char* qga_last_error(void);

/* Opens a work directory. `prefix` is the gateway's Template setting: its
 * first three characters count, in any letter case. `options` may be NULL. */
QGA_API int qga_open(const char* workdir, const char* prefix, const qga_options* options, qga_dir** out);

/* Closes the directory. Requests still held must be released first. */
QGA_API void qga_close(qga_dir* dir);

/* Waits up to timeout_ms milliseconds (negative: no limit) for the next
 * complete request, claims it for this process and hands it over in *out.
 * Returns QGA_OK, QGA_TIMEOUT, or a failure. Requests larger than the limit
 * or not in the request-file format are skipped; qga_skipped() reports them. */
QGA_API int qga_accept(qga_dir* dir, int timeout_ms, qga_request** out);

/* Copies into `buffer` (of `size` bytes, zero-terminated) a line about the
 * oldest request file skipped since the last call (too large, or not a
 * request); returns 1 when there was one, 0 otherwise. */
QGA_API int qga_skipped(qga_dir* dir, char* buffer, size_t size);

/* Wakes every thread waiting in qga_accept on this directory; they return
 * QGA_TIMEOUT at once, and so does every later qga_accept. For shutdown. */
QGA_API void qga_interrupt(qga_dir* dir);

/* The request file's name inside the work directory ("qg_1A.TMP"). */
QGA_API const char* qga_request_name(const qga_request* req);

/* The output file's path exactly as the request file names it. */
QGA_API const char* qga_output_path(const qga_request* req);

/* The variables, decoded, in file order. Names are as the gateway wrote them
 * decoded: "REQUEST METHOD", "USER AGENT" (a leading HTTP_ is gone and
 * underscores read as spaces), "DllVersion". */
QGA_API size_t qga_param_count(const qga_request* req);
/* The index-th variable; returns QGA_INVALID past the end. `value_length`
 * may be NULL. */
QGA_API int qga_param_at(const qga_request* req, size_t index, const char** name, const char** value,
                         size_t* value_length);

/* The value of the first variable with this name, or NULL. The name may be
 * given as the request file has it ("REQUEST METHOD", "REQUEST+METHOD") or as
 * a CGI program knows it ("REQUEST_METHOD", "HTTP_USER_AGENT"): a name not
 * found as given is looked up as the gateway would write it (leading "HTTP_"
 * dropped, underscores as spaces). `value_length` may be NULL. */
QGA_API const char* qga_param(const qga_request* req, const char* name, size_t* value_length);

/* The form body and its length; length 0 (and "") when the request has none. */
QGA_API const char* qga_body(const qga_request* req, size_t* length);

/* Appends bytes to the answer, writing the output file as they come. The
 * answer is the whole HTTP response; one that does not begin with "HTTP" gets
 * the gateway's default header "HTTP/1.0 200 OK" and "Content-type:
 * text/html" in front. */
QGA_API int qga_write(qga_request* req, const void* data, size_t length);

/* Completes the answer: flushes and closes the output file, then creates the
 * signal file. Returns QGA_GONE when the gateway gave the request up first;
 * a signal file made while it gave up is removed again. */
QGA_API int qga_finish(qga_request* req);

/* qga_write and qga_finish in one call: the usual way for an answer in
 * memory. */
QGA_API int qga_answer(qga_request* req, const void* data, size_t length);

/* Frees the handle. A request not finished is given up: nothing more is
 * written, no signal file is made, and no other process takes it over (the
 * gateway answers it with its time-out page). */
QGA_API void qga_release(qga_request* req);

#ifdef __cplusplus
}
#endif

#endif /* QUILLGATE_APP_H */
