// Unescaping of HTML entities in page titles, at the size of a whole page.
#include <benchmark/benchmark.h>

#include <string>

#include "kit/NSStringGTMNSStringHTMLAdditions.h"

namespace {

std::u16string repeated(const std::u16string& piece, size_t bytes) {
    std::u16string out;
    while (out.size() * sizeof(char16_t) < bytes) out += piece;
    return out;
}

// 1 MiB of text made only of entities: the worst case for replacement in place.
void BM_UnescapeEntities(benchmark::State& state) {
    const std::u16string input = repeated(u"&amp;", size_t{1} << 20);
    for (auto _ : state) benchmark::DoNotOptimize(NSStringGTMNSStringHTMLAdditions::gtm_stringByUnescapingFromHTML(input));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size() * sizeof(char16_t)));
}
BENCHMARK(BM_UnescapeEntities)->Unit(benchmark::kMillisecond);

// 1 MiB of mixed named and numeric references and plain text.
void BM_UnescapeMixed(benchmark::State& state) {
    const std::u16string input = repeated(u"Tom &amp; Jerry&#8217;s &quot;Show&quot; &#x41; &eacute; & x; ", size_t{1} << 20);
    for (auto _ : state) benchmark::DoNotOptimize(NSStringGTMNSStringHTMLAdditions::gtm_stringByUnescapingFromHTML(input));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(input.size() * sizeof(char16_t)));
}
BENCHMARK(BM_UnescapeMixed)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
