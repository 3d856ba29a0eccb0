// The controller program driven by remote clients over TCP, on the six-axis
// sample and the simulated bus: robot control, programs uploaded, run and
// deleted remotely, and direct moves of the arm.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "server/RemoteRobotSupport.h"

namespace {

using namespace std::chrono_literals;
using ServerTest::Client;
using ServerTest::Frame;
using ServerTest::WaitFor;
using RemoteRobotTest::RemoteRobot;

// Uploaded line by line; the leading blanks must arrive as typed.
const std::vector<std::string> WaitingProgram = {
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>",
    "<Program>",
    "    <Joint Nr=\"1\" a1=\"10\" a2=\"20\" a3=\"30\" a4=\"0\" a5=\"30\" a6=\"0\" velPercent=\"40\" acc=\"50\" "
    "smooth=\"0\" AbortCondition=\"false\"/>",
    "    <Wait Nr=\"2\" Type=\"Time\" Seconds=\"4\"/>",
    "    <Joint Nr=\"3\" a1=\"0\" a2=\"0\" a3=\"0\" a4=\"0\" a5=\"0\" a6=\"0\" velPercent=\"40\" acc=\"50\" smooth=\"0\" "
    "AbortCondition=\"false\"/>",
    "    <Wait Nr=\"4\" Type=\"Time\" Seconds=\"4\"/>",
    "</Program>",
};

// The numbers that follow a keyword of a status line.
std::vector<float> Values(const std::string& line, const std::string& keyword, int count) {
    std::vector<float> values;
    const std::size_t at = line.find(" " + keyword + " ");
    if (at == std::string::npos) return values;
    std::istringstream in(line.substr(at + keyword.size() + 2));
    float v = 0.0f;
    while (static_cast<int>(values.size()) < count && in >> v) values.push_back(v);
    return values;
}

bool Near(const std::vector<float>& actual, const std::vector<float>& wanted, float tolerance) {
    if (actual.size() < wanted.size()) return false;
    for (std::size_t i = 0; i < wanted.size(); ++i)
        if (std::fabs(actual[i] - wanted[i]) > tolerance) return false;
    return true;
}

TEST(ServerCommandsBlackBoxTest, ActiveClientControlsTheRobotAndEveryReplyIsTheProtocols) {
    RemoteRobot robot;
    Client client;
    ASSERT_NO_FATAL_FAILURE(robot.Connect(client));
    Client passive;
    ASSERT_TRUE(passive.Connect(robot.port));
    EXPECT_GE(passive.NextStartingWith("CMD Active false", 20s).counter, 0);

    EXPECT_EQ(robot.Ask(client, 1, "CMD GetVersion", "INFO"), "INFO Version Korvella 16");
    EXPECT_EQ(robot.Ask(client, 2, "CMD Connect", "CMD"), "CMDERROR 2 not available");
    EXPECT_EQ(robot.Ask(client, 3, "CMD Reset", "CMD"), "CMDACK 3");
    EXPECT_TRUE(robot.korvella->WaitForMessage("HXP-Server: Reset joints"));
    EXPECT_TRUE(robot.korvella->WaitForMessage("RobotMaster:  Resetting Joints"));

    ASSERT_NO_FATAL_FAILURE(robot.EnableAndReference(client));
    const std::string info = robot.Ask(client, 4, "CMD GetReferencingInfo", "INFO ReferencingInfo");
    EXPECT_EQ(info.substr(info.find(" Joints")), " Joints 1 1 1 1 1 1 0 0 0 0 0 0") << info;

    // One joint: referenced again; a joint the robot lacks is refused.
    EXPECT_EQ(robot.Ask(client, 5, "CMD ReferenceSingleJoint 0", "CMD"), "CMDACK 5");
    EXPECT_TRUE(robot.Saw(client, "MESSAGE Ref Joint 1"));
    EXPECT_EQ(robot.Ask(client, 6, "CMD ReferenceSingleJoint 9", "CMD"), "CMDERROR 6 invalid joint");

    EXPECT_EQ(robot.Ask(client, 7, "CMD MotionTypeCartBase", "CMD"), "CMDACK 7");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) { return s.rfind("STATUS MODE cartbase ", 0) == 0; }));
    EXPECT_EQ(robot.Ask(client, 8, "CMD MotionTypeJoint", "CMD"), "CMDACK 8");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) { return s.rfind("STATUS MODE joint ", 0) == 0; }));

    EXPECT_EQ(robot.Ask(client, 9, "CMD Override 150", "CMD"), "CMDACK 9");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) { return s.find(" OVERRIDE 100.0 ") != std::string::npos; }));
    EXPECT_EQ(robot.Ask(client, 10, "CMD Override 35", "CMD"), "CMDACK 10");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) { return s.find(" OVERRIDE 35.0 ") != std::string::npos; }));

    // Output 2 on and a global signal; channels outside the robot are refused.
    EXPECT_EQ(robot.Ask(client, 11, "CMD DOUT 2 true", "CMD"), "CMDACK 11");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) { return s.find(" DOUT 4 ") != std::string::npos; }));
    EXPECT_EQ(robot.Ask(client, 12, "CMD DOUT 64 true", "CMD"), "CMDERROR 12 invalid DOut channel");
    EXPECT_EQ(robot.Ask(client, 13, "CMD DOUT 2 false", "CMD"), "CMDACK 13");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) { return s.find(" DOUT 0 ") != std::string::npos; }));
    // A passive client's signal is not taken (it would fire the active client's triggers).
    EXPECT_EQ(robot.Ask(passive, 14, "CMD GSIG 64 true", "CMD"), "no reply");
    EXPECT_EQ(robot.Ask(client, 14, "CMD GSIG 65 true", "CMD"), "CMDACK 14");
    EXPECT_EQ(client.NextStartingWith("GSIG 0 2", 30s).body, "GSIG 0 2");
    EXPECT_EQ(robot.Ask(client, 15, "CMD GSIG 100 true", "CMD"), "CMDERROR 15 invalid GSig channel");

    EXPECT_EQ(robot.Ask(client, 16, "CMD ProgramReplayMode 2", "CMD"), "CMDACK 16");
    EXPECT_TRUE(WaitFor([&]() {
        const std::string line = client.NextStartingWith("RUNSTATE", 2s).body;
        return line.size() > 2 && line.compare(line.size() - 2, 2, " 2") == 0;
    }, 30s));
    EXPECT_EQ(robot.Ask(client, 17, "CMD ProgramReplayMode 5", "CMD"), "CMDERROR 17 invalid replay mode");

    EXPECT_EQ(robot.Ask(client, 18, "CMD ZeroTorque", "CMD ZeroTorque"), "CMD ZeroTorque False False");
    EXPECT_EQ(robot.Ask(client, 19, "CMD Gripper 40", "CMD"), "CMDACK 19");

    // The passive client's acting commands go unanswered and change nothing.
    const int resets = robot.korvella->Count("HXP-Server: Reset joints");
    ASSERT_TRUE(passive.SendFrame(20, "CMD Reset"));
    EXPECT_EQ(robot.Ask(passive, 21, "CMD GetVersion", "INFO"), "INFO Version Korvella 16");
    // Status lines never stop: look at what comes within a second.
    const auto quietEnd = std::chrono::steady_clock::now() + 1s;
    while (std::chrono::steady_clock::now() < quietEnd) {
        const Frame f = passive.Next(200ms);
        EXPECT_NE(f.body, "CMDACK 20");
    }
    for (const std::string& body : robot.seen) EXPECT_NE(body, "CMDACK 20");
    EXPECT_EQ(robot.korvella->Count("HXP-Server: Reset joints"), resets);

    EXPECT_EQ(robot.Ask(client, 22, "CMD Disable", "CMD"), "CMDACK 22");
    EXPECT_TRUE(robot.korvella->WaitForMessage("RobotMaster: Disabling Motors"));
}

TEST(ServerCommandsBlackBoxTest, UploadedProgramIsRunRemotelyAndEveryClientSeesItsEvents) {
    RemoteRobot robot;
    Client client;
    ASSERT_NO_FATAL_FAILURE(robot.Connect(client));
    Client watcher;
    ASSERT_TRUE(watcher.Connect(robot.port));
    ASSERT_GE(watcher.NextStartingWith("CMD Active false", 20s).counter, 0);

    // Upload: byte-exact under Data/, announced to every client; no reply of its own.
    std::string expected;
    ASSERT_TRUE(client.SendFrame(1, "CMD UploadFileInit Programs/Remote/Wait.xml " +
                                        std::to_string(WaitingProgram.size())));
    for (const std::string& line : WaitingProgram) {
        ASSERT_TRUE(client.SendFrame(2, "CMD UploadFileLine " + line));
        expected += line + "\n";
    }
    ASSERT_TRUE(client.SendFrame(3, "CMD UploadFileFinish"));
    EXPECT_EQ(client.NextStartingWith("MESSAGE Programs/Remote/Wait.xml", 20s).body,
              "MESSAGE Programs/Remote/Wait.xml uploaded, 7 lines");
    EXPECT_GE(watcher.NextStartingWith("MESSAGE Programs/Remote/Wait.xml uploaded", 20s).counter, 0);
    EXPECT_EQ(TestSupport::ReadFile(robot.sample.File("Data/Programs/Remote/Wait.xml")), expected);

    // Path tricks are refused with a message and write nothing.
    ASSERT_TRUE(client.SendFrame(4, "CMD UploadFileInit ../escape.txt 1"));
    ASSERT_TRUE(client.SendFrame(5, "CMD UploadFileLine evil"));
    ASSERT_TRUE(client.SendFrame(6, "CMD UploadFileFinish"));
    EXPECT_EQ(client.NextStartingWith("MESSAGE HXP-Server: Invalid path", 20s).body,
              "MESSAGE HXP-Server: Invalid path: " + robot.sample.File("Data/../escape.txt") + ", must not be relative!");
    EXPECT_FALSE(std::filesystem::exists(robot.sample.File("escape.txt")));
    EXPECT_EQ(robot.Ask(client, 7, "CMD LoadProgram ../Projects/SixAxis/SixAxis.prj", "CMD"),
              "CMDERROR 7 invalid file name");
    EXPECT_EQ(robot.Ask(client, 8, "CMD DeleteProgramFromFileSystem ../Robots/KorvellaSix/KorvellaSix.xml", "CMD"),
              "CMDERROR 8 invalid file name");
    EXPECT_TRUE(std::filesystem::exists(robot.sample.RobotFile()));

    EXPECT_EQ(robot.Ask(client, 9, "CMD LoadProgram Remote/Wait.xml", "CMD"), "CMDACK 9");
    std::string programInfo;
    ASSERT_TRUE(WaitFor([&]() {
        programInfo = robot.Ask(client, 10, "CMD GetProgramInfo", "INFO ProgramInfo");
        return programInfo.find(" 4 -1") != std::string::npos;
    }, 30s)) << programInfo;
    EXPECT_EQ(robot.Ask(watcher, 11, "CMD GetProgramInfo", "INFO ProgramInfo"), programInfo);

    ASSERT_NO_FATAL_FAILURE(robot.EnableAndReference(client));
    bool started = false;
    WaitFor([&]() {
        client.SendFrame(12, "CMD StartProgram");
        started = client.NextStartingWith("EXECACK", 2s).counter >= 0;
        return started;
    }, 90s);
    ASSERT_TRUE(started) << "no EXECACK after StartProgram";
    EXPECT_GE(watcher.NextStartingWith("EXECACK", 20s).counter, 0);

    // Paused within the first wait, then resumed: both clients see both events.
    ASSERT_TRUE(WaitFor([&]() {
        return robot.Ask(client, 13, "CMD GetProgramInfo", "INFO ProgramInfo").find(" 4 1") != std::string::npos;
    }, 30s));
    EXPECT_EQ(robot.Ask(client, 14, "CMD PauseProgram", "CMD"), "CMDACK 14");
    EXPECT_GE(client.NextStartingWith("EXECPAUSE", 20s).counter, 0);
    EXPECT_GE(watcher.NextStartingWith("EXECPAUSE", 20s).counter, 0);

    // A direct move meanwhile is refused, never acknowledged and discarded: the program keeps the arm.
    EXPECT_EQ(robot.Ask(client, 15, "CMD Move Joint -40 0 0 0 0 0 0 0 0 50", "CMD"), "CMDERROR 15 program is running");
    EXPECT_FALSE(robot.StatusUntil(client, [](const std::string& s) {
        const std::vector<float> joints = Values(s, "POSJOINTSETPOINT", 1);
        return !joints.empty() && joints[0] < 5.0f;
    }, 3s));

    EXPECT_EQ(robot.Ask(client, 16, "CMD StartProgram", "CMD"), "CMDACK 16");
    EXPECT_GE(client.NextStartingWith("EXECACK", 20s).counter, 0);
    EXPECT_GE(watcher.NextStartingWith("EXECACK", 20s).counter, 0);
    EXPECT_EQ(robot.Ask(client, 17, "CMD StopProgram", "CMD"), "CMDACK 17");
    EXPECT_GE(client.NextStartingWith("EXECEND", 20s).counter, 0);
    EXPECT_GE(watcher.NextStartingWith("EXECEND", 20s).counter, 0);

    // Positioned at command 2, paused there.
    EXPECT_EQ(robot.Ask(client, 18, "CMD StartAt Remote/Wait.xml 2", "CMD"), "CMDACK 18");
    EXPECT_TRUE(robot.korvella->WaitForMessage("Start command requested: program 'Remote/Wait.xml', command 2"));
    std::string positioned;
    ASSERT_TRUE(WaitFor([&]() {
        positioned = robot.Ask(client, 19, "CMD GetProgramInfo", "INFO ProgramInfo");
        return positioned == "INFO ProgramInfo Remote/Wait.xml 4 2";
    }, 30s)) << positioned;

    EXPECT_EQ(robot.Ask(client, 20, "CMD DeleteProgram", "CMD"), "CMDACK 20");
    EXPECT_EQ(robot.Ask(client, 21, "CMD GetProgramInfo", "INFO ProgramInfo"), "INFO ProgramInfo n/a 0 0");
    EXPECT_EQ(robot.Ask(client, 22, "CMD DeleteProgramFromFileSystem Remote/Wait.xml", "CMD"), "CMDACK 22");
    EXPECT_FALSE(std::filesystem::exists(robot.sample.File("Data/Programs/Remote/Wait.xml")));
}

TEST(ServerCommandsBlackBoxTest, DirectMovesMoveTheSimulatedArm) {
    RemoteRobot robot;
    Client client;
    ASSERT_NO_FATAL_FAILURE(robot.Connect(client));
    ASSERT_NO_FATAL_FAILURE(robot.EnableAndReference(client));

    EXPECT_EQ(robot.Ask(client, 1, "CMD Move Joint 10 40 45 0 90 0 0 0 0", "CMD"), "CMDERROR 1 incomplete move command");
    EXPECT_EQ(robot.Ask(client, 2, "CMD Move Sideways 1 2 3", "CMD"), "CMDERROR 2 invalid move command");
    // A move that could never end, or with a target beyond any reach, is refused rather than acknowledged.
    EXPECT_EQ(robot.Ask(client, 2, "CMD Move Joint 10 40 45 0 90 0 0 0 0 0", "CMD"), "CMDERROR 2 invalid move velocity");
    EXPECT_EQ(robot.Ask(client, 2, "CMD Move Cart 1e30 0 0 180 0 180 0 0 0 100", "CMD"),
              "CMDERROR 2 invalid move target");

    EXPECT_EQ(robot.Ask(client, 3, "CMD Move Joint 10 40 45 0 90 0 0 0 0 80", "CMD"), "CMDACK 3");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) {
        return Near(Values(s, "POSJOINTCURRENT", 6), {10, 40, 45, 0, 90, 0}, 0.5f);
    })) << "the arm did not reach the joint target";

    EXPECT_EQ(robot.Ask(client, 4, "CMD Move RelativeJoint -10 5 0 0 0 0 0 0 0 80", "CMD"), "CMDACK 4");
    EXPECT_TRUE(robot.StatusUntil(client, [](const std::string& s) {
        return Near(Values(s, "POSJOINTCURRENT", 6), {0, 45, 45, 0, 90, 0}, 0.5f);
    })) << "the arm did not move by the joint increments";

    // A Cartesian target that the sample's demo program reaches from this pose, then a step down in the base frame.
    const std::vector<float> target = {620, 80, 450, 180, 0, 180};
    std::ostringstream cart;
    cart << "CMD Move Cart " << target[0] << " " << target[1] << " " << target[2] << " " << target[3] << " "
         << target[4] << " " << target[5] << " 0 0 0 100";
    EXPECT_EQ(robot.Ask(client, 5, cart.str(), "CMD"), "CMDACK 5");
    EXPECT_TRUE(robot.StatusUntil(client, [&](const std::string& s) {
        return Near(Values(s, "POSCARTROBOT", 3), {target[0], target[1], target[2]}, 1.0f);
    })) << "the arm did not reach the Cartesian target";
    EXPECT_EQ(robot.Ask(client, 6, "CMD Move RelativeBase 0 0 -25 0 0 0 0 0 0 100", "CMD"), "CMDACK 6");
    EXPECT_TRUE(robot.StatusUntil(client, [&](const std::string& s) {
        return Near(Values(s, "POSCARTROBOT", 3), {target[0], target[1], target[2] - 25}, 1.0f);
    })) << "the arm did not move down in the base frame";

    // Stop ends a move on its way.
    EXPECT_EQ(robot.Ask(client, 7, "CMD Override 5", "CMD"), "CMDACK 7");
    EXPECT_EQ(robot.Ask(client, 8, "CMD Move Joint -30 0 0 0 0 0 0 0 0 20", "CMD"), "CMDACK 8");
    EXPECT_EQ(robot.Ask(client, 9, "CMD Move Stop", "CMD"), "CMDACK 9");
    EXPECT_FALSE(robot.StatusUntil(client, [](const std::string& s) {
        return Near(Values(s, "POSJOINTCURRENT", 1), {-30}, 1.0f);
    }, 5s));
}

}  // namespace
