// CAQueryWMI over 1,000 rows of 20 columns from the table provider, against the
// same number of bare PropertySet calls (20,000, with the same texts) in the same
// run. Reported per row.
//
// Two tables: /0 where every row's texts begin like the previous row's (each
// value replaces the last, as Disk 1 and Disk 2 do), and /1 where they differ in
// their first four characters (each value is appended, as CPU0, CPU1 are), so the
// properties grow into lists of 1,000 values and every merge reads the list back.
//
// Each column costs four installer calls where the baseline makes one (the size
// query of the merge, PropertyGet's size query and read, then the set), a WMI
// Next with its BSTR and VARIANT, and three heap strings; with lists, the two
// appends of every merge measure and copy the whole list, so /1 grows with the
// square of the rows.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "module/exports.h"
#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/seams.h"
#include "runtime/context_log.h"

namespace {

constexpr int kRows = 1000;
constexpr int kColumns = 20;

std::u16string Digits(int value) {
    std::u16string text;
    for (char c : std::to_string(value)) {
        text += static_cast<char16_t>(c);
    }
    return text;
}

// The table and, beside it, the texts CAQueryWMI makes of its values.
struct Table {
    std::vector<WbemTableColumn> columns;
    std::vector<std::vector<WbemValue>> rows;
    std::vector<std::u16string> texts;  // row by row, column by column
};

// Column c of row r. Appending rows lead with the row number, so no two rows
// share their first four characters; replacing rows lead with a fixed word.
Table MakeTable(bool appending) {
    Table table;
    for (int c = 0; c < kColumns; ++c) {
        const bool text = c % 2 == 0;
        table.columns.push_back({u"Column" + Digits(c), text ? CIM_STRING : CIM_SINT32});
    }
    for (int r = 0; r < kRows; ++r) {
        std::vector<WbemValue> row;
        for (int c = 0; c < kColumns; ++c) {
            const int number = appending ? 1000 + r : 1000;
            if (c % 2 == 0) {
                const std::u16string value = appending
                                                 ? Digits(number) + u" item " + Digits(c)
                                                 : u"Item " + Digits(c) + u" of row " + Digits(r);
                row.push_back(WbemValue::Text(value));
                table.texts.push_back(value);
            } else {
                row.push_back(WbemValue::I4(number * 16 + c));
                table.texts.push_back(Digits(number * 16 + c) + u" (0x...)");
            }
        }
        table.rows.push_back(std::move(row));
    }
    return table;
}

void BM_QueryWmiRows(benchmark::State& state) {
    const Table table = MakeTable(state.range(0) != 0);
    SeamWbemSetTable(u"Win32_BenchRow", table.columns, table.rows);
    for (auto _ : state) {
        const MSIHANDLE install = InstallerOpenSession();
        InstallerSetProperty(install, u"WMIQuery", u"SELECT * FROM Win32_BenchRow");
        if (CAQueryWMI(install) != 0) {
            state.SkipWithError("CAQueryWMI failed");
        }
        InstallerCloseSession(install);
    }
    SeamWbemClearTables();
    state.counters["per_row"] = benchmark::Counter(
        static_cast<double>(kRows),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_QueryWmiRows)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_QueryWmiRows_Baseline(benchmark::State& state) {
    const Table table = MakeTable(state.range(0) != 0);
    for (auto _ : state) {
        const MSIHANDLE install = InstallerOpenSession();
        ActionBegin(install, "Baseline");
        for (int r = 0; r < kRows; ++r) {
            for (int c = 0; c < kColumns; ++c) {
                const std::u16string name = u"BenchRow_Column" + Digits(c);
                PropertySet(name.c_str(),
                            table.texts[static_cast<size_t>(r * kColumns + c)].c_str());
            }
        }
        ActionEnd(0);
        InstallerCloseSession(install);
    }
    state.counters["per_row"] = benchmark::Counter(
        static_cast<double>(kRows),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_QueryWmiRows_Baseline)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
