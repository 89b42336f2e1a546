// Cost of the library's calls on a real file: listing its ACL and replacing
// one account's entry, and listing the current user's groups.
#include <benchmark/benchmark.h>

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "permwell.h"

namespace {

// A file of its own in a fresh directory, removed at the end.
class ScratchFile {
public:
    ScratchFile() {
        char dir[] = "/tmp/permwell-bench-XXXXXX";
        if (mkdtemp(dir) == nullptr) std::abort();
        dir_ = dir;
        path_ = dir_ + "/file";
        if (std::FILE* f = std::fopen(path_.c_str(), "w")) std::fclose(f);
    }
    ~ScratchFile() {
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string dir_;
    std::string path_;
};

std::string current_user() {
    const passwd* pw = getpwuid(geteuid());  // single-threaded set-up
    return pw != nullptr ? pw->pw_name : "root";
}

void BM_ReadAccessRights(benchmark::State& state) {
    ScratchFile file;
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    for (auto _ : state) {
        std::int32_t length = 0;
        if (ReadAccessRights(file.path(), buffer.data(), &length) != 1) state.SkipWithError("ReadAccessRights failed");
        benchmark::DoNotOptimize(length);
    }
}
BENCHMARK(BM_ReadAccessRights);

void BM_SetAccessRights(benchmark::State& state) {
    ScratchFile file;
    for (auto _ : state) {
        if (SetAccessRights(file.path(), "nobody", 0x120089) != 1) state.SkipWithError("SetAccessRights failed");
    }
}
BENCHMARK(BM_SetAccessRights);

void BM_GetUserGroups(benchmark::State& state) {
    const std::string user = current_user();
    std::vector<char> buffer(65536);
    for (auto _ : state) {
        std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
        if (GetUserGroups(user.c_str(), buffer.data(), &length) != 1) state.SkipWithError("GetUserGroups failed");
        benchmark::DoNotOptimize(length);
    }
}
BENCHMARK(BM_GetUserGroups);

}  // namespace

BENCHMARK_MAIN();
