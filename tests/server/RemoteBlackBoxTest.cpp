// The controller program from outside with remote clients, on the six-axis
// sample and the simulated bus: configuration changes answered at once,
// stored in the robot and project files and read again after a restart; a
// remote power-off that writes the last change first; the CAN bridge; a
// program built line by line; variables that reach programs and clients.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <tinyxml2.h>
#include <vector>

#include "controller/RobotMasterSimBus.h"
#include "server/ServerTestSupport.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using ServerTest::Client;
using SimBusTest::Controller;
using SimBusTest::Sample;

ino_t Inode(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

std::string Attribute(const std::string& file, const char* element, const char* attribute, const char* parent = nullptr) {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(file.c_str()) != tinyxml2::XML_SUCCESS) return "<unreadable>";
    const tinyxml2::XMLElement* e = document.RootElement();
    if (parent != nullptr) e = e->FirstChildElement(parent);
    e = e != nullptr ? e->FirstChildElement(element) : nullptr;
    const char* value = e != nullptr ? e->Attribute(attribute) : nullptr;
    return value != nullptr ? value : "<none>";
}

// A connected client of the controller on the port, once it is told its role.
std::unique_ptr<Client> ConnectClient(int port, const char* role = "CMD Active true") {
    auto client = std::make_unique<Client>();
    if (!ServerTest::WaitFor([&]() { return client->Connect(port); }, 40s)) return nullptr;
    if (client->NextStartingWith(role, 40s).counter < 0) return nullptr;
    return client;
}

// The first reply to the frame that starts with the prefix.
std::string Ask(Client& client, const std::string& body, const std::string& prefix) {
    if (!client.SendFrame(9, body)) return "<send failed>";
    return client.NextStartingWith(prefix, 20s).body;
}

// The configuration a client reads back, one Get after the other.
std::vector<std::string> ReadBack(Client& client) {
    return {Ask(client, "CONFIG GetKinematicLimits", "CONFIG KinematicLimits"),
            Ask(client, "CONFIG GetBrake", "CONFIG Brake"),
            Ask(client, "CONFIG GetVBox", "CONFIG VBox"),
            Ask(client, "CONFIG GetPLCInterfaceEnabled", "CONFIG PLCInterfaceEnabled"),
            Ask(client, "CONFIG GetProgramDefaultState", "CONFIG ProgramDefaultState"),
            Ask(client, "CONFIG GetDOutDefaults", "CONFIG DOutDefaults"),
            Ask(client, "CONFIG GetPLCTriggers", "CONFIG PLCTrigger"),
            Ask(client, "CONFIG GetModbus", "CONFIG Modbus")};
}

TEST(RemoteBlackBox, SetsAnswerAtOnceAreStoredAndReadAgainAfterARestart) {
    Sample sample;
    sample.StartBus();
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    const std::string env = "KORVELLA_HXP_PORT=" + std::to_string(port);
    const std::string robotFile = sample.RobotFile();
    const std::string projectFile = sample.ProjectFile();
    const std::vector<std::string> expected = {
        "CONFIG KinematicLimits -170 170 -100 100 -120 120 -180 180 -110 110 -350 350",
        "CONFIG Brake 21 300 20",
        "CONFIG VBox True -500 500 -400 400 0 900",
        "CONFIG PLCInterfaceEnabled True False",
        "CONFIG ProgramDefaultState 0",
        "CONFIG DOutDefaults 1 0 0 0",
        "CONFIG PLCTrigger 0 1 True DIn 3 Program Demo.xml",
        "CONFIG Modbus False 1503 4",
    };
    {
        Controller korvella(sample, {env});
        auto client = ConnectClient(port);
        ASSERT_TRUE(client != nullptr);
        const ino_t robotBefore = Inode(robotFile);
        const ino_t projectBefore = Inode(projectFile);

        // The robot file takes limits and brake at once.
        ASSERT_TRUE(client->SendFrame(1, "CONFIG SetKinematicLimits -170 170 -100 100 -120 120 -180 180 -110 110 -350 350"));
        EXPECT_EQ(Ask(*client, "CONFIG GetKinematicLimits", "CONFIG KinematicLimits"), expected[0]);
        EXPECT_NE(Inode(robotFile), robotBefore);  // replaced by a rename
        ASSERT_TRUE(client->SendFrame(2, "CONFIG SetBrake 21 300 20"));
        EXPECT_EQ(Ask(*client, "CONFIG GetBrake", "CONFIG Brake"), expected[1]);
        EXPECT_EQ(Attribute(robotFile, "SoftwareMinMax", "A6Max"), "350");
        EXPECT_EQ(Attribute(robotFile, "Brake", "DOutChannel"), "21");
        EXPECT_EQ(Attribute(robotFile, "EStopMonitoring", "DInChannel"), "20");
        EXPECT_EQ(Attribute(robotFile, "Kinematic", "Type"), "StandardSixAxisPlus");

        // The project file takes the rest after the delayed rewrite.
        for (const char* body : {"CONFIG SetVBox True -500 500 -400 400 0 900", "CONFIG SetPLCInterfaceEnabled True False",
                                 "CONFIG SetProgramDefaultState 0", "CONFIG SetDOutDefaults 1 0 0 0",
                                 "CONFIG AddPLCTrigger TRUE DIn 3 Program Demo.xml", "CONFIG SetModbus false 1503 4"})
            ASSERT_TRUE(client->SendFrame(3, body));
        EXPECT_EQ(ReadBack(*client), expected);
        ASSERT_TRUE(SimBusTest::WaitFor([&]() { return Attribute(projectFile, "VirtualBox", "xMin") == "-500"; }, 60s))
            << "the project file was not rewritten";
        EXPECT_NE(Inode(projectFile), projectBefore);
        EXPECT_EQ(Inode(projectFile + "_tmp"), 0u);
        EXPECT_EQ(Attribute(projectFile, "VirtualBox", "active"), "True");
        EXPECT_EQ(Attribute(projectFile, "PLCInterface", "Active"), "true");
        EXPECT_EQ(Attribute(projectFile, "Program", "DefaultState"), "0");
        EXPECT_EQ(Attribute(projectFile, "PLCTrigger", "DIn"), "3");
        EXPECT_EQ(Attribute(projectFile, "DOut", "ResetState"), "True");
        EXPECT_EQ(Attribute(projectFile, "ModbusServer", "Port", "Environment"), "1503");
        // The rest of the file is kept.
        EXPECT_EQ(Attribute(projectFile, "Robot", "Homepos"), "0 0 90 0 90 0");
        EXPECT_EQ(Attribute(projectFile, "PLCInterfaceRefSequence", "JointToRef5"), "5");
        EXPECT_EQ(Attribute(projectFile, "OperationModes", "ManualMaxVelMMPerSec"), "250");
        korvella.Stop();
    }
    // The restarted program logs into a fresh file.
    ASSERT_EQ(std::rename(sample.File("console.txt").c_str(), sample.File("console-first.txt").c_str()), 0);
    {
        Controller korvella(sample, {env});
        auto client = ConnectClient(port);
        ASSERT_TRUE(client != nullptr);
        EXPECT_EQ(ReadBack(*client), expected);
        korvella.Stop();
    }
}

TEST(RemoteBlackBox, RemotePowerOffWritesTheChangeQueuedJustBefore) {
    Sample sample;
    const std::string bin = sample.File("bin");
    // The stand-in notes its arguments and whether the change had reached the project file.
    TestSupport::WriteFile(bin + "/systemctl",
                           "#!/bin/sh\n"
                           "if grep -q 'xMin=\"-321\"' Data/Projects/SixAxis/SixAxis.prj; then w=written; "
                           "else w=not-written; fi\n"
                           "echo \"$* $w\" >> systemctl-calls.txt\n");
    ASSERT_EQ(chmod((bin + "/systemctl").c_str(), 0755), 0);
    const char* path = std::getenv("PATH");
    const std::string pathEnv = "PATH=" + bin + ":" + (path != nullptr ? path : "/usr/bin:/bin");
    sample.StartBus();
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    Controller korvella(sample, {pathEnv, "KORVELLA_HXP_PORT=" + std::to_string(port)});
    auto client = ConnectClient(port);
    ASSERT_TRUE(client != nullptr);

    ASSERT_TRUE(client->SendFrame(1, "CONFIG SetVBox True -321 321 -400 400 0 900"));
    ASSERT_TRUE(client->SendFrame(2, "SYSTEM Shutdown 100"));
    const std::string calls = sample.File("systemctl-calls.txt");
    ASSERT_TRUE(SimBusTest::WaitFor([&]() { return !TestSupport::ReadFile(calls).empty(); }, 60s));
    EXPECT_EQ(TestSupport::ReadFile(calls), "poweroff written\n");
    EXPECT_EQ(korvella.Count("Shutting down the system..."), 1);
    EXPECT_EQ(korvella.Count("Could not execute shutdown"), 0);
    korvella.Stop();
}

// The simulated bus with its frame log, beside the sample.
class BridgeBus {
public:
    explicit BridgeBus(Sample& sample) : sample(sample) {
        bus.Start({KORVELLA_CANSIM_PROGRAM, "--socket", sample.Socket(), "--log", FrameLog(), "--robot",
                   sample.RobotFile(), "--dio", "112"},
                  sample.Root(), sample.File("cansim.txt"), {});
        struct stat info {};
        EXPECT_TRUE(SimBusTest::WaitFor([&]() { return stat(sample.Socket().c_str(), &info) == 0; }));
    }
    std::string FrameLog() const { return sample.File("frames.txt"); }
    bool Logged(const std::string& frame) const {
        return TestSupport::ReadFile(FrameLog()).find(" " + frame + "\n") != std::string::npos;
    }
    void Line(const std::string& text) { bus.Line(text); }

private:
    Sample& sample;
    SimBusTest::Process bus;
};

TEST(RemoteBlackBox, CanBridgeCarriesFramesBothWaysUntilSwitchedOffOrClosed) {
    Sample sample;
    BridgeBus bus(sample);
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    Controller korvella(sample, {"KORVELLA_HXP_PORT=" + std::to_string(port)});
    ASSERT_TRUE(korvella.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    auto client = ConnectClient(port);
    ASSERT_TRUE(client != nullptr);

    ASSERT_TRUE(client->SendFrame(1, "CANBridge SwitchOn"));
    ASSERT_TRUE(korvella.WaitForMessage("HXP-Server: Switch on CANBridge"));
    const std::vector<std::string> log = korvella.Log();
    const auto disabled = std::find(log.begin(), log.end(), "RobotMaster: Disabling Motors");
    const auto switched = std::find(log.begin(), log.end(), "HXP-Server: Switch on CANBridge");
    EXPECT_LT(disabled - log.begin(), switched - log.begin());

    // The client's frame reaches the bus with the low bytes of its data.
    ASSERT_TRUE(client->SendFrame(2, "CANBridge Msg ID 1537 Len 2 Data 1 300 0 0 0 0 0 0"));
    EXPECT_TRUE(SimBusTest::WaitFor([&]() { return bus.Logged("601#012C"); })) << "no frame 601#012C on the bus";

    // A frame of the bus reaches the client.
    bus.Line("alien 768");
    EXPECT_GE(client->NextStartingWith("CANBridge Msg ID 768 Len ", 20s).counter, 0);

    // Bad frames send nothing.
    for (const char* bad : {"CANBridge Msg ID 1234 Len 9 Data 1 2 3 4 5 6 7 8", "CANBridge Msg Len 2 Data 1 2",
                            "CANBridge Msg ID 1234 Len -1", "CANBridge Msg ID 3000 Len 1 Data 5"})
        ASSERT_TRUE(client->SendFrame(3, bad));
    ASSERT_TRUE(client->SendFrame(4, "CANBridge Msg ID 1538 Len 1 Data 7"));
    ASSERT_TRUE(SimBusTest::WaitFor([&]() { return bus.Logged("602#07"); }));
    const std::string frames = TestSupport::ReadFile(bus.FrameLog());
    EXPECT_EQ(frames.find(" 4D2#"), std::string::npos);
    EXPECT_EQ(frames.find(" 1FFFFFFF#"), std::string::npos);
    EXPECT_EQ(frames.find(" 7FF#"), std::string::npos);
    EXPECT_EQ(frames.find(" BB8#"), std::string::npos);

    ASSERT_TRUE(client->SendFrame(5, "CANBridge SwitchOff"));
    ASSERT_TRUE(korvella.WaitForMessage("HXP-Server: Switch off CANBridge"));
    // Outside the mode the frame is refused.
    ASSERT_TRUE(client->SendFrame(6, "CANBridge Msg ID 1539 Len 1 Data 7"));
    ASSERT_TRUE(korvella.WaitForMessage("Request to send CAN message: switch to CANBridge mode first!"));
    EXPECT_FALSE(bus.Logged("603#07"));

    // The client going away ends the mode too.
    ASSERT_TRUE(client->SendFrame(7, "CANBridge SwitchOn"));
    ASSERT_TRUE(korvella.WaitForMessage("HXP-Server: Switch on CANBridge", 2));
    client->Close();
    EXPECT_TRUE(korvella.WaitForMessage("HXP-Server: Switch off CANBridge", 2));
    korvella.Stop();
}

TEST(RemoteBlackBox, CanBridgeNeverStartsFromSeriousFailure) {
    Sample sample;
    sample.EditProject([](tinyxml2::XMLElement* project) {
        project->FirstChildElement("Robot")->SetAttribute("Type", "NoSuchRobot");
    });
    sample.StartBus();
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    Controller korvella(sample, {"KORVELLA_HXP_PORT=" + std::to_string(port)});
    auto client = ConnectClient(port);
    ASSERT_TRUE(client != nullptr);
    ASSERT_TRUE(client->SendFrame(1, "CANBridge SwitchOn"));
    ASSERT_TRUE(korvella.WaitForMessage("HXP-Server: CANBridge not switched on: the controller is in serious-fail mode"));
    ASSERT_TRUE(client->SendFrame(2, "CANBridge SwitchOff"));
    ASSERT_TRUE(
        korvella.WaitForMessage("HXP-Server: CANBridge not switched off: the controller is in serious-fail mode"));
    EXPECT_EQ(korvella.Count("HXP-Server: Switch on CANBridge"), 0);
    // The main loop keeps showing the failure.
    EXPECT_GE(client->NextStartingWith("MESSAGE ERROR: ", 30s).counter, 0);
    korvella.Stop();
}

TEST(RemoteBlackBox, ProgramBuiltLineByLineRunsAndVariablesReachProgramsAndClients) {
    Sample sample;
    sample.EditProject([](tinyxml2::XMLElement* project) {
        tinyxml2::XMLElement* sequence = project->FirstChildElement("PLCInterfaceRefSequence");
        for (int i = 0; i < 9; ++i) sequence->SetAttribute(("RefDelay" + std::to_string(i)).c_str(), 0);
    });
    TestSupport::WriteFile(sample.File("Data/Programs/Gain.xml"),
                           "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Program>\n"
                           "    <Store Nr=\"1\" Type=\"number\" Name=\"gain\" Value=\"0\"/>\n"
                           "    <Wait Nr=\"2\" Type=\"Conditional\" Condition=\"gain &gt; 0\"/>\n"
                           "    <MathOperator Nr=\"3\" Function=\"multiply\" FirstOperand=\"gain\" SecondOperand=\"10\"/>\n"
                           "</Program>\n");
    sample.StartBus();
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    Controller korvella(sample, {"KORVELLA_HXP_PORT=" + std::to_string(port)});
    ASSERT_TRUE(korvella.WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    auto client = ConnectClient(port);
    ASSERT_TRUE(client != nullptr);
    auto passive = ConnectClient(port, "CMD Active false");
    ASSERT_TRUE(passive != nullptr);

    // Programs start only on a referenced robot.
    EXPECT_EQ(Ask(*client, "CMD Enable", "CMDACK"), "CMDACK 9");
    ASSERT_TRUE(ServerTest::WaitFor(
        [&]() { return client->NextStartingWith("STATUS", 1s).body.find(" ERROR NoError ") != std::string::npos; },
        60s));
    EXPECT_EQ(Ask(*client, "CMD ReferenceAllJoints", "CMDACK"), "CMDACK 9");
    ASSERT_TRUE(korvella.WaitForLastJointReferencing()) << korvella.Tail();

    // A new program of three lines; the refused line adds nothing.
    EXPECT_EQ(Ask(*client, "CMD DeleteProgram", "CMDACK"), "CMDACK 9");
    EXPECT_EQ(Ask(*client, "CMD ProgramReplayMode 0", "CMDACK"), "CMDACK 9");
    EXPECT_EQ(Ask(*client, "PROG 1 WAIT 100", "PROG"), "PROGACK 9 1");
    EXPECT_EQ(Ask(*client, "PROG 2 JOINT 0 0 0 0 0 0 VEL 20", "PROG"), "PROGERROR 9 2 incomplete_argument");
    EXPECT_EQ(Ask(*client, "PROG 2 DOUT 5 TRUE", "PROG"), "PROGACK 9 2");
    EXPECT_EQ(Ask(*client, "PROG 3 JOINT 0 -30 60 0 30 0 EXT 0 0 0 VEL 20", "PROG"), "PROGACK 9 3");
    EXPECT_EQ(client->NextStartingWith("RUNSTATE new.xml 3 ", 20s).counter >= 0, true);

    // Asks for the start until the program shows the line (the start waits for the referencing to end).
    const auto Start = [&](const std::string& shows) {
        return ServerTest::WaitFor(
            [&]() { return client->SendFrame(4, "CMD StartProgram") && client->NextStartingWith(shows, 2s).counter >= 0; },
            90s);
    };
    ASSERT_TRUE(Start("EXECACK")) << "no EXECACK after StartProgram";
    EXPECT_GE(client->NextStartingWith("EXECEND", 60s).counter, 0) << "the program did not end";

    // A variable set remotely reaches the running program, and every client sees the result.
    EXPECT_EQ(Ask(*client, "CMD LoadProgram Gain.xml", "CMDACK"), "CMDACK 9");
    ASSERT_GE(client->NextStartingWith("RUNSTATE Gain.xml 3 ", 30s).counter, 0);
    ASSERT_TRUE(Start("VARINFO ValueNrVariable gain 0")) << "the program did not create its variable";
    EXPECT_EQ(Ask(*client, "VAR SetVariableSingle gain 4", "CMD"), "CMDACK 9");
    EXPECT_GE(client->NextStartingWith("VARINFO ValueNrVariable gain 40", 30s).counter, 0);
    EXPECT_GE(passive->NextStartingWith("VARINFO ValueNrVariable gain 40", 30s).counter, 0);
    EXPECT_EQ(Ask(*passive, "VAR GetNrVariable GAIN", "VARINFO ValueNrVariable gain"), "VARINFO ValueNrVariable gain 40");
    korvella.Stop();
}

}  // namespace
