// Heap strings: NUL-terminated UTF-16 text in a process-heap block whose capacity is
// the block's own size, read from the heap on every operation (nothing else records
// it). A null variable means "no string yet"; every writing operation takes the
// address of the owner's variable, allocates when it is null and grows it on demand.
// Also the process-heap wrappers and byte buffers (file contents, narrow text).
//
// Blocks allocated fresh are zero-filled. After WStrCopy and WStrAppend everything
// behind the terminator up to the capacity is zero. Nothing is logged here: callers
// log failures with a message naming their step.
#ifndef OSTREL_RUNTIME_HEAP_STRING_H
#define OSTREL_RUNTIME_HEAP_STRING_H

#include "platform/win32.h"

// Largest element count BufResize accepts is one less than this.
constexpr DWORD kMaxBufferCount = 0x7FFFFFFF;
// MemSize's answer when the heap cannot tell a block's size.
constexpr DWORD kUnknownBlockSize = 0xFFFFFFFF;

// HeapAlloc on the process heap, zero-filled when asked; null on failure.
LPVOID MemAlloc(SIZE_T bytes, BOOL zeroFill);
// HeapReAlloc on the process heap; the bytes added to a grown block are zero when
// asked. Null on failure, the old block then untouched and still valid.
LPVOID MemReAlloc(LPVOID block, SIZE_T bytes, BOOL zeroFill);
// S_OK, or E_FAIL when HeapFree fails.
HRESULT MemFree(LPVOID block);
// The block's size in bytes, or kUnknownBlockSize when it cannot be read.
DWORD MemSize(LPCVOID block);

// Resizes a wide (elementSize 2) or byte (elementSize 1) buffer to exactly `count`
// elements: a null variable gets a fresh zero-filled block, an existing one is
// reallocated keeping its content (a grown tail is not cleared). A count of
// kMaxBufferCount or more, or a heap failure, gives E_OUTOFMEMORY and leaves the
// variable as it was.
HRESULT BufResize(void** buffer, DWORD count, DWORD elementSize);
template <typename T>
HRESULT BufResize(T** buffer, DWORD count, DWORD elementSize) {
    void* raw = *buffer;
    const HRESULT hr = BufResize(&raw, count, elementSize);
    *buffer = static_cast<T*>(raw);
    return hr;
}

// Capacity in characters (terminator included): 0 for null; E_FAIL with
// kUnknownBlockSize when the block's size cannot be read.
HRESULT WStrCapacity(LPCWSTR text, DWORD* capacity);
HRESULT StrFree(LPVOID text);

// Replaces the text with the first `count` characters of `source` (all of it when
// count is 0; a null source is empty). Grows to exactly count + 1 when short. A
// source inside the string's own block (cutting it to its first characters) is
// taken only up to its terminator there, so the block is then never moved.
HRESULT WStrCopy(LPWSTR* text, LPCWSTR source, DWORD count);
// Appends the first `count` characters of `source` (all of it when count is 0).
// Grows to twice what the result needs when short; a source inside the string's
// own block is read from the grown block.
HRESULT WStrAppend(LPWSTR* text, LPCWSTR source, DWORD count);
// Replaces the text with the formatted output (Microsoft wide format language).
// Starts at 256 characters for a null variable and doubles until the output fits.
// A format the C runtime cannot carry out (or whose output would pass INT_MAX
// characters) gives E_INVALIDARG at once, the string left empty in its block,
// rather than growing the block until the heap refuses.
// Arguments must not point into the string's own block: the output is written over
// it while the arguments are read.
HRESULT WStrPrintf(LPWSTR* text, LPCWSTR format, ...);
HRESULT WStrPrintfV(LPWSTR* text, LPCWSTR format, va_list args);
// Replaces the text with `bytes` converted from `codePage`: `count` bytes, or up to
// their terminator when count is 0.
HRESULT WStrFromBytes(LPWSTR* text, LPCSTR bytes, DWORD count, UINT codePage);

// RAII owner of a heap string or byte buffer: freed with StrFree (MemFree) at the
// end of the scope, on success and failure alike.
template <typename T>
class ScopedHeap {
  public:
    ScopedHeap() = default;
    ~ScopedHeap() {
        if (block_ != nullptr) {
            MemFree(block_);
        }
    }
    ScopedHeap(const ScopedHeap&) = delete;
    ScopedHeap& operator=(const ScopedHeap&) = delete;
    T* get() const { return block_; }
    T** address() { return &block_; }

  private:
    T* block_ = nullptr;
};
using HeapString = ScopedHeap<WCHAR>;
using ByteBuffer = ScopedHeap<BYTE>;

#endif  // OSTREL_RUNTIME_HEAP_STRING_H
