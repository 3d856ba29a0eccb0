// The lines a connection sends unasked: the status line computed from known
// robot states, the rotation of its companions, the configuration block,
// events, variable pushes, the cloud state and CAN-bridge frames.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PkgProgram/MemoryPosition.h"
#include "cloud/MqttClient.h"
#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/ServerTestSupport.h"

namespace {

using ServerTest::Client;
using ServerTest::Frame;
using ServerTest::WaitFor;

std::string Repeat(const std::string& item, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += (i > 0 ? " " : "") + item;
    return text;
}

TEST(StatusLineTest, DefaultStateGivesTheFullLine) {
    const DataTypes::RobotState state;
    const std::string expected =
        "STATUS MODE joint POSJOINTSETPOINT " + Repeat("0.00", 9) + " " + Repeat("0.0", 7) + " POSJOINTCURRENT " +
        Repeat("0.00", 9) + " " + Repeat("0.0", 7) +
        " POSCARTROBOT 0.0 0.0 0.0 0.00 0.00 0.00 POSCARTPLATTFORM 0.0 0.0 0.0 OVERRIDE 0.0 DIN 0 DOUT 0 ESTOP 0 "
        "SUPPLY 0 CURRENTALL 0 CURRENTJOINTS " +
        Repeat("0", 16) + " ERROR n/a " + Repeat("0", 16) + " KINSTATE 0 OPMODE -1 CARTSPEED 0.0";
    EXPECT_EQ(ComServer::FormatStatusLine(state, MotionTypeRobotJoint, -1), expected);
}

struct StatusCase {
    const char* name;
    std::function<void(DataTypes::RobotState&)> set;
    int motionType;
    int operationMode;
    std::string part;  // expected somewhere in the line
};

TEST(StatusLineTest, FieldsComeFromTheState) {
    const StatusCase cases[] = {
        {"input 0", [](DataTypes::RobotState& s) { s.digitalInputs[0] = true; }, 0, -1, " DIN 1 DOUT 0 "},
        {"input 63 never shows", [](DataTypes::RobotState& s) { s.digitalInputs[63] = true; }, 0, -1, " DIN 0 "},
        {"inputs 1 and 62",
         [](DataTypes::RobotState& s) { s.digitalInputs[1] = s.digitalInputs[62] = true; }, 0, -1,
         " DIN 4611686018427387906 "},
        {"output 5", [](DataTypes::RobotState& s) { s.digitalOutputs[5] = true; }, 0, -1, " DOUT 32 "},
        {"empty error text", [](DataTypes::RobotState& s) { s.errorText.clear(); }, 0, -1, " ERROR  0 0 "},
        {"error text with blanks", [](DataTypes::RobotState& s) { s.errorText = "Module lost"; }, 0, -1,
         " ERROR Module lost 0 "},
        {"error codes", [](DataTypes::RobotState& s) { s.jointErrorCodes[0] = 4; s.jointErrorCodes[15] = 512; }, 0,
         -1, " 512 KINSTATE 0 "},
        {"E-stop and currents",
         [](DataTypes::RobotState& s) {
             s.eStop = 1;
             s.supply = 24000;
             s.currentAll = 1500;
             s.jointCurrents[0] = 700;
             s.jointCurrents[8] = 800;
             s.jointCurrents[9] = 999;  // beyond the nine sent
         },
         0, -1, " ESTOP 1 SUPPLY 24000 CURRENTALL 1500 CURRENTJOINTS 700 0 0 0 0 0 0 0 800 0 0 0 0 0 0 0 ERROR "},
        {"pose and angles",
         [](DataTypes::RobotState& s) {
             s.pose.SetTranslation(100.24f, -20.0f, 300.0f);
             s.A = 90.0f;
             s.B = -1.234f;
             s.C = 0.006f;
         },
         0, -1, " POSCARTROBOT 100.2 -20.0 300.0 90.00 -1.23 0.01 "},
        {"joints",
         [](DataTypes::RobotState& s) {
             s.jointSetPoint[0] = 12.346f;
             s.jointSetPoint[8] = -1.0f;
             s.jointActual[1] = 3.0f;
         },
         0, -1,
         "POSJOINTSETPOINT 12.35 0.00 0.00 0.00 0.00 0.00 0.00 0.00 -1.00 0.0 0.0 0.0 0.0 0.0 0.0 0.0 POSJOINTCURRENT "
         "0.00 3.00 "},
        {"override, kinematic state, speed",
         [](DataTypes::RobotState& s) {
             s.override = 55.44f;
             s.kinematicState = 22;
             s.cartSpeed = 12.34f;
         },
         0, -1, "KINSTATE 22 OPMODE -1 CARTSPEED 12.3"},
        {"override", [](DataTypes::RobotState& s) { s.override = 55.44f; }, 0, -1, " OVERRIDE 55.4 DIN "},
        {"cartesian base", [](DataTypes::RobotState&) {}, MotionTypeRobotCartBase, -1, "STATUS MODE cartbase "},
        {"cartesian tool", [](DataTypes::RobotState&) {}, MotionTypeRobotCartTool, -1, "STATUS MODE carttool "},
        {"platform", [](DataTypes::RobotState&) {}, MotionTypePlatform, -1, "STATUS MODE platform "},
        {"state machine", [](DataTypes::RobotState&) {}, MotionTypeFSM, -1, "STATUS MODE fsm "},
        {"unknown motion type", [](DataTypes::RobotState&) {}, 9, -1, "STATUS MODE joint "},
        {"operating mode", [](DataTypes::RobotState&) {}, 0, 2, " OPMODE 2 "},
    };
    for (const StatusCase& c : cases) {
        DataTypes::RobotState state;
        c.set(state);
        const std::string line = ComServer::FormatStatusLine(state, c.motionType, c.operationMode);
        EXPECT_NE(line.find(c.part), std::string::npos) << c.name << ": " << line;
    }
}

TEST(StatusLineTest, LongErrorTextIsCutAt2047Characters) {
    DataTypes::RobotState state;
    state.errorText = std::string(5000, 'e');
    EXPECT_EQ(ComServer::FormatStatusLine(state, 0, -1).size(), 2047u);
}

TEST(StatusLineTest, GlobalSignalsSplitAt64) {
    DataTypes::RobotState state;
    EXPECT_EQ(ComServer::FormatGlobalSignals(state), "GSIG 0 0");
    state.globalSignals[0] = state.globalSignals[63] = state.globalSignals[64] = state.globalSignals[99] = true;
    EXPECT_EQ(ComServer::FormatGlobalSignals(state), "GSIG 9223372036854775809 34359738369");
}

// A running connection on one end of a socket pair; the test reads the other.
class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(opModeNormal);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        client = std::make_unique<Client>(fds[1]);
        connection = std::make_shared<ComServer>(&rm, nullptr, cloud.get(), fds[0]);
    }
    void Start() {
        connection->StartServer();
        ASSERT_TRUE(WaitFor([&]() { return connection->IsRunning(); }));
    }
    void TearDown() override {
        connection->StopServer();
        connection->Join();
        LogSingleton::instance()->set_opMode(opModeNormal);
    }
    std::vector<std::string> Drain() {
        std::vector<std::string> bodies;
        for (const Frame& f : client->Drain()) bodies.push_back(f.body);
        return bodies;
    }

    RobotMaster rm;
    std::unique_ptr<Cloud::MqttClient> cloud = std::make_unique<Cloud::MqttClient>(nullptr);
    std::unique_ptr<Client> client;
    std::shared_ptr<ComServer> connection;
};

TEST_F(ConnectionTest, NothingIsPublishedBeforeTheConnectionRuns) {
    connection->PublishData();
    connection->ProcessIPOResults(HXPEventStart, 1, 0, "");
    connection->OnServerMessage("early");
    connection->SendServerMessage();
    EXPECT_TRUE(connection->QueuedBodies().empty());
}

TEST_F(ConnectionTest, RotatingLinesFollowTheirSchedule) {
    Start();
    std::vector<std::string> bodies;
    for (int call = 1; call <= 203; ++call) {
        connection->PublishData();
        if (call % 20 == 0) {
            for (const std::string& b : Drain()) bodies.push_back(b);
        }
    }
    for (const std::string& b : Drain()) bodies.push_back(b);

    // Number each line by the PublishData call that queued it.
    std::vector<int> runState, gripper, signals, opInfo;
    int call = 0;
    for (const std::string& b : bodies) {
        if (b.rfind("STATUS ", 0) == 0) ++call;
        if (b.rfind("RUNSTATE ", 0) == 0) runState.push_back(call);
        if (b.rfind("GRIPPERSTATE ", 0) == 0) gripper.push_back(call);
        if (b.rfind("GSIG ", 0) == 0) signals.push_back(call);
        if (b.rfind("OPINFO ", 0) == 0) opInfo.push_back(call);
    }
    EXPECT_EQ(call, 203);
    EXPECT_EQ(std::vector<int>(runState.begin(), runState.begin() + 3), (std::vector<int>{5, 26, 47}));
    EXPECT_EQ(std::vector<int>(gripper.begin(), gripper.begin() + 2), (std::vector<int>{9, 30}));
    EXPECT_EQ(std::vector<int>(signals.begin(), signals.begin() + 2), (std::vector<int>{13, 34}));
    EXPECT_EQ(opInfo, (std::vector<int>{1, 102, 203}));
    // With no program loaded.
    EXPECT_NE(std::find(bodies.begin(), bodies.end(), "RUNSTATE None 0 -1 0 1"), bodies.end());
    EXPECT_NE(std::find(bodies.begin(), bodies.end(), "GRIPPERSTATE 0.0"), bodies.end());
    // The counters are process-wide: other tests in this binary may have started programs.
    LogSingleton* log = LogSingleton::instance();
    const std::string opInfoLine = "OPINFO " + std::to_string(log->GetSystemVar(sysVarProgramStarts)) + " " +
                                   std::to_string(log->GetSystemVar(sysVarUpTimeComplete)) + " " +
                                   std::to_string(log->GetSystemVar(sysVarUpTimeEnabled)) + " " +
                                   std::to_string(log->GetSystemVar(sysVarUpTimeMotion)) + " " +
                                   std::to_string(log->GetSystemVar(sysVarUpTimeLast)) + " 0";
    EXPECT_NE(std::find(bodies.begin(), bodies.end(), opInfoLine), bodies.end());
}

TEST_F(ConnectionTest, ConfigurationBlockOpensTheConnectionOnce) {
    LogSingleton* log = LogSingleton::instance();
    log->set_robotName("Arm1");
    log->set_robotType("Robots/Six/KorvellaSix");
    log->set_robotGripper("");
    log->set_opMode(opModeSeriousFail);
    log->set_seriousFailReason("4 project file missing");
    rm.SetVelocitySetting(2);
    Start();
    connection->PublishData();
    connection->PublishData();
    const std::vector<std::string> bodies = Drain();
    ASSERT_GE(bodies.size(), 5u);
    EXPECT_EQ(bodies[0], "MESSAGE Korvella Version " + log->get_softwareVersion());
    EXPECT_EQ(bodies[1], "MESSAGE Configuration: \"Arm1\" Type: \"KorvellaSix\" Gripper: \"\"");
    EXPECT_EQ(bodies[2], "MESSAGE VelocitySetting: \"2\"");
    EXPECT_EQ(bodies[3], "MESSAGE Serious Failure 4 project file missing");
    EXPECT_EQ(bodies[4], "CMD Active true");
    EXPECT_EQ(std::count(bodies.begin(), bodies.end(), "CMD Active true"), 1);
    log->set_seriousFailReason("na");
}

TEST_F(ConnectionTest, InterpreterEventsHaveTheirLines) {
    Start();
    connection->ProcessIPOResults(HXPEventStart, 3, 1, "ignored");
    connection->ProcessIPOResults(HXPEventPause, 4, 0, "");
    connection->ProcessIPOResults(HXPEventStop, 5, 0, "USER");
    connection->ProcessIPOResults(HXPEventError, 6, 2, "Kinematic error: out of reach");
    connection->ProcessIPOResults(static_cast<HXPEventType>(14), 7, 0, "x");
    EXPECT_EQ(Drain(), (std::vector<std::string>{"EXECACK 3 1", "EXECPAUSE 4 0", "EXECEND 5 0 USER",
                                                 "EXECERROR 6 2 Kinematic error: out of reach"}));
}

TEST_F(ConnectionTest, ChangedVariablesArePushedExceptThePosition) {
    Start();
    auto number = std::make_shared<Programs::MemoryPosition>("count", 2.5, false);
    DataTypes::RobotState p;
    p.pose.SetTranslation(100.0f, 200.5f, -3.0f);
    p.A = 10.0f;
    p.B = 20.0f;
    p.C = 30.25f;
    for (int j = 0; j < 9; ++j) p.jointSetPoint[j] = static_cast<float>(j) + 0.5f;
    auto position = std::make_shared<Programs::MemoryPosition>("p1", p, false);
    auto robot = std::make_shared<Programs::MemoryPosition>("#position", p, false);
    variableChangedCallback(connection, number);
    variableChangedCallback(connection, position);
    variableChangedCallback(connection, robot);
    EXPECT_EQ(Drain(), (std::vector<std::string>{
                           "VARINFO ValueNrVariable count 2.5",
                           "VARINFO ValuePosVariable p1 100 200.5 -3 10 20 30.25 0.5 1.5 2.5 3.5 4.5 5.5 6.5 7.5 8.5"}));
}

TEST_F(ConnectionTest, ServerMessagesKeepTheNewestTen) {
    Start();
    for (int i = 1; i <= 11; ++i) connection->OnServerMessage("m" + std::to_string(i));
    connection->SendServerMessage();
    const std::vector<std::string> bodies = Drain();
    ASSERT_EQ(bodies.size(), 10u);
    EXPECT_EQ(bodies.front(), "MESSAGE m2");
    EXPECT_EQ(bodies.back(), "MESSAGE m11");
}

TEST_F(ConnectionTest, CloudStateLine) {
    cloud->SetEnabled(true);
    cloud->SetClientId("id-1");
    cloud->SetRobotName("Arm \"1\"");
    cloud->SetRobotOwner("me");
    Start();
    connection->PublishCloudInfo();
    EXPECT_EQ(Drain(), std::vector<std::string>{
                           "CONFIG Cloud True False False \"id-1\" \"Arm \"1\"\" \"me\" \"\" \"\""});
}

TEST_F(ConnectionTest, CANBridgeFramesOnlyInBridgeMode) {
    Start();
    const unsigned char data[8] = {1, 2, 0, 0, 0, 0, 0, 255};
    timespec stamp{5, 123456};
    EXPECT_FALSE(connection->CANReceiveCallback(0x81, 2, data, 0, stamp));
    LogSingleton::instance()->set_opMode(opModeCANBridge);
    EXPECT_TRUE(connection->CANReceiveCallback(0x81, 2, data, 0, stamp));
    EXPECT_EQ(Drain(), std::vector<std::string>{
                           "CANBridge Msg ID 129 Len 2 Data 1 2 0 0 0 0 0 255 Time 0 SystemTime 123456"});
}

TEST_F(ConnectionTest, ClosingInBridgeModeSwitchesTheBridgeOff) {
    Start();
    ASSERT_TRUE(client->SendFrame(1, "CANBridge SwitchOn"));
    ASSERT_TRUE(WaitFor([&]() { return LogSingleton::instance()->get_opMode() == opModeCANBridge; }));
    client->Close();
    ASSERT_TRUE(WaitFor([&]() { return !connection->IsRunning() && connection->GetSocket() == -1; }));
    connection->Join();
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST_F(ConnectionTest, LogLinesGoOutOnePerPassOnceSwitchedOn) {
    Start();
    LogSingleton* log = LogSingleton::instance();
    while (log->GetLogMessage(nullptr) > 0) {
    }
    log->add("first line");
    log->add("second line");
    connection->PublishLogMessage();  // off: nothing, and the lines stay waiting
    connection->SetLogMessages(true);
    connection->PublishLogMessage();
    connection->PublishLogMessage();
    connection->PublishLogMessage();
    const std::vector<std::string> bodies = Drain();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(bodies[0].rfind("LOGMSG ", 0), 0u);
    EXPECT_NE(bodies[0].find(" first line"), std::string::npos);
    EXPECT_NE(bodies[1].find(" second line"), std::string::npos);
}

}  // namespace
