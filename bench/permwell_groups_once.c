/* One GetUserGroups call with a buffer large enough for any list the benches
 * make (16 MiB), its text on standard output: the cost of the library call
 * alone, where the permwell host may call twice to size its buffer.
 * Usage: permwell-groups-once USER */
#include <permwell.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv)
{
    uint32_t capacity = 16u << 20, length = capacity;
    char *buffer = malloc(capacity);
    if (argc != 2 || buffer == NULL || GetUserGroups(argv[1], buffer, &length) != 1) {
        fprintf(stderr, "permwell-groups-once: GetUserGroups failed\n");
        return 1;
    }
    fwrite(buffer, 1, length, stdout);
    free(buffer);
    return 0;
}
