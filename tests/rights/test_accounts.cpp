#include "test_accounts.h"

namespace permwell::testing {

std::string long_group_name() {
    std::string name(100, 'g');
    for (int i = 0; i < 100; ++i) name += "\xC3\xA9";
    return name;
}

std::string carol_group_name(int index) { return "carol-project-group-number-" + std::to_string(index); }

std::string passwd_file() {
    return "root:x:0:0:root:/root:/bin/sh\n"
           "alice:x:1001:1001::/nonexistent:/bin/false\n"
           "bob:x:1002:1002::/nonexistent:/bin/false\n"
           "carol:x:1003:1003::/nonexistent:/bin/false\n" +
           user127 + ":x:1004:1002::/nonexistent:/bin/false\n" + user128 +
           ":x:1005:1002::/nonexistent:/bin/false\n"
           "dave:x:1006:1006::/nonexistent:/bin/false\n"
           "twin:x:1007:1007::/nonexistent:/bin/false\n"
           "twin:x:1008:1007::/nonexistent:/bin/false\n"
           "huge:x:1009:1009:" +
           std::string(std::size_t{3} << 19, 'h') + ":/nonexistent:/bin/false\n";
}

std::string group_file() {
    std::string text =
        "root:x:0:\n"
        "alice:x:1001:\n"
        "bob:x:1002:\n"
        "carol:x:1003:\n"
        "staff:x:1100:alice\n"
        "devs:x:1101:alice,dave\n"
        "staff-again:x:1100:\n" +
        long_group_name() + ":x:1200:dave\n"
        "huge:x:1009:\n"
        "crowd:x:1300:";
    // 1,500 members with names of 1,000 bytes: 1.5 MB as a group record. Few
    // long names rather than many short ones keep nss_wrapper's parsing, which
    // grows the member list one name at a time, quick under ASan.
    for (int i = 0; i < 1500; ++i) {
        text += (i == 0 ? "" : ",") + std::string(996, 'm') + std::to_string(1000 + i);
    }
    text += "\n";
    for (int i = 0; i < carol_groups; ++i) {
        text += carol_group_name(i) + ":x:" + std::to_string(2000 + i) + ":carol\n";
    }
    return text;
}

}  // namespace permwell::testing
