// The account database the tests on a real system run with.
#pragma once

#include <string>

namespace permwell::testing {

// alice (1001): primary group alice, supplementary staff (1100) and devs (1101).
// bob (1002): primary group bob only.
// carol (1003): primary group carol and carol_groups more, far past 8,088 bytes of names.
// dave (1006): primary group 1006 has no name; member of devs and of long_group.
// user127 (1004) and user128 (1005): names of 127 and 128 UTF-16 units.
// twin (1007 and 1008): one name for two ids; the name resolves to 1007.
// huge (1009): a user record larger than any lookup buffer; a group huge (1009)
// of ordinary size. staff-again: a second record for gid 1100, after staff's.
// crowd (1300): a group whose member list is as large.
inline constexpr int crowd_gid = 1300;
inline constexpr int carol_groups = 600;
inline const std::string user127 = std::string(127, 'u');
inline const std::string user128 = std::string(128, 'u');
// 300 bytes: 100 ASCII letters and 100 two-byte characters.
std::string long_group_name();
std::string carol_group_name(int index);

std::string passwd_file();
std::string group_file();

}  // namespace permwell::testing
