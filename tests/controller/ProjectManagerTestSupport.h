#pragma once
// Shared pieces of the project manager tests: a robot-side fake, a log
// capture, and a scratch root holding the front-end and project fixtures.

#include <algorithm>
#include <array>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <tinyxml2.h>
#include <utility>
#include <vector>

#include "common/LogSingleton.h"
#include "support/LogCapture.h"
#include "controller/ProjectManager.h"
#include "controller/ProjectTarget.h"
#include "support/TestSupport.h"
#include "vision/CameraManager.h"

namespace ProjectManagerTest {

inline const char* ProjectName() { return "Data/Projects/Cell4/Cell4.prj"; }

// Records what the project manager hands to the robot side and answers the
// rewrite's questions from the same values, like the robot master does.
class FakeTarget : public ProjectTarget {
public:
    FakeTarget() {
        onReset.fill(DOutTargetState::NoChange);
        onError.fill(DOutTargetState::NoChange);
    }

    void SetVelocitySetting(int32_t value) override { velocitySetting = value; }
    int32_t GetVelocitySetting() const override { return velocitySetting; }
    void Init(const std::string& name, const std::string& type, const std::string& file) override {
        ++initCalls;
        robotName = name;
        robotType = type;
        robotFile = file;
    }
    void SetHomePos(const double joints[9]) override {
        homeSet = true;
        std::copy(joints, joints + 9, home.begin());
    }
    void SetVirtualBox(bool active, const DataTypes::Vector3& min, const DataTypes::Vector3& max) override {
        boxActive = active;
        boxMin = min;
        boxMax = max;
    }
    void SetProgramDefaultState(int32_t state) override { defaultState = state; }
    void SetExternalAxis(const ExternalAxis& axis) override {
        if (axis.index >= 0 && axis.index <= 2) axes[axis.index] = axis;
    }
    void InitExternalJoints() override { ++initExternalJointsCalls; }
    void InitDIOModule(int32_t id) override { dioModules.push_back(id); }
    void SetDOutOnReset(int32_t channel, DOutTargetState state) override { onReset.at(channel) = state; }
    void SetDOutOnError(int32_t channel, DOutTargetState state) override { onError.at(channel) = state; }
    void AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) override {
        if (triggers.size() < 10) triggers.push_back(trigger);
    }

    std::vector<PLCTrigger::PLCInterfaceTrigger> GetPLCTriggers() const override { return triggers; }
    bool HasExternalAxis(int32_t index) const override {
        return index >= 0 && index <= 2 && axes[index].has_value();
    }
    ExternalAxis GetExternalAxis(int32_t index) const override { return axes.at(index).value(); }
    DOutTargetState GetDOutOnReset(int32_t channel) const override { return onReset.at(channel); }
    DOutTargetState GetDOutOnError(int32_t channel) const override { return onError.at(channel); }
    bool GetVirtualBox(bool& active, DataTypes::Vector3& min, DataTypes::Vector3& max) const override {
        if (!hasModel) return false;
        active = boxActive;
        min = boxMin;
        max = boxMax;
        return true;
    }
    bool GetDIOModuleIDs(uint8_t& id1, uint8_t& id2, uint8_t& id3) const override {
        if (!hasDriver) return false;
        uint8_t* ids[3] = {&id1, &id2, &id3};
        for (size_t k = 0; k < 3; ++k) *ids[k] = k < dioModules.size() ? static_cast<uint8_t>(dioModules[k]) : 0;
        return true;
    }
    std::string GetProgramFile() const override {
        if (duringRewrite) duringRewrite();
        return programFile;
    }
    std::string GetLogicProgramFile() const override { return logicFile; }
    int32_t GetReplayMode() const override { return replayMode; }
    float GetOverride() const override { return override; }
    int32_t GetProgramDefaultState() const override { return defaultState; }

    // What main does after the project is open: load the start programs.
    void LoadLikeMain(const ProjectManager& pm) {
        programFile = pm.startProgram;
        logicFile = pm.logicStartFile;
        override = pm.startOverride;
        replayMode = pm.startRepeat ? 1 : 0;
    }

    int32_t velocitySetting = 0;
    int initCalls = 0;
    std::string robotName, robotType, robotFile;
    bool homeSet = false;
    std::array<double, 9> home{};
    bool boxActive = false;
    DataTypes::Vector3 boxMin, boxMax;
    bool hasModel = true;
    int32_t defaultState = 0;
    std::array<std::optional<ExternalAxis>, 3> axes;
    int initExternalJointsCalls = 0;
    std::vector<int32_t> dioModules;
    bool hasDriver = true;
    std::array<DOutTargetState, 64> onReset{}, onError{};
    std::vector<PLCTrigger::PLCInterfaceTrigger> triggers;
    std::string programFile, logicFile;
    int32_t replayMode = 0;
    float override = 100.0f;
    // Runs inside every rewrite, while the rewrite lock is held.
    std::function<void()> duringRewrite;
};

using LogCapture = TestSupport::LogCapture;

// Puts the process-wide settings that the reader writes back to their start values.
inline void ResetGlobalSettings() {
    LogSingleton* log = LogSingleton::instance();
    log->set_opMode(opModeNormal);
    log->set_seriousFailReason("na");
    log->get_plcInterfaceNr() = PLCInterfaceSettings{};
    log->Active = false;
    log->ManualMaxVelMMPerSec = 250.0f;
    log->DInEnableMotionInManualMode = -1;
    log->DInOpModeAuto = -1;
    log->set_robotName("");
    log->set_robotType("");
    log->set_robotGripper("");
    Camera::CameraManager::Instance()->Clear();
}

// The cameras' project-file element as the camera manager would write it now.
inline std::string CamerasText() {
    tinyxml2::XMLDocument document;
    document.InsertEndChild(Camera::CameraManager::Instance()->Write(document));
    tinyxml2::XMLPrinter printer(nullptr, true);
    document.Print(&printer);
    return printer.CStr();
}

// A scratch root with the front-end file and the full project file.
class ProjectRoot {
public:
    ProjectRoot() {
        TestSupport::CopyFixture("proj-VQTFrontend.xml", scratch.File("VQTFrontend.xml"));
        TestSupport::CopyFixture("proj-Cell4.prj", ProjectPath());
    }
    std::string Path() const { return scratch.Path() + "/"; }
    std::string ProjectPath() const { return scratch.File(ProjectName()); }
    std::string ReadProject() const { return TestSupport::ReadFile(ProjectPath()); }
    void WriteProject(const std::string& text) const { TestSupport::WriteFile(ProjectPath(), text); }

    // Loads the project file, lets edit change it and saves it again.
    void EditProject(const std::function<void(tinyxml2::XMLElement* root)>& edit) const {
        tinyxml2::XMLDocument document;
        document.LoadFile(ProjectPath().c_str());
        edit(document.RootElement());
        document.SaveFile(ProjectPath().c_str());
    }

private:
    TestSupport::ScratchRoot scratch;
};

// The n-th child element of that name (n from 0), or null.
inline tinyxml2::XMLElement* NthChild(tinyxml2::XMLElement* parent, const char* name, int n) {
    tinyxml2::XMLElement* element = parent->FirstChildElement(name);
    while (element != nullptr && n-- > 0) element = element->NextSiblingElement(name);
    return element;
}

// Names of the root's child elements in document order.
inline std::vector<std::string> ChildNames(const std::string& projectPath) {
    tinyxml2::XMLDocument document;
    document.LoadFile(projectPath.c_str());
    std::vector<std::string> names;
    if (document.RootElement() == nullptr) return names;
    for (auto* e = document.RootElement()->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
        names.emplace_back(e->Name());
    }
    return names;
}

}  // namespace ProjectManagerTest
