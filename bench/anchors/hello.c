/* The floor: a CGI program that answers at once, with no hand-off at all. */
#include <unistd.h>

int main(void) {
    static const char page[] = "Content-Type: text/plain\r\n\r\nhello\n";
    write(1, page, sizeof page - 1);
    return 0;
}
