// The fault guard's own reading of the time zone, held against the C
// library's localtime_r on the system's zone files.
#include "posix/zone_offset.h"

#include <gtest/gtest.h>
#include <time.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "test_env.h"

namespace qg::posix {
namespace {

// Restores TZ (and the C library's idea of it) at the end of a test.
class ZoneSetting {
public:
    ZoneSetting() {
        if (const char* tz = ::getenv("TZ")) saved_ = tz;
    }
    ~ZoneSetting() {
        if (saved_)
            test::set_env("TZ", *saved_);
        else
            test::unset_env("TZ");
        ::tzset();
    }
    void set(const std::optional<std::string>& tz) {
        if (tz)
            test::set_env("TZ", *tz);
        else
            test::unset_env("TZ");
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

long library_offset(std::int64_t utc) {
    const auto t = static_cast<time_t>(utc);
    tm parts{};
    ::localtime_r(&t, &parts);
    return parts.tm_gmtoff;
}

const std::vector<std::int64_t> moments = {
    -2500000000,  // 1890: before the first transition of most zones
    0,
    1700000000,  // November 2023
    1711846799,  // one second before Europe's summer time began in 2024
    1711846800,  // the moment it began
    1720000000,  // July 2024
    2100000000,  // 2036, near the end of the listed transitions
    2200000000,  // 2039 and 2065: beyond them, where the footer's rule counts
    3000000000,
};

TEST(ZoneOffset, AgreesWithTheCLibrary) {
    ZoneSetting zone;
    const std::vector<std::optional<std::string>> zones = {
        std::nullopt,  // /etc/localtime
        "",
        "Europe/Berlin",
        ":America/New_York",
        "/usr/share/zoneinfo/Australia/Lord_Howe",  // summer time of half an hour
        "Asia/Kolkata",
        "Pacific/Chatham",
        "America/Sao_Paulo",  // summer time ended in 2019
        "Etc/GMT+5",
        "No/Such_Zone",
        // Rules without a zone file, north and south, quoted names, odd times
        // (compared from 1970 on only: before it the C library does not
        // apply a rule's dates).
        "JST-9",
        "QQQ3:30",
        "<+0330>-3:30",
        "CET-1CEST,M3.5.0,M10.5.0/3",
        "AAA-10BBB,M10.1.0,M4.1.0/3",
        "XXX5YYY4,J60/1:30,300/25",
        "NNN+4MMM3,M3.2.0/-1,M11.1.0",
    };
    unsigned char buffer[32 * 1024];
    for (const auto& tz : zones) {
        zone.set(tz);
        // Rules without a zone file spell their offsets with digits after a name.
        const bool rule = tz && tz->find_first_of("0123456789") < tz->find(',') && tz->rfind("Etc/", 0) != 0 &&
                          tz->find("zoneinfo") == std::string::npos;
        for (const std::int64_t utc : moments) {
            if (rule && utc < 0) continue;
            EXPECT_EQ(local_utc_offset(utc, buffer, sizeof buffer), library_offset(utc))
                << "TZ=" << tz.value_or("(unset)") << " at " << utc;
        }
    }
}

TEST(ZoneOffset, DamagedDataIsRefused) {
    std::ifstream in("/usr/share/zoneinfo/Europe/Berlin", std::ios::binary);
    const std::vector<unsigned char> file{std::istreambuf_iterator<char>(in), {}};
    if (file.size() < 100) GTEST_SKIP() << "no zone data installed";
    long offset = 0;
    ASSERT_TRUE(tzif_utc_offset(file.data(), file.size(), 1720000000, offset));
    EXPECT_EQ(offset, 7200);

    // The footer is not needed; everything before it is.
    for (const std::size_t cut : {std::size_t{0}, std::size_t{10}, std::size_t{44}, file.size() / 2, file.size() - 60})
        EXPECT_FALSE(tzif_utc_offset(file.data(), cut, 1720000000, offset)) << "cut to " << cut;
    std::vector<unsigned char> bad = file;
    bad[0] = 'X';
    EXPECT_FALSE(tzif_utc_offset(bad.data(), bad.size(), 0, offset));
    bad = file;
    bad[20 + 12] = 0x7F;  // a transition count far beyond the data
    EXPECT_FALSE(tzif_utc_offset(bad.data(), bad.size(), 0, offset));
}

}  // namespace
}  // namespace qg::posix
