// A fresh installer session per test, with helpers to read what the installer
// received, and the checks every action test ends with: no heap block and no
// installer handle left behind.
#ifndef OSTREL_TESTS_UNIT_POSIX_INSTALLER_FIXTURE_H
#define OSTREL_TESTS_UNIT_POSIX_INSTALLER_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/msi/installer_session.h"
#include "platform/posix/shared/seams.h"
#include "platform/posix/shared/utf.h"

class InstallerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        install_ = InstallerOpenSession();
        liveBlocksAtStart_ = SeamLiveHeapBlocks();
    }

    void TearDown() override {
        SeamClearFailures();
        EXPECT_EQ(liveBlocksAtStart_, SeamLiveHeapBlocks()) << "heap blocks left live";
        EXPECT_EQ(0u, InstallerOpenHandleCount()) << "installer handles left open";
        InstallerCloseSession(install_);
    }

    // The text of every information message, in order, as UTF-8.
    std::vector<std::string> InfoLines() const {
        std::vector<std::string> lines;
        for (const InstallerMessage& message : InstallerMessages(install_)) {
            if (message.type == INSTALLMESSAGE_INFO && !message.fields.empty()) {
                lines.push_back(Utf16ToUtf8(message.fields[0].text));
            }
        }
        return lines;
    }

    // The integer fields 1..3 of every progress message, in order.
    std::vector<std::vector<int>> ProgressRecords() const {
        std::vector<std::vector<int>> records;
        for (const InstallerMessage& message : InstallerMessages(install_)) {
            if (message.type != INSTALLMESSAGE_PROGRESS) {
                continue;
            }
            std::vector<int> fields;
            for (size_t i = 1; i < message.fields.size(); ++i) {
                fields.push_back(message.fields[i].integer);
            }
            records.push_back(fields);
        }
        return records;
    }

    std::string Property(const char* name) const {
        return Utf16ToUtf8(InstallerGetProperty(install_, Utf8ToUtf16(std::string(name))));
    }
    void SetProperty(const char* name, const char* value) {
        InstallerSetProperty(install_, Utf8ToUtf16(std::string(name)),
                             Utf8ToUtf16(std::string(value)));
    }

    MSIHANDLE install_ = 0;
    size_t liveBlocksAtStart_ = 0;
};

#endif  // OSTREL_TESTS_UNIT_POSIX_INSTALLER_FIXTURE_H
