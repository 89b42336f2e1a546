// The fault guard's time-zone reader on any bytes: it reads only inside them
// (ASan), and an offset it accepts depends only on the bytes it needed, so
// bytes added after the data never change it. The same bytes read as a TZ
// rule stay inside them too.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "fuzz_check.h"
#include "posix/tz_rule.h"
#include "posix/zone_offset.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const auto utc = input.ConsumeIntegral<std::int64_t>();
    const auto extra = input.ConsumeIntegralInRange<std::size_t>(0, 64);
    // A copy of exactly the file's bytes, so ASan sees a read past its end.
    const std::vector<unsigned char> file = input.ConsumeRemainingBytes<unsigned char>();
    // The same bytes as a POSIX TZ rule: read inside them only, for any
    // moment, and an offset within the rule's own bounds (hours up to 167, one more in summer).
    long rule_offset = 0;
    if (qg::posix::tz_rule_offset(reinterpret_cast<const char*>(file.data()), file.size(), utc, rule_offset))
        FUZZ_CHECK(rule_offset >= -168L * 3600 && rule_offset <= 168L * 3600);

    long offset = 0;
    if (!qg::posix::tzif_utc_offset(file.data(), file.size(), utc, offset)) return 0;

    std::vector<unsigned char> longer = file;
    longer.resize(file.size() + extra, 0xA5);
    long again = 0;
    FUZZ_CHECK(qg::posix::tzif_utc_offset(longer.data(), longer.size(), utc, again));
    FUZZ_CHECK(again == offset);
    return 0;
}
