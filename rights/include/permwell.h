/* Permwell: access rights and group membership for host applications.
 *
 * Every function returns 1 on success and 0 on failure. Text results are
 * written into the caller's buffer as lines ending in CR LF, followed by a
 * terminating zero; the length handed back excludes that zero. Text is UTF-8
 * on Linux and in the process's ANSI code page on Windows.
 * The functions keep no state and may be called from several threads at once,
 * each call with its own buffer and length. */
#ifndef PERMWELL_H
#define PERMWELL_H

#include <stdint.h>

/* A buffer of this many bytes always holds the text of ReadAccessRights:
 * a DACL of at most 65,536 bytes holds at most (65,536 - 8) / 16 = 4,095
 * entries, each written as a line of at most 255 bytes, plus the zero. */
#define PERMWELL_READ_BUFFER_SIZE 1044226

#if defined(_WIN32)
#define PERMWELL_API /* the DLL's exports are listed in its .def file */
#elif defined(__GNUC__)
#define PERMWELL_API __attribute__((visibility("default")))
#else
#define PERMWELL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Entry point kept for hosts that expect it; does nothing and returns 1. */
PERMWELL_API int DllMain(void* instance, uint32_t reason, void* reserved);

/* Lists the entries of the file's access-control list, one line
 * "<trustee>;<signed decimal mask>\r\n" per entry. The buffer must hold
 * PERMWELL_READ_BUFFER_SIZE bytes. On failure *length is unchanged. */
PERMWELL_API int ReadAccessRights(const char* fileName, char* buffer, int32_t* length);

/* Removes every entry of the file whose trustee name equals accountName byte
 * for byte and appends one entry allowing accessMask to the account.
 * An account that cannot be resolved prints "Error <code>:LookupAccountName"
 * on standard output. On failure the file is unchanged. */
PERMWELL_API int SetAccessRights(const char* fileName, const char* accountName, uint32_t accessMask);

/* Lists the user's local groups, one "<group>\r\n" line each. On entry
 * *length is the buffer's capacity in bytes, terminating zero included.
 * When the text does not fit, returns 0 with the complete lines before the
 * first line that did not fit, and *length set to the length of the whole
 * text, so a buffer of *length + 1 bytes holds it. */
PERMWELL_API int GetUserGroups(const char* userName, char* buffer, uint32_t* length);

#ifdef __cplusplus
}

/* Exported class kept for hosts that link against its copy assignment. */
class PERMWELL_API CPermwell {
public:
    CPermwell() = default;
    CPermwell(const CPermwell&) = default;
    CPermwell& operator=(const CPermwell& other);
};
#endif

#endif /* PERMWELL_H */
