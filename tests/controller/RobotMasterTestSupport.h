#pragma once
// Shared pieces of the robot master tests: a log capture, the reset of the
// process-wide settings, and robot files below the log's root path, where
// RobotMaster::Init looks for them.

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <unistd.h>
#include <vector>

#include "common/LogSingleton.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

namespace RobotMasterTest {

using LogCapture = TestSupport::LogCapture;

// Puts the process-wide state that set-up writes back to its start values.
inline void ResetLogState() {
    LogSingleton* log = LogSingleton::instance();
    log->set_opMode(opModeNormal);
    log->set_seriousFailReason("na");
    log->set_robotGripper("");
    log->Active = false;
    log->ManualMaxVelMMPerSec = 250.0f;
    log->DInEnableMotionInManualMode = -1;
    log->DInOpModeAuto = -1;
}

// A robot file below <root>/Data/Robots/, made from the six-axis fixture and
// optionally edited; removed again at the end of the test.
class RobotFile {
public:
    explicit RobotFile(const std::function<void(tinyxml2::XMLElement* robot)>& edit = nullptr) {
        folder = "rm-test-" + std::to_string(getpid());
        relative = folder + "/robot.xml";
        tinyxml2::XMLDocument document;
        document.LoadFile(TestSupport::FixturePath("rm-robot-sixaxis.xml").c_str());
        if (edit) edit(document.FirstChildElement("Robot"));
        tinyxml2::XMLPrinter printer;
        document.Print(&printer);
        TestSupport::WriteFile(Path(), printer.CStr());
    }
    ~RobotFile() {
        std::error_code ec;
        std::filesystem::remove_all(LogSingleton::instance()->get_rootPath() + "Data/Robots/" + folder, ec);
    }
    RobotFile(const RobotFile&) = delete;
    RobotFile& operator=(const RobotFile&) = delete;

    // Relative to Data/Robots/, as RobotMaster::Init takes it.
    const std::string& Relative() const { return relative; }
    std::string Path() const { return LogSingleton::instance()->get_rootPath() + "Data/Robots/" + relative; }
    std::string Read() const { return TestSupport::ReadFile(Path()); }
    void Write(const std::string& text) const { TestSupport::WriteFile(Path(), text); }

private:
    std::string folder;
    std::string relative;
};

inline void RemoveElement(tinyxml2::XMLElement* robot, const char* name) {
    if (tinyxml2::XMLElement* e = robot->FirstChildElement(name)) robot->DeleteChild(e);
}

inline tinyxml2::XMLElement* Child(tinyxml2::XMLElement* robot, const char* name) {
    tinyxml2::XMLElement* e = robot->FirstChildElement(name);
    if (e == nullptr) e = robot->InsertNewChildElement(name);
    return e;
}

// Polls until the condition holds; false when it did not within the limit.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

}  // namespace RobotMasterTest
