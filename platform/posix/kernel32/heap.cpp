// The process heap: HeapAlloc, HeapReAlloc, HeapFree and HeapSize with exact block
// sizes, over malloc. Every live block is registered, so HeapSize and HeapFree can
// refuse a pointer that is not a live block (as the real heap refuses a bad one)
// and the tests can count what is left. The block returned is exactly the bytes
// asked for, so the sanitizers see any access past its end.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "platform/posix/shared/seams.h"
#include "platform/posix/win32_base.h"

namespace {

struct HeapState {
    std::mutex lock;
    std::unordered_map<const void*, SIZE_T> blocks;
    unsigned allocationsUntilFailure = 0;  // 0: no failure armed
    size_t allocations = 0;                // successful HeapAlloc and HeapReAlloc calls
};

HeapState& State() {
    static HeapState* state = new HeapState();  // never destroyed: used until exit
    return *state;
}

int g_processHeap;  // its address is the process heap's handle

bool IsProcessHeap(HANDLE heap) {
    return heap == &g_processHeap;
}

// Counts one allocation and tells whether the armed failure falls on it. Caller
// holds the lock.
bool AllocationFails(HeapState& state) {
    if (state.allocationsUntilFailure == 0) {
        return false;
    }
    return --state.allocationsUntilFailure == 0;
}

}  // namespace

void SeamFailNthAllocation(unsigned nth) {
    HeapState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.allocationsUntilFailure = nth;
}

size_t SeamLiveHeapBlocks() {
    HeapState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.blocks.size();
}

size_t SeamHeapAllocationCount() {
    HeapState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.allocations;
}

HANDLE GetProcessHeap() {
    return &g_processHeap;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (!IsProcessHeap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HeapState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    uint32_t code = 0;
    if (AllocationFails(state) || SeamCallFails("HeapAlloc", &code)) {
        SetLastError(code != 0 ? code : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // malloc(0) may answer null; a zero-byte block still needs an address of its own.
    void* block = (flags & HEAP_ZERO_MEMORY) ? std::calloc(bytes == 0 ? 1 : bytes, 1)
                                             : std::malloc(bytes == 0 ? 1 : bytes);
    if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    state.blocks[block] = bytes;
    ++state.allocations;
    return block;
}

LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes) {
    if (!IsProcessHeap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    HeapState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.blocks.find(block);
    if (found == state.blocks.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    uint32_t code = 0;
    if (AllocationFails(state) || SeamCallFails("HeapReAlloc", &code)) {
        SetLastError(code != 0 ? code : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const SIZE_T oldBytes = found->second;
    // A fresh block every time, so that a caller holding the old address is caught.
    void* moved = std::malloc(bytes == 0 ? 1 : bytes);
    if (moved == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const SIZE_T kept = oldBytes < bytes ? oldBytes : bytes;
    if (kept != 0) {
        std::memcpy(moved, block, kept);
    }
    if (bytes > kept && (flags & HEAP_ZERO_MEMORY)) {
        std::memset(static_cast<char*>(moved) + kept, 0, bytes - kept);
    }
    state.blocks.erase(found);
    std::free(block);
    state.blocks[moved] = bytes;
    ++state.allocations;
    return moved;
}

BOOL HeapFree(HANDLE heap, DWORD /*flags*/, LPVOID block) {
    if (!IsProcessHeap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (block == nullptr) {
        return TRUE;
    }
    HeapState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    auto found = state.blocks.find(block);
    if (found == state.blocks.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    state.blocks.erase(found);
    std::free(block);
    return TRUE;
}

SIZE_T HeapSize(HANDLE heap, DWORD /*flags*/, LPCVOID block) {
    if (!IsProcessHeap(heap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return static_cast<SIZE_T>(-1);
    }
    HeapState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    uint32_t code = 0;
    if (SeamCallFails("HeapSize", &code)) {
        SetLastError(code);
        return static_cast<SIZE_T>(-1);
    }
    auto found = state.blocks.find(block);
    if (found == state.blocks.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<SIZE_T>(-1);
    }
    return found->second;
}
