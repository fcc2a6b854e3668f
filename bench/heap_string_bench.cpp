// Growth of a heap string by appends: a chain of 10,000 WStrAppend calls of a
// short name, against one memcpy of the finished text. WStrAppend reserves twice
// what the result needs, so the chain reallocates a logarithmic number of times:
// the "allocations" counter, which must stay near log2 of the chain's length, is
// the growth figure. The time is another matter: every append measures the text it
// appends to (StringCchLengthW, then the concatenation finds the end again), so a
// chain's time grows with the square of its length and the ratio falls tenfold
// or more from 1,000 to 10,000 appends. The library's texts are paths and
// property values, a few appends each.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform/posix/shared/seams.h"
#include "runtime/heap_string.h"

namespace {

const WCHAR kPiece[] = WSTR("Processor_");
constexpr DWORD kPieceLength = sizeof(kPiece) / sizeof(kPiece[0]) - 1;

void BM_AppendChain(benchmark::State& state) {
    const int64_t appends = state.range(0);
    size_t allocations = 0;
    for (auto _ : state) {
        const size_t before = SeamHeapAllocationCount();
        LPWSTR text = nullptr;
        for (int64_t i = 0; i < appends; ++i) {
            WStrAppend(&text, kPiece, 0);
        }
        benchmark::DoNotOptimize(text);
        allocations = SeamHeapAllocationCount() - before;
        StrFree(text);
    }
    state.counters["allocations"] = static_cast<double>(allocations);
}
BENCHMARK(BM_AppendChain)->Arg(1000)->Arg(10000);

void BM_AppendChain_Baseline(benchmark::State& state) {
    const size_t units = static_cast<size_t>(state.range(0)) * kPieceLength + 1;
    std::vector<WCHAR> source(units, WSTR('x'));
    std::vector<WCHAR> target(units);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), units * sizeof(WCHAR));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_AppendChain_Baseline)->Arg(1000)->Arg(10000);

}  // namespace
