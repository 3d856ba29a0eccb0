#include "hardware/BoardSupport.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

namespace {

using Hardware::BoardSupport;

class BoardSupportTest : public ::testing::Test {
protected:
    void SetUp() override {
        issue = root.File("issue");
        thermal = root.File("temp");
        BoardSupport::SetIssuePath(issue);
        BoardSupport::SetThermalPath(thermal);
    }
    void TearDown() override {
        BoardSupport::SetIssuePath("");
        BoardSupport::SetThermalPath("");
        BoardSupport::DetectBoardType();
    }
    TestSupport::ScratchRoot root;
    std::string issue;
    std::string thermal;
};

TEST_F(BoardSupportTest, BoardTypeFromTheIssueFile) {
    struct Case {
        const char* text;
        BoardSupport::BoardType type;
    };
    const Case cases[] = {
        {"Raspbian GNU/Linux 10 \\n \\l\n", BoardSupport::Raspberry},
        {"Yocto (Phytec BSP-Yocto-AM335x)\n", BoardSupport::Phytec},
        {"Phytec and Raspbian\n", BoardSupport::Raspberry},
        {"Debian GNU/Linux 12 \\n \\l\n", BoardSupport::Unknown},
        {"", BoardSupport::Unknown},
    };
    for (const Case& c : cases) {
        TestSupport::WriteFile(issue, c.text);
        BoardSupport::DetectBoardType();
        EXPECT_EQ(BoardSupport::GetBoardType(), c.type) << c.text;
    }
    // Only the first 1024 characters count.
    TestSupport::WriteFile(issue, std::string(1024, 'x') + "Raspbian");
    BoardSupport::DetectBoardType();
    EXPECT_EQ(BoardSupport::GetBoardType(), BoardSupport::Unknown);

    EXPECT_EQ(BoardSupport::BoardTypeToString(0), "Phytec");
    EXPECT_EQ(BoardSupport::BoardTypeToString(1), "Raspberry");
    EXPECT_EQ(BoardSupport::BoardTypeToString(2), "unknown");
    EXPECT_EQ(BoardSupport::BoardTypeToString(-3), "unknown");
}

TEST_F(BoardSupportTest, UnknownBoardIsDetectedAgainOnEveryCall) {
    TestSupport::WriteFile(issue, "Ubuntu 22.04\n");
    EXPECT_EQ(BoardSupport::GetBoardType(), BoardSupport::Unknown);
    TestSupport::WriteFile(issue, "Raspbian GNU/Linux\n");
    EXPECT_EQ(BoardSupport::GetBoardType(), BoardSupport::Raspberry);
    // A known board is kept.
    TestSupport::WriteFile(issue, "Phytec\n");
    EXPECT_EQ(BoardSupport::GetBoardType(), BoardSupport::Raspberry);
}

TEST_F(BoardSupportTest, MissingIssueFileLeavesTheBoardUnknown) {
    BoardSupport::DetectBoardType();
    EXPECT_EQ(BoardSupport::GetBoardType(), BoardSupport::Unknown);
}

TEST_F(BoardSupportTest, CPUTemperatureFromMillidegrees) {
    struct Case {
        const char* text;
        double celsius;
    };
    for (const Case& c : {Case{"48312\n", 48.312}, Case{"-5000", -5.0}, Case{"0", 0.0}, Case{"", 0.0},
                          Case{"garbage", 0.0}}) {
        TestSupport::WriteFile(thermal, c.text);
        EXPECT_DOUBLE_EQ(BoardSupport::GetCPUTemperature(), c.celsius) << c.text;
    }
    TestSupport::WriteFile(thermal, "12345678901234567890");  // only 16 characters read
    EXPECT_DOUBLE_EQ(BoardSupport::GetCPUTemperature(), 1234567890123456.0 / 1000.0);
    std::remove(thermal.c_str());
    EXPECT_EQ(BoardSupport::GetCPUTemperature(), 0.0);
}

}  // namespace
