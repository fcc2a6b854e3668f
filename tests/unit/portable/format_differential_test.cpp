// The differential table (format_differential_table.h) run through the C runtime's
// bounded formatters of this build: the posix formatter on Linux, msvcrt.dll itself
// in the Windows test program. Every row must give msvcrt's result and text.
#define STRSAFE_NO_DEPRECATE  // the C runtime's _vsnprintf and _vsnwprintf are called here
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/win32.h"
#include "tests/unit/portable/format_calls.h"
#include "tests/unit/portable/format_differential_table.h"

namespace {

using format_table::Arguments;
using format_table::Kind;
using format_table::Row;

constexpr size_t kBufferCount = 512;

int Call(char* buffer, const char* format, const Arguments& a) {
    const int x = static_cast<int>(a.a);
    const int y = static_cast<int>(a.b);
    switch (a.kind) {
        case Kind::kNone:
            return BoundedA(buffer, kBufferCount, format);
        case Kind::kInt:
            return BoundedA(buffer, kBufferCount, format, x);
        case Kind::kInts:
            return BoundedA(buffer, kBufferCount, format, x, y);
        case Kind::kInt64:
            return BoundedA(buffer, kBufferCount, format, a.a);
        case Kind::kReal:
            return BoundedA(buffer, kBufferCount, format, a.d);
        case Kind::kIntReal:
            return BoundedA(buffer, kBufferCount, format, x, a.d);
        case Kind::kIntsReal:
            return BoundedA(buffer, kBufferCount, format, x, y, a.d);
        case Kind::kNarrow:
            return BoundedA(buffer, kBufferCount, format, a.narrow);
        case Kind::kWide:
            return BoundedA(buffer, kBufferCount, format, a.wide);
        case Kind::kIntNarrow:
            return BoundedA(buffer, kBufferCount, format, x, a.narrow);
        case Kind::kIntWide:
            return BoundedA(buffer, kBufferCount, format, x, a.wide);
    }
    return -2;
}

int Call(WCHAR* buffer, const WCHAR* format, const Arguments& a) {
    const int x = static_cast<int>(a.a);
    const int y = static_cast<int>(a.b);
    switch (a.kind) {
        case Kind::kNone:
            return BoundedW(buffer, kBufferCount, format);
        case Kind::kInt:
            return BoundedW(buffer, kBufferCount, format, x);
        case Kind::kInts:
            return BoundedW(buffer, kBufferCount, format, x, y);
        case Kind::kInt64:
            return BoundedW(buffer, kBufferCount, format, a.a);
        case Kind::kReal:
            return BoundedW(buffer, kBufferCount, format, a.d);
        case Kind::kIntReal:
            return BoundedW(buffer, kBufferCount, format, x, a.d);
        case Kind::kIntsReal:
            return BoundedW(buffer, kBufferCount, format, x, y, a.d);
        case Kind::kNarrow:
            return BoundedW(buffer, kBufferCount, format, a.narrow);
        case Kind::kWide:
            return BoundedW(buffer, kBufferCount, format, a.wide);
        case Kind::kIntNarrow:
            return BoundedW(buffer, kBufferCount, format, x, a.narrow);
        case Kind::kIntWide:
            return BoundedW(buffer, kBufferCount, format, x, a.wide);
    }
    return -2;
}

template <typename Ch>
size_t Length(const Ch* text) {
    size_t length = 0;
    while (text[length] != 0) {
        ++length;
    }
    return length;
}

// Text as an escaped literal, so that a failing row shows what it got.
template <typename Ch>
std::string Escaped(const Ch* text, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        const unsigned code = static_cast<unsigned>(static_cast<std::make_unsigned_t<Ch>>(text[i]));
        if (code >= 0x20 && code < 0x7F && code != '"' && code != '\\') {
            out.push_back(static_cast<char>(code));
        } else {
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\x%0*X", sizeof(Ch) == 1 ? 2 : 4, code);
            out += escape;
        }
    }
    return out;
}

// Runs every row; a row fails on another result or another text. For a format that
// cannot be carried out only the text before the failure point is compared, as the
// C runtime does not promise what lies behind it.
template <typename Ch>
void RunRows(const Row<Ch>* rows, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const Row<Ch>& row = rows[i];
        Ch buffer[kBufferCount + 1] = {};
        const int result = Call(buffer, row.format, row.arguments);
        const size_t expected =
            row.result >= 0 ? static_cast<size_t>(row.result) : Length(row.output);
        const bool same = result == row.result &&
                          std::char_traits<Ch>::compare(buffer, row.output, expected) == 0;
        EXPECT_TRUE(same) << "row " << i << ", format \"" << Escaped(row.format, Length(row.format))
                          << "\": expected " << row.result << " \"" << Escaped(row.output, expected)
                          << "\", got " << result << " \""
                          << Escaped(buffer,
                                     result >= 0 ? static_cast<size_t>(result) : Length(buffer))
                          << "\"";
    }
}

TEST(FormatDifferential, NarrowRowsGiveWhatMsvcrtGave) {
    size_t count = 0;
    const Row<char>* rows = format_table::NarrowRows(&count);
    ASSERT_GT(count, 700u);
    RunRows(rows, count);
}

TEST(FormatDifferential, WideRowsGiveWhatMsvcrtGave) {
    size_t count = 0;
    const Row<WCHAR>* rows = format_table::WideRows(&count);
    ASSERT_GT(count, 200u);
    RunRows(rows, count);
}

}  // namespace
