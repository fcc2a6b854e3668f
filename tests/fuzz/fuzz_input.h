// Reading a fuzzer's input as a stream of small decisions: each call takes the next
// bytes, and an input that runs out reads as zeros, so every input is a valid
// program for a target.
#ifndef OSTREL_TESTS_FUZZ_FUZZ_INPUT_H
#define OSTREL_TESTS_FUZZ_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <string>

class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return at_ >= size_; }
    size_t remaining() const { return size_ - at_; }

    uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }
    uint64_t U64() { return static_cast<uint64_t>(U32()) | (static_cast<uint64_t>(U32()) << 32); }
    // A value in [0, limit).
    size_t Below(size_t limit) { return limit == 0 ? 0 : Byte() % limit; }
    bool Flag() { return (Byte() & 1) != 0; }

    // The next `count` bytes (fewer when the input ends).
    std::string Bytes(size_t count) {
        const size_t taken = count < remaining() ? count : remaining();
        std::string bytes(reinterpret_cast<const char*>(data_ + at_), taken);
        at_ += taken;
        return bytes;
    }
    // Everything not read yet.
    std::string Rest() { return Bytes(remaining()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Stops the run with a message: the fuzzer reports the input as a crash.
[[noreturn]] inline void FuzzFail(const char* what, const std::string& detail = std::string()) {
    fprintf(stderr, "fuzz check failed: %s %s\n", what, detail.c_str());
    abort();
}

#endif  // OSTREL_TESTS_FUZZ_FUZZ_INPUT_H
