// The armed failures of the test seams: which call of which API must fail, and with
// which code. Counting starts when a failure is armed; each API keeps its own count.
#include "platform/posix/shared/seams.h"

#include <cstring>
#include <map>
#include <mutex>
#include <string>

namespace {

struct ArmedFailure {
    unsigned nth;  // fails when the API's count reaches this
    uint32_t code;
};

struct SeamState {
    std::mutex lock;
    std::map<std::string, unsigned> callCounts;
    std::multimap<std::string, ArmedFailure> failures;
};

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
