// Growth of a heap string by appends: a chain of 10,000 WStrAppend calls of a
// short name, against one memcpy of the finished text. WStrAppend reserves twice
// what the result needs, so the chain's cost must stay proportional to its length
// (amortised linear): the ratio must not fall as the chain gets longer. Counted
// alongside: the heap allocations the chain made.
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
