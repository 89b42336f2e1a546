/* The smallest persistent FastCGI "hello": libfcgi, 8 threads each accepting
 * and answering at once. The ceiling of a persistent program: no hand-off. */
#include <fcgiapp.h>
#include <pthread.h>

static void *serve(void *unused) {
    (void)unused;
    FCGX_Request request;
    FCGX_InitRequest(&request, 0, 0);
    while (FCGX_Accept_r(&request) >= 0) {
        FCGX_PutS("Content-Type: text/html\r\n\r\nhello\n", request.out);
        FCGX_Finish_r(&request);
    }
    return 0;
}

int main(void) {
    pthread_t threads[8];
    FCGX_Init();
    for (int i = 0; i < 8; i++) pthread_create(&threads[i], 0, serve, 0);
    for (int i = 0; i < 8; i++) pthread_join(threads[i], 0);
    return 0;
}
