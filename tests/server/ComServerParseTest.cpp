// The command interpreter on a connection without a socket: what each frame
// posts, replies and logs, for the active and for a passive connection.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/HXPFrameReader.h"
#include "server/HXPScanner.h"
#include "support/LogCapture.h"

namespace {

using Bodies = std::vector<std::string>;

class ParseTest : public ::testing::Test {
protected:
    ParseTest() : connection(std::make_shared<ComServer>(&rm, nullptr, nullptr, -1)) {}

    bool Parse(const std::string& frame) {
        std::vector<char> buffer(frame.begin(), frame.end());
        buffer.push_back('\0');
        return connection->ParseMessage(buffer.data(), static_cast<int>(frame.size()));
    }
    // The pending code, or 0; takes it.
    int Pending() {
        int32_t code = 0;
        int32_t parameter = 0;
        float value = 0.0f;
        connection->TakePendingCommand(code, parameter, value);
        return code;
    }
    std::vector<float> Jog() {
        std::vector<float> values(9);
        connection->GetJogValues(values.data());
        return values;
    }

    RobotMaster rm;
    std::shared_ptr<ComServer> connection;
    TestSupport::LogCapture log;
};

struct PostCase {
    const char* keyword;
    int code;
    const char* logLine;  // null: none
};

const PostCase PostCases[] = {
    {"Reset", 10, "HXP-Server: Reset joints"},
    {"Enable", 11, "HXP-Server: Enable joints"},
    {"Disable", 12, "HXP-Server: Disable joints"},
    {"SetJointsToZero", 13, "HXP-Server: Set joints to zero"},
    {"ReferenceAllJoints", 16, "HXP-Server: Reference all joints"},
    {"MotionTypeJoint", 21, "HXP-Server: Set motion type to: Joint"},
    {"MotionTypeCartBase", 22, "HXP-Server: Set motion type to: CartBase"},
    {"MotionTypeCartTool", 23, "HXP-Server: Set motion type to: CartTool"},
    {"MotionTypePlatform", 24, "HXP-Server: Set motion type to: Platform"},
    {"StartProgram", 2, nullptr},
    {"PauseProgram", 3, nullptr},
    {"StopProgram", 4, nullptr},
};

TEST_F(ParseTest, ActingKeywordsPostTheirCodeAndAcknowledgeWithTheClientCounter) {
    for (const PostCase& c : PostCases) {
        SCOPED_TRACE(c.keyword);
        log.Clear();
        ASSERT_TRUE(Parse(std::string("HXPSTART 7 CMD ") + c.keyword + " HXPEND"));
        EXPECT_EQ(Pending(), c.code);
        EXPECT_EQ(connection->QueuedBodies().back(), "CMDACK 7");
        if (c.logLine != nullptr) {
            EXPECT_TRUE(log.Has(c.logLine));
        }
    }
}

TEST_F(ParseTest, PassiveConnectionChangesNothingWithActingKeywords) {
    connection->SetActive(false);
    const size_t queued = connection->QueuedBodies().size();  // "CMD Active false"
    for (const PostCase& c : PostCases) ASSERT_TRUE(Parse(std::string("HXPSTART 7 CMD ") + c.keyword + " HXPEND"));
    // Active-only keywords of later parts and unknown keywords get no answer either.
    for (const char* keyword : {"Connect", "DOUT", "Move", "LoadProgram", "NoSuchKeyword"})
        ASSERT_TRUE(Parse(std::string("HXPSTART 7 CMD ") + keyword + " HXPEND"));
    ASSERT_TRUE(Parse("HXPSTART 7 VAR SetVariableSingle x 1 HXPEND"));
    EXPECT_EQ(Pending(), 0);
    EXPECT_EQ(connection->QueuedBodies().size(), queued);
    EXPECT_TRUE(log.Lines().empty());
}

// What was acknowledged waits for the main loop in the order received; a
// command past the bound is refused, never acknowledged and dropped.
TEST_F(ParseTest, AcknowledgedCommandsWaitInTheOrderReceivedAndAFullQueueRefuses) {
    ASSERT_TRUE(Parse("HXPSTART 1 CMD StopProgram HXPEND"));
    ASSERT_TRUE(Parse("HXPSTART 2 CMD ProgramReplayMode 1 HXPEND"));
    ASSERT_TRUE(Parse("HXPSTART 3 CMD PauseProgram HXPEND"));
    ASSERT_TRUE(Parse("HXPSTART 4 CMD DOUT 3 true HXPEND"));
    EXPECT_EQ(connection->QueuedBodies(), (Bodies{"CMDACK 1", "CMDACK 2", "CMDACK 3", "CMDACK 4"}));
    for (int code : {4, 8, 3, 31}) EXPECT_EQ(Pending(), code);
    EXPECT_EQ(Pending(), 0);

    for (std::size_t i = 0; i < ComServer::MaxPendingCommands; ++i) ASSERT_TRUE(Parse("HXPSTART 5 CMD Reset HXPEND"));
    for (const char* keyword : {"StopProgram", "DOUT 3 true", "ProgramReplayMode 2"}) {
        SCOPED_TRACE(keyword);
        Parse(std::string("HXPSTART 6 CMD ") + keyword + " HXPEND");
        EXPECT_EQ(connection->QueuedBodies().back(), "CMDERROR 6 too many commands waiting");
    }
    for (std::size_t i = 0; i < ComServer::MaxPendingCommands; ++i) EXPECT_EQ(Pending(), 10);
    EXPECT_EQ(Pending(), 0);
}

TEST_F(ParseTest, UnknownKeywordsAreReportedOnlyToTheActiveConnection) {
    ASSERT_TRUE(Parse("HXPSTART 7 CMD Frobnicate HXPEND"));
    EXPECT_EQ(connection->QueuedBodies(), Bodies{"CMDERROR 7 could not parse command"});
    EXPECT_TRUE(log.HasError("HXP-Server: ERROR Could not parse robot command 'Frobnicate'!"));

    ASSERT_TRUE(Parse("HXPSTART 8 VAR Frobnicate HXPEND"));
    EXPECT_EQ(connection->QueuedBodies().size(), 1u);
    EXPECT_TRUE(log.HasError("HXP-Server: ERROR Could not parse VAR command!"));
}

TEST_F(ParseTest, SystemBridgeAndUnknownConfigFramesAreNotAnswered) {
    for (const char* type : {"SYSTEM Shutdown", "CANBridge On", "CONFIG GetIO"})
        ASSERT_TRUE(Parse(std::string("HXPSTART 6 ") + type + " HXPEND"));
    EXPECT_TRUE(connection->QueuedBodies().empty());
    EXPECT_EQ(Pending(), 0);
}

TEST_F(ParseTest, AliveJogStoresTheValuesItCarriesAndRestartsTheWatchdog) {
    ASSERT_TRUE(Parse("HXPSTART 1 ALIVEJOG 1 2 3 4 5 6 7 8 9 HXPEND"));
    EXPECT_EQ(connection->GetWatchdog(), 100);
    EXPECT_EQ(Jog(), (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9}));

    // One value: the others keep theirs.
    ASSERT_TRUE(Parse("HXPSTART 2 ALIVEJOG -50 HXPEND"));
    EXPECT_EQ(Jog(), (std::vector<float>{-50, 2, 3, 4, 5, 6, 7, 8, 9}));

    // Non-finite numbers are not taken; nor is anything after them.
    for (const char* bad : {"nan", "inf", "-inf", "NAN", "1e999"}) {
        SCOPED_TRACE(bad);
        ASSERT_TRUE(Parse(std::string("HXPSTART 3 ALIVEJOG 10 ") + bad + " 30 HXPEND"));
        const std::vector<float> values = Jog();
        EXPECT_EQ(values[0], 10.0f);
        EXPECT_EQ(values[1], 2.0f);
        EXPECT_EQ(values[2], 3.0f);
        for (float v : values) EXPECT_TRUE(std::isfinite(v));
    }
    EXPECT_TRUE(connection->QueuedBodies().empty());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(ParseTest, PassiveConnectionStoresJogValuesToo) {
    connection->SetActive(false);
    ASSERT_TRUE(Parse("HXPSTART 1 ALIVEJOG 5 HXPEND"));
    EXPECT_EQ(connection->GetWatchdog(), 100);
    EXPECT_EQ(Jog()[0], 5.0f);
}

TEST_F(ParseTest, TypeTokensArePrefixesAndBlankRunsDoNotMatter) {
    ASSERT_TRUE(Parse("HXPSTART 7 CMDX Reset HXPEND"));
    EXPECT_EQ(Pending(), 10);
    ASSERT_TRUE(Parse("HXPSTART  9   CMD  Enable   HXPEND"));
    EXPECT_EQ(Pending(), 11);
    EXPECT_EQ(connection->QueuedBodies(), (Bodies{"CMDACK 7", "CMDACK 9"}));
}

TEST_F(ParseTest, UnknownTypeIsPrintedOnStandardOutputAndNotAnswered) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(Parse("HXPSTART 7 FOO bar HXPEND"));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "Read, but not parsed: PROG FOO: HXPSTART 7 FOO bar HXPEND\n");
    EXPECT_TRUE(connection->QueuedBodies().empty());
}

TEST_F(ParseTest, MalformedFramesAreDroppedWithoutReplyOrCrash) {
    EXPECT_FALSE(Parse("HXPSTAR 1 CMD Reset HXPEND"));
    EXPECT_FALSE(Parse("   "));
    for (const char* frame : {"HXPSTART", "HXPSTART 1", "HXPSTART 1 CMD", "HXPSTART 1 VAR", "HXPSTART 1 ALIVEJOG",
                              "HXPSTART 1 CMD SetActive", "HXPSTARTHXPEND"})
        EXPECT_TRUE(Parse(frame)) << frame;
    EXPECT_TRUE(connection->QueuedBodies().back() == "CMD Active true");
    EXPECT_EQ(Pending(), 0);

    // A counter that does not fit, or is not a number, reads as 0.
    ASSERT_TRUE(Parse("HXPSTART 99999999999999999999 CMD Reset HXPEND"));
    EXPECT_EQ(connection->QueuedBodies().back(), "CMDACK 0");
    ASSERT_TRUE(Parse("HXPSTART nan CMD Reset HXPEND"));
    EXPECT_EQ(connection->QueuedBodies().back(), "CMDACK 0");
    // An over-long keyword is just unknown.
    ASSERT_TRUE(Parse("HXPSTART 4 CMD " + std::string(900, 'K') + " HXPEND"));
    EXPECT_EQ(connection->QueuedBodies().back(), "CMDERROR 4 could not parse command");
}

TEST_F(ParseTest, RoleKeywordsAskTheManagerAndReportTheRole) {
    std::vector<bool> requests;
    connection->changeActiveRequestCallback = [&](int, bool wanted) {
        requests.push_back(wanted);
        connection->SetActive(wanted);
    };
    ASSERT_TRUE(Parse("HXPSTART 1 CMD SetActive FALSE HXPEND"));
    ASSERT_TRUE(Parse("HXPSTART 2 CMD GetActive HXPEND"));
    ASSERT_TRUE(Parse("HXPSTART 3 CMD SetActive True HXPEND"));
    EXPECT_EQ(requests, (std::vector<bool>{false, true}));
    EXPECT_EQ(connection->QueuedBodies(), (Bodies{"CMD Active false", "CMD Active false", "CMD Active false",
                                                  "CMD Active true", "CMD Active true"}));
}

// ---------------------------------------------------------------- frame reader

std::vector<std::string> FeedAll(HXPFrameReader& reader, const std::string& bytes, int* overflows = nullptr) {
    std::vector<std::string> frames;
    for (char c : bytes) {
        switch (reader.Feed(c)) {
            case HXPFrameReader::Result::Frame:
                // NUL-terminated, and the length counts both tokens.
                EXPECT_EQ(static_cast<int>(std::string(reader.Data()).size()), reader.Length());
                frames.emplace_back(reader.Data(), static_cast<size_t>(reader.Length()));
                reader.Reset();
                break;
            case HXPFrameReader::Result::Overflow:
                if (overflows != nullptr) ++*overflows;
                reader.Reset();
                break;
            case HXPFrameReader::Result::NeedMore: break;
        }
    }
    return frames;
}

TEST(HXPFrameReaderTest, SkipsStrayBytesAndSplitsFrames) {
    HXPFrameReader reader;
    const auto frames = FeedAll(reader, "xxHXPSTAHXPSTART 1 A HXPEND\nHXPSTART 2 B HXPENDtailHXPSTART 3");
    EXPECT_EQ(frames, (std::vector<std::string>{"HXPSTART 1 A HXPEND", "HXPSTART 2 B HXPEND"}));
    EXPECT_TRUE(reader.InBody());
}

TEST(HXPFrameReaderTest, AcceptsFramesUpTo1019BytesAndDropsLongerOnes) {
    const auto frameOf = [](size_t length) {
        return "HXPSTART 1 " + std::string(length - 18, 'x') + " HXPEND";
    };
    ASSERT_EQ(frameOf(1019).size(), 1019u);
    HXPFrameReader reader;
    int overflows = 0;
    EXPECT_EQ(FeedAll(reader, frameOf(1019), &overflows).size(), 1u);
    EXPECT_EQ(overflows, 0);
    const auto frames = FeedAll(reader, frameOf(1020) + "HXPSTART 2 ok HXPEND", &overflows);
    EXPECT_EQ(overflows, 1);
    EXPECT_EQ(frames, std::vector<std::string>{"HXPSTART 2 ok HXPEND"});
}

TEST(HXPScannerTest, ScansLikeTheFrameFormatButBounded) {
    int32_t counter = -1;
    int32_t channel = -1;
    std::string word;
    HXPScanner scan("HXPSTART 12 CMD DOUT 0x1F true HXPEND");
    scan.Literal("HXPSTART").Int(counter).Literal("CMD").Literal("DOUT").Int(channel, 0).Word(word, 3);
    EXPECT_EQ(scan.Count(), 3);
    EXPECT_EQ(counter, 12);
    EXPECT_EQ(channel, 31);
    EXPECT_EQ(word, "tru");

    // A literal that does not match stops the scan; values keep the defaults.
    float value = 7.0f;
    HXPScanner other("HXPSTART 3 CMD Override 50 HXPEND");
    other.Literal("HXPSTART").Int(counter).Literal("CMD").Literal("Gripper").Float(value);
    EXPECT_EQ(other.Count(), 1);
    EXPECT_EQ(value, 7.0f);

    EXPECT_EQ(HXPScanner::Counter("HXPSTART 2147483648 X"), 0);
    EXPECT_EQ(HXPScanner::Counter("HXPSTART -12 X"), -12);
    EXPECT_EQ(HXPScanner::Counter(" HXPSTART 5"), 0);
}

// ---------------------------------------------------------------- helpers

TEST(ComServerHelpersTest, SplitIgnoreEscapedKeepsEscapedDelimiters) {
    struct Case {
        std::string text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"a\\,b,c", {"a\\,b", "c"}},
        {"a,,b", {"a", "", "b"}},
        {"a,b,", {"a", "b"}},
        {"", {}},
        {"a\\\\,b", {"a\\", "b"}},
        {"a\\\\\\\\b", {"a\\b"}},
    };
    for (const Case& c : cases) EXPECT_EQ(ComServer::SplitIgnoreEscaped(c.text, ','), c.pieces) << c.text;
    EXPECT_EQ(ComServer::Replace("aaaa", "aa", "a"), "a");
    EXPECT_EQ(ComServer::Replace("ab", "a", "aa"), "aab");
}

}  // namespace
