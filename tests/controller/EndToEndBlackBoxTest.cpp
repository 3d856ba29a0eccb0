// The whole road as a user travels it: the real controller program in a
// scratch copy of the six-axis sample, beside the simulated bus (modules at
// the project's home, frame log on), driven by remote clients over TCP.
// Checks what the clients are told and what went over the bus.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <vector>

#include "controller/RobotMasterSimBus.h"
#include "hardware/VQTCANV2Codec.h"
#include "server/ServerTestSupport.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Codec = Hardware::VQTCANV2Codec;
using Joints = std::array<float, 6>;

const Joints Home = {0, 0, 90, 0, 90, 0};
// Module identifiers and gear scales of the sample's robot file.
const int ModuleIds[6] = {16, 32, 48, 64, 80, 96};
const float GearScales[6] = {190, -190, 100, 50, 50, 50};

// What a STATUS line tells.
struct Status {
    bool valid = false;
    Joints setPoint{};
    Joints actual{};
    std::array<float, 3> position{};
    std::string error;
    std::vector<int> errorCodes;
};

Status ParseStatus(const std::string& body) {
    Status s;
    std::istringstream in(body);
    std::string word;
    while (in >> word) {
        if (word == "POSJOINTSETPOINT") {
            for (float& v : s.setPoint) in >> v;
        } else if (word == "POSJOINTCURRENT") {
            for (float& v : s.actual) in >> v;
        } else if (word == "POSCARTROBOT") {
            for (float& v : s.position) in >> v;
        } else if (word == "ERROR") {
            in >> s.error;
            for (int i = 0; i < 16; ++i) {
                int code = 0;
                in >> code;
                s.errorCodes.push_back(code);
            }
            s.valid = !in.fail();
        }
    }
    return s;
}

bool Near(const Joints& a, const Joints& b, float tolerance) {
    for (std::size_t j = 0; j < a.size(); ++j)
        if (std::fabs(a[j] - b[j]) > tolerance) return false;
    return true;
}

std::string Text(const Joints& j) {
    std::string text;
    for (float v : j) text += std::to_string(v) + " ";
    return text;
}

// The controller's position set-points in the frame log: per module, the joint values in order.
std::map<int, std::vector<float>> SetPointsInFrameLog(const std::string& path) {
    std::map<int, std::vector<float>> setPoints;
    std::ifstream in(path);
    std::string time, frame;
    while (in >> time >> frame) {
        const std::size_t hash = frame.find('#');
        if (hash == std::string::npos || hash != 3) continue;
        const int id = std::stoi(frame.substr(0, hash), nullptr, 16);
        const std::string hex = frame.substr(hash + 1);
        if (hex.empty() || hex[0] == 'R') continue;
        uint8_t data[8] = {};
        const int length = static_cast<int>(hex.size() / 2);
        if (length > 8) continue;
        for (int i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        for (int j = 0; j < 6; ++j) {
            if (id != ModuleIds[j]) continue;
            const auto c = Codec::DecodeControllerFrame(id, length, data);
            if (c.kind == Codec::ControllerFrame::PositionSetPoint)
                setPoints[j].push_back(Codec::PositionFromRaw(c.positionRaw, GearScales[j], 0.0f));
        }
    }
    return setPoints;
}

// How many frames on the log carry this controller command to the module.
int CommandsInFrameLog(const std::string& path, int moduleId, uint8_t command) {
    int count = 0;
    std::ifstream in(path);
    std::string time, frame;
    while (in >> time >> frame) {
        const std::size_t hash = frame.find('#');
        if (hash != 3 || std::stoi(frame.substr(0, 3), nullptr, 16) != moduleId) continue;
        const std::string hex = frame.substr(hash + 1);
        uint8_t data[8] = {};
        const int length = static_cast<int>(hex.size() / 2);
        if (length > 8 || hex[0] == 'R') continue;
        for (int i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        const auto c = Codec::DecodeControllerFrame(moduleId, length, data);
        if (c.kind == Codec::ControllerFrame::Command && c.command == command) ++count;
    }
    return count;
}

// Every frame that arrives within the time (status lines never stop coming).
std::vector<ServerTest::Frame> ReadFor(ServerTest::Client& client, std::chrono::milliseconds duration) {
    std::vector<ServerTest::Frame> frames;
    const auto end = std::chrono::steady_clock::now() + duration;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return frames;
        const ServerTest::Frame frame = client.Next(left);
        if (frame.counter >= 0) frames.push_back(frame);
    }
}

// The sample in a scratch root, its simulated bus as the run command starts it,
// the controller on a free port and one remote client.
class EndToEnd : public ::testing::Test {
protected:
    ~EndToEnd() override { StopJog(); }

    // What the controller said last, to tell why a step failed.
    void TearDown() override {
        StopJog();
        if (!HasFailure()) return;
        const std::vector<std::string> log = SimBusTest::Messages(sample.File("console.txt"));
        std::vector<std::string> lines;
        for (const std::string& line : log)
            if (line.rfind("Pos: ", 0) != 0 && line.rfind("I --> ", 0) != 0 && line.rfind("O <-- ", 0) != 0 &&
                line.find("CycleTime exceeded") == std::string::npos)
                lines.push_back(line);
        std::string tail;
        for (std::size_t i = lines.size() > 120 ? lines.size() - 120 : 0; i < lines.size(); ++i) tail += lines[i] + "\n";
        std::printf("---- end of the controller's output\n%s----\n", tail.c_str());
    }

    void StartBus() {
        bus.Start({KORVELLA_CANSIM_PROGRAM, "--socket", sample.Socket(), "--robot", sample.RobotFile(), "--dio", "112",
                   "--project", sample.ProjectFile(), "--log", FrameLog()},
                  sample.Root(), sample.File("cansim.txt"), {});
        struct stat info {};
        ASSERT_TRUE(SimBusTest::WaitFor([&]() { return stat(sample.Socket().c_str(), &info) == 0; }))
            << "simulated bus did not start";
    }
    void StartController() {
        port = TestSupport::FreeLoopbackPort();
        ASSERT_NE(port, 0);
        korvella = std::make_unique<SimBusTest::Controller>(
            sample, std::vector<std::string>{"KORVELLA_HXP_PORT=" + std::to_string(port)});
        ASSERT_TRUE(ServerTest::WaitFor([&]() { return client.Connect(port); }, 60s)) << "no listener on the port";
        ASSERT_GE(client.NextStartingWith("CMD Active true", 40s).counter, 0);
    }
    void Start() {
        ASSERT_NO_FATAL_FAILURE(StartBus());
        ASSERT_NO_FATAL_FAILURE(StartController());
    }

    // Sends may come from the test and from the jog thread.
    bool Send(const std::string& body) {
        std::lock_guard<std::mutex> lock(sendMutex);
        return client.SendFrame(++lastCounter % 1000, body);
    }

    // An acting command, acknowledged at once.
    void Command(const std::string& body) {
        int counter = 0;
        {
            std::lock_guard<std::mutex> lock(sendMutex);
            counter = ++lastCounter % 1000;
            ASSERT_TRUE(client.SendFrame(counter, "CMD " + body));
        }
        ASSERT_EQ(client.NextStartingWith("CMDACK " + std::to_string(counter), 20s).counter >= 0, true)
            << "no CMDACK for " << body;
    }

    // Reads status lines until one satisfies the condition; the last one read is kept.
    bool WaitStatus(const std::function<bool(const Status&)>& condition, std::chrono::seconds limit = 60s) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const ServerTest::Frame frame = client.Next(2s);
            if (frame.counter < 0) continue;
            if (frame.body.rfind("STATUS", 0) != 0) {
                seen.push_back(frame.body);
                continue;
            }
            last = ParseStatus(frame.body);
            if (last.valid && condition(last)) return true;
        }
        return false;
    }

    void EnableAndReference() {
        // The modules report themselves; a reset clears what they report at power-on.
        ASSERT_TRUE(korvella->WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
        ASSERT_TRUE(WaitStatus([](const Status& s) { return s.error != "n/a"; }));
        // A reset takes the joints the modules report as set-points: wait until they reported.
        ASSERT_TRUE(WaitStatus([](const Status& s) { return Near(s.actual, Home, 0.05f); })) << Text(last.actual);
        // Each command is sent once the one before it ran, so each finds the arm as
        // the one before left it.
        const int resets = korvella->Count("RobotMaster: Resetting DOuts on reset");
        const int enables = korvella->Count("RobotMaster: Enabling Motors");
        Command("Reset");
        ASSERT_TRUE(korvella->WaitForMessage("RobotMaster: Resetting DOuts on reset", resets + 1));
        Command("Enable");
        ASSERT_TRUE(korvella->WaitForMessage("RobotMaster: Enabling Motors", enables + 1));
        ASSERT_TRUE(WaitStatus([](const Status& s) { return s.error == "NoError"; })) << last.error;
        Command("ReferenceAllJoints");
        ASSERT_TRUE(korvella->WaitForLastJointReferencing()) << korvella->Tail();
        // The modules take a moment for their referencing runs.
        bool referenced = false;
        for (int i = 0; i < 120 && !referenced; ++i) {
            ASSERT_TRUE(Send("CMD GetReferencingInfo"));
            const ServerTest::Frame info = client.NextStartingWith("INFO ReferencingInfo", 5s);
            referenced = info.body.find(" Joints 1 1 1 1 1 1") != std::string::npos;
            if (!referenced) std::this_thread::sleep_for(250ms);
        }
        ASSERT_TRUE(referenced) << "the joints never reported referenced";
    }

    // The program started once referencing let it (the start is refused until then).
    void StartProgram() {
        bool started = false;
        for (int i = 0; i < 60 && !started; ++i) {
            ASSERT_TRUE(Send("CMD StartProgram"));
            started = korvella->WaitForMessage("Starting Program", 1, 2s);
        }
        ASSERT_TRUE(started);
    }

    void NoReferencingDelay() {
        sample.EditProject([](tinyxml2::XMLElement* project) {
            tinyxml2::XMLElement* sequence = project->FirstChildElement("PLCInterfaceRefSequence");
            for (int i = 0; i < 9; ++i) sequence->SetAttribute(("RefDelay" + std::to_string(i)).c_str(), 0);
        });
    }

    // Jog values for the time, then zeros. Once a client sent one ALIVEJOG its
    // watchdog drops it unless they keep coming, so a thread goes on sending them.
    void Jog(const std::string& values, std::chrono::milliseconds duration) {
        {
            std::lock_guard<std::mutex> lock(jogMutex);
            jogValues = values;
        }
        if (!jogThread.joinable()) {
            jogThread = std::thread([this]() {
                while (!jogStop) {
                    std::string v;
                    {
                        std::lock_guard<std::mutex> lock(jogMutex);
                        v = jogValues;
                    }
                    Send("ALIVEJOG " + v);
                    std::this_thread::sleep_for(100ms);
                }
            });
        }
        ReadFor(client, duration);
        std::lock_guard<std::mutex> lock(jogMutex);
        jogValues = "0 0 0 0 0 0 0 0 0";
    }
    void StopJog() {
        jogStop = true;
        if (jogThread.joinable()) jogThread.join();
    }

    // The newest status line, after the ones queued before it.
    // The newest status; waits for a fresh one when none came in the meantime (a slow build).
    void Latest() {
        bool fresh = false;
        for (const ServerTest::Frame& f : ReadFor(client, 400ms))
            if (f.body.rfind("STATUS", 0) == 0) {
                last = ParseStatus(f.body);
                fresh = fresh || last.valid;
            }
        if (!fresh) WaitStatus([](const Status&) { return true; }, 20s);
    }

    // A direct move to a joint target beyond the first joint's limit (170) is refused before the arm
    // moves: the client gets the error event with the kinematic error, and on the bus no module is sent a
    // set-point away from where the arm stands.
    void ExpectRefusedBeforeAnyMotion() {
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_NO_FATAL_FAILURE(EnableAndReference());
        Command("Move Joint 200 0 90 0 90 0 0 0 0 80");
        const ServerTest::Frame error = client.NextStartingWith("EXECERROR", 30s);
        ASSERT_GE(error.counter, 0) << "no error event";
        EXPECT_NE(error.body.find("Joint Max"), std::string::npos) << error.body;
        std::this_thread::sleep_for(1s);
        korvella->Stop();
        ExpectEveryModuleKeptAtHome();
    }

    // On the bus no module was ever sent a set-point away from where the arm stands.
    void ExpectEveryModuleKeptAtHome() {
        const auto setPoints = SetPointsInFrameLog(FrameLog());
        for (int j = 0; j < 6; ++j) {
            ASSERT_TRUE(setPoints.count(j)) << "no set-points for module " << ModuleIds[j];
            float farthest = 0.0f;
            for (float v : setPoints.at(j)) farthest = std::max(farthest, std::fabs(v - Home[static_cast<std::size_t>(j)]));
            EXPECT_LT(farthest, 0.05f) << "module " << ModuleIds[j] << " was sent " << farthest << " away from home";
        }
    }

    std::string FrameLog() const { return sample.File("frames.log"); }

    SimBusTest::Sample sample;
    SimBusTest::Process bus;
    std::unique_ptr<SimBusTest::Controller> korvella;
    ServerTest::Client client;
    int port = 0;
    int lastCounter = 0;
    Status last;
    std::vector<std::string> seen;  // other frames read while waiting for a status
    std::mutex sendMutex;
    std::mutex jogMutex;
    std::string jogValues;
    std::atomic<bool> jogStop{false};
    std::thread jogThread;
};

// Start-up, enable, reference, jogging, a direct move and the sample program to its end.
TEST_F(EndToEnd, RemoteClientDrivesTheArmFromHomeThroughTheProgram) {
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(korvella->Count("R980-13-039"), 1);
    EXPECT_GE(client.NextStartingWith("RUNSTATE Demo.xml 18 ", 20s).counter, 0) << "start program not loaded";
    ASSERT_NO_FATAL_FAILURE(EnableAndReference());
    // The modules stood at the project's home from power-on.
    EXPECT_TRUE(Near(last.actual, Home, 0.01f)) << Text(last.actual);

    // Cartesian jogging works from home at once: +X along the base.
    Command("MotionTypeCartBase");
    Latest();
    const float x0 = last.position[0];
    Jog("60 0 0 0 0 0 0 0 0", 1500ms);
    ReadFor(client, 1s);  // the ramp down
    Latest();
    EXPECT_GT(last.position[0], x0 + 5.0f) << "Cartesian jog did not move the tool along X";

    // Joint jogging: only the first joint turns.
    Command("MotionTypeJoint");
    Latest();
    const Joints before = last.setPoint;
    Jog("-60 0 0 0 0 0 0 0 0", 1500ms);
    ReadFor(client, 1s);  // the ramp down
    Latest();
    EXPECT_LT(last.setPoint[0], before[0] - 2.0f) << Text(last.setPoint);
    for (std::size_t j = 1; j < 6; ++j) EXPECT_NEAR(last.setPoint[j], before[j], 0.01f) << "joint " << j;

    // A direct move by joints reaches its target, reported by its end event.
    const Joints target = {20, 10, 70, -15, 45, 30};
    Command("Move Joint 20 10 70 -15 45 30 0 0 0 60");
    EXPECT_GE(client.NextStartingWith("EXECEND", 60s).counter, 0) << "no end of the direct move";
    EXPECT_TRUE(WaitStatus([&](const Status& s) { return Near(s.actual, target, 0.01f); }, 30s)) << Text(last.actual);

    // The sample program once to its end.
    Command("LoadProgram Demo.xml");
    Command("ProgramReplayMode 0");
    EXPECT_GE(client.NextStartingWith("RUNSTATE Demo.xml 18 ", 20s).counter, 0);
    Command("StartProgram");
    ASSERT_TRUE(korvella->WaitForMessage("IPO: Program done", 1, 180s)) << "the program did not end";
    const Joints end = {0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(WaitStatus([&](const Status& s) { return Near(s.actual, end, 0.01f); }, 30s)) << Text(last.actual);
    EXPECT_EQ(korvella->Count("IPO: Program done, restarting"), 0);

    // On the bus: every joint's set-points went through the program's joint targets to its end.
    korvella->Stop();
    const auto setPoints = SetPointsInFrameLog(FrameLog());
    const std::vector<Joints> passed = {{0, 45, 45, 0, 90, 0}, {-30, 10, 50, 20, 40, -20}, end};
    for (const Joints& p : passed) {
        bool seen = false;
        const std::size_t n = setPoints.count(0) ? setPoints.at(0).size() : 0;
        for (std::size_t i = 0; i < n && !seen; ++i) {
            Joints at{};
            bool complete = true;
            for (int j = 0; j < 6; ++j) {
                complete = complete && setPoints.count(j) && setPoints.at(j).size() > i;
                if (complete) at[j] = setPoints.at(j)[i];
            }
            seen = complete && Near(at, p, 0.02f);
        }
        EXPECT_TRUE(seen) << "no set-point frames at " << Text(p);
    }
    for (int j = 0; j < 6; ++j) {
        ASSERT_TRUE(setPoints.count(j)) << "no set-points for module " << ModuleIds[j];
        EXPECT_NEAR(setPoints.at(j).back(), end[j], 0.02f) << "module " << ModuleIds[j];
    }
}

TEST_F(EndToEnd, AJointTargetBeyondItsLimitIsRefusedBeforeAnyMotionWithTheJointGenerator) {
    ExpectRefusedBeforeAnyMotion();
}

TEST_F(EndToEnd, AJointTargetBeyondItsLimitIsRefusedBeforeAnyMotionWithTheCartesianGenerator) {
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("PathGeneration")->SetAttribute("GeneratorType", "02Linear");
    });
    ExpectRefusedBeforeAnyMotion();
}

// Only the first client acts; a second one watches: its acting commands and
// jog values change nothing, its questions are answered.
TEST_F(EndToEnd, ASecondClientIsPassive) {
    // A trigger of the active client's cell: a passive client's signal must not fire it.
    sample.EditProject([](tinyxml2::XMLElement* project) {
        tinyxml2::XMLElement* trigger = project->GetDocument()->NewElement("PLCTrigger");
        trigger->SetAttribute("Active", "True");
        trigger->SetAttribute("GSig", 42);
        trigger->SetAttribute("Type", "Program");
        trigger->SetAttribute("Name", "Demo.xml");
        project->InsertEndChild(trigger);
    });
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(EnableAndReference());
    ServerTest::Client passive;
    ASSERT_TRUE(passive.Connect(port));
    ASSERT_GE(passive.NextStartingWith("CMD Active false", 20s).counter, 0);
    ASSERT_GE(passive.NextStartingWith("STATUS", 20s).counter, 0) << "the passive client gets the status too";

    ASSERT_TRUE(passive.SendFrame(7, "CMD GetVersion"));
    EXPECT_GE(passive.NextStartingWith("INFO Version", 20s).counter, 0);
    const int resetsBefore = korvella->Count("HXP-Server: Reset joints");
    ASSERT_TRUE(passive.SendFrame(8, "CMD Reset"));
    ASSERT_TRUE(passive.SendFrame(9, "CMD Move Joint 40 0 40 0 40 0 0 0 0 60"));
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(passive.SendFrame(10 + i, "ALIVEJOG 80 80 0 0 0 0 0 0 0"));
        std::this_thread::sleep_for(50ms);
    }
    for (const ServerTest::Frame& f : ReadFor(passive, 1s))
        EXPECT_NE(f.body.rfind("CMDACK", 0), 0u) << "a passive client's acting command was acknowledged: " << f.body;
    EXPECT_EQ(korvella->Count("HXP-Server: Reset joints"), resetsBefore);
    Latest();
    EXPECT_TRUE(Near(last.setPoint, Home, 0.01f)) << Text(last.setPoint);
    EXPECT_EQ(last.error, "NoError");

    // Nothing that would change a file, a program, an output, a signal or the arm is taken from it.
    const std::string projectBefore = TestSupport::ReadFile(sample.ProjectFile());
    const std::string robotBefore = TestSupport::ReadFile(sample.RobotFile());
    const std::string demoBefore = TestSupport::ReadFile(sample.Root() + "/Data/Programs/Demo.xml");
    const char* acting[] = {
        "CONFIG SetBrake -1 0 -1", "CONFIG SetExternalAxis 1 0 na independent position 20 1 -100 100 50 100 10 0 0 1 0",
        "CONFIG SetExternalAxes 0", "CONFIG SetCloudInfo \"x\" \"y\"", "CONFIG SetVBox True 0 1 0 1 0 1",
        "CONFIG SetKinematicLimits -1 1 -1 1 -1 1 -1 1 -1 1 -1 1", "CONFIG SetPLCInterfaceEnabled True True",
        "CMD GSIG 42 true", "CMD DOUT 1 true", "CMD ProgramReplayMode 1", "CMD Override 10", "CMD StartProgram",
        "CMD UploadFileInit Programs/Demo.xml 1", "CMD UploadFileLine <Program/>", "CMD UploadFileFinish",
        "CMD DeleteProgramFromFileSystem Demo.xml", "VAR SetVariableSingle gain 5", "PROG 3 WAIT 100",
        "CANBridge SwitchOn", "CMD Move Joint 40 0 40 0 40 0 0 0 0 60"};
    for (const char* body : acting) ASSERT_TRUE(passive.SendFrame(40, body));
    for (const ServerTest::Frame& f : ReadFor(passive, 8s))  // past the delayed project rewrite
        EXPECT_NE(f.body.rfind("CMDACK", 0), 0u) << "a passive client's acting command was acknowledged: " << f.body;
    EXPECT_EQ(TestSupport::ReadFile(sample.ProjectFile()), projectBefore);
    EXPECT_EQ(TestSupport::ReadFile(sample.RobotFile()), robotBefore);
    EXPECT_EQ(TestSupport::ReadFile(sample.Root() + "/Data/Programs/Demo.xml"), demoBefore);
    EXPECT_EQ(korvella->Count("RobotMaster: PLC-Interface - Trigger 0 detected!"), 0);
    EXPECT_EQ(korvella->Count("Starting Program"), 0);
    EXPECT_EQ(korvella->Count("HXP-Server: Switch on CANBridge"), 0);
    Latest();
    EXPECT_TRUE(Near(last.setPoint, Home, 0.01f)) << Text(last.setPoint);

    // The active client still acts.
    Command("Move Joint 5 0 90 0 90 0 0 0 0 60");
    EXPECT_TRUE(WaitStatus([](const Status& s) { return Near(s.actual, {5, 0, 90, 0, 90, 0}, 0.01f); }, 30s));
}

// A joint module reports an error: the client sees it in the status and the
// running program stops with an error event; a reset clears it on the module
// (a reset command on the bus) and the arm can be enabled again.
TEST_F(EndToEnd, InjectedModuleFaultIsReportedAndClearedByReset) {
    NoReferencingDelay();
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(EnableAndReference());
    ASSERT_NO_FATAL_FAILURE(StartProgram());
    ASSERT_GE(client.NextStartingWith("EXECACK", 20s).counter, 0);

    const int resetsBefore = CommandsInFrameLog(FrameLog(), 48, Codec::kCmdResetError);
    seen.clear();
    bus.Line("errorbits 48 0x40");  // over-current on the third joint's module
    ASSERT_TRUE(WaitStatus([](const Status& s) { return s.error != "NoError"; }, 30s));
    EXPECT_NE(last.errorCodes.at(2) & 0x40, 0) << "the third module's error code: " << last.errorCodes.at(2);
    const std::string fault = last.error;
    // The program is held (paused, or stopped where the project stops on errors) and told to the client.
    std::string held;
    const auto heldBy = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < heldBy && held.empty()) {
        for (const std::string& body : seen)
            if (body.rfind("EXECPAUSE", 0) == 0 || body.rfind("EXECERROR", 0) == 0) held = body;
        seen.clear();
        const ServerTest::Frame f = client.Next(2s);
        if (f.counter >= 0) seen.push_back(f.body);
    }
    EXPECT_FALSE(held.empty()) << "no pause or error event after the fault";
    if (held.rfind("EXECERROR", 0) == 0) {
        EXPECT_NE(held.find("Hardware error " + fault), std::string::npos) << held;
    }
    EXPECT_TRUE(SimBusTest::WaitFor([&]() {
        return !korvella->StartingWith("IPO:    Pausing Program").empty() ||
               !korvella->StartingWith("IPO:    Stopping Program by ").empty();
    }));
    Command("StopProgram");

    // Reset: the module is told on the bus; its error is gone and the arm can move again.
    Command("Reset");
    ASSERT_TRUE(SimBusTest::WaitFor(
        [&]() { return CommandsInFrameLog(FrameLog(), 48, Codec::kCmdResetError) > resetsBefore; }, 20s))
        << "no reset-error command to the module";
    Command("Enable");
    EXPECT_TRUE(WaitStatus([](const Status& s) { return s.error == "NoError"; }, 30s)) << last.error << " after " << fault;
    EXPECT_EQ(last.errorCodes.at(2), 0);
    Command("Move Joint 0 10 80 0 90 0 0 0 0 60");
    EXPECT_TRUE(WaitStatus([](const Status& s) { return Near(s.actual, {0, 10, 80, 0, 90, 0}, 0.01f); }, 30s));
}

bool IsProjectFile(const std::string& path, std::string* program) {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return false;
    const tinyxml2::XMLElement* root = document.FirstChildElement("ProjectFile");
    const tinyxml2::XMLElement* element = root ? root->FirstChildElement("Program") : nullptr;
    if (element == nullptr || element->Attribute("File") == nullptr) return false;
    *program = element->Attribute("File");
    return root->FirstChildElement("Robot") != nullptr;
}

// Whether a temporary file of a write of `path` lies beside it.
bool HasTemporary(const std::string& path) {
    const std::filesystem::path target(path);
    const std::string prefix = target.filename().string() + "_";
    for (const auto& entry : std::filesystem::directory_iterator(target.parent_path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0 && name.size() > 4 && name.compare(name.size() - 4, 4, "_tmp") == 0) return true;
    }
    return false;
}

// SIGTERM as the project file is being rewritten: the program ends cleanly and
// the file is whole, the old or the new one.
TEST_F(EndToEnd, SigtermDuringTheProjectRewriteLeavesAValidFile) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(korvella->WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
    const std::string project = sample.ProjectFile();
    const std::string updated = "ProjectManager: Project file " + project + " updated";
    Command("LoadProgram DemoTally.xml");
    // Rewrites come at most every few seconds: stop the moment one shows.
    bool seenTemporary = false;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < end) {
        if (HasTemporary(project)) {
            seenTemporary = true;
            break;
        }
        if (korvella->Count(updated) > 0) break;
    }
    korvella->Stop();
    std::string program;
    ASSERT_TRUE(IsProjectFile(project, &program)) << TestSupport::ReadFile(project);
    EXPECT_TRUE(program == "Demo.xml" || program == "DemoTally.xml") << program;
    EXPECT_FALSE(HasTemporary(project));
    if (korvella->Count(updated) > 0) {
        EXPECT_EQ(program, "DemoTally.xml");
    }
    std::printf("rewrite caught while its temporary file existed: %s\n", seenTemporary ? "yes" : "no");
}

// The persistent counters survive a restart: program starts go on counting.
TEST_F(EndToEnd, RestartCarriesThePersistentCountersOver) {
    NoReferencingDelay();
    // Counters from an earlier life of the controller.
    TestSupport::WriteFile(sample.File("variableStorage.xml"),
                           "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Data>\n<SystemVariables "
                           "UpTimeComplete=\"7000000\" UpTimeLast=\"5\" UpTimeEnabled=\"66\" UpTimeMotion=\"55\" "
                           "ProgramStarts=\"41\"/>\n</Data>\n");
    const auto opinfo = [&](int* starts, int* upTime) {
        const ServerTest::Frame f = client.NextStartingWith("OPINFO", 30s);
        return f.counter >= 0 && std::sscanf(f.body.c_str(), "OPINFO %d %d", starts, upTime) == 2;
    };
    ASSERT_NO_FATAL_FAILURE(Start());
    int starts = 0, upTime = 0;
    ASSERT_TRUE(opinfo(&starts, &upTime));
    EXPECT_EQ(starts, 41);
    EXPECT_GE(upTime, 7000000);
    ASSERT_NO_FATAL_FAILURE(EnableAndReference());
    ASSERT_NO_FATAL_FAILURE(StartProgram());
    ASSERT_TRUE(SimBusTest::WaitFor([&]() { return opinfo(&starts, &upTime) && starts == 42; }, 30s)) << starts;
    Command("StopProgram");
    korvella->Stop();
    client.Close();
    const std::string stored = TestSupport::ReadFile(sample.File("variableStorage.xml"));
    EXPECT_NE(stored.find("ProgramStarts=\"42\""), std::string::npos) << stored;

    // The next life starts from the stored values (and writes a console file of its own).
    korvella.reset();
    std::filesystem::rename(sample.File("console.txt"), sample.File("console-first.txt"));
    ASSERT_NO_FATAL_FAILURE(StartController());
    ASSERT_TRUE(opinfo(&starts, &upTime));
    EXPECT_EQ(starts, 42);
    EXPECT_GE(upTime, 7000000);
    korvella->Stop();
}

// The run command's demonstration client against the controller: it takes the
// arm from power-on to the running sample program, prints the motion and
// leaves the controller running with the program.
TEST_F(EndToEnd, DemoClientStartsTheSampleProgramAndLeavesItRunning) {
    ASSERT_NO_FATAL_FAILURE(StartBus());
    port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    korvella = std::make_unique<SimBusTest::Controller>(
        sample, std::vector<std::string>{"KORVELLA_HXP_PORT=" + std::to_string(port)});
    SimBusTest::Process demo;
    const std::string output = sample.File("demo.txt");
    demo.Start({KORVELLA_DEMO_PROGRAM, "--port", std::to_string(port), "--seconds", "4"}, sample.Root(), output, {});
    int status = -1;
    ASSERT_TRUE(demo.WaitExit(status, 180s)) << TestSupport::ReadFile(output);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << TestSupport::ReadFile(output);
    const std::string text = TestSupport::ReadFile(output);
    EXPECT_NE(text.find("demo: the arm moves"), std::string::npos) << text;
    EXPECT_NE(text.find("Demo.xml command "), std::string::npos) << text;
    EXPECT_NE(text.find(" running\n"), std::string::npos) << text;

    // The program goes on after the demonstration left; once its connection is
    // gone, the next client becomes the active one.
    ASSERT_TRUE(korvella->WaitForMessage("ComServerManager: Removing closed ComServer"));
    ASSERT_TRUE(client.Connect(port));
    ASSERT_GE(client.NextStartingWith("CMD Active true", 20s).counter, 0);
    const ServerTest::Frame run = client.NextStartingWith("RUNSTATE Demo.xml 18 ", 20s);
    EXPECT_EQ(run.body.substr(run.body.size() - 4), " 2 1") << run.body;
    korvella->Stop();
}

}  // namespace

// ---------------------------------------------------------------- motion programs through the bus

namespace {

// A program of the test's own on the sample, loaded and started by the remote client, under one
// of the two path generators; what went over the bus is read back from the frame log.
class EndToEndMotion : public EndToEnd {
protected:
    void StartProgramOf(const std::string& body, const char* generator) {
        sample.EditRobot([generator](tinyxml2::XMLElement* robot) {
            robot->FirstChildElement("PathGeneration")->SetAttribute("GeneratorType", generator);
        });
        TestSupport::WriteFile(sample.File("Data/Programs/Motion.xml"),
                               "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Program>\n" + body + "</Program>\n");
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_NO_FATAL_FAILURE(EnableAndReference());
        Command("LoadProgram Motion.xml");
        Command("ProgramReplayMode 0");
        ASSERT_GE(client.NextStartingWith("RUNSTATE Motion.xml ", 20s).counter, 0) << "program not loaded";
        ASSERT_NO_FATAL_FAILURE(StartProgram());
    }

    // A line that turns joint 6 by more than half a turn, then one more line: it runs to its end, the
    // wrist going the way the path turns it, within its limits of +-350 degrees.
    void ExpectTheWristTurningProgramToRun(const char* generator) {
        const std::string program =
            "<Joint Nr=\"1\" a1=\"60\" a2=\"10\" a3=\"80\" a4=\"0\" a5=\"90\" a6=\"100\" velPercent=\"50\" acc=\"100\" "
            "smooth=\"0\" AbortCondition=\"false\"/>\n"
            "<Linear Nr=\"2\" x=\"230.4\" y=\"-399\" z=\"508.1\" a=\"-120\" b=\"0\" c=\"-180\" vel=\"100\" acc=\"100\" "
            "smooth=\"20\" AbortCondition=\"false\"/>\n"
            "<Linear Nr=\"3\" x=\"250.4\" y=\"-399\" z=\"508.1\" a=\"90\" b=\"0\" c=\"180\" vel=\"100\" acc=\"100\" "
            "smooth=\"0\" AbortCondition=\"false\"/>\n";
        ASSERT_NO_FATAL_FAILURE(StartProgramOf(program, generator));
        ASSERT_TRUE(korvella->WaitForMessage("IPO: Program done", 1, 120s)) << "the program did not end";
        EXPECT_EQ(korvella->StartingWith("PathGen: target of command"), std::vector<std::string>{});
        // The tool stands at the last target.
        EXPECT_TRUE(WaitStatus(
            [](const Status& s) {
                return std::fabs(s.position[0] - 250.4f) < 0.5f && std::fabs(s.position[1] + 399.0f) < 0.5f &&
                       std::fabs(s.position[2] - 508.1f) < 0.5f;
            },
            30s))
            << last.position[0] << " " << last.position[1] << " " << last.position[2];
        korvella->Stop();
        const auto setPoints = SetPointsInFrameLog(FrameLog());
        ASSERT_TRUE(setPoints.count(5));
        const std::vector<float>& wrist = setPoints.at(5);
        const float low = *std::min_element(wrist.begin(), wrist.end());
        const float high = *std::max_element(wrist.begin(), wrist.end());
        std::printf("[ figures  ] %s: joint 6 set-points from %.2f to %.2f over %zu frames\n", generator, low, high,
                    wrist.size());
        EXPECT_LT(low, -100.0f);
        EXPECT_GE(low, -350.0f);
        EXPECT_LE(high, 100.02f);
    }

    // The arm set 100 degrees right of the front, tool down, then an arc of 200 degrees round the base
    // through the front to 100 degrees left (500 mm out, 300 mm up): it runs to its end, joint 1
    // turning from -100 to +100 along the arc, and from one set-point to the next every joint stays
    // inside its limits of position and velocity.
    void ExpectTheArcRoundTheBaseToRun(const char* generator) {
        const std::string program =
            "<Joint Nr=\"1\" a1=\"-100\" a2=\"20.8702\" a3=\"96.7369\" a4=\"0\" a5=\"62.3928\" a6=\"-100\" "
            "velPercent=\"80\" acc=\"100\" smooth=\"0\" AbortCondition=\"false\"/>\n"
            "<Circular Nr=\"2\" AbortCondition=\"false\" vel=\"250\" acc=\"100\" smooth=\"0\" useAngle=\"false\" "
            "angle=\"0\" Source=\"numbers\" p1x=\"500\" p1y=\"0\" p1z=\"300\" p2x=\"-86.824\" p2y=\"492.404\" "
            "p2z=\"300\" a=\"180\" b=\"0\" c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" "
            "VariableEndName=\"\"/>\n";
        // At full speed, for a shorter test.
        sample.EditProject([](tinyxml2::XMLElement* project) {
            project->FirstChildElement("Program")->SetAttribute("Override", 100);
        });
        ASSERT_NO_FATAL_FAILURE(StartProgramOf(program, generator));
        ASSERT_TRUE(SimBusTest::WaitFor(
            [&]() {
                return korvella->Count("IPO: Program done") > 0 || !korvella->StartingWith("PathGen Error").empty();
            },
            120s));
        EXPECT_EQ(korvella->StartingWith("PathGen: target of command"), std::vector<std::string>{});
        EXPECT_EQ(korvella->StartingWith("PathGen Error"), std::vector<std::string>{});
        ASSERT_EQ(korvella->Count("IPO: Program done"), 1) << "the program did not end";
        EXPECT_TRUE(WaitStatus(
            [](const Status& s) {
                return std::fabs(s.position[0] + 86.824f) < 0.5f && std::fabs(s.position[1] - 492.404f) < 0.5f &&
                       std::fabs(s.position[2] - 300.0f) < 0.5f;
            },
            30s))
            << last.position[0] << " " << last.position[1] << " " << last.position[2];
        korvella->Stop();
        // The sample's joint limits: positions and velocities.
        const float low[6] = {-170, -170, -175, -175, -125, -350};
        const float high[6] = {170, 100, 175, 175, 125, 350};
        const float speed[6] = {90, 90, 90, 120, 120, 120};
        const auto setPoints = SetPointsInFrameLog(FrameLog());
        for (int j = 0; j < 6; ++j) {
            ASSERT_TRUE(setPoints.count(j)) << "no set-points for module " << ModuleIds[j];
            const std::vector<float>& s = setPoints.at(j);
            float fastest = 0.0f;
            for (std::size_t k = 1; k < s.size(); ++k) fastest = std::max(fastest, std::fabs(s[k] - s[k - 1]) / 0.01f);
            const float least = *std::min_element(s.begin(), s.end());
            const float most = *std::max_element(s.begin(), s.end());
            std::printf("[ figures  ] %s: joint %d set-points from %.2f to %.2f, fastest %.1f deg/s\n", generator, j + 1,
                        least, most, fastest);
            EXPECT_GE(least, low[j]) << "joint " << j + 1;
            EXPECT_LE(most, high[j]) << "joint " << j + 1;
            // A count of a set-point's rounding: half a degree a second at most.
            EXPECT_LE(fastest, 1.01f * speed[j] + 0.5f) << "joint " << j + 1;
            if (j == 0) {
                EXPECT_LT(least, -99.9f);
                EXPECT_GT(most, 99.9f);
            }
        }
    }

    // A chain of lines whose third target is out of reach: refused before the arm moves, and every
    // error event the client is sent names that command.
    void ExpectTheRefusalToNameItsCommand(const char* generator) {
        const std::string program =
            "<Linear Nr=\"1\" x=\"300\" y=\"200\" z=\"400\" a=\"180\" b=\"0\" c=\"180\" vel=\"100\" acc=\"100\" "
            "smooth=\"20\" AbortCondition=\"false\"/>\n"
            "<Linear Nr=\"2\" x=\"350\" y=\"150\" z=\"400\" a=\"180\" b=\"0\" c=\"180\" vel=\"100\" acc=\"100\" "
            "smooth=\"20\" AbortCondition=\"false\"/>\n"
            "<Linear Nr=\"3\" x=\"2000\" y=\"0\" z=\"400\" a=\"180\" b=\"0\" c=\"180\" vel=\"100\" acc=\"100\" "
            "smooth=\"0\" AbortCondition=\"false\"/>\n";
        ASSERT_NO_FATAL_FAILURE(StartProgramOf(program, generator));
        const ServerTest::Frame error = client.NextStartingWith("EXECERROR", 30s);
        ASSERT_GE(error.counter, 0) << "no error event";
        std::vector<std::string> errors = {error.body};
        for (const ServerTest::Frame& f : ReadFor(client, 1s))
            if (f.body.rfind("EXECERROR", 0) == 0) errors.push_back(f.body);
        for (const std::string& e : errors) EXPECT_EQ(e, "EXECERROR 2 0 PathGen Error in command 2: Out of Reach");
        korvella->Stop();
        ExpectEveryModuleKeptAtHome();
    }
};

TEST_F(EndToEndMotion, AnArcRoundTheBaseRunsToItsEndWithTheJointGenerator) {
    ExpectTheArcRoundTheBaseToRun("01");
}

TEST_F(EndToEndMotion, AnArcRoundTheBaseRunsToItsEndWithTheCartesianGenerator) {
    ExpectTheArcRoundTheBaseToRun("02Linear");
}

TEST_F(EndToEndMotion, AWristTurningBeyondHalfATurnRunsToItsEndWithTheJointGenerator) {
    ExpectTheWristTurningProgramToRun("01");
}

TEST_F(EndToEndMotion, AWristTurningBeyondHalfATurnRunsToItsEndWithTheCartesianGenerator) {
    ExpectTheWristTurningProgramToRun("02Linear");
}

TEST_F(EndToEndMotion, ARefusedTargetIsNamedByItsCommandWithTheJointGenerator) {
    ExpectTheRefusalToNameItsCommand("01");
}

TEST_F(EndToEndMotion, ARefusedTargetIsNamedByItsCommandWithTheCartesianGenerator) {
    ExpectTheRefusalToNameItsCommand("02Linear");
}

}  // namespace
