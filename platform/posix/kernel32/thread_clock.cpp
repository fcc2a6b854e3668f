// The thread's last error, interlocked counters, the process id and the UTC clock.
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <mutex>

#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_base.h"

namespace {

thread_local DWORD t_lastError = 0;

std::mutex g_clockLock;
bool g_clockFixed = false;
SYSTEMTIME g_fixedTime{};

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}

void SetLastError(DWORD error) {
    t_lastError = error;
}

LONG InterlockedIncrement(LONG volatile* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

LONG InterlockedDecrement(LONG volatile* value) {
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

void SeamFixSystemTime(const SYSTEMTIME& time) {
    std::lock_guard<std::mutex> guard(g_clockLock);
    g_fixedTime = time;
    g_clockFixed = true;
}

void SeamUseRealClock() {
    std::lock_guard<std::mutex> guard(g_clockLock);
    g_clockFixed = false;
}

void GetSystemTime(LPSYSTEMTIME time) {
    {
        std::lock_guard<std::mutex> guard(g_clockLock);
        if (g_clockFixed) {
            *time = g_fixedTime;
            return;
        }
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    time->wYear = static_cast<WORD>(utc.tm_year + 1900);
    time->wMonth = static_cast<WORD>(utc.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(utc.tm_wday);
    time->wDay = static_cast<WORD>(utc.tm_mday);
    time->wHour = static_cast<WORD>(utc.tm_hour);
    time->wMinute = static_cast<WORD>(utc.tm_min);
    time->wSecond = static_cast<WORD>(utc.tm_sec);
    time->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
