// Reading the project file: every value of the full fixture, and what each
// missing element or attribute does.

#include <gtest/gtest.h>

#include "ProjectManagerTestSupport.h"

using namespace ProjectManagerTest;
using tinyxml2::XMLElement;

namespace {

class ReadProject : public ::testing::Test {
protected:
    void SetUp() override {
        ResetGlobalSettings();
        pm.SetRootPath(root.Path());
    }
    void TearDown() override { ResetGlobalSettings(); }

    int Read() { return pm.ReadProjectFile(ProjectName(), &target); }

    ProjectRoot root;
    LogCapture log;
    ProjectManager pm;
    FakeTarget target;
};

TEST_F(ReadProject, FullFixture) {
    ASSERT_EQ(Read(), 0);
    LogSingleton* logger = LogSingleton::instance();
    EXPECT_EQ(logger->get_opMode(), opModeNormal);

    EXPECT_EQ(target.robotName, "Cell 4 arm");
    EXPECT_EQ(target.robotType, "Dravo/VQTDravo4");
    EXPECT_EQ(target.robotFile, "Dravo/VQTDravo4/VQTDravo4.xml");
    EXPECT_EQ(logger->get_robotName(), "Cell 4 arm");
    EXPECT_EQ(logger->get_robotType(), "Dravo/VQTDravo4");
    EXPECT_EQ(logger->get_robotGripper(), "Gripper2F");
    EXPECT_EQ(target.velocitySetting, 2);
    EXPECT_TRUE(log.Has("            Configured for 48V open loop (VelocitySetting 2)", false));
    ASSERT_TRUE(target.homeSet);
    EXPECT_EQ(target.home, (std::array<double, 9>{0, 10.5, -20, 30, 0, 45, 0, 0, 0}));
    EXPECT_TRUE(log.Has(
        "Project: Read 6 home position values: 0.00 10.50 -20.00 30.00 0.00 45.00 0.00 0.00 0.00", false));

    EXPECT_EQ(pm.startProgram, "Pick/pick.xml");
    EXPECT_FLOAT_EQ(pm.startOverride, 65.5f);
    EXPECT_TRUE(pm.startRepeat);
    EXPECT_EQ(target.defaultState, 1);
    EXPECT_EQ(pm.logicStartFile, "logic/watch.xml");
    EXPECT_TRUE(log.Has("Project: Program:       Pick/pick.xml  override 65.5  mode: repeat", false));

    EXPECT_TRUE(target.boxActive);
    EXPECT_FLOAT_EQ(target.boxMin.x, -400);
    EXPECT_FLOAT_EQ(target.boxMax.y, 350.5);
    EXPECT_FLOAT_EQ(target.boxMax.z, 600);

    ASSERT_TRUE(target.axes[0] && target.axes[2]);
    EXPECT_FALSE(target.axes[1]);
    const ExternalAxis& rail = *target.axes[0];
    EXPECT_EQ(rail.name, "LinearRail");
    EXPECT_EQ(rail.motionMode, Hardware::JointModePosition);
    EXPECT_EQ(rail.kinematic, ExternalAxis::Dependent);
    EXPECT_EQ(rail.canId, 40);
    EXPECT_DOUBLE_EQ(rail.gearScale, 2.5);
    EXPECT_DOUBLE_EQ(rail.min, -100);
    EXPECT_DOUBLE_EQ(rail.max, 1500);
    EXPECT_DOUBLE_EQ(rail.accInc, 800);
    EXPECT_EQ(rail.directionAngleToY, 90);
    EXPECT_DOUBLE_EQ(rail.lz0, 12.5);
    EXPECT_DOUBLE_EQ(rail.dir, -1);
    EXPECT_DOUBLE_EQ(rail.offset, 3.25);
    EXPECT_FALSE(rail.flag);  // Name is not read
    EXPECT_EQ(target.axes[2]->motionMode, Hardware::JointModeVelocity);
    EXPECT_EQ(target.axes[2]->kinematic, ExternalAxis::Independent);
    EXPECT_EQ(target.initExternalJointsCalls, 1);

    EXPECT_EQ(target.dioModules, (std::vector<int32_t>{32, 33}));
    EXPECT_EQ(target.onReset[3], DOutTargetState::True);
    EXPECT_EQ(target.onError[3], DOutTargetState::False);
    EXPECT_EQ(target.onReset[10], DOutTargetState::NoChange);
    EXPECT_EQ(target.onError[10], DOutTargetState::True);
    EXPECT_EQ(target.onReset[63], DOutTargetState::False);

    const PLCInterfaceSettings& plc = logger->get_plcInterfaceNr();
    EXPECT_TRUE(plc.Active);
    EXPECT_TRUE(plc.AutoConnect);
    const int32_t inputs[] = {plc.RequestReferenceNumber, plc.EnableNumber,   plc.PlayNumber,     plc.PauseNumber,
                              plc.StartMissionNumber,     plc.ShutdownNumber, plc.AltStartNumber, plc.AltStopNumber,
                              plc.AddJointNumber,         plc.AddLinearNumber};
    for (int i = 0; i < 10; ++i) EXPECT_EQ(inputs[i], i + 1);
    const int32_t outputs[] = {plc.NoFaultNumber, plc.RobotIsReferenced,       plc.MissionRunningNumber,
                               plc.FaultNumber,   plc.ProgramNotRunningNumber, plc.ProgramRunningNumber};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(outputs[i], i + 11);
    EXPECT_EQ(plc.JointToRef(0), 2);
    EXPECT_EQ(plc.JointToRef(8), -1);
    EXPECT_EQ(plc.RefDelay(4), 6);
    EXPECT_EQ(plc.RefDelay(8), 10);
    EXPECT_TRUE(log.Has("PLC-Interface: Inputs:  Enable=2, Reference=1, Play=3, Pause=4", false));
    EXPECT_TRUE(log.Has("PLC-Interface: Outputs: Fault=14, NoFault=11, Running=16, NotRunning=15, Referenced=12", false));
    EXPECT_TRUE(log.Has("PLC-Interface: RefDelay: 1 2 3 4 6 7 8 9 10", false));

    ASSERT_EQ(target.triggers.size(), 2u);
    EXPECT_TRUE(log.Has("Project: 2 PLC triggers loaded:", false));
    EXPECT_TRUE(log.Has("   Trigger 0: Active=True, SignalType=DIn, Channel=20, TargetType=Program, "
                            "FileName=trig/a.xml", false));
    EXPECT_TRUE(log.Has("   Trigger 1: Active=False, SignalType=GSig, Channel=55, TargetType=Mission, "
                            "FileName=m1.xml", false));

    EXPECT_TRUE(logger->Active);
    EXPECT_FLOAT_EQ(logger->ManualMaxVelMMPerSec, 125.5f);
    EXPECT_EQ(logger->DInOpModeAuto, 30);
    EXPECT_EQ(logger->DInEnableMotionInManualMode, 31);

    const auto camera = Camera::CameraManager::Instance()->Get("top");
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->GetTypeId(), "Sim");
    EXPECT_TRUE(pm.modbusActive);
    EXPECT_EQ(pm.modbusPort, 1502);
    EXPECT_EQ(pm.modbusMaxConnections, 3);
    EXPECT_TRUE(log.Has("Project: ModbusServer enabled", false));
    EXPECT_TRUE(pm.GetCloudSettings().enabled);
    EXPECT_EQ(pm.GetCloudSettings().encryptedCredentials, "U2FsdGVkX1+abc==");
    EXPECT_EQ(pm.GetCloudSettings().clientId, "robot-17");
    EXPECT_EQ(pm.GetCloudSettings().cameraWorkarea, "workcam");
    EXPECT_TRUE(log.Has("Project: Cloud connection: enabled='true', clientID='robot-17', robotName='Cell4', "
                            "robotOwner='acme', cam environment='envcam', cam workarea='workcam'", false));
}

TEST_F(ReadProject, WithoutRobotMaster) {
    EXPECT_EQ(pm.ReadProjectFile(ProjectName(), nullptr), 0);
    EXPECT_EQ(pm.startProgram, "Pick/pick.xml");
    EXPECT_TRUE(log.Has("Project: 2 PLC triggers loaded:", false));
    EXPECT_TRUE(LogSingleton::instance()->get_plcInterfaceNr().Active);
}

// ---- One variant per missing element or attribute ----

using Edit = std::function<void(XMLElement* root)>;
using Check = std::function<void(const ProjectManager&, const FakeTarget&)>;

Edit DropElement(const char* name, int n = 0) {
    return [=](XMLElement* root) { root->DeleteChild(NthChild(root, name, n)); };
}
Edit DropAll(const char* name) {
    return [=](XMLElement* root) {
        while (XMLElement* e = root->FirstChildElement(name)) root->DeleteChild(e);
    };
}
Edit DropAttribute(const char* name, const char* attribute, int n = 0) {
    return [=](XMLElement* root) { NthChild(root, name, n)->DeleteAttribute(attribute); };
}
Edit DropEnvironment(const char* name, const char* attribute = nullptr) {
    return [=](XMLElement* root) {
        XMLElement* environment = root->FirstChildElement("Environment");
        XMLElement* e = environment->FirstChildElement(name);
        if (attribute == nullptr) {
            environment->DeleteChild(e);
        } else {
            e->DeleteAttribute(attribute);
        }
    };
}

struct Missing {
    const char* name;
    Edit edit;
    int result;
    const char* reason;  // "na": none set
    const char* line;    // expected log line, or null
    bool lineIsError;
    Check check;
};

void PrintTo(const Missing& c, std::ostream* os) { *os << c.name; }

const PLCInterfaceSettings& Plc() { return LogSingleton::instance()->get_plcInterfaceNr(); }

const Missing kMissing[] = {
    {"Robot", DropElement("Robot"), 4, "7 .prj file not complete", "Project: Line \"Robot\" not found in project file!",
     true, [](auto&, auto& t) { EXPECT_EQ(t.initCalls, 0); }},
    {"RobotName", DropAttribute("Robot", "Name"), 5, "8 .prj file not complete",
     "Project: Attribute \"Name\" not found in line Robot of project file!", true, nullptr},
    {"RobotType", DropAttribute("Robot", "Type"), 6, "9 .prj file not complete",
     "Project: Attribute \"Type\" not found in line Robot of project file!", true, nullptr},
    {"RobotTool", DropAttribute("Robot", "Tool"), 0, "na",
     "Project: Attribute \"Tool\" not found - gripper not available!", true,
     [](auto&, auto&) { EXPECT_EQ(LogSingleton::instance()->get_robotGripper(), ""); }},
    {"RobotHomepos", DropAttribute("Robot", "Homepos"), 0, "na", nullptr, false,
     [](auto&, auto& t) { EXPECT_FALSE(t.homeSet); }},
    {"RobotVelocitySetting", DropAttribute("Robot", "VelocitySetting"), 0, "na",
     "            Configured for 24V open loop (VelocitySetting 0)", false,
     [](auto&, auto& t) { EXPECT_EQ(t.velocitySetting, 0); }},
    {"Program", DropElement("Program"), 0, "na", "Project: Line \"Program\" not found in project file!", true,
     [](auto& pm, auto&) {
         EXPECT_EQ(pm.startProgram, "");
         EXPECT_FLOAT_EQ(pm.startOverride, 40.0f);
         EXPECT_EQ(pm.logicStartFile, "");
     }},
    {"ProgramFile", DropAttribute("Program", "File"), 0, "na",
     "Project: Attribute \"File\" not found in line Program of project file!", true,
     [](auto& pm, auto&) { EXPECT_EQ(pm.startProgram, ""); }},
    {"ProgramOverride", DropAttribute("Program", "Override"), 0, "na",
     "Project: Attribute \"Override\" not found in line Program of project file!", true,
     [](auto& pm, auto&) { EXPECT_FLOAT_EQ(pm.startOverride, 40.0f); }},
    {"ProgramRepeat", DropAttribute("Program", "Repeat"), 0, "na",
     "Project: Program:       Pick/pick.xml  override 65.5  mode: single play", false,
     [](auto& pm, auto&) { EXPECT_FALSE(pm.startRepeat); }},
    {"ProgramDefaultState", DropAttribute("Program", "DefaultState"), 0, "na", nullptr, false,
     [](auto&, auto& t) { EXPECT_EQ(t.defaultState, 0); }},
    {"ProgramFileLogic", DropAttribute("Program", "FileLogic"), 0, "na",
     "Project: Attribute \"FileLogic\" not found in line Program of project file!", true,
     [](auto& pm, auto&) { EXPECT_EQ(pm.logicStartFile, ""); }},
    {"VirtualBox", DropElement("VirtualBox"), 0, "na", nullptr, false,
     [](auto&, auto& t) {
         EXPECT_FALSE(t.boxActive);
         EXPECT_FLOAT_EQ(t.boxMax.z, 0.0f);
     }},
    {"VirtualBoxActive", DropAttribute("VirtualBox", "active"), 0, "na", nullptr, false,
     [](auto&, auto& t) {
         EXPECT_FALSE(t.boxActive);
         EXPECT_FLOAT_EQ(t.boxMax.z, 600.0f);
     }},
    {"ExternalAxes", DropAll("ExternalAxis"), 0, "na", "Project: No ExternalAxis found in project file!", false,
     [](auto&, auto& t) {
         EXPECT_FALSE(t.axes[0] || t.axes[1] || t.axes[2]);
         EXPECT_EQ(t.initExternalJointsCalls, 1);
     }},
    {"SecondExternalAxisType", DropAttribute("ExternalAxis", "Type", 1), 6, "10 .prj file not complete",
     "Project: Attribute \"Type\" not found in line \"ExternalAxis\" of project file!", true,
     [](auto& pm, auto& t) {
         // The first axis is applied, nothing after the failing one is read.
         EXPECT_TRUE(t.axes[0]);
         EXPECT_FALSE(t.axes[2]);
         EXPECT_TRUE(t.dioModules.empty());
         EXPECT_TRUE(t.triggers.empty());
         EXPECT_EQ(t.onReset[3], DOutTargetState::NoChange);
         EXPECT_FALSE(Plc().Active);
         EXPECT_FALSE(pm.modbusActive);
         EXPECT_EQ(pm.GetCloudSettings().clientId, "");
         EXPECT_EQ(Camera::CameraManager::Instance()->Get("top"), nullptr);
     }},
    {"ExternalAxisOptional", DropAttribute("ExternalAxis", "GearScale"), 0, "na", nullptr, false,
     [](auto&, auto& t) { EXPECT_DOUBLE_EQ(t.axes[0]->gearScale, 1.0); }},
    {"DIOModules", DropAll("DIOModule"), 0, "na", "Project: Line \"DIOModule\" not found in project file!", true,
     [](auto&, auto& t) { EXPECT_TRUE(t.dioModules.empty()); }},
    {"DIOModuleID", DropAttribute("DIOModule", "ID"), 0, "na", "Project: CAN ID not found in DIOModule tag!", true,
     [](auto&, auto& t) { EXPECT_EQ(t.dioModules, (std::vector<int32_t>{33})); }},
    {"DOutNumber", DropAttribute("DOut", "Number"), 0, "na", nullptr, false,
     [](auto&, auto& t) { EXPECT_EQ(t.onReset[3], DOutTargetState::NoChange); }},
    {"DOutResetState", DropAttribute("DOut", "ResetState"), 0, "na", nullptr, false,
     [](auto&, auto& t) {
         EXPECT_EQ(t.onReset[3], DOutTargetState::NoChange);
         EXPECT_EQ(t.onError[3], DOutTargetState::False);
     }},
    {"PLCInterface", DropElement("PLCInterface"), 0, "na",
     "Project: Line \"PLCInterface\" not found in project file! PLCInterface is not active!", true,
     [](auto&, auto&) {
         EXPECT_FALSE(Plc().Active);
         EXPECT_EQ(Plc().EnableNumber, -1);  // the sections are not read
     }},
    {"PLCInterfaceActive", DropAttribute("PLCInterface", "Active"), 0, "na", nullptr, false,
     [](auto&, auto&) {
         EXPECT_FALSE(Plc().Active);
         EXPECT_TRUE(Plc().AutoConnect);
     }},
    {"PLCInterfaceIn", DropElement("PLCInterfaceIn"), 0, "na",
     "Project: Line \"PLCInterfaceIn\" not found in project file! PLCInterface is not active!", true,
     [](auto&, auto&) {
         EXPECT_FALSE(Plc().Active);
         EXPECT_EQ(Plc().NoFaultNumber, 11);
     }},
    {"PLCInterfaceInPlay", DropAttribute("PLCInterfaceIn", "PlayNumber"), 0, "na", nullptr, false,
     [](auto&, auto&) {
         EXPECT_EQ(Plc().PlayNumber, -1);
         EXPECT_TRUE(Plc().Active);
     }},
    {"PLCInterfaceOut", DropElement("PLCInterfaceOut"), 0, "na",
     "Project: Line \"PLCInterfaceOut\" not found in project file! PLCInterface is not active!", true,
     [](auto&, auto&) { EXPECT_FALSE(Plc().Active); }},
    {"PLCInterfaceRefSequence", DropElement("PLCInterfaceRefSequence"), 0, "na",
     "Project: Line \"PLCInterfaceRefSequence\" not found in project file! PLCInterface is not active!", true,
     [](auto&, auto&) {
         EXPECT_FALSE(Plc().Active);
         EXPECT_EQ(Plc().RefDelay(0), 5);
     }},
    {"RefDelay4", DropAttribute("PLCInterfaceRefSequence", "RefDelay4"), 0, "na", nullptr, false,
     [](auto&, auto&) { EXPECT_EQ(Plc().RefDelay(4), 5); }},
    {"TriggerType", DropAttribute("PLCTrigger", "Type"), 0, "na",
     "Error in Project: PLCTrigger type not defined! Disabling trigger.", true,
     [](auto&, auto& t) {
         ASSERT_EQ(t.triggers.size(), 2u);
         EXPECT_FALSE(t.triggers[0].IsActive());
     }},
    {"TriggerName", DropAttribute("PLCTrigger", "Name"), 0, "na",
     "Error in Project: PLCTrigger program not defined! Disabling trigger.", true,
     [](auto&, auto& t) { EXPECT_FALSE(t.triggers.at(0).IsActive()); }},
    {"TriggerActive", DropAttribute("PLCTrigger", "Active", 1), 0, "na", nullptr, false,
     [](auto&, auto& t) { EXPECT_TRUE(t.triggers.at(1).IsActive()); }},
    {"OperationModes", DropElement("OperationModes"), 0, "na",
     "Project: Line \"OperationModes\" not found in project file! OperationModes is not active!", true,
     [](auto&, auto&) { EXPECT_FALSE(LogSingleton::instance()->Active); }},
    {"OperationModesMaxVel", DropAttribute("OperationModes", "ManualMaxVelMMPerSec"), 0, "na",
     "RobotMaster: attribute \"ManualMaxVelMMPerSec\" not found in line \"OperationModes\" of robot ini file!", false,
     [](auto&, auto&) { EXPECT_FLOAT_EQ(LogSingleton::instance()->ManualMaxVelMMPerSec, 250.0f); }},
    {"OperationModesAuto", DropAttribute("OperationModes", "DInOpModeAuto"), 0, "na",
     "RobotMaster: attribute \"DInOpModeAuto\" not found in line \"OperationModes\" of robot ini file!", false,
     [](auto&, auto&) { EXPECT_EQ(LogSingleton::instance()->DInOpModeAuto, -1); }},
    {"OperationModesActive", DropAttribute("OperationModes", "Active"), 0, "na",
     "RobotMaster: attribute \"Active\" not found in line \"OperationModes\" of robot ini file!", true,
     [](auto&, auto&) {
         EXPECT_FALSE(LogSingleton::instance()->Active);
         EXPECT_EQ(LogSingleton::instance()->DInOpModeAuto, 30);
     }},
    {"Cameras", DropElement("Cameras"), 0, "na",
     "Project: Line \"Cameras\" not found in project file! Cameras not active!", true,
     [](auto&, auto&) { EXPECT_EQ(Camera::CameraManager::Instance()->Get("top"), nullptr); }},
    {"Environment", DropElement("Environment"), 0, "na", nullptr, false,
     [](auto& pm, auto&) {
         EXPECT_FALSE(pm.modbusActive);
         EXPECT_EQ(pm.modbusPort, 502);
         EXPECT_FALSE(pm.GetCloudSettings().enabled);
     }},
    {"ModbusServer", DropEnvironment("ModbusServer"), 0, "na",
     "Project: Line \"ModbusServer\" not found in project file! ModbusServer not active!", true,
     [](auto& pm, auto&) {
         EXPECT_FALSE(pm.modbusActive);
         EXPECT_EQ(pm.GetCloudSettings().clientId, "robot-17");
     }},
    {"ModbusPort", DropEnvironment("ModbusServer", "Port"), 0, "na", "Project: ModbusServer enabled", false,
     [](auto& pm, auto&) {
         EXPECT_EQ(pm.modbusPort, 502);
         EXPECT_EQ(pm.modbusMaxConnections, 3);
     }},
    {"ModbusMaxConnections", DropEnvironment("ModbusServer", "MaxConnections"), 0, "na", nullptr, false,
     [](auto& pm, auto&) { EXPECT_EQ(pm.modbusMaxConnections, 5); }},
    {"ModbusActive", DropEnvironment("ModbusServer", "Active"), 0, "na", "Project: ModbusServer not enabled", false,
     [](auto& pm, auto&) { EXPECT_FALSE(pm.modbusActive); }},
    {"Cloud", DropEnvironment("Cloud"), 0, "na",
     "Project: Line \"Cloud\" not found in project file! Cloud connection is not active!", false,
     [](auto& pm, auto&) { EXPECT_FALSE(pm.GetCloudSettings().enabled); }},
    {"CloudRobotOwner", DropEnvironment("Cloud", "RobotOwner"), 0, "na",
     "Project: Line \"Cloud\" is incomplete! Cloud connection is not enabled!", false,
     [](auto& pm, auto&) {
         EXPECT_FALSE(pm.GetCloudSettings().enabled);
         EXPECT_EQ(pm.GetCloudSettings().clientId, "");
     }},
    {"CloudCredentials", DropEnvironment("Cloud", "Credentials"), 0, "na",
     "Project: Line \"Cloud\" is incomplete! Cloud connection is not enabled!", false, nullptr},
    {"CloudWorkarea", DropEnvironment("Cloud", "CameraWorkareaName"), 0, "na", nullptr, false,
     [](auto& pm, auto&) {
         EXPECT_EQ(pm.GetCloudSettings().cameraWorkarea, "");
         EXPECT_EQ(pm.GetCloudSettings().cameraEnvironment, "envcam");
     }},
    {"CloudActive", DropEnvironment("Cloud", "Active"), 0, "na", nullptr, false,
     [](auto& pm, auto&) {
         EXPECT_FALSE(pm.GetCloudSettings().enabled);
         EXPECT_EQ(pm.GetCloudSettings().robotOwner, "acme");
     }},
};

class MissingInProject : public ReadProject, public ::testing::WithParamInterface<Missing> {};

TEST_P(MissingInProject, LogsAndDefaults) {
    const Missing& c = GetParam();
    // A value set before must not survive where the file resets it.
    LogSingleton::instance()->get_plcInterfaceNr().PlayNumber = 7;
    root.EditProject(c.edit);

    EXPECT_EQ(Read(), c.result);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), c.result == 0 ? opModeNormal : opModeSeriousFail);
    if (c.line != nullptr) {
        EXPECT_TRUE(c.lineIsError ? log.HasError(c.line) : log.Has(c.line, false)) << c.line;
    }
    if (c.check) c.check(pm, target);
}

INSTANTIATE_TEST_SUITE_P(Variants, MissingInProject, ::testing::ValuesIn(kMissing),
                         [](const ::testing::TestParamInfo<Missing>& info) { return std::string(info.param.name); });

TEST_F(ReadProject, NotAProjectFile) {
    root.WriteProject("<ProjectFile><Robot");
    EXPECT_EQ(Read(), 2);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "5 .prj not valid");
    EXPECT_TRUE(log.HasError("Project: Could not parse xml project file correctly: " + root.ProjectPath()));

    ResetGlobalSettings();
    root.WriteProject("<Project><Robot Name=\"a\" Type=\"b\"/></Project>");
    EXPECT_EQ(Read(), 3);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "6 .prj file not complete");
    EXPECT_TRUE(log.HasError("Project: Line \"ProjectFile\" not found in project file!"));
    EXPECT_EQ(target.initCalls, 0);
}

// ---- Values at the edges ----

TEST_F(ReadProject, OverrideIsClamped) {
    const std::pair<const char*, float> cases[] = {{"150", 100.0f}, {"-0.5", 0.0f}, {"0", 0.0f},
                                                   {"-1", 40.0f},   {"nan", 40.0f}, {"fast", 40.0f}};
    for (const auto& c : cases) {
        ResetGlobalSettings();
        root.EditProject([&](XMLElement* r) { r->FirstChildElement("Program")->SetAttribute("Override", c.first); });
        ProjectManager fresh;
        fresh.SetRootPath(root.Path());
        FakeTarget t;
        EXPECT_EQ(fresh.ReadProjectFile(ProjectName(), &t), 0);
        EXPECT_FLOAT_EQ(fresh.startOverride, c.second) << c.first;
    }
}

TEST_F(ReadProject, HomePositionCount) {
    root.EditProject([](XMLElement* r) { r->FirstChildElement("Robot")->SetAttribute("Homepos", "1 2  3"); });
    ASSERT_EQ(Read(), 0);
    EXPECT_EQ(target.home, (std::array<double, 9>{1, 2, 3, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(log.Has("Project: Read 3 home position values: 1.00 2.00 3.00 0.00 0.00 0.00 0.00 0.00 0.00", false));

    root.EditProject(
        [](XMLElement* r) { r->FirstChildElement("Robot")->SetAttribute("Homepos", "1 2 3 4 5 6 7 8 9 10 11"); });
    FakeTarget eleven;
    ASSERT_EQ(pm.ReadProjectFile(ProjectName(), &eleven), 0);
    EXPECT_EQ(eleven.home, (std::array<double, 9>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(ReadProject, RobotFileFromType) {
    root.EditProject([](XMLElement* r) { r->FirstChildElement("Robot")->SetAttribute("Type", "VQTDravo4"); });
    ASSERT_EQ(Read(), 0);
    EXPECT_EQ(target.robotFile, "VQTDravo4/VQTDravo4.xml");
}

// Names from the project file must not leave their folders.
TEST_F(ReadProject, PathsStayInside) {
    root.EditProject([](XMLElement* r) { r->FirstChildElement("Robot")->SetAttribute("Type", "..\\..\\etc"); });
    EXPECT_EQ(Read(), 6);
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "9 .prj file not complete");
    EXPECT_EQ(target.initCalls, 0);

    ResetGlobalSettings();
    root.EditProject([](XMLElement* r) {
        r->FirstChildElement("Robot")->SetAttribute("Type", "VQTDravo4");
        r->FirstChildElement("Program")->SetAttribute("File", "../../etc/passwd");
        r->FirstChildElement("Program")->SetAttribute("FileLogic", "/etc/shadow");
    });
    ProjectManager fresh;
    fresh.SetRootPath(root.Path());
    EXPECT_EQ(fresh.ReadProjectFile(ProjectName(), &target), 0);
    EXPECT_EQ(fresh.startProgram, "");
    EXPECT_EQ(fresh.logicStartFile, "");
}

TEST_F(ReadProject, DOutNumbersOutsideTheTableAreSkipped) {
    root.EditProject([](XMLElement* r) {
        while (XMLElement* e = r->FirstChildElement("DOut")) r->DeleteChild(e);
        for (const char* number : {"0", "64", "-1", "abc", "5x", "1000000", "63"}) {
            XMLElement* e = r->InsertEndChild(r->GetDocument()->NewElement("DOut"))->ToElement();
            e->SetAttribute("Number", number);
            e->SetAttribute("ResetState", "true");
            e->SetAttribute("ErrorState", "FALSE");
        }
    });
    ASSERT_EQ(Read(), 0);
    EXPECT_EQ(target.onReset[0], DOutTargetState::True);
    EXPECT_EQ(target.onError[0], DOutTargetState::False);
    EXPECT_EQ(target.onReset[63], DOutTargetState::True);
    for (int ch = 1; ch < 63; ++ch) EXPECT_EQ(target.onReset[ch], DOutTargetState::NoChange) << ch;
    for (const char* number : {"64", "-1", "abc", "5x", "1000000"}) {
        EXPECT_TRUE(log.HasError(std::string("Project: DOut number '") + number +
                                 "' is not an output 0..63, line skipped"))
            << number;
    }
}

TEST_F(ReadProject, TriggerVariants) {
    root.EditProject([](XMLElement* r) {
        XMLElement* first = NthChild(r, "PLCTrigger", 0);
        first->SetAttribute("GSig", 4);  // now both DIn and GSig
        NthChild(r, "PLCTrigger", 1)->SetAttribute("Type", "macro");
    });
    ASSERT_EQ(Read(), 0);
    ASSERT_EQ(target.triggers.size(), 2u);
    EXPECT_TRUE(log.HasError("Error in Project: PLCTrigger defines both DIn and GSig! Disabling trigger."));
    EXPECT_FALSE(target.triggers[0].IsActive());
    EXPECT_EQ(target.triggers[0].GetChannel(), -1);
    EXPECT_EQ(target.triggers[0].GetSignalType(), PLCTrigger::PLCInterfaceTrigger::DIn);
    EXPECT_TRUE(log.HasError("Error in Project: PLCTrigger type is invalid! Disabling trigger."));
}

}  // namespace
