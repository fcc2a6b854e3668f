// Heap strings: growth rules, capacities read from the heap, zero fill behind the
// text, the self-copy, and the count limits. Needs no test seam: runs in the Linux
// build and, built for Windows, against the real process heap.
#include <gtest/gtest.h>

#include <string>

#include "runtime/heap_string.h"

namespace {

using WString = std::basic_string<WCHAR>;

DWORD Capacity(LPCWSTR text) {
    DWORD capacity = 0;
    EXPECT_EQ(S_OK, WStrCapacity(text, &capacity));
    return capacity;
}

// Every character from `from` up to the capacity is zero.
bool ZeroBehind(LPCWSTR text, DWORD from) {
    const DWORD capacity = Capacity(text);
    for (DWORD i = from; i < capacity; ++i) {
        if (text[i] != 0) {
            return false;
        }
    }
    return true;
}

WString Repeat(WCHAR c, size_t n) {
    return WString(n, c);
}

TEST(HeapBuffers, ResizeRefusesCountsFromTheLimitUpAndKeepsTheVariable) {
    for (DWORD elementSize : {1u, 2u}) {
        void* buffer = nullptr;
        EXPECT_EQ(E_OUTOFMEMORY, BufResize(&buffer, kMaxBufferCount, elementSize));
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(E_OUTOFMEMORY, BufResize(&buffer, 0xFFFFFFFFu, elementSize));
        EXPECT_EQ(nullptr, buffer);

        ASSERT_EQ(S_OK, BufResize(&buffer, 4, elementSize));
        void* const kept = buffer;
        EXPECT_EQ(E_OUTOFMEMORY, BufResize(&buffer, kMaxBufferCount, elementSize));
        EXPECT_EQ(kept, buffer);
        EXPECT_EQ(4 * elementSize, MemSize(buffer));
        MemFree(buffer);
    }
}

TEST(HeapBuffers, FreshBlockIsZeroFilledAndReallocationKeepsContent) {
    BYTE* bytes = nullptr;
    ASSERT_EQ(S_OK, BufResize(&bytes, 5, 1));
    ASSERT_EQ(5u, MemSize(bytes));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0, bytes[i]);
        bytes[i] = static_cast<BYTE>('a' + i);
    }
    ASSERT_EQ(S_OK, BufResize(&bytes, 9, 1));
    EXPECT_EQ(9u, MemSize(bytes));
    EXPECT_EQ(0, std::string(reinterpret_cast<char*>(bytes), 5).compare("abcde"));
    ASSERT_EQ(S_OK, BufResize(&bytes, 2, 1));  // a smaller count shrinks the block
    EXPECT_EQ(2u, MemSize(bytes));
    EXPECT_EQ('a', bytes[0]);
    EXPECT_EQ('b', bytes[1]);
    MemFree(bytes);
}

TEST(HeapBuffers, ReAllocWithZeroFillClearsOnlyTheAddedBytes) {
    auto* bytes = static_cast<BYTE*>(MemAlloc(3, FALSE));
    ASSERT_NE(nullptr, bytes);
    bytes[0] = 1;
    bytes[1] = 2;
    bytes[2] = 3;
    bytes = static_cast<BYTE*>(MemReAlloc(bytes, 6, TRUE));
    ASSERT_NE(nullptr, bytes);
    const BYTE expected[6] = {1, 2, 3, 0, 0, 0};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(expected[i], bytes[i]) << "byte " << i;
    }
    EXPECT_EQ(S_OK, MemFree(bytes));
}

TEST(HeapStringCapacity, IsHalfTheBlockSizeWithAnOddByteNotCounted) {
    EXPECT_EQ(0u, Capacity(nullptr));
    void* seven = MemAlloc(7, TRUE);
    void* one = MemAlloc(1, TRUE);
    ASSERT_NE(nullptr, seven);
    ASSERT_NE(nullptr, one);
    EXPECT_EQ(3u, Capacity(static_cast<LPCWSTR>(seven)));
    EXPECT_EQ(0u, Capacity(static_cast<LPCWSTR>(one)));
    MemFree(seven);
    MemFree(one);
}

TEST(HeapStringCopy, TakesTheCountOrTheWholeSourceAndGrowsExactly) {
    struct Case {
        DWORD count;
        const WCHAR* expected;
        DWORD capacity;
    };
    const Case cases[] = {
        {3, WSTR("abc"), 4},
        {0, WSTR("abcdef"), 7},
        {10, WSTR("abcdef"), 11},  // stops at the terminator, still grows to count + 1
    };
    for (const Case& c : cases) {
        LPWSTR text = nullptr;
        ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("abcdef"), c.count));
        EXPECT_EQ(WString(c.expected), text) << "count " << c.count;
        EXPECT_EQ(c.capacity, Capacity(text)) << "count " << c.count;
        EXPECT_TRUE(ZeroBehind(text, static_cast<DWORD>(WString(c.expected).size())));
        StrFree(text);
    }
}

TEST(HeapStringCopy, NullSourceGivesAnEmptyStringInOneCharacter) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrCopy(&text, nullptr, 0));
    ASSERT_NE(nullptr, text);
    EXPECT_EQ(WString(), text);
    EXPECT_EQ(1u, Capacity(text));
    StrFree(text);
}

TEST(HeapStringCopy, ReusesALargeBlockAndZeroesBehindTheText) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, BufResize(&text, 100, sizeof(WCHAR)));
    for (int i = 0; i < 99; ++i) {
        text[i] = 'x';
    }
    LPWSTR const block = text;
    ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("abc"), 0));
    EXPECT_EQ(block, text);
    EXPECT_EQ(WString(WSTR("abc")), text);
    EXPECT_EQ(100u, Capacity(text));
    EXPECT_TRUE(ZeroBehind(text, 3));
    StrFree(text);
}

TEST(HeapStringCopy, CopyOfItsOwnFirstCharactersKeepsTheBlock) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("Processor Name"), 0));
    LPWSTR const block = text;
    ASSERT_EQ(S_OK, WStrCopy(&text, text, 4));
    EXPECT_EQ(block, text);
    EXPECT_EQ(WString(WSTR("Proc")), text);
    EXPECT_TRUE(ZeroBehind(text, 4));
    StrFree(text);
}

TEST(HeapStringCopy, OwnTextWithACountBeyondItIsReadFromTheBlockItLivesIn) {
    struct Case {
        size_t offset;  // where in the string the source starts
        DWORD count;
        const WCHAR* expected;
    };
    const Case cases[] = {
        {0, 10, WSTR("abc")},  // more than the text holds
        {0, 0, WSTR("abc")},
        {1, 50, WSTR("bc")},
        {3, 7, WSTR("")},  // the terminator itself
    };
    for (const Case& c : cases) {
        LPWSTR text = nullptr;
        ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("abc"), 0));  // capacity 4
        LPWSTR const block = text;
        ASSERT_EQ(S_OK, WStrCopy(&text, text + c.offset, c.count));
        // The text never outgrows its own block, so the block stays where it is.
        EXPECT_EQ(block, text) << c.offset << " " << c.count;
        EXPECT_EQ(4u, Capacity(text));
        EXPECT_EQ(WString(c.expected), text) << c.offset << " " << c.count;
        EXPECT_TRUE(ZeroBehind(text, static_cast<DWORD>(WString(c.expected).size())));
        StrFree(text);
    }
}

TEST(HeapStringCopy, CountsThatCannotBeAllocatedLeaveTheString) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("keep"), 0));
    LPWSTR const block = text;
    // count + 1 reaches the limit: refused before any character is read.
    EXPECT_EQ(E_OUTOFMEMORY, WStrCopy(&text, WSTR("x"), 0x7FFFFFFE));
    EXPECT_EQ(E_OUTOFMEMORY, WStrCopy(&text, WSTR("x"), 0xFFFFFFFF));
    EXPECT_EQ(block, text);
    EXPECT_EQ(WString(WSTR("keep")), text);
    StrFree(text);
}

TEST(HeapStringAppend, ReservesTwiceWhatTheResultNeeds) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrAppend(&text, WSTR("abc"), 0));
    EXPECT_EQ(8u, Capacity(text));  // 2 * (0 + 3 + 1)
    ASSERT_EQ(S_OK, WStrAppend(&text, WSTR("de"), 0));
    EXPECT_EQ(8u, Capacity(text));  // 8 - 3 is at least 2 + 1
    ASSERT_EQ(S_OK, WStrAppend(&text, WSTR("fghij"), 0));
    EXPECT_EQ(22u, Capacity(text));  // 2 * (5 + 5 + 1)
    EXPECT_EQ(WString(WSTR("abcdefghij")), text);
    EXPECT_TRUE(ZeroBehind(text, 10));
    StrFree(text);
}

TEST(HeapStringAppend, TakesACountOfTheSourceAndAcceptsANullSource) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrAppend(&text, WSTR("C:\\Program Files\\"), 0));
    ASSERT_EQ(S_OK, WStrAppend(&text, WSTR("register.htm and more"), 12));
    EXPECT_EQ(WString(WSTR("C:\\Program Files\\register.htm")), text);
    ASSERT_EQ(S_OK, WStrAppend(&text, nullptr, 0));
    EXPECT_EQ(WString(WSTR("C:\\Program Files\\register.htm")), text);
    StrFree(text);

    LPWSTR empty = nullptr;
    ASSERT_EQ(S_OK, WStrAppend(&empty, nullptr, 0));
    ASSERT_NE(nullptr, empty);
    EXPECT_EQ(WString(), empty);
    StrFree(empty);
}

TEST(HeapStringAppend, OwnTextIsReadFromTheGrownBlock) {
    struct Case {
        size_t offset;
        DWORD count;
        const WCHAR* expected;
    };
    const Case cases[] = {
        {0, 0, WSTR("abcabc")},
        {1, 0, WSTR("abcbc")},
        {0, 2, WSTR("abcab")},
        {0, 40, WSTR("abcabc")},  // a count beyond the text stops at its terminator
    };
    for (const Case& c : cases) {
        LPWSTR text = nullptr;
        ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("abc"), 0));  // capacity 4: every case grows
        ASSERT_EQ(S_OK, WStrAppend(&text, text + c.offset, c.count));
        EXPECT_EQ(WString(c.expected), text) << c.offset << " " << c.count;
        EXPECT_TRUE(ZeroBehind(text, static_cast<DWORD>(WString(c.expected).size())));
        StrFree(text);
    }
}

TEST(HeapStringAppend, SumsBeyondTheLimitAreRefusedWithoutWrapping) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("abc"), 0));
    LPWSTR const block = text;
    // 2 * (3 + 0x3FFFFFFF + 1) passes 0x7FFFFFFF; 0xFFFFFFFF would wrap 32 bits.
    EXPECT_EQ(E_OUTOFMEMORY, WStrAppend(&text, WSTR("x"), 0x3FFFFFFF));
    EXPECT_EQ(E_OUTOFMEMORY, WStrAppend(&text, WSTR("x"), 0xFFFFFFFF));
    EXPECT_EQ(block, text);
    EXPECT_EQ(WString(WSTR("abc")), text);
    StrFree(text);
}

TEST(HeapStringPrintf, StartsAt256AndDoublesUntilTheOutputFits) {
    struct Case {
        size_t length;
        DWORD capacity;
    };
    const Case cases[] = {{0, 256}, {255, 256}, {256, 512}, {511, 512}, {600, 1024}};
    for (const Case& c : cases) {
        const WString expected = Repeat('q', c.length);
        LPWSTR text = nullptr;
        ASSERT_EQ(S_OK, WStrPrintf(&text, WSTR("%s"), expected.c_str())) << c.length;
        EXPECT_EQ(expected, text);
        EXPECT_EQ(c.capacity, Capacity(text)) << "output of " << c.length;
        StrFree(text);
    }
}

TEST(HeapStringPrintf, ReplacesTheTextAndReusesABlockThatFits) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, BufResize(&text, 10, sizeof(WCHAR)));
    ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("old"), 0));
    LPWSTR const block = text;
    ASSERT_EQ(S_OK, WStrPrintf(&text, WSTR("%d-%d"), 12, 34));
    EXPECT_EQ(block, text);
    EXPECT_EQ(WString(WSTR("12-34")), text);
    EXPECT_EQ(10u, Capacity(text));
    StrFree(text);
}

TEST(HeapStringPrintf, ABlockOfOneByteFirstGrowsTo256) {
    LPWSTR text = static_cast<LPWSTR>(MemAlloc(1, TRUE));
    ASSERT_NE(nullptr, text);
    ASSERT_EQ(S_OK, WStrPrintf(&text, WSTR("%s"), WSTR("hello")));
    EXPECT_EQ(WString(WSTR("hello")), text);
    EXPECT_EQ(256u, Capacity(text));
    StrFree(text);
}

TEST(HeapStringPrintf, GrowsFromTheEntryCapacityByDoubling) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrCopy(&text, Repeat('a', 200).c_str(), 0));  // capacity 201
    const WString expected = Repeat('b', 401);
    ASSERT_EQ(S_OK, WStrPrintf(&text, WSTR("%s"), expected.c_str()));
    EXPECT_EQ(expected, text);
    EXPECT_EQ(402u, Capacity(text));  // 201 doubled once holds 401 characters and the NUL
    StrFree(text);
}

TEST(HeapStringFromBytes, ConvertsACountOrUpToTheTerminator) {
    struct Case {
        const char* bytes;
        DWORD count;
        const WCHAR* expected;
        DWORD capacity;
    };
    const Case cases[] = {
        {"abc", 0, WSTR("abc"), 4},
        {"abc", 2, WSTR("ab"), 3},
        {"\xC3\xA9", 2, WSTR("\u00E9"), 3},  // one two-byte UTF-8 character
        {"", 0, WSTR(""), 1},
        {"https://reg.example/x?y=1", 25, WSTR("https://reg.example/x?y=1"), 26},
    };
    for (const Case& c : cases) {
        LPWSTR text = nullptr;
        ASSERT_EQ(S_OK, WStrFromBytes(&text, c.bytes, c.count, CP_UTF8)) << c.bytes;
        EXPECT_EQ(WString(c.expected), text) << c.bytes;
        EXPECT_EQ(c.capacity, Capacity(text)) << c.bytes;
        StrFree(text);
    }
}

TEST(HeapStringFromBytes, ReusesALargerBlockAndRefusesHugeCounts) {
    LPWSTR text = nullptr;
    ASSERT_EQ(S_OK, WStrCopy(&text, WSTR("a longer earlier value"), 0));
    LPWSTR const block = text;
    ASSERT_EQ(S_OK, WStrFromBytes(&text, "xyz", 3, CP_UTF8));
    EXPECT_EQ(block, text);
    EXPECT_EQ(WString(WSTR("xyz")), text);
    EXPECT_EQ(E_OUTOFMEMORY, WStrFromBytes(&text, "x", 0x7FFFFFFF, CP_UTF8));
    EXPECT_EQ(block, text);
    StrFree(text);
}

}  // namespace
