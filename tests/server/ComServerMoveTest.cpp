// Direct moves and the camera trigger through the command interpreter: what
// reaches the direct-move interpreter, and how incomplete frames are refused.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "support/LogCapture.h"
#include "vision/CameraInterface.h"
#include "vision/CameraManager.h"

namespace {

using Bodies = std::vector<std::string>;

class MoveTest : public ::testing::Test {
protected:
    MoveTest() : connection(std::make_shared<ComServer>(&rm, nullptr, nullptr, -1)) {}
    ~MoveTest() override {
        rm.ipoDirect.Stop(IPO::USER, "");
        rm.ipoDirect.DeleteAll();
    }

    bool Cmd(int counter, const std::string& rest) {
        std::string frame = "HXPSTART " + std::to_string(counter) + " CMD " + rest + " HXPEND";
        return connection->ParseMessage(frame.data(), static_cast<int>(frame.size()));
    }
    Bodies Replies() {
        const Bodies all = connection->QueuedBodies();
        Bodies fresh(all.begin() + static_cast<std::ptrdiff_t>(seen), all.end());
        seen = all.size();
        return fresh;
    }

    RobotMaster rm;
    std::shared_ptr<ComServer> connection;
    TestSupport::LogCapture log;
    std::size_t seen = 0;
};

TEST_F(MoveTest, EachMoveKindStartsOneMotionOnTheDirectMoveInterpreter) {
    for (const char* kind : {"Joint", "Cart", "RelativeJoint", "RelativeBase", "RelativeTool"}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(Cmd(3, std::string("Move ") + kind + " 1 2 3 4 5 6 0 0 0 20"));
        EXPECT_EQ(Replies(), Bodies{"CMDACK 3"});
        std::string name;
        int count = 0;
        int index = -1;
        rm.ipoDirect.GetProgramInformation(&name, &count, &index);
        EXPECT_EQ(count, 1);
        EXPECT_TRUE(rm.ipoDirect.IsReplayRunning());
        // The robot program is not touched.
        EXPECT_FALSE(rm.ipoMain.IsProgramLoaded());
    }
    ASSERT_TRUE(Cmd(4, "Move Stop"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 4"});
    EXPECT_FALSE(rm.ipoDirect.IsReplayRunning());
    // Stop without a move is acknowledged too.
    ASSERT_TRUE(Cmd(5, "Move Stop"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 5"});
}

TEST_F(MoveTest, AMoveWithoutVelocityIsAcknowledgedButLeavesNoProgram) {
    ASSERT_TRUE(Cmd(1, "Move Joint 1 2 3 4 5 6 0 0 0 0"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 1"});
    EXPECT_FALSE(rm.ipoDirect.IsProgramLoaded());
    EXPECT_FALSE(rm.ipoDirect.IsReplayRunning());
}

TEST_F(MoveTest, IncompleteMovesAreRefusedAndLeaveTheMoveInProgress) {
    ASSERT_TRUE(Cmd(1, "Move Joint 1 2 3 4 5 6 0 0 0 20"));
    Replies();
    struct Case {
        const char* args;
        const char* logLine;
    };
    const Case cases[] = {
        {"Joint 1 2 3 4 5 6 0 0 0", "ComServer: Incomplete Move Joint command"},
        {"Cart 1 2 nan 4 5 6 0 0 0 20", "ComServer: Incomplete Move Cart command"},
        {"RelativeJoint 1 2 3 4 5 6 0 0 0 inf", "ComServer: Incomplete Move RelativeJoint command"},
        {"RelativeBase", "ComServer: Incomplete Move RelativeBase command"},
        {"RelativeTool 1 x 3 4 5 6 0 0 0 20", "ComServer: Incomplete Move RelativeTool command"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        ASSERT_TRUE(Cmd(2, std::string("Move ") + c.args));
        EXPECT_EQ(Replies(), Bodies{"CMDERROR 2 incomplete move command"});
        EXPECT_TRUE(log.HasError(c.logLine));
        EXPECT_TRUE(rm.ipoDirect.IsReplayRunning());
    }
    for (const char* kind : {"Fly 1 2 3", "", "joint 1 2 3 4 5 6 0 0 0 20"}) {
        SCOPED_TRACE(kind);
        ASSERT_TRUE(Cmd(6, std::string("Move ") + kind));
        EXPECT_EQ(Replies(), Bodies{"CMDERROR 6 invalid move command"});
    }
    EXPECT_EQ(log.Count("ComServer: Invalid Move command"), 3);
}

class CountingCamera : public Camera::CameraInterface {
public:
    explicit CountingCamera(std::atomic<int>& triggers) : CameraInterface("Test", "Counting"), triggers(triggers) {}
    void Start() override {}
    void Stop() override {}
    bool GetTargetPos(DataTypes::Vector3&, DataTypes::Vector3&, int&) const override { return false; }
    int Read(tinyxml2::XMLElement&) override { return 0; }
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument&) override { return nullptr; }
    void TriggerImageRecognition() override { ++triggers; }
    std::string GetHXPConfigString(int) const override { return std::string(); }
    int GetStatus() const override { return 0; }

private:
    std::atomic<int>& triggers;
};

TEST_F(MoveTest, TheCameraTriggerReachesTheNamedCameraOnly) {
    ASSERT_TRUE(Cmd(1, "TriggerCamera NoSuchCamera"));
    ASSERT_TRUE(Cmd(2, "TriggerCamera"));
    EXPECT_EQ(Replies(), (Bodies{"CMDERROR 1 could not find camera", "CMDERROR 2 invalid TriggerCamera command"}));

    static std::atomic<int> triggers{0};
    Camera::CameraManager* cameras = Camera::CameraManager::Instance();
    cameras->Add(new CountingCamera(triggers));
    // Camera names are compared without case.
    ASSERT_TRUE(Cmd(3, "TriggerCamera counting"));
    EXPECT_EQ(Replies(), Bodies{"CMDACK 3"});
    EXPECT_EQ(triggers.load(), 1);
    cameras->Remove("Counting");
    EXPECT_FALSE(cameras->Get("Counting"));
}

}  // namespace
