// The armed failures of the test seams: which call of which API must fail, and with
// which code. Counting starts when a failure is armed; each API keeps its own count.
// Failure points number every call of every API in one sequence, for a harness
// that fails each in turn.
#include "platform/posix/shared/seams.h"

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

struct ArmedFailure {
    unsigned nth;  // fails when the API's count reaches this
    uint32_t code;
};

struct PointState {
    bool armed = false;
    unsigned failAt = 0;  // 0: count only
    bool persistent = false;
    std::map<std::string, unsigned> ordinals;  // calls per API since armed
    std::vector<SeamPoint> seen;
};

struct SeamState {
    std::mutex lock;
    std::map<std::string, unsigned> callCounts;
    std::multimap<std::string, ArmedFailure> failures;
    PointState points;
    std::set<std::string> apiNames;  // keeps the names SeamPoint points to
};

// Codes of the APIs' usual failures.
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorNoUnicodeTranslation = 1113;
constexpr uint32_t kErrorFunctionFailed = 1627;  // the installer's generic failure
constexpr uint32_t kRpcOutOfMemory = 14;
constexpr uint32_t kWinHttpCannotConnect = 12029;
constexpr uint32_t kEFail = 0x80004005;

// Counts one point and tells whether it fails. Caller holds the lock.
bool PointFails(SeamState& state, const char* api) {
    PointState& points = state.points;
    if (!points.armed) {
        return false;
    }
    const std::string& name = *state.apiNames.insert(api).first;
    points.seen.push_back(SeamPoint{name.c_str(), ++points.ordinals[name]});
    const unsigned number = static_cast<unsigned>(points.seen.size());
    return points.failAt != 0 &&
           (number == points.failAt || (points.persistent && number > points.failAt));
}

SeamState& State() {
    static SeamState* state = new SeamState();  // never destroyed: used until exit
    return *state;
}

}  // namespace

void SeamFailNthCall(const char* api, unsigned nth, uint32_t code) {
    SeamState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (nth == 0) {
        return;
    }
    // Counting restarts for this API so that n counts from now on.
    const unsigned already = state.callCounts[api];
    state.failures.insert({api, ArmedFailure{already + nth, code}});
}

void SeamClearFailures() {
    SeamState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.failures.clear();
    }
    SeamFailNthAllocation(0);
}

bool SeamCallFails(const char* api, uint32_t* code) {
    SeamState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    const unsigned count = ++state.callCounts[api];
    if (PointFails(state, api)) {
        if (code != nullptr) {
            *code = SeamPointFailureCode(api);
        }
        return true;
    }
    auto range = state.failures.equal_range(api);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.nth == count) {
            if (code != nullptr) {
                *code = it->second.code;
            }
            state.failures.erase(it);
            return true;
        }
    }
    return false;
}

void SeamPointsArm(unsigned point, bool persistent) {
    SeamState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.points = PointState();
    state.points.armed = true;
    state.points.failAt = point;
    state.points.persistent = persistent;
}

void SeamPointsDisarm() {
    SeamState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.points.armed = false;
    state.points.failAt = 0;
}

unsigned SeamPointsCounted() {
    SeamState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return static_cast<unsigned>(state.points.seen.size());
}

std::vector<SeamPoint> SeamPointsSeen() {
    SeamState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.points.seen;
}

uint32_t SeamPointFailureCode(const char* api) {
    const std::string name(api);
    auto startsWith = [&name](const char* prefix) { return name.rfind(prefix, 0) == 0; };
    if (startsWith("Heap")) {
        return name == "HeapSize" ? kErrorInvalidParameter : kErrorNotEnoughMemory;
    }
    if (startsWith("Msi")) {
        return kErrorFunctionFailed;
    }
    if (startsWith("Uuid") || startsWith("Rpc")) {
        return kRpcOutOfMemory;
    }
    if (startsWith("WinHttp")) {
        return kWinHttpCannotConnect;
    }
    if (name == "MultiByteToWideChar" || name == "WideCharToMultiByte") {
        return kErrorNoUnicodeTranslation;
    }
    // COM: the functions of ole32 and the methods of its interfaces, named
    // Interface::Method, report HRESULTs.
    if (startsWith("Co") || startsWith("CLSID") || name.find("::") != std::string::npos) {
        return kEFail;
    }
    // Files, the registry and the rest report a Win32 error.
    return kErrorAccessDenied;
}
