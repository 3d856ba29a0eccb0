// The controller program from outside: started in a scratch copy of the
// six-axis sample, beside the simulated bus or without one, stopped by a
// signal. Checks what it logs, how it ends and what it leaves on disk.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <vector>

#include "controller/RobotMasterSimBus.h"
#include "support/TestSupport.h"


namespace {

namespace fs = std::filesystem;

const char* const ConnectLine = "***************** Connecting CAN bus... ******************";

using SimBusTest::EditXml;
using SimBusTest::Messages;
using SimBusTest::Process;

class Controller {
public:
    Controller() : scratch(false) {
        fs::copy(std::string(KORVELLA_SAMPLES_DIR) + "/six-axis", scratch.Path(), fs::copy_options::recursive);
    }
    ~Controller() {
        korvella.Signal(SIGKILL);
        bus.Signal(SIGTERM);
        int status = 0;
        bus.WaitExit(status, std::chrono::seconds(5));
    }

    std::string Root() const { return scratch.Path(); }
    std::string File(const std::string& relative) const { return scratch.File(relative); }
    std::string RobotFile() const { return File("Data/Robots/KorvellaSix/KorvellaSix.xml"); }
    std::string ProjectFile() const { return File("Data/Projects/SixAxis/SixAxis.prj"); }
    std::string Socket() const { return File("can.sock"); }

    void StartBus() {
        bus.Start({KORVELLA_CANSIM_PROGRAM, "--socket", Socket(), "--robot", RobotFile(), "--dio", "112"}, Root(),
                  File("cansim.txt"), {});
        bus.CloseInput();
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        struct stat info {};
        while (stat(Socket().c_str(), &info) != 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(stat(Socket().c_str(), &info), 0) << "simulated bus did not start";
    }

    // Without a started bus the socket does not exist, so every connection attempt fails.
    void StartController() {
        korvella.Start({KORVELLA_PROGRAM}, Root(), File("console.txt"),
                       {"KORVELLA_CAN_SIM=" + Socket(), "KORVELLA_LOG_NO_WAIT=1"});
        korvella.CloseInput();  // no console: the reader sees the end of input
    }

    std::vector<std::string> Log() const { return Messages(File("console.txt")); }
    int Count(const std::string& message) const {
        int n = 0;
        for (const std::string& m : Log()) n += m == message ? 1 : 0;
        return n;
    }
    std::string FirstStartingWith(const std::string& prefix) const {
        for (const std::string& m : Log())
            if (m.compare(0, prefix.size(), prefix) == 0) return m;
        return std::string();
    }
    // Waits for the message to have been logged `times` times; false after the limit.
    bool WaitForMessage(const std::string& message, int times = 1,
                        std::chrono::seconds limit = std::chrono::seconds(40)) const {
        return WaitUntil([&]() { return Count(message) >= times; }, limit);
    }
    bool WaitForPrefix(const std::string& prefix, std::chrono::seconds limit = std::chrono::seconds(40)) const {
        return WaitUntil([&]() { return !FirstStartingWith(prefix).empty(); }, limit);
    }

    // Stops the program with the signal and expects a clean exit.
    void StopWith(int sig) {
        korvella.Signal(sig);
        int status = 0;
        ASSERT_TRUE(korvella.WaitExit(status)) << "Korvella did not end after the signal";
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(Count(sig == SIGINT ? "SIGINT received." : "SIGTERM received."), 1);
        EXPECT_EQ(Count("Korvella: Exiting..."), 1);
    }

    bool BusRunning() const { return bus.Running(); }

private:
    bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) const {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (condition()) return true;
            if (!korvella.Running()) return condition();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return condition();
    }

    TestSupport::ScratchRoot scratch;
    Process bus;
    Process korvella;
};

bool IsXmlWithRoot(const std::string& path, const char* root) {
    tinyxml2::XMLDocument document;
    return document.LoadFile(path.c_str()) == tinyxml2::XML_SUCCESS && document.FirstChildElement(root) != nullptr;
}

std::string ExpectedBoardType() {
    const std::string issue = TestSupport::ReadFile("/etc/issue");
    if (issue.find("Raspbian") != std::string::npos) return "Raspberry";
    if (issue.find("Phytec") != std::string::npos) return "Phytec";
    return "unknown";
}

// ---------------------------------------------------------------- normal run

class BlackBoxRunTest : public ::testing::TestWithParam<int> {};

TEST_P(BlackBoxRunTest, SampleConnectsTheSimulatedBusAndStopsCleanly) {
    Controller controller;
    const std::string project = TestSupport::ReadFile(controller.ProjectFile());
    const std::string robot = TestSupport::ReadFile(controller.RobotFile());
    controller.StartBus();
    controller.StartController();

    ASSERT_TRUE(controller.WaitForPrefix("Pos: ")) << "no status line";
    EXPECT_EQ(controller.Count("VQT - Korvella"), 1);
    EXPECT_EQ(controller.Count("R980-13-039"), 1);
    EXPECT_EQ(controller.Count("Board Type: " + ExpectedBoardType()), 1);
    EXPECT_EQ(controller.Count("Numeric Limits on this machine:"), 1);
    EXPECT_EQ(controller.Count("Type (int):                   Size 4 byte     Max 2147483647"), 1);
    EXPECT_EQ(controller.Count("Type (unsigned long long):    Size 8 byte     Max 18446744073709551615"), 1);
    EXPECT_EQ(controller.Count("RobotMaster: Timing mode: Mode 2"), 1);
    EXPECT_EQ(controller.Count("RobotMaster: 10 ms cycle time"), 1);
    // Connected on the first attempt.
    EXPECT_EQ(controller.Count(ConnectLine), 1);
    EXPECT_EQ(controller.Count("ProtocolVQTCANV2: Connection succeeded"), 1);
    const std::string status = controller.FirstStartingWith("Pos: ");
    EXPECT_NE(status.find("    Joints: 0.0 0.0 90.0 0.0 90.0 0.0"), std::string::npos) << status;
    // The start program is loaded, not started; no logic program.
    EXPECT_NE(status.find("   Prog: Stp, None"), std::string::npos) << status;
    EXPECT_EQ(status.find("NotConnected"), std::string::npos) << status;

    controller.StopWith(GetParam());
    // The counters are stored on the way out; the configuration is left as it was.
    EXPECT_TRUE(IsXmlWithRoot(controller.File("variableStorage.xml"), "Data"));
    EXPECT_EQ(TestSupport::ReadFile(controller.ProjectFile()), project);
    EXPECT_EQ(TestSupport::ReadFile(controller.RobotFile()), robot);
    EXPECT_FALSE(fs::exists(controller.ProjectFile() + "_tmp"));
    EXPECT_TRUE(controller.BusRunning()) << "the bus outlives the controller";
}

INSTANTIATE_TEST_SUITE_P(Signals, BlackBoxRunTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

TEST(BlackBoxTest, WithoutTheBusFiveAttemptsAreMadeAndNoMore) {
    Controller controller;
    controller.StartController();
    // The first status line comes after the fifth attempt.
    ASSERT_TRUE(controller.WaitForPrefix("Pos: ")) << "no status line";
    EXPECT_EQ(controller.Count(ConnectLine), 5);
    EXPECT_EQ(controller.Count("ProtocolVQTCANV2: No connection!"), 5);
    const std::string status = controller.FirstStartingWith("Pos: ");
    EXPECT_NE(status.find("   Status: NotConnected, MotionNotAllowed"), std::string::npos) << status;
    controller.StopWith(SIGTERM);
    EXPECT_EQ(controller.Count(ConnectLine), 5);
}

TEST(BlackBoxTest, DiagnosticBlockShowsMillisecondsAndPercent) {
    Controller controller;
    controller.StartBus();
    controller.StartController();
    ASSERT_TRUE(controller.WaitForPrefix("RobotThread Frequency: ", std::chrono::seconds(90)));
    const std::string line = controller.FirstStartingWith("RobotThread Frequency: ");
    double frequency = 0, minMs = 0, maxMs = 0, workload = -1;
    ASSERT_EQ(std::sscanf(line.c_str(),
                          "RobotThread Frequency: %lf Hz,  min CycleTime: %lf ms,  max CycleTime: %lf ms,  Workload "
                          "%lf%%",
                          &frequency, &minMs, &maxMs, &workload),
              4)
        << line;
    EXPECT_GT(frequency, 0.0);
    // Shortest and longest cycle of a 10 ms cycle in milliseconds (microseconds would read 10000).
    EXPECT_GE(minMs, 5.0) << line;
    EXPECT_LE(minMs, maxMs) << line;
    EXPECT_LT(maxMs, 1000.0) << line;
    EXPECT_GE(workload, 0.0);
    EXPECT_LE(workload, 100.0);
    EXPECT_FALSE(controller.FirstStartingWith("Error Codes Arm: 4 4 4 4 4 4 - DIO: ").empty());
    EXPECT_FALSE(controller.FirstStartingWith("Board Temp: ").empty());
    EXPECT_FALSE(controller.FirstStartingWith("Ref State: Overall ").empty());
    controller.StopWith(SIGINT);
}

// ---------------------------------------------------------------- defective samples

struct DefectCase {
    const char* name;
    std::function<void(Controller&)> damage;
    const char* reason;
};

void PrintTo(const DefectCase& c, std::ostream* os) { *os << c.name; }

class BlackBoxDefectTest : public ::testing::TestWithParam<DefectCase> {};

TEST_P(BlackBoxDefectTest, MainLoopRepeatsTheReasonAndNeverTouchesTheBus) {
    const DefectCase& c = GetParam();
    Controller controller;
    const std::string counters =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Data>\n<SystemVariables UpTimeComplete=\"77\" "
        "UpTimeLast=\"5\" UpTimeEnabled=\"66\" UpTimeMotion=\"55\" ProgramStarts=\"44\"/>\n</Data>\n";
    TestSupport::WriteFile(controller.File("variableStorage.xml"), counters);
    c.damage(controller);
    controller.StartController();

    const std::string error = std::string("ERROR: ") + c.reason;
    ASSERT_TRUE(controller.WaitForMessage(error, 2)) << error;
    controller.StopWith(SIGTERM);
    EXPECT_EQ(controller.Count(ConnectLine), 0);
    EXPECT_EQ(controller.FirstStartingWith("Pos: "), "") << "no status line in serious-fail mode";
    // Counters never read are not overwritten; counters read are written back unchanged.
    EXPECT_NE(TestSupport::ReadFile(controller.File("variableStorage.xml")).find("UpTimeComplete=\"77\""),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlackBoxDefectTest,
    ::testing::Values(
        DefectCase{"FrontEndMissing", [](Controller& c) { fs::remove(c.File("VQTFrontend.xml")); },
                   "1 VQTFrontend.xml missing"},
        DefectCase{"ProjectNotNamed",
                   [](Controller& c) {
                       EditXml(c.File("VQTFrontend.xml"), [](tinyxml2::XMLElement* root) {
                           root->FirstChildElement("StartUp")->DeleteAttribute("Project");
                       });
                   },
                   "3 Project not named"},
        DefectCase{"ProjectIncomplete",
                   [](Controller& c) {
                       EditXml(c.ProjectFile(), [](tinyxml2::XMLElement* root) {
                           root->FirstChildElement("Robot")->DeleteAttribute("Name");
                       });
                   },
                   "8 .prj file not complete"},
        DefectCase{"RobotFileMissing", [](Controller& c) { fs::remove(c.RobotFile()); },
                   "31 Robot Ini file not found"},
        DefectCase{"RobotFileIncomplete",
                   [](Controller& c) {
                       EditXml(c.RobotFile(), [](tinyxml2::XMLElement* root) {
                           root->FirstChildElement("BusConfiguration")->DeleteAttribute("CycleTimeMS");
                       });
                   },
                   "36 Robot Ini file not complete"},
        DefectCase{"UnknownRobotType",
                   [](Controller& c) {
                       EditXml(c.RobotFile(), [](tinyxml2::XMLElement* root) {
                           root->FirstChildElement("Kinematic")->SetAttribute("Type", "Scara");
                       });
                   },
                   "10 robot type unknown"},
        DefectCase{"UnknownProtocol",
                   [](Controller& c) {
                       EditXml(c.RobotFile(), [](tinyxml2::XMLElement* root) {
                           root->FirstChildElement("BusConfiguration")->SetAttribute("Protocol", "CANbus");
                       });
                   },
                   "11 protocol type unknown"},
        DefectCase{"DriverSettingsIncomplete",
                   [](Controller& c) {
                       EditXml(c.RobotFile(), [](tinyxml2::XMLElement* root) {
                           root->FirstChildElement("BusConfiguration")->DeleteAttribute("GapMS");
                       });
                   },
                   "65 Protocol Ini file not complete"}),
    [](const ::testing::TestParamInfo<DefectCase>& info) { return std::string(info.param.name); });

}  // namespace
