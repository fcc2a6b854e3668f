// A failure line of the installer log, against its bare part: the installer's
// MsiProcessMessage of a record made once. The figure shows what formatting the
// line, the record around it and the cancel check cost on top. Each line is also
// counted for its process-heap allocations (the target is none: the line is built
// in static buffers, and the record belongs to the installer).
#include <benchmark/benchmark.h>

#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/seams.h"
#include "runtime/context_log.h"

namespace {

// The installer keeps every message it receives; a fresh session every so many
// lines keeps that record from growing without bound during the run.
constexpr int kLinesPerSession = 4096;

class Session {
  public:
    Session() { Open(); }
    ~Session() { Close(); }
    void Renew(benchmark::State& state) {
        state.PauseTiming();
        Close();
        Open();
        state.ResumeTiming();
    }
    MSIHANDLE install() const { return install_; }

  private:
    void Open() {
        install_ = InstallerOpenSession();
        ActionBegin(install_, "CAUpdateOfflineReg");
    }
    void Close() {
        ActionEnd(0);
        InstallerCloseSession(install_);
    }
    MSIHANDLE install_ = 0;
};

void BM_LogFailureLine(benchmark::State& state) {
    Session session;
    const WCHAR path[] = WSTR("C:\\Program Files (x86)\\Ostrel\\Ostrel Desk\\register.htm");
    const size_t before = SeamHeapAllocationCount();
    int lines = 0;
    for (auto _ : state) {
        LogFailure(static_cast<HRESULT>(0x80070002), "Failed to open file: %S", path);
        if (++lines % kLinesPerSession == 0) {
            session.Renew(state);
        }
    }
    state.counters["heap_allocations_per_line"] =
        static_cast<double>(SeamHeapAllocationCount() - before) / static_cast<double>(lines);
}
BENCHMARK(BM_LogFailureLine);

void BM_LogFailureLine_Baseline(benchmark::State& state) {
    Session session;
    const MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0,
                        WSTR("CAUpdateOfflineReg:  Error 0x80070002: Failed to open file: "
                             "C:\\Program Files (x86)\\Ostrel\\Ostrel Desk\\register.htm"));
    int lines = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(MsiProcessMessage(session.install(), INSTALLMESSAGE_INFO, record));
        if (++lines % kLinesPerSession == 0) {
            session.Renew(state);
        }
    }
    MsiCloseHandle(record);
}
BENCHMARK(BM_LogFailureLine_Baseline);

}  // namespace
