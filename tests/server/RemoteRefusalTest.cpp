// A command that its handler refuses by an exception, over loopback: the
// client is told why, and its connection and the frames it sent behind that
// command go on.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/RemoteTestSupport.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

class RemoteRefusal : public RemoteTest::Remote {
protected:
    void SetUp() override {
        TestSupport::WriteFile(root.File("Data/Programs/Waiting.xml"),
                               "<?xml version=\"1.0\"?>\n<Program>\n<Wait Nr=\"1\" Type=\"Conditional\" "
                               "Condition=\"gsig99\"/>\n</Program>\n");
        StartServer(&rm);
    }
    void TearDown() override {
        Remote::TearDown();
        rm.ipoMain.SetReplayRunning(false);
        rm.ipoMain.DeleteAll();
    }

    TestSupport::ScratchRoot root;
    RobotMaster rm;
};

TEST_F(RemoteRefusal, AStartAtWhileTheProgramRunsIsAnsweredAndTheFramesBehindItAreServed) {
    rm.ipoMain.SetReplayRunning(true);
    // The refused command and 20 queries behind it, in one write.
    const int behind = 20;
    std::string bytes = "HXPSTART 3 CMD StartAt Waiting.xml 0 HXPEND";
    for (int i = 0; i < behind; ++i) bytes += "HXPSTART " + std::to_string(10 + i) + " CMD GetVersion HXPEND";
    ASSERT_TRUE(active->Send(bytes));

    std::vector<std::string> replies;
    int versions = 0;
    while (versions < behind) {
        const RemoteTest::Frame frame = active->Next(10s);
        if (frame.counter < 0) break;
        if (frame.body == "INFO Version Korvella 16")
            ++versions;
        else if (frame.body.rfind("CMD", 0) == 0)
            replies.push_back(frame.body);
    }
    EXPECT_EQ(replies, std::vector<std::string>{"CMDERROR 3 program is running"});
    EXPECT_EQ(versions, behind);
    EXPECT_TRUE(log.HasError("HXP-Server: Exception while parsing message of type 'StartAt': program is running"));

    // Still the same, active connection.
    ASSERT_EQ(manager->GetInstances().size(), 1u);
    EXPECT_TRUE(manager->GetInstances().front()->IsRunning());
    EXPECT_EQ(Reply("CMD GetVersion"), "INFO Version Korvella 16");
}

}  // namespace
