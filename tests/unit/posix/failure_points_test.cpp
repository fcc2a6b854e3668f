// Failure points: every call through the seams numbered in one sequence, each
// failed in turn with its API's usual failure, once or from there on.
#include <gtest/gtest.h>

#include <string>

#include "module/exports.h"
#include "tests/unit/posix/installer_fixture.h"

namespace {

using FailurePoints = InstallerTest;

TEST_F(FailurePoints, CountsEveryCallOfAnActionInOrder) {
    SeamPointsArm(0, false);
    EXPECT_EQ(0u, CASetRegDateTime(install_));
    const std::vector<SeamPoint> points = SeamPointsSeen();
    SeamPointsDisarm();
    ASSERT_EQ(points.size(), SeamPointsCounted());
    ASSERT_FALSE(points.empty());
    // The action frame's first call, then the property set among the rest.
    EXPECT_EQ(std::string("MsiGetActiveDatabase"), points.front().api);
    EXPECT_EQ(1u, points.front().ordinal);
    bool setProperty = false;
    for (const SeamPoint& point : points) {
        setProperty = setProperty || std::string(point.api) == "MsiSetPropertyW";
    }
    EXPECT_TRUE(setProperty);
}

TEST_F(FailurePoints, FailsThePointArmedOnceOrFromThereOn) {
    SeamPointsArm(0, false);
    CASetRegDateTime(install_);
    const std::vector<SeamPoint> points = SeamPointsSeen();
    unsigned setAt = 0;
    for (unsigned i = 0; i < points.size(); ++i) {
        if (std::string(points[i].api) == "MsiSetPropertyW") {
            setAt = i + 1;
        }
    }
    ASSERT_NE(0u, setAt);

    SeamPointsArm(setAt, false);
    EXPECT_EQ(1603u, CASetRegDateTime(install_));
    SeamPointsDisarm();
    // The installer's generic failure, folded, in both lines of the chain.
    const std::vector<std::string> lines = InfoLines();
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("CASetRegDateTime:  Error 0x8007065b: failed to set property: SysDateTime", lines[0]);

    // From there on: the failure lines cannot be sent either, and the action still
    // ends with 1603.
    SeamPointsArm(setAt, true);
    EXPECT_EQ(1603u, CASetRegDateTime(install_));
    EXPECT_GT(SeamPointsCounted(), setAt);
    SeamPointsDisarm();
    EXPECT_EQ(2u, InfoLines().size());
}

TEST(FailurePointCodes, AreEachApisUsualFailure) {
    EXPECT_EQ(8u, SeamPointFailureCode("HeapAlloc"));
    EXPECT_EQ(1627u, SeamPointFailureCode("MsiGetPropertyW"));
    EXPECT_EQ(0x80004005u, SeamPointFailureCode("IXMLDOMDocument::load"));
    EXPECT_EQ(0x80004005u, SeamPointFailureCode("CoCreateInstance"));
    EXPECT_EQ(14u, SeamPointFailureCode("UuidCreate"));
    EXPECT_EQ(5u, SeamPointFailureCode("CreateFileW"));
}

}  // namespace
