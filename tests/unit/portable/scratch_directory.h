// A directory of its own for each test that works on real files: made empty under
// the system's temporary directory before the test and removed with all it holds
// after it. Also paths in the platform's wide characters, for the Win32 calls.
#ifndef OSTREL_TESTS_UNIT_PORTABLE_SCRATCH_DIRECTORY_H
#define OSTREL_TESTS_UNIT_PORTABLE_SCRATCH_DIRECTORY_H

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>
#include <type_traits>

#include "platform/win32.h"

// A path in the platform's wide characters.
inline std::basic_string<WCHAR> WidePath(const std::filesystem::path& path) {
    if constexpr (std::is_same<WCHAR, wchar_t>::value) {
        const std::wstring text = path.wstring();
        return std::basic_string<WCHAR>(text.begin(), text.end());
    } else {
        const std::u16string text = path.u16string();
        return std::basic_string<WCHAR>(text.begin(), text.end());
    }
}

// A fixture whose tests each get dir_, a new directory named `prefix` and a time
// stamp. A fixture that adds its own SetUp and TearDown calls these around them.
class ScratchDirectoryTest : public ::testing::Test {
  protected:
    explicit ScratchDirectoryTest(const char* prefix) : prefix_(prefix) {}

    void SetUp() override {
        const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        dir_ = std::filesystem::temp_directory_path() / (prefix_ + std::to_string(stamp));
        ASSERT_TRUE(std::filesystem::create_directory(dir_));
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    std::filesystem::path dir_;

  private:
    std::string prefix_;
};

#endif  // OSTREL_TESTS_UNIT_PORTABLE_SCRATCH_DIRECTORY_H
