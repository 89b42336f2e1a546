// A POSIX TZ rule ("JST-9", "CET-1CEST,M3.5.0,M10.5.0/3", "<+0330>-3:30"), as
// a TZ value without a zone file or a zone file's footer gives it, read with
// arithmetic alone: safe inside a signal handler.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qg::posix {

// The offset in seconds (local time = UTC + offset) that the rule `rule` (of
// `length` bytes, no terminator needed) gives for the moment `utc`. A rule
// with a summer-time name but no dates follows the United States' dates
// (second Sunday of March to the first Sunday of November, at 02:00), as the
// C library does. False when the text is not a rule.
bool tz_rule_offset(const char* rule, std::size_t length, std::int64_t utc, long& offset);

// Day, month and year of a count of days since 1970-01-01 (proleptic
// Gregorian), with arithmetic alone.
void civil_from_days(long days, int& year, int& month, int& day);

}  // namespace qg::posix
