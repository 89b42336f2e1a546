// Cost of decoding a request file in the application library, for a typical
// request and for hostile variable lines ("&a" over and over after the output
// path): the decoder must stay linear in the file's size, since every
// instance parses every file on its one polling thread.
#include <benchmark/benchmark.h>

#include <string>

#include "request_text.h"

namespace {

void BM_DecodeTypical(benchmark::State& state) {
    std::string text = "&OUTPUT+FILE=/var/lib/quillgate/work/cgi1A.TMP";
    for (int i = 0; i < 30; ++i) text += "&HTTP+VARIABLE+" + std::to_string(i) + "=some%2Dvalue+with+spaces";
    text += "&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\nname=Ada&topic=ops\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(qga::parse_request(text));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_DecodeTypical);

void BM_DecodeManyAmpersands(benchmark::State& state) {
    std::string text = "&OUTPUT+FILE=x";
    for (std::int64_t i = 0; i < state.range(0); ++i) text += "&a";
    text += "&\r\n#@$ FORM VARIABLES $@#\r\n";
    for (auto _ : state) benchmark::DoNotOptimize(qga::parse_request(text));
    state.SetComplexityN(state.range(0));
}
// Below and above the variable limit; the fit must come out as O(N).
BENCHMARK(BM_DecodeManyAmpersands)->RangeMultiplier(4)->Range(1 << 10, 1 << 18)->Complexity();

}  // namespace

BENCHMARK_MAIN();
