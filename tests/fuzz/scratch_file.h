// A file in memory-backed storage (/dev/shm when there is one) that a target
// rewrites with each input, for the operations that take a path.
#ifndef OSTREL_TESTS_FUZZ_SCRATCH_FILE_H
#define OSTREL_TESTS_FUZZ_SCRATCH_FILE_H

#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/posix/shared/utf.h"

class ScratchFile {
  public:
    explicit ScratchFile(const char* name) {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        path_ = std::string(dir) + "/ostrel-fuzz-" + std::to_string(getpid()) + "-" + name;
        widePath_ = Utf8ToUtf16(path_);
    }
    ~ScratchFile() { remove(path_.c_str()); }

    // Replaces the file's contents with `bytes`.
    void Write(const std::string& bytes) const {
        FILE* file = fopen(path_.c_str(), "wb");
        if (file != nullptr) {
            fwrite(bytes.data(), 1, bytes.size(), file);
            fclose(file);
        }
    }
    // The file's contents, or "" when it cannot be read.
    std::string Read() const {
        std::string bytes;
        FILE* file = fopen(path_.c_str(), "rb");
        if (file != nullptr) {
            char chunk[4096];
            size_t got = 0;
            while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
                bytes.append(chunk, got);
            }
            fclose(file);
        }
        return bytes;
    }
    const char16_t* path() const { return widePath_.c_str(); }

  private:
    std::string path_;
    std::u16string widePath_;
};

#endif  // OSTREL_TESTS_FUZZ_SCRATCH_FILE_H
