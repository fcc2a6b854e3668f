// Heap strings when the heap or the code page conversion lets them down: a block
// whose size cannot be read, an allocation refused at each point where an operation
// grows, a conversion that fails, and a free of something that is not a heap block.
// Every case ends with as many live heap blocks as it started with.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/posix/shared/seams.h"
#include "runtime/heap_string.h"

namespace {

using WString = std::basic_string<WCHAR>;
using Operation = std::function<HRESULT(LPWSTR*)>;

class HeapStringFailure : public ::testing::Test {
  protected:
    void SetUp() override { liveAtStart_ = SeamLiveHeapBlocks(); }
    void TearDown() override {
        SeamClearFailures();
        EXPECT_EQ(liveAtStart_, SeamLiveHeapBlocks()) << "heap blocks left live";
    }

    size_t liveAtStart_ = 0;
};

// A heap string holding `text` in a block of exactly `capacity` characters.
LPWSTR MakeString(const WCHAR* text, DWORD capacity) {
    LPWSTR string = nullptr;
    EXPECT_EQ(S_OK, BufResize(&string, capacity, sizeof(WCHAR)));
    EXPECT_EQ(S_OK, WStrCopy(&string, text, 0));
    return string;
}

DWORD CapacityOf(LPCWSTR string) {
    DWORD capacity = 0;
    EXPECT_EQ(S_OK, WStrCapacity(string, &capacity));
    return capacity;
}

// Every character of the block, the terminator and what lies behind it included,
// so that a comparison tells whether anything in the block changed.
WString WholeBlock(LPCWSTR string) {
    if (string == nullptr) {
        return WString();
    }
    DWORD capacity = 0;
    if (FAILED(WStrCapacity(string, &capacity))) {
        ADD_FAILURE() << "block size cannot be read";
        return WString();
    }
    return WString(string, capacity);
}

WString Letters(size_t length) {
    WString text;
    for (size_t i = 0; i < length; ++i) {
        text.push_back(static_cast<WCHAR>('a' + i % 26));
    }
    return text;
}

TEST_F(HeapStringFailure, UnreadableBlockSizeRefusesEveryWriteAndChangesNothing) {
    const WString longText = Letters(300);
    struct Case {
        const char* name;
        Operation operation;
    };
    const Case cases[] = {
        {"copy that fits", [](LPWSTR* s) { return WStrCopy(s, WSTR("ab"), 0); }},
        {"copy that grows", [](LPWSTR* s) { return WStrCopy(s, WSTR("longer than sixteen"), 0); }},
        {"append that fits", [](LPWSTR* s) { return WStrAppend(s, WSTR("!"), 0); }},
        {"append that grows", [](LPWSTR* s) { return WStrAppend(s, WSTR(" and much more"), 0); }},
        {"printf that fits", [](LPWSTR* s) { return WStrPrintf(s, WSTR("%d"), 7); }},
        {"printf that grows",
         [&longText](LPWSTR* s) { return WStrPrintf(s, WSTR("%s"), longText.c_str()); }},
        {"counted bytes", [](LPWSTR* s) { return WStrFromBytes(s, "bytes", 5, CP_UTF8); }},
        {"terminated bytes", [](LPWSTR* s) { return WStrFromBytes(s, "bytes", 0, CP_UTF8); }},
    };
    for (const Case& c : cases) {
        LPWSTR string = MakeString(WSTR("keep"), 16);
        LPWSTR const block = string;
        const WString before = WholeBlock(string);
        const size_t live = SeamLiveHeapBlocks();

        SeamFailNthCall("HeapSize", 1, ERROR_INVALID_HANDLE);
        EXPECT_EQ(E_INVALIDARG, c.operation(&string)) << c.name;
        SeamClearFailures();
        EXPECT_EQ(block, string) << c.name;
        EXPECT_EQ(before, WholeBlock(string)) << c.name;
        EXPECT_EQ(live, SeamLiveHeapBlocks()) << c.name;

        // Once the size can be read the same call goes through: the refusal above
        // came from the heap, not from the arguments.
        EXPECT_EQ(S_OK, c.operation(&string)) << c.name;
        StrFree(string);
        EXPECT_EQ(liveAtStart_, SeamLiveHeapBlocks()) << c.name;
    }
}

TEST_F(HeapStringFailure, UnreadableBlockSizeGivesNoCapacity) {
    LPWSTR string = MakeString(WSTR("keep"), 8);

    SeamFailNthCall("HeapSize", 1, ERROR_INVALID_HANDLE);
    DWORD capacity = 0;
    EXPECT_EQ(E_FAIL, WStrCapacity(string, &capacity));
    EXPECT_EQ(0xFFFFFFFFu, capacity);

    SeamFailNthCall("HeapSize", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(kUnknownBlockSize, MemSize(string));

    EXPECT_EQ(S_OK, WStrCapacity(string, &capacity));
    EXPECT_EQ(8u, capacity);
    StrFree(string);
}

TEST_F(HeapStringFailure, PointersThatAreNoHeapBlockAreRefused) {
    WCHAR onTheStack[8] = {'s', 't', 'a', 'c', 'k', 0, 0, 0};
    LPWSTR heapString = MakeString(WSTR("heap text"), 16);
    LPWSTR const inside = heapString + 2;

    for (LPWSTR foreign : {static_cast<LPWSTR>(onTheStack), inside}) {
        EXPECT_EQ(E_FAIL, MemFree(foreign));
        EXPECT_EQ(E_FAIL, StrFree(foreign));
        EXPECT_EQ(kUnknownBlockSize, MemSize(foreign));
        DWORD capacity = 0;
        EXPECT_EQ(E_FAIL, WStrCapacity(foreign, &capacity));
        EXPECT_EQ(0xFFFFFFFFu, capacity);
        // A write into it is refused before anything is touched.
        LPWSTR variable = foreign;
        EXPECT_EQ(E_INVALIDARG, WStrCopy(&variable, WSTR("x"), 0));
        EXPECT_EQ(E_INVALIDARG, WStrAppend(&variable, WSTR("x"), 0));
        EXPECT_EQ(E_INVALIDARG, WStrPrintf(&variable, WSTR("x")));
        EXPECT_EQ(E_INVALIDARG, WStrFromBytes(&variable, "x", 1, CP_UTF8));
        EXPECT_EQ(foreign, variable);
    }
    EXPECT_EQ(WString(WSTR("stack")), onTheStack);
    // The heap block whose middle was offered is still live and whole.
    EXPECT_EQ(WString(WSTR("heap text")), heapString);
    EXPECT_EQ(16u, CapacityOf(heapString));
    EXPECT_EQ(S_OK, StrFree(heapString));
}

TEST_F(HeapStringFailure, RefusedAllocationKeepsTheOldBlockAndText) {
    struct Case {
        const char* name;
        Operation operation;
    };
    const Case cases[] = {
        {"wide resize", [](LPWSTR* s) { return BufResize(s, 64, sizeof(WCHAR)); }},
        {"byte resize", [](LPWSTR* s) { return BufResize(s, 64, 1); }},
        {"copy", [](LPWSTR* s) { return WStrCopy(s, WSTR("a text longer than the block"), 0); }},
        {"counted copy", [](LPWSTR* s) { return WStrCopy(s, WSTR("abc"), 40); }},
        {"append", [](LPWSTR* s) { return WStrAppend(s, WSTR(" and more text"), 0); }},
        {"counted bytes",
         [](LPWSTR* s) { return WStrFromBytes(s, "https://reg.example/x", 21, CP_UTF8); }},
        {"terminated bytes",
         [](LPWSTR* s) { return WStrFromBytes(s, "https://reg.example/x", 0, CP_UTF8); }},
    };
    for (const Case& c : cases) {
        for (bool startNull : {true, false}) {
            LPWSTR string = startNull ? nullptr : MakeString(WSTR("keep"), 5);
            LPWSTR const block = string;
            const WString before = WholeBlock(string);
            const size_t live = SeamLiveHeapBlocks();

            SeamFailNthAllocation(1);
            EXPECT_EQ(E_OUTOFMEMORY, c.operation(&string)) << c.name << " null " << startNull;
            SeamClearFailures();
            EXPECT_EQ(block, string) << c.name << " null " << startNull;
            EXPECT_EQ(before, WholeBlock(string)) << c.name << " null " << startNull;
            EXPECT_EQ(live, SeamLiveHeapBlocks()) << c.name << " null " << startNull;

            // With the heap willing, the same call grows the string.
            EXPECT_EQ(S_OK, c.operation(&string)) << c.name << " null " << startNull;
            EXPECT_GT(CapacityOf(string), 5u) << c.name << " null " << startNull;
            StrFree(string);
            EXPECT_EQ(liveAtStart_, SeamLiveHeapBlocks()) << c.name << " null " << startNull;
        }
    }
}

TEST_F(HeapStringFailure, PrintfFreesItsEntryBlockWhenAGrowthIsRefused) {
    struct Case {
        const char* name;
        DWORD entryCapacity;  // 0: the variable is null on entry
        size_t outputLength;
        unsigned refusedAllocation;
        bool leftNull;
        DWORD keptCapacity;  // when not null: holds the output cut to keptCapacity - 1
    };
    const Case cases[] = {
        {"first block of a null variable", 0, 10, 1, true, 0},
        {"first growth from a null variable", 0, 300, 2, true, 0},
        {"second growth from a null variable", 0, 600, 3, false, 512},
        {"third growth from a null variable", 0, 1100, 4, false, 1024},
        {"first growth of an entry block", 10, 30, 1, true, 0},
        {"second growth of an entry block", 10, 50, 2, false, 20},
    };
    for (const Case& c : cases) {
        LPWSTR string = c.entryCapacity == 0 ? nullptr : MakeString(WSTR("old"), c.entryCapacity);
        const WString output = Letters(c.outputLength);

        SeamFailNthAllocation(c.refusedAllocation);
        EXPECT_EQ(E_OUTOFMEMORY, WStrPrintf(&string, WSTR("%s"), output.c_str())) << c.name;
        SeamClearFailures();

        // The block held on entry is gone in every case; what is live is at most
        // the block the variable now holds.
        EXPECT_EQ(liveAtStart_ + (c.leftNull ? 0 : 1), SeamLiveHeapBlocks()) << c.name;
        if (c.leftNull) {
            EXPECT_EQ(nullptr, string) << c.name;
        } else {
            ASSERT_NE(nullptr, string) << c.name;
            EXPECT_EQ(c.keptCapacity, CapacityOf(string)) << c.name;
            EXPECT_EQ(output.substr(0, c.keptCapacity - 1), string) << c.name;
            StrFree(string);
        }
    }
}

TEST_F(HeapStringFailure, PrintfKeepsABlockOfOneByteWhenItCannotBeRaised) {
    LPWSTR string = static_cast<LPWSTR>(MemAlloc(1, TRUE));
    ASSERT_NE(nullptr, string);
    LPWSTR const block = string;

    SeamFailNthAllocation(1);
    EXPECT_EQ(E_OUTOFMEMORY, WStrPrintf(&string, WSTR("%d"), 42));
    SeamClearFailures();
    EXPECT_EQ(block, string);
    EXPECT_EQ(1u, MemSize(string));
    EXPECT_EQ(liveAtStart_ + 1, SeamLiveHeapBlocks());
    StrFree(string);
}

TEST_F(HeapStringFailure, PrintfArgumentPointingAtItsOwnTextSurvivesTheGrowth) {
    LPWSTR string = MakeString(WSTR("abc"), 4);
    ASSERT_EQ(S_OK, WStrPrintf(&string, WSTR("%s/%s"), string, string));
    EXPECT_EQ(WString(WSTR("abc/abc")), string);
    EXPECT_EQ(8u, CapacityOf(string));
    StrFree(string);
}

TEST_F(HeapStringFailure, PrintfFailsAtOnceOnAFormatTheFormatterRefuses) {
    // "%n" is refused by this build's formatter: no block would ever be big enough,
    // so the string is not grown at all and keeps no partial text.
    int count = 0;
    LPWSTR string = MakeString(WSTR("earlier text"), 20);
    LPWSTR const block = string;
    EXPECT_EQ(E_INVALIDARG, WStrPrintf(&string, WSTR("ab%ncd"), &count));
    EXPECT_EQ(block, string);
    EXPECT_EQ(20u, CapacityOf(string));
    EXPECT_EQ(WString(), string);
    StrFree(string);

    LPWSTR fresh = nullptr;
    EXPECT_EQ(E_INVALIDARG, WStrPrintf(&fresh, WSTR("%s%n"), WSTR("x"), &count));
    ASSERT_NE(nullptr, fresh);
    EXPECT_EQ(256u, CapacityOf(fresh));
    EXPECT_EQ(WString(), fresh);
    StrFree(fresh);
    EXPECT_EQ(0, count);
}

TEST_F(HeapStringFailure, PrintfStillDoublesWhenTheOutputIsOnlyLong) {
    const WString longText(1000, WSTR('y'));
    LPWSTR string = MakeString(WSTR("abc"), 10);
    ASSERT_EQ(S_OK, WStrPrintf(&string, WSTR("%s"), longText.c_str()));
    EXPECT_EQ(longText, string);
    EXPECT_EQ(1280u, CapacityOf(string));  // 10, 20, ... 1280
    StrFree(string);
}

TEST_F(HeapStringFailure, FailedConversionGivesTheFoldedLastError) {
    struct Case {
        const char* name;
        bool startNull;
        DWORD count;       // 0: bytes up to their terminator (size query, then conversion)
        unsigned nthCall;  // which MultiByteToWideChar call fails
        uint32_t lastError;
        HRESULT expected;
    };
    const Case cases[] = {
        {"size query, existing string", false, 0, 1, ERROR_NO_UNICODE_TRANSLATION,
         static_cast<HRESULT>(0x80070459)},
        {"size query, null variable", true, 0, 1, ERROR_INVALID_PARAMETER, E_INVALIDARG},
        {"conversion after the size query", false, 0, 2, ERROR_NO_UNICODE_TRANSLATION,
         static_cast<HRESULT>(0x80070459)},
        {"counted conversion", true, 24, 1, ERROR_INSUFFICIENT_BUFFER,
         static_cast<HRESULT>(0x8007007A)},
        {"last error 0", false, 24, 1, 0, E_FAIL},
        {"last error 0 on the size query", true, 0, 1, 0, E_FAIL},
        {"last error beyond 16 bits", false, 24, 1, 0x00012345, static_cast<HRESULT>(0x80072345)},
        {"last error that is already a status", false, 24, 1, 0x8007000E, E_OUTOFMEMORY},
    };
    const char bytes[] = "https://reg.example/post";  // 24 bytes
    for (const Case& c : cases) {
        LPWSTR string = c.startNull ? nullptr : MakeString(WSTR("keep"), 5);
        LPWSTR const block = string;
        const WString before = WholeBlock(string);

        SeamFailNthCall("MultiByteToWideChar", c.nthCall, c.lastError);
        EXPECT_EQ(c.expected, WStrFromBytes(&string, bytes, c.count, CP_UTF8)) << c.name;
        SeamClearFailures();

        if (c.count == 0 && c.nthCall == 1) {
            // The size query failed: nothing was allocated or written.
            EXPECT_EQ(block, string) << c.name;
            EXPECT_EQ(before, WholeBlock(string)) << c.name;
        } else {
            // The conversion failed: the variable holds the block grown for the text.
            ASSERT_NE(nullptr, string) << c.name;
            EXPECT_EQ(25u, CapacityOf(string)) << c.name;
        }

        // The variable is still usable: the next conversion fills it.
        ASSERT_EQ(S_OK, WStrFromBytes(&string, bytes, c.count, CP_UTF8)) << c.name;
        EXPECT_EQ(WString(WSTR("https://reg.example/post")), string) << c.name;
        StrFree(string);
        EXPECT_EQ(liveAtStart_, SeamLiveHeapBlocks()) << c.name;
    }
}

}  // namespace
