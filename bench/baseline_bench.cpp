// A check of the benchmark program itself: copying a block with memcpy, against
// the same copy done twice. Its ratio must read about 0.5; a figure far from that
// says the run was disturbed and no ratio of the run can be trusted.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr size_t kBytes = 1 << 20;

void BM_CopyTwice(benchmark::State& state) {
    std::vector<char> source(kBytes, 'x');
    std::vector<char> target(kBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kBytes);
        benchmark::ClobberMemory();
        std::memcpy(target.data(), source.data(), kBytes);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyTwice);

void BM_CopyTwice_Baseline(benchmark::State& state) {
    std::vector<char> source(kBytes, 'x');
    std::vector<char> target(kBytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), kBytes);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CopyTwice_Baseline);

}  // namespace
