// The offline registration page's merge at a size far beyond any real page: a
// 10 MiB service tag with 1 % double quotes encoded (EncodeServiceTag) and merged
// (FillRegistrationPage, the in-memory half of MergeOfflineRegistration) into a
// 10 MiB page, against a memcpy of the same 20 MiB. Both are linear; the ratio
// says how many copies' worth of time the encoding and merge take (an encoding
// that rescans the text for every quote is below 0.001 here).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstring>
#include <string>
#include <vector>

#include "actions/registration_files.h"
#include "runtime/heap_string.h"

namespace {

constexpr size_t kBytes = 10 << 20;
const char16_t kUrn[] = u"urn:st:0f6a9c2e-4b1d-4e8a-9c3f-7d2b5e8a1c40";

// A service tag of kBytes XML-like bytes, one in a hundred a double quote.
std::string ServiceTag() {
    std::string tag(kBytes, 'x');
    for (size_t i = 0; i < tag.size(); ++i) {
        tag[i] = i % 100 == 37 ? '"' : static_cast<char>('a' + i % 26);
    }
    return tag;
}

// A page of kBytes bytes with the two placeholders in its middle, as a form is.
std::string Page() {
    std::string page(kBytes, '.');
    for (size_t i = 0; i < page.size(); i += 64) {
        page[i] = '\n';
    }
    page.replace(kBytes / 2, 4, "WXYZ");
    page.replace(kBytes / 2 + 200, 4, "TUVW");
    return page;
}

void BM_OfflineMerge(benchmark::State& state) {
    // The posix heap hands out a fresh block for every allocation and resize, and
    // blocks this large come from the kernel as fresh pages, each cleared on its
    // first touch: that clearing would take more time than the library's own work
    // and is the same for any code. The allocator is told to keep freed memory, so
    // the figure is the encoding and the merge.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    const std::string tag = ServiceTag();
    const std::string page = Page();
    const DWORD urnLength = static_cast<DWORD>(sizeof(kUrn) / sizeof(kUrn[0]) - 1);
    size_t quotes = 0;
    for (char c : tag) {
        quotes += c == '"' ? 1 : 0;
    }
    const size_t merged = page.size() + urnLength + tag.size() + 2 * quotes - 8;
    for (auto _ : state) {
        state.PauseTiming();
        BYTE* block = static_cast<BYTE*>(MemAlloc(page.size(), FALSE));
        std::memcpy(block, page.data(), page.size());
        DWORD size = static_cast<DWORD>(page.size());
        LPSTR encoded = nullptr;
        state.ResumeTiming();

        HRESULT hr = EncodeServiceTag(&encoded, reinterpret_cast<const BYTE*>(tag.data()),
                                      static_cast<DWORD>(tag.size()));
        if (SUCCEEDED(hr)) {
            hr = FillRegistrationPage(u"register.htm", &block, &size, kUrn, urnLength, encoded,
                                      static_cast<DWORD>(lstrlenA(encoded)));
        }
        benchmark::DoNotOptimize(block);

        state.PauseTiming();
        if (FAILED(hr) || size != merged) {
            state.SkipWithError("the merge failed or gave the wrong size");
        }
        StrFree(encoded);
        MemFree(block);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kBytes);
}
BENCHMARK(BM_OfflineMerge)->Unit(benchmark::kMillisecond);

void BM_OfflineMerge_Baseline(benchmark::State& state) {
    const std::string tag = ServiceTag();
    const std::string page = Page();
    std::vector<char> tagCopy(tag.size());
    std::vector<char> pageCopy(page.size());
    for (auto _ : state) {
        std::memcpy(tagCopy.data(), tag.data(), tag.size());
        std::memcpy(pageCopy.data(), page.data(), page.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * kBytes);
}
BENCHMARK(BM_OfflineMerge_Baseline)->Unit(benchmark::kMillisecond);

}  // namespace
