// Writing the project file back: round trip, placement of created elements,
// and a commit that never loses the file on disk.

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

#include "ProjectManagerTestSupport.h"
#include "vision/CameraUSB.h"

using namespace ProjectManagerTest;
using tinyxml2::XMLElement;

namespace {

// Everything the reader hands out, gathered for comparison.
struct Settings {
    FakeTarget target;
    std::string startProgram, logicStartFile, cameras, gripper, robotName, robotType;
    float startOverride = 0;
    bool startRepeat = false;
    bool modbusActive = false;
    int modbusPort = 0, modbusMaxConnections = 0;
    ProjectCloudSettings cloud;
    PLCInterfaceSettings plc;
    bool modesActive = false;
    float maxVel = 0;
    int dinAuto = 0, dinEnable = 0;
};

void Capture(Settings& s, const ProjectManager& pm) {
    LogSingleton* log = LogSingleton::instance();
    s.startProgram = pm.startProgram;
    s.logicStartFile = pm.logicStartFile;
    s.startOverride = pm.startOverride;
    s.startRepeat = pm.startRepeat;
    s.modbusActive = pm.modbusActive;
    s.modbusPort = pm.modbusPort;
    s.modbusMaxConnections = pm.modbusMaxConnections;
    s.cloud = pm.GetCloudSettings();
    s.cameras = CamerasText();
    s.plc = log->get_plcInterfaceNr();
    s.gripper = log->get_robotGripper();
    s.robotName = log->get_robotName();
    s.robotType = log->get_robotType();
    s.modesActive = log->Active;
    s.maxVel = log->ManualMaxVelMMPerSec;
    s.dinAuto = log->DInOpModeAuto;
    s.dinEnable = log->DInEnableMotionInManualMode;
}

std::vector<int32_t> PlcFields(const PLCInterfaceSettings& p) {
    std::vector<int32_t> fields = {p.Active,
                                   p.AutoConnect,
                                   p.RequestReferenceNumber,
                                   p.EnableNumber,
                                   p.PlayNumber,
                                   p.PauseNumber,
                                   p.StartMissionNumber,
                                   p.ShutdownNumber,
                                   p.AltStartNumber,
                                   p.AltStopNumber,
                                   p.AddJointNumber,
                                   p.AddLinearNumber,
                                   p.NoFaultNumber,
                                   p.RobotIsReferenced,
                                   p.MissionRunningNumber,
                                   p.FaultNumber,
                                   p.ProgramNotRunningNumber,
                                   p.ProgramRunningNumber};
    for (int step = 0; step < PLCInterfaceSettings::RefSteps; ++step) {
        fields.push_back(p.JointToRef(step));
        fields.push_back(p.RefDelay(step));
    }
    return fields;
}

void ExpectSameAxis(const ExternalAxis& a, const ExternalAxis& b) {
    EXPECT_EQ(a.ToString(), b.ToString());
    EXPECT_EQ(a.index, b.index);
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.kinematic, b.kinematic);
    EXPECT_EQ(a.motionMode, b.motionMode);
    EXPECT_EQ(a.canId, b.canId);
    EXPECT_EQ(a.gearScale, b.gearScale);
    EXPECT_EQ(a.min, b.min);
    EXPECT_EQ(a.max, b.max);
    EXPECT_EQ(a.velMax, b.velMax);
    EXPECT_EQ(a.acc, b.acc);
    EXPECT_EQ(a.accInc, b.accInc);
    EXPECT_EQ(a.directionAngleToY, b.directionAngleToY);
    EXPECT_EQ(a.lz0, b.lz0);
    EXPECT_EQ(a.dir, b.dir);
    EXPECT_EQ(a.offset, b.offset);
}

void ExpectSame(const Settings& a, const Settings& b) {
    EXPECT_EQ(a.target.robotName, b.target.robotName);
    EXPECT_EQ(a.target.robotType, b.target.robotType);
    EXPECT_EQ(a.target.robotFile, b.target.robotFile);
    EXPECT_EQ(a.target.velocitySetting, b.target.velocitySetting);
    EXPECT_EQ(a.target.homeSet, b.target.homeSet);
    EXPECT_EQ(a.target.home, b.target.home);
    EXPECT_EQ(a.target.boxActive, b.target.boxActive);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(a.target.boxMin[i], b.target.boxMin[i]);
        EXPECT_EQ(a.target.boxMax[i], b.target.boxMax[i]);
    }
    EXPECT_EQ(a.target.defaultState, b.target.defaultState);
    for (int slot = 0; slot < 3; ++slot) {
        ASSERT_EQ(a.target.axes[slot].has_value(), b.target.axes[slot].has_value()) << slot;
        if (a.target.axes[slot]) ExpectSameAxis(*a.target.axes[slot], *b.target.axes[slot]);
    }
    EXPECT_EQ(a.target.dioModules, b.target.dioModules);
    EXPECT_EQ(a.target.onReset, b.target.onReset);
    EXPECT_EQ(a.target.onError, b.target.onError);
    ASSERT_EQ(a.target.triggers.size(), b.target.triggers.size());
    for (size_t i = 0; i < a.target.triggers.size(); ++i) {
        EXPECT_EQ(a.target.triggers[i].ToString(), b.target.triggers[i].ToString());
    }
    EXPECT_EQ(a.startProgram, b.startProgram);
    EXPECT_EQ(a.logicStartFile, b.logicStartFile);
    EXPECT_EQ(a.startOverride, b.startOverride);
    EXPECT_EQ(a.startRepeat, b.startRepeat);
    EXPECT_EQ(a.modbusActive, b.modbusActive);
    EXPECT_EQ(a.modbusPort, b.modbusPort);
    EXPECT_EQ(a.modbusMaxConnections, b.modbusMaxConnections);
    EXPECT_EQ(a.cloud.enabled, b.cloud.enabled);
    EXPECT_EQ(a.cloud.encryptedCredentials, b.cloud.encryptedCredentials);
    EXPECT_EQ(a.cloud.clientId, b.cloud.clientId);
    EXPECT_EQ(a.cloud.robotName, b.cloud.robotName);
    EXPECT_EQ(a.cloud.robotOwner, b.cloud.robotOwner);
    EXPECT_EQ(a.cloud.cameraEnvironment, b.cloud.cameraEnvironment);
    EXPECT_EQ(a.cloud.cameraWorkarea, b.cloud.cameraWorkarea);
    EXPECT_EQ(a.cameras, b.cameras);
    EXPECT_EQ(a.gripper, b.gripper);
    EXPECT_EQ(a.robotName, b.robotName);
    EXPECT_EQ(a.robotType, b.robotType);
    EXPECT_EQ(PlcFields(a.plc), PlcFields(b.plc));
    EXPECT_EQ(a.modesActive, b.modesActive);
    EXPECT_EQ(a.maxVel, b.maxVel);
    EXPECT_EQ(a.dinAuto, b.dinAuto);
    EXPECT_EQ(a.dinEnable, b.dinEnable);
}

class WriteProject : public ::testing::Test {
protected:
    void SetUp() override {
        ResetGlobalSettings();
        pm.SetRootPath(root.Path());
    }
    void TearDown() override { ResetGlobalSettings(); }

    // Reads the project as it is on disk into fresh objects.
    Settings ReadBack() {
        ResetGlobalSettings();
        ProjectManager fresh;
        fresh.SetRootPath(root.Path());
        Settings s;
        EXPECT_EQ(fresh.ReadProjectFile(ProjectName(), &s.target), 0);
        Capture(s, fresh);
        return s;
    }

    void OpenAndLoad() {
        ASSERT_EQ(pm.OpenProject(&target), 0);
        target.LoadLikeMain(pm);
    }

    ProjectRoot root;
    LogCapture log;
    ProjectManager pm;
    FakeTarget target;
};

TEST_F(WriteProject, RoundTripKeepsEverySetting) {
    OpenAndLoad();
    Settings before;
    before.target = target;
    Capture(before, pm);

    pm.UpdateProjectFile(&target);
    EXPECT_TRUE(log.Has("ProjectManager: Project file " + root.ProjectPath() + " updated", false));
    EXPECT_TRUE(log.Has("ProjectManager: Start program set to Pick/pick.xml, override 65.5, repeat 1", false));
    EXPECT_FALSE(std::filesystem::exists(root.ProjectPath() + "_tmp"));

    const Settings after = ReadBack();
    ExpectSame(before, after);

    // A second rewrite of the written file changes nothing more.
    const std::string once = root.ReadProject();
    ProjectManager again;
    again.SetRootPath(root.Path());
    FakeTarget t2;
    ASSERT_EQ(again.ReadProjectFile(ProjectName(), &t2), 0);
    t2.LoadLikeMain(again);
    again.UpdateProjectFile(&t2);
    EXPECT_EQ(root.ReadProject(), once);
}

TEST_F(WriteProject, UnownedElementsAreKept) {
    OpenAndLoad();
    pm.UpdateProjectFile(&target);
    tinyxml2::XMLDocument document;
    ASSERT_EQ(document.LoadFile(root.ProjectPath().c_str()), tinyxml2::XML_SUCCESS);
    XMLElement* r = document.RootElement();
    EXPECT_STREQ(r->FirstChildElement("Notes")->Attribute("Text"), "kept as it stands");
    EXPECT_STREQ(r->FirstChildElement("Robot")->Attribute("Homepos"), "0 10.5 -20 30 0 45");
    EXPECT_STREQ(r->FirstChildElement("OperationModes")->Attribute("ManualMaxVelMMPerSec"), "125.5");
    EXPECT_STREQ(r->FirstChildElement("Program")->Attribute("Repeat"), "True");
    EXPECT_STREQ(r->FirstChildElement("VirtualBox")->Attribute("active"), "True");
    EXPECT_STREQ(r->FirstChildElement("PLCInterface")->Attribute("Active"), "true");
    EXPECT_STREQ(r->FirstChildElement("Environment")->FirstChildElement("ModbusServer")->Attribute("Active"), "True");
    // The cameras go last.
    EXPECT_STREQ(r->LastChildElement()->Name(), "Cameras");
}

TEST_F(WriteProject, CreatedElementsTakeTheirPlaces) {
    root.EditProject([](XMLElement* r) {
        for (const char* name : {"Program", "VirtualBox", "PLCInterface", "PLCInterfaceIn", "PLCInterfaceOut",
                                 "Environment", "DIOModule", "DIOModule"}) {
            r->DeleteChild(r->FirstChildElement(name));
        }
    });
    OpenAndLoad();
    target.dioModules = {21, 22};
    pm.UpdateProjectFile(&target);
    const std::vector<std::string> expected = {
        "Robot",      "Program",      "VirtualBox",      "ExternalAxis", "ExternalAxis",
        "DIOModule",  "DIOModule",    "DOut",            "DOut",         "DOut",
        "PLCInterface", "PLCInterfaceIn", "PLCInterfaceOut", "PLCTrigger", "PLCTrigger",
        "PLCInterfaceRefSequence", "OperationModes", "Notes", "Cameras", "Environment"};
    EXPECT_EQ(ChildNames(root.ProjectPath()), expected);
}

TEST_F(WriteProject, MissingPLCInterfaceOutIsCreatedAfterIn) {
    root.EditProject([](XMLElement* r) { r->DeleteChild(r->FirstChildElement("PLCInterfaceOut")); });
    OpenAndLoad();
    pm.UpdateProjectFile(&target);
    const std::vector<std::string> names = ChildNames(root.ProjectPath());
    const auto in = std::find(names.begin(), names.end(), "PLCInterfaceIn");
    ASSERT_NE(in, names.end());
    ASSERT_NE(in + 1, names.end());
    EXPECT_EQ(*(in + 1), "PLCInterfaceOut");
}

TEST_F(WriteProject, DIOModulesFollowTheDriver) {
    OpenAndLoad();
    target.dioModules = {32};  // the second module is gone
    pm.UpdateProjectFile(&target);
    tinyxml2::XMLDocument document;
    document.LoadFile(root.ProjectPath().c_str());
    XMLElement* r = document.RootElement();
    EXPECT_EQ(NthChild(r, "DIOModule", 0)->IntAttribute("ID"), 32);
    EXPECT_EQ(NthChild(r, "DIOModule", 1), nullptr);

    target.dioModules = {32, 40, 41};
    pm.UpdateProjectFile(&target);
    EXPECT_EQ(ReadBack().target.dioModules, (std::vector<int32_t>{32, 40, 41}));

    // Without a driver the elements stay as they are.
    target.hasDriver = false;
    target.dioModules.clear();
    pm.UpdateProjectFile(&target);
    EXPECT_EQ(ReadBack().target.dioModules, (std::vector<int32_t>{32, 40, 41}));
}

TEST_F(WriteProject, OutputsAndTriggersInOrder) {
    OpenAndLoad();
    target.onReset.fill(DOutTargetState::NoChange);
    target.onError.fill(DOutTargetState::NoChange);
    target.onError[40] = DOutTargetState::True;
    target.onReset[2] = DOutTargetState::False;
    target.onReset[17] = DOutTargetState::True;
    // A trigger that named both signals was disabled; it is written as DIn -1.
    target.triggers = {PLCTrigger::PLCInterfaceTrigger(false, PLCTrigger::PLCInterfaceTrigger::DIn, -1,
                                                       PLCTrigger::PLCInterfaceTrigger::Program, "both.xml"),
                       PLCTrigger::PLCInterfaceTrigger(true, PLCTrigger::PLCInterfaceTrigger::GSig, 99,
                                                       PLCTrigger::PLCInterfaceTrigger::Mission, "m.xml")};
    pm.UpdateProjectFile(&target);

    tinyxml2::XMLDocument document;
    document.LoadFile(root.ProjectPath().c_str());
    XMLElement* r = document.RootElement();
    int numbers[3];
    for (int i = 0; i < 3; ++i) numbers[i] = NthChild(r, "DOut", i)->IntAttribute("Number");
    EXPECT_EQ(numbers[0], 2);
    EXPECT_EQ(numbers[1], 17);
    EXPECT_EQ(numbers[2], 40);
    EXPECT_STREQ(NthChild(r, "DOut", 2)->Attribute("ResetState"), "NoChange");
    EXPECT_STREQ(NthChild(r, "DOut", 2)->Attribute("Name"), "");

    XMLElement* both = NthChild(r, "PLCTrigger", 0);
    EXPECT_STREQ(both->Attribute("Active"), "False");
    EXPECT_STREQ(both->Attribute("DIn"), "-1");
    EXPECT_EQ(both->Attribute("GSig"), nullptr);
    EXPECT_STREQ(NthChild(r, "PLCTrigger", 1)->Attribute("GSig"), "99");
    EXPECT_STREQ(NthChild(r, "PLCTrigger", 1)->Attribute("Type"), "Mission");
}

TEST_F(WriteProject, NamedAxisKeepsItsSlotAndLimits) {
    OpenAndLoad();
    ExternalAxis named = *target.axes[2];
    named.flag = true;
    named.text = "Table A";
    target.axes[2] = named;
    pm.UpdateProjectFile(&target);
    const Settings after = ReadBack();
    ASSERT_TRUE(after.target.axes[2]);
    ExpectSameAxis(*after.target.axes[2], named);
    EXPECT_NE(root.ReadProject().find("Name=\"Table A\""), std::string::npos);
}

TEST_F(WriteProject, IncompleteCloudIsWrittenFromCurrentValues) {
    root.EditProject([](XMLElement* r) {
        r->FirstChildElement("Environment")->FirstChildElement("Cloud")->DeleteAttribute("RobotOwner");
    });
    OpenAndLoad();
    pm.UpdateProjectFile(&target);
    tinyxml2::XMLDocument document;
    document.LoadFile(root.ProjectPath().c_str());
    const XMLElement* cloud = document.RootElement()->FirstChildElement("Environment")->FirstChildElement("Cloud");
    for (const char* attribute : {"Active", "Credentials", "ClientID", "RobotName", "RobotOwner",
                                  "CameraEnvironmentName", "CameraWorkareaName"}) {
        EXPECT_NE(cloud->Attribute(attribute), nullptr) << attribute;
    }
    EXPECT_STREQ(cloud->Attribute("Active"), "False");
}

// The cloud client and the camera manager hand their current values back.
TEST_F(WriteProject, CurrentCloudAndCameraSettingsAreWritten) {
    OpenAndLoad();
    ProjectCloudSettings cloud = pm.GetCloudSettings();
    cloud.enabled = false;
    cloud.robotOwner = "new owner";
    pm.SetCloudSettings(cloud);
    Camera::CameraManager::Instance()->Clear();
    Camera::CameraManager::Instance()->Add(new Camera::CameraUSB("side", 1));
    pm.UpdateProjectFile(&target);
    const Settings after = ReadBack();
    EXPECT_FALSE(after.cloud.enabled);
    EXPECT_EQ(after.cloud.robotOwner, "new owner");
    EXPECT_EQ(after.cloud.clientId, "robot-17");
    EXPECT_NE(after.cameras.find("Name=\"side\""), std::string::npos);
    EXPECT_EQ(after.cameras.find("top"), std::string::npos);

    Camera::CameraManager::Instance()->Clear();
    pm.UpdateProjectFile(&target);
    EXPECT_EQ(ReadBack().cameras, "<Cameras/>");
}

TEST_F(WriteProject, WithoutRobotMasterRobotElementsStay) {
    ASSERT_EQ(pm.OpenProject(nullptr), 0);
    LogSingleton::instance()->get_plcInterfaceNr().PlayNumber = 33;
    pm.modbusPort = 1600;
    pm.UpdateProjectFile(nullptr);

    const Settings after = ReadBack();
    EXPECT_EQ(after.plc.PlayNumber, 33);
    EXPECT_EQ(after.modbusPort, 1600);
    EXPECT_EQ(after.startProgram, "Pick/pick.xml");
    EXPECT_EQ(after.target.triggers.size(), 2u);
    EXPECT_EQ(after.target.dioModules, (std::vector<int32_t>{32, 33}));
    EXPECT_EQ(after.target.onError[10], DOutTargetState::True);
    EXPECT_TRUE(after.target.axes[0] && after.target.axes[2]);
    EXPECT_EQ(ChildNames(root.ProjectPath())[1], "Program");
}

TEST_F(WriteProject, CorruptFileAtRewrite) {
    OpenAndLoad();
    root.WriteProject("<ProjectFile><Robot");
    pm.UpdateProjectFile(&target);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "10 .prj file corrupt");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
    EXPECT_TRUE(log.HasError("Updating project: Could not parse project file '" + root.ProjectPath() +
                             "' correctly: error parsing element"));
    EXPECT_EQ(root.ReadProject(), "<ProjectFile><Robot");

    ResetGlobalSettings();
    root.WriteProject("<Other/>");
    pm.UpdateProjectFile(&target);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "11 .prj file corrupt");
    EXPECT_TRUE(log.HasError("ProjectManager: Line ProjectFile not found in project file!"));
}

// A rewrite before any project was opened must not replace the reason why.
TEST_F(WriteProject, NoProjectOpened) {
    std::remove((root.Path() + "VQTFrontend.xml").c_str());
    EXPECT_EQ(pm.OpenProject(&target), 1);
    pm.QueueUpdateProjectFile();
    pm.UpdateConfiguration(&target, true);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "1 VQTFrontend.xml missing");
}

// ---- Commit ----

TEST_F(WriteProject, StaleTemporaryFileIsReplaced) {
    OpenAndLoad();
    TestSupport::WriteFile(root.ProjectPath() + "_tmp", "<half-written");
    pm.UpdateProjectFile(&target);
    EXPECT_FALSE(std::filesystem::exists(root.ProjectPath() + "_tmp"));
    ReadBack();
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST_F(WriteProject, UnwritableTemporaryFileLeavesTheProjectWhole) {
    OpenAndLoad();
    const std::string before = root.ReadProject();
    target.override = 12.0f;
    {
        TestSupport::FileSizeLimit limit;
        pm.UpdateProjectFile(&target);
    }
    EXPECT_TRUE(log.HasError("ProjectManager: Error while updating project file: Could not write temporary file"));
    EXPECT_EQ(root.ReadProject(), before);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}

TEST_F(WriteProject, OldFileStaysInPlaceUntilTheNewOneIsComplete) {
    OpenAndLoad();
    const std::string before = root.ReadProject();
    struct stat original {};
    ASSERT_EQ(stat(root.ProjectPath().c_str(), &original), 0);
    std::string seenDuringWrite;
    target.duringRewrite = [&] { seenDuringWrite = root.ReadProject(); };
    target.override = 12.0f;
    pm.UpdateProjectFile(&target);
    EXPECT_EQ(seenDuringWrite, before);
    // The new content arrived by rename: a different file took the name.
    struct stat replaced {};
    ASSERT_EQ(stat(root.ProjectPath().c_str(), &replaced), 0);
    EXPECT_NE(original.st_ino, replaced.st_ino);
    EXPECT_FLOAT_EQ(ReadBack().startOverride, 12.0f);
}

}  // namespace
