#pragma once
// The controller program beside the simulated bus (frame log on), in a
// scratch copy of the six-axis sample, for tests that drive it as a remote
// client over TCP.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "controller/RobotMasterSimBus.h"
#include "hardware/VQTCANV2Codec.h"
#include "server/ServerTestSupport.h"
#include "support/TestSupport.h"

namespace RemoteRobotTest {

using namespace std::chrono_literals;
using ServerTest::Client;
using ServerTest::Frame;
using ServerTest::WaitFor;

// Module identifiers and gear scales of the sample's robot file.
const int ModuleIds[6] = {16, 32, 48, 64, 80, 96};
const float GearScales[6] = {190, -190, 100, 50, 50, 50};

// The position set-points sent to each joint's module, from byte `from` of the frame log on.
inline std::vector<std::vector<float>> SetPointsSince(const std::string& path, std::uintmax_t from) {
    using Codec = Hardware::VQTCANV2Codec;
    std::vector<std::vector<float>> setPoints(6);
    std::ifstream in(path);
    in.seekg(static_cast<std::streamoff>(from));
    std::string line;
    std::getline(in, line);  // the offset may fall inside a line
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string time, frame;
        if (!(fields >> time >> frame) || frame.size() < 4 || frame[3] != '#' || frame[4] == 'R') continue;
        const int id = std::stoi(frame.substr(0, 3), nullptr, 16);
        const std::string hex = frame.substr(4);
        const int length = static_cast<int>(hex.size() / 2);
        if (length > 8) continue;
        uint8_t data[8] = {};
        for (int i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
        for (int j = 0; j < 6; ++j) {
            if (id != ModuleIds[j]) continue;
            const auto decoded = Codec::DecodeControllerFrame(id, length, data);
            if (decoded.kind == Codec::ControllerFrame::PositionSetPoint)
                setPoints[j].push_back(Codec::PositionFromRaw(decoded.positionRaw, GearScales[j], 0.0f));
        }
    }
    return setPoints;
}

// Expects every module's set-points to stand still.
inline void ExpectStandingStill(const std::vector<std::vector<float>>& setPoints, const char* fault) {
    for (std::size_t j = 0; j < 6; ++j) {
        const std::vector<float>& values = setPoints[j];
        ASSERT_FALSE(values.empty()) << "no set-points for module " << ModuleIds[j];
        const auto range = std::minmax_element(values.begin(), values.end());
        EXPECT_LT(*range.second - *range.first, 0.01f) << "module " << ModuleIds[j] << " " << fault;
    }
}

// The run state and replay mode, the last two numbers of a "RUNSTATE" line; false for other lines.
inline bool ReadRunState(const std::string& body, int& runState, int& replayMode) {
    if (body.rfind("RUNSTATE ", 0) != 0) return false;
    const std::size_t last = body.rfind(' ');
    const std::size_t before = body.rfind(' ', last - 1);
    if (last == std::string::npos || before == std::string::npos || before < 9) return false;
    runState = std::stoi(body.substr(before + 1, last - before - 1));
    replayMode = std::stoi(body.substr(last + 1));
    return true;
}

// The sample on the simulated bus with the controller and one connected client.
class RemoteRobot {
public:
    // `edit` changes the sample's project further before the controller starts.
    explicit RemoteRobot(const std::function<void(tinyxml2::XMLElement*)>& edit = {}) {
        sample.EditProject([&edit](tinyxml2::XMLElement* project) {
            tinyxml2::XMLElement* sequence = project->FirstChildElement("PLCInterfaceRefSequence");
            for (int i = 0; i < 9; ++i) sequence->SetAttribute(("RefDelay" + std::to_string(i)).c_str(), 0);
            if (edit) edit(project);
        });
        // The simulated bus with the sample's modules and DIO module 112, writing its frame log.
        bus.Start({KORVELLA_CANSIM_PROGRAM, "--socket", sample.Socket(), "--robot", sample.RobotFile(), "--dio", "112",
                   "--log", FrameLog()},
                  sample.Root(), sample.File("cansim.txt"), {});
        struct stat info {};
        started = WaitFor([&]() { return stat(sample.Socket().c_str(), &info) == 0; });
        port = TestSupport::FreeLoopbackPort();
        korvella = std::make_unique<SimBusTest::Controller>(
            sample, std::vector<std::string>{"KORVELLA_HXP_PORT=" + std::to_string(port)});
    }
    ~RemoteRobot() {
        if (korvella) korvella->Stop();
    }

    // Every frame on the bus, one line each: monotonic time, then ID#DATA in hex.
    std::string FrameLog() const { return sample.File("frames.log"); }

    // Connects the client once the listener is up and the bus is connected.
    void Connect(Client& client) {
        ASSERT_TRUE(started) << "simulated bus did not start";
        ASSERT_TRUE(korvella->WaitForMessage("ProtocolVQTCANV2: Connection succeeded"));
        ASSERT_TRUE(WaitFor([&]() { return client.Connect(port); }, 40s)) << "no listener on the port";
        ASSERT_GE(client.NextStartingWith("STATUS", 20s).counter, 0);
    }
    // Enables and references the arm; the acknowledgements carry the client's counters.
    void EnableAndReference(Client& client) {
        ASSERT_TRUE(client.SendFrame(901, "CMD Enable"));
        EXPECT_EQ(client.NextStartingWith("CMDACK", 20s).body, "CMDACK 901");
        ASSERT_TRUE(korvella->WaitForMessage("RobotMaster: Enabling Motors"));
        ASSERT_TRUE(WaitFor(
            [&]() { return client.NextStartingWith("STATUS", 1s).body.find(" ERROR NoError ") != std::string::npos; },
            60s));
        ASSERT_TRUE(client.SendFrame(902, "CMD ReferenceAllJoints"));
        EXPECT_EQ(client.NextStartingWith("CMDACK", 20s).body, "CMDACK 902");
        EXPECT_TRUE(korvella->WaitForMessage("HXP-Server: Reference all joints"));
        ASSERT_TRUE(korvella->WaitForLastJointReferencing()) << korvella->Tail();
        ASSERT_TRUE(WaitReferenced(client)) << "the joints never reported referenced";
    }
    // The next status line that satisfies the condition, within the limit.
    bool StatusUntil(Client& client, const std::function<bool(const std::string&)>& condition,
                     std::chrono::seconds limit = 60s) {
        return WaitFor([&]() { return condition(client.NextStartingWith("STATUS", 1s).body); },
                       std::chrono::duration_cast<std::chrono::milliseconds>(limit));
    }
    // Sends and returns the reply that starts with the prefix; "CMD" stands for "CMDACK" or "CMDERROR".
    // Frames passed on the way are kept in `seen`.
    std::string Ask(Client& client, int counter, const std::string& body, const std::string& prefix) {
        if (!client.SendFrame(counter, body)) return "send failed";
        const auto end = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < end) {
            const Frame frame = client.Next(1s);
            if (frame.counter < 0) continue;
            const bool match = prefix == "CMD" ? frame.body.rfind("CMDACK ", 0) == 0 || frame.body.rfind("CMDERROR ", 0) == 0
                                               : frame.body.rfind(prefix, 0) == 0;
            if (match) return frame.body;
            seen.push_back(frame.body);
        }
        return "no reply";
    }
    // True once a frame starting with the prefix was passed by Ask or arrives within the limit.
    bool Saw(Client& client, const std::string& prefix, std::chrono::seconds limit = 20s) {
        for (const std::string& body : seen)
            if (body.rfind(prefix, 0) == 0) return true;
        return client.NextStartingWith(prefix, limit).counter >= 0;
    }
    // Polls the referencing state until every robot joint reports referenced.
    bool WaitReferenced(Client& client) {
        return WaitFor([&]() {
            return Ask(client, 900, "CMD GetReferencingInfo", "INFO ReferencingInfo").find(" Joints 1 1 1 1 1 1 0 0 0") !=
                   std::string::npos;
        }, 60s);
    }

    SimBusTest::Sample sample;
    SimBusTest::Process bus;
    bool started = false;
    int port = 0;
    std::unique_ptr<SimBusTest::Controller> korvella;
    std::vector<std::string> seen;
};

}  // namespace RemoteRobotTest
