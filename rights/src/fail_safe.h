// The library raises nothing into its host: an exception inside a call
// (memory exhausted while listing, say) ends that call with the result 0, as
// every other failure does, instead of terminating the host process.
#pragma once

namespace permwell {

template <typename Call>
int fail_safe(Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        return 0;
    }
}

}  // namespace permwell
