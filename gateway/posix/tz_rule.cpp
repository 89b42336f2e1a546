#include "posix/tz_rule.h"

namespace qg::posix {
namespace {

// Reads the rule left to right; every read fails softly at the end of text.
class Reader {
public:
    Reader(const char* text, std::size_t length) : at_(text), end_(text + length) {}
    bool done() const { return at_ == end_; }
    char peek() const { return at_ < end_ ? *at_ : '\0'; }
    bool take(char c) {
        if (peek() != c) return false;
        ++at_;
        return true;
    }

    // A zone name: three or more letters, or anything but '>' inside "<>".
    bool name() {
        if (take('<')) {
            std::size_t n = 0;
            while (!done() && peek() != '>') ++at_, ++n;
            return take('>') && n >= 3;
        }
        std::size_t n = 0;
        while ((peek() >= 'a' && peek() <= 'z') || (peek() >= 'A' && peek() <= 'Z')) ++at_, ++n;
        return n >= 3;
    }

    // A number of at most `digits` digits, at most `max`.
    bool number(long& value, int digits, long max) {
        value = 0;
        int n = 0;
        while (n < digits && peek() >= '0' && peek() <= '9') value = value * 10 + (*at_++ - '0'), ++n;
        return n > 0 && value <= max;
    }

    // [+-]hh[:mm[:ss]] in seconds; hours up to 167, as zone-file footers allow
    // for the times of day of a transition.
    bool duration(long& seconds) {
        const bool negative = take('-');
        if (!negative) take('+');
        long h = 0, m = 0, s = 0;
        if (!number(h, 3, 167)) return false;
        if (take(':') && (!number(m, 2, 59) || (take(':') && !number(s, 2, 59)))) return false;
        seconds = h * 3600 + m * 60 + s;
        if (negative) seconds = -seconds;
        return true;
    }

private:
    const char* at_;
    const char* end_;
};

// One date of a rule: Jn (1 to 365, 29 February never counted), n (0 to 365,
// counted), or Mm.w.d (day d of week w of month m; week 5 is the last).
struct RuleDate {
    char kind = 'M';
    long month = 0, week = 0, day = 0;  // for 'J' and 'n' the day alone
    long time = 7200;                   // seconds after local midnight
};

bool read_date(Reader& r, RuleDate& date) {
    if (r.take('J')) {
        date.kind = 'J';
        if (!r.number(date.day, 3, 365) || date.day < 1) return false;
    } else if (r.take('M')) {
        date.kind = 'M';
        if (!r.number(date.month, 2, 12) || date.month < 1 || !r.take('.') || !r.number(date.week, 1, 5) ||
            date.week < 1 || !r.take('.') || !r.number(date.day, 1, 6))
            return false;
    } else {
        date.kind = 'n';
        if (!r.number(date.day, 3, 365)) return false;
    }
    if (r.take('/') && !r.duration(date.time)) return false;
    return true;
}

bool leap(long year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// Days since 1970-01-01 of a date (proleptic Gregorian).
long days_from_civil(long year, long month, long day) {
    year -= month <= 2 ? 1 : 0;
    const long era = (year >= 0 ? year : year - 399) / 400;
    const long yoe = year - era * 400;
    const long doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

long year_of_days(long days) {
    int year = 0, month = 0, day = 0;
    civil_from_days(days, year, month, day);
    return year;
}

// The local seconds since 1970 (in the time that is in effect before the
// change) at which `date` falls in `year`.
std::int64_t local_moment(const RuleDate& date, long year) {
    const long jan1 = days_from_civil(year, 1, 1);
    long day = 0;
    if (date.kind == 'J') {
        day = jan1 + date.day - 1 + (leap(year) && date.day >= 60 ? 1 : 0);
    } else if (date.kind == 'n') {
        day = jan1 + date.day;
    } else {
        static constexpr int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const long first = days_from_civil(year, date.month, 1);
        const long weekday = ((first + 4) % 7 + 7) % 7;  // 1970-01-01 was a Thursday
        day = first + (date.day - weekday + 7) % 7 + (date.week - 1) * 7;
        const long length = month_days[date.month - 1] + (date.month == 2 && leap(year) ? 1 : 0);
        while (day >= first + length) day -= 7;  // week 5: the last such day
    }
    return static_cast<std::int64_t>(day) * 86400 + date.time;
}

}  // namespace

bool tz_rule_offset(const char* rule, std::size_t length, std::int64_t utc, long& offset) {
    Reader r(rule, length);
    long standard = 0;
    if (!r.name() || !r.duration(standard)) return false;
    // POSIX counts west of Greenwich as positive; the offset here is east.
    standard = -standard;
    if (r.done()) {
        offset = standard;
        return true;
    }
    if (!r.name()) return false;
    long summer = standard + 3600;
    if (!r.done() && r.peek() != ',') {
        if (!r.duration(summer)) return false;
        summer = -summer;
    }
    RuleDate start, end;
    if (r.done()) {
        start = RuleDate{'M', 3, 2, 0, 7200};
        end = RuleDate{'M', 11, 1, 0, 7200};
    } else if (!r.take(',') || !read_date(r, start) || !r.take(',') || !read_date(r, end) || !r.done()) {
        return false;
    }

    // Beyond some million years the calendar arithmetic below would
    // overflow; no log line is written there.
    constexpr std::int64_t far = std::int64_t{1} << 50;
    if (utc > far || utc < -far) {
        offset = standard;
        return true;
    }
    const long days =
        static_cast<long>((utc + standard) >= 0 ? (utc + standard) / 86400 : ((utc + standard) - 86399) / 86400);
    const long year = year_of_days(days);
    // Summer time begins at a moment of standard time and ends at a moment of
    // summer time.
    const std::int64_t begins = local_moment(start, year) - standard;
    const std::int64_t ends = local_moment(end, year) - summer;
    const bool in_summer = begins < ends ? (utc >= begins && utc < ends) : !(utc >= ends && utc < begins);
    offset = in_summer ? summer : standard;
    return true;
}

void civil_from_days(long days, int& year, int& month, int& day) {
    days += 719468;
    const long era = (days >= 0 ? days : days - 146096) / 146097;
    const long doe = days - era * 146097;
    const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace qg::posix
