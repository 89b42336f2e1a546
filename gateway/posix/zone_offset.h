// The offset of local time from UTC, read from the compiled time-zone file
// (TZif) that the C library would use, with nothing but getenv, open, read and
// close, into a buffer the caller provides: safe inside a signal handler,
// where localtime_r is not (it may take a lock or allocate).
#pragma once

#include <cstddef>
#include <cstdint>

namespace qg::posix {

// The offset in seconds (local time = UTC + offset) that TZif data gives for
// the moment `utc` (seconds since 1970): the type of the last transition at or
// before it, the first type before the first transition. Moments after the
// last transition follow the rule in the file's footer (version 2 and later),
// or keep the last transition's type when there is no usable footer. False
// when the data is not TZif or is cut short.
bool tzif_utc_offset(const unsigned char* data, std::size_t size, std::int64_t utc, long& offset);

// The local time zone's offset at `utc`, from the file the C library chooses:
// TZ unset: /etc/localtime; TZ empty: UTC; TZ (without a leading ':') an
// absolute path or a name below $TZDIR or /usr/share/zoneinfo. A value that
// names no readable zone file is read as a POSIX rule ("JST-9"), as the C
// library does; 0 (UTC) when it is none either.
// `buffer` holds the file while it is read.
long local_utc_offset(std::int64_t utc, unsigned char* buffer, std::size_t capacity);

}  // namespace qg::posix
