// Tests of permissions run as root on the machines that build this project, and root
// is not held to a file's mode. AsWriter runs the rest of a scope as an ordinary user
// (kWriterId, "nobody") when the process is root, so a read-only file or folder
// refuses the write as it would for an installer without rights.
#ifndef OSTREL_TESTS_UNIT_POSIX_AS_WRITER_H
#define OSTREL_TESTS_UNIT_POSIX_AS_WRITER_H

#include <gtest/gtest.h>
#include <unistd.h>

constexpr uid_t kWriterId = 65534;

class AsWriter {
  public:
    // With `wanted` false the scope keeps the process's own user.
    explicit AsWriter(bool wanted = true) {
        if (wanted && geteuid() == 0) {
            dropped_ = setegid(kWriterId) == 0 && seteuid(kWriterId) == 0;
            EXPECT_TRUE(dropped_) << "could not leave root";
        }
    }
    ~AsWriter() {
        if (dropped_) {
            EXPECT_EQ(0, seteuid(0));
            EXPECT_EQ(0, setegid(0));
        }
    }
    AsWriter(const AsWriter&) = delete;
    AsWriter& operator=(const AsWriter&) = delete;

  private:
    bool dropped_ = false;
};

#endif  // OSTREL_TESTS_UNIT_POSIX_AS_WRITER_H
