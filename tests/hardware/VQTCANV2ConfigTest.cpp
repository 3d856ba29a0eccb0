// The v2/v3 driver's part of the robot file and its set-up operations.

#include "hardware/VQTCANV2TestSupport.h"

#include "common/LogSingleton.h"
#include "hardware/ExternalAxis.h"
#include "hardware/HardwareProtocolFactory.h"

#include <cstdio>
#include <functional>

namespace {

using Edit = std::function<void(tinyxml2::XMLDocument&)>;

tinyxml2::XMLElement* Bus(tinyxml2::XMLDocument& doc) {
    return doc.FirstChildElement("Robot")->FirstChildElement("BusConfiguration");
}
tinyxml2::XMLElement* Joint(tinyxml2::XMLDocument& doc, const char* name) {
    return Bus(doc)->FirstChildElement(name);
}
void Remove(tinyxml2::XMLElement* e) { e->Parent()->DeleteChild(e); }

class VQTCANV2Config : public V2Test::VQTCANV2Fixture {
protected:
    void ReadWith(const Edit& edit) {
        WriteRobotFile(edit);
        MakeDriver(3, false);
    }
};

struct ReasonCase {
    const char* name;
    Edit edit;  // empty: the file is replaced by `content`
    const char* content;
    const char* reason;
    const char* errorLine;  // empty: starts with the path-dependent text below
};

}  // namespace

TEST_F(VQTCANV2Config, EachMissingElementGivesItsReason) {
    const ReasonCase cases[] = {
        {"no Robot", nullptr, "<Robo/>", "63 Protocol Ini file not complete",
         "ProtocolVQTCANV2: line Robot not found in project file!"},
        {"no BusConfiguration", [](auto& d) { Remove(Bus(d)); }, nullptr, "64 Protocol Ini file not complete",
         "ProtocolVQTCANV2: line BusConfiguration not found in project file!"},
        {"no GapMS", [](auto& d) { Bus(d)->DeleteAttribute("GapMS"); }, nullptr, "65 Protocol Ini file not complete",
         "ProtocolVQTCANV2: attribute GapMS not found in line BusConfiguration of project file!"},
        {"negative GapMS", [](auto& d) { Bus(d)->SetAttribute("GapMS", -1.0); }, nullptr,
         "65 Protocol Ini file not complete",
         "ProtocolVQTCANV2: attribute GapMS not found in line BusConfiguration of project file!"},
        {"GapMS nan", [](auto& d) { Bus(d)->SetAttribute("GapMS", "nan"); }, nullptr,
         "65 Protocol Ini file not complete",
         "ProtocolVQTCANV2: attribute GapMS not found in line BusConfiguration of project file!"},
        {"no Joints", [](auto& d) { Remove(Joint(d, "Joints")); }, nullptr, "66 Protocol Ini file not complete",
         "ProtocolVQTCANV2: line Joints not found in project file!"},
        {"no NrOfJoints", [](auto& d) { Joint(d, "Joints")->DeleteAttribute("NrOfJoints"); }, nullptr,
         "67 Protocol Ini file not complete",
         "ProtocolVQTCANV2: attribute NrOfJoints not found in line Joints of project file!"},
        {"negative NrOfJoints", [](auto& d) { Joint(d, "Joints")->SetAttribute("NrOfJoints", -1); }, nullptr,
         "67 Protocol Ini file not complete",
         "ProtocolVQTCANV2: attribute NrOfJoints not found in line Joints of project file!"},
        {"seven joints", [](auto& d) { Joint(d, "Joints")->SetAttribute("NrOfJoints", 7); }, nullptr,
         "67 Protocol Ini file not complete",
         "ProtocolVQTCANV2: attribute NrOfJoints not found in line Joints of project file!"},
        {"no Joint3", [](auto& d) { Remove(Joint(d, "Joint3")); }, nullptr, "68 Protocol Ini file not complete",
         "ProtocolVQTCANV2: joint definition not found!"},
        {"no ID", [](auto& d) { Joint(d, "Joint2")->DeleteAttribute("ID"); }, nullptr,
         "69 Protocol Ini file not complete", "ProtocolVQTCAN: joint ID not found!"},
        {"negative ID", [](auto& d) { Joint(d, "Joint2")->SetAttribute("ID", -16); }, nullptr,
         "69 Protocol Ini file not complete", "ProtocolVQTCAN: joint ID not found!"},
        {"ID beyond a byte", [](auto& d) { Joint(d, "Joint2")->SetAttribute("ID", 0x110); }, nullptr,
         "69 Protocol Ini file not complete", "ProtocolVQTCAN: joint ID not found!"},
        {"no GearScale", [](auto& d) { Joint(d, "Joint5")->DeleteAttribute("GearScale"); }, nullptr,
         "70 Protocol Ini file not complete", "ProtocolVQTCAN: joint GearScale not found!"},
        {"GearScale 0", [](auto& d) { Joint(d, "Joint5")->SetAttribute("GearScale", 0); }, nullptr,
         "70 Protocol Ini file not complete", "ProtocolVQTCAN: joint GearScale not found!"},
        {"no GearZero", [](auto& d) { Joint(d, "Joint0")->DeleteAttribute("GearZero"); }, nullptr,
         "71 Protocol Ini file not complete", "ProtocolVQTCAN: joint GearZero not found!"},
        {"no Referencing", [](auto& d) { Remove(d.FirstChildElement("Robot")->FirstChildElement("Referencing")); },
         nullptr, "72 Protocol Ini file not complete", "ProtocolVQTCAN: line Referencing not found in project file!"},
    };
    LogSingleton* ls = LogSingleton::instance();
    for (const ReasonCase& c : cases) {
        SCOPED_TRACE(c.name);
        ls->set_opMode(opModeNormal);
        ls->set_seriousFailReason("na");
        log->Clear();
        if (c.edit) {
            WriteRobotFile(c.edit);
        } else {
            TestSupport::WriteFile(RobotFilePath(), c.content);
        }
        MakeDriver(3, false);
        EXPECT_EQ(ls->get_seriousFailReason(), c.reason);
        EXPECT_EQ(ls->get_opMode(), opModeSeriousFail);
        EXPECT_TRUE(log->Has(c.errorLine));
        // Reading stopped there: nothing after the failing line was logged.
        EXPECT_FALSE(log->Has("Protocol VQTCANV2: Referencing mandatory: true"));
    }
}

TEST_F(VQTCANV2Config, UnreadableFilesGiveTheirReasons) {
    LogSingleton* ls = LogSingleton::instance();
    std::remove(RobotFilePath().c_str());
    MakeDriver(3, false);
    EXPECT_EQ(ls->get_seriousFailReason(), "61 Protocol Ini file not found");
    EXPECT_TRUE(log->Has("File " + RobotFilePath() + " not available! Aborting read()"));

    ls->set_opMode(opModeNormal);
    TestSupport::WriteFile(RobotFilePath(), "<Robot><BusConfiguration GapMS=\"1\">");
    MakeDriver(3, false);
    EXPECT_EQ(ls->get_seriousFailReason(), "62 Protocol Ini file not valid");
    EXPECT_TRUE(log->Has("ProtocolVQTCANV2: could not read ini correctly: " + RobotFilePath()));
    EXPECT_EQ(ls->get_opMode(), opModeSeriousFail);
}

TEST_F(VQTCANV2Config, GoodFileFillsTheRecordsAndLogsThem) {
    MakeDriver(3, false);
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    const std::vector<std::string> expected = {
        "Reading robot config file for HardwareProtocol VQTCAN-V3...",
        "ProtocolVQTCANV2: GapMS: 0.0",
        "Protocol VQTCANV2: 6 joints:",
        "   Joint 0: CAN ID 16 - GearScale 190.000 - GearZero 0.000 - GearPlay 0.000 - GearPlayInc 0.000 - "
        "TempScale 0.312 - TempZero -25.600",
        "   Joint 2: CAN ID 48 - GearScale 100.000 - GearZero 1000.000 - GearPlay 0.000 - GearPlayInc 0.000 - "
        "TempScale 0.312 - TempZero -25.600",
        "Protocol VQTCANV2: Referencing mandatory: true",
    };
    for (const std::string& line : expected) EXPECT_TRUE(log->Has(line)) << line;
    EXPECT_EQ(driver->robotJointCount, 6);
    EXPECT_EQ(driver->moduleCount, 6);
    EXPECT_EQ(driver->jointData[5].canId, 96);
    EXPECT_EQ(driver->jointData[1].gearScale, -190.0f);
    EXPECT_EQ(driver->jointData[2].currentZero, -5.0f);
    EXPECT_EQ(driver->jointData[0].errorCode, 256u);
    EXPECT_TRUE(driver->referencingMandatory);
    EXPECT_FALSE(driver->cyclicSending.load());
    EXPECT_EQ(driver->mainIoState[4], 3);
    // The receive callback is the driver's.
    EXPECT_NE(driver->canInterface.receiveCallback.load(), nullptr);

    log->Clear();
    MakeDriver(2, false);
    EXPECT_TRUE(log->Has("Reading robot config file for HardwareProtocol VQTCAN-V2..."));
}

TEST_F(VQTCANV2Config, OptionalAttributesTakeTheirDefaults) {
    ReadWith([](tinyxml2::XMLDocument& d) {
        auto* j = Joint(d, "Joint1");
        for (const char* a : {"GearPlay", "GearPlayInc", "TempScale", "TempZero", "CurrentScale", "CurrentZero"})
            j->DeleteAttribute(a);
        Bus(d)->DeleteAttribute("CanDumpSize");
        d.FirstChildElement("Robot")->FirstChildElement("Referencing")->SetAttribute("Mandatory", false);
    });
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    const Hardware::jointData& r = driver->jointData[1];
    EXPECT_EQ(r.gearPlay, 0.0f);
    EXPECT_EQ(r.tempScale, 0.3125f);
    EXPECT_EQ(r.tempZero, -25.6f);
    EXPECT_EQ(r.currentScale, 0.0f);
    EXPECT_EQ(r.currentZero, 0.0f);
    for (const char* line : {"ProtocolVQTCAN: joint GearPlay not found!",
                             "ProtocolVQTCAN: joint GearPlayInc not found!",
                             "ProtocolVQTCANV2: joint CurrentScale not found!",
                             "ProtocolVQTCANV2: joint CurrentZero not found!",
                             "Protocol VQTCANV2: Referencing mandatory: false"})
        EXPECT_EQ(log->Count(line), 1) << line;
    EXPECT_FALSE(driver->referencingMandatory);
}

TEST_F(VQTCANV2Config, CanDumpSizeIsBounded) {
    // A size of the int's range would allocate the whole ring at start-up.
    ReadWith([](tinyxml2::XMLDocument& d) { Bus(d)->SetAttribute("CanDumpSize", 2147483647); });
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_TRUE(log->Has("ProtocolVQTCANV2: CanDumpSize 2147483647 too large, using 10000"));
    EXPECT_TRUE(log->Has("Setting CAN Dump size to 10000 messages"));
    EXPECT_TRUE(log->Has("Protocol VQTCANV2: Referencing mandatory: true"));
}

TEST_F(VQTCANV2Config, RobotWithoutJoints) {
    ReadWith([](tinyxml2::XMLDocument& d) { Joint(d, "Joints")->SetAttribute("NrOfJoints", 0); });
    EXPECT_EQ(driver->moduleCount, 0);
    EXPECT_FALSE(driver->GetMotorEnabled());
    driver->InitDIOModules(0x70);
    driver->jointData[0].motorReady = 1;
    EXPECT_TRUE(driver->GetMotorEnabled());
    driver->jointData[0].motorReady = 0;
    EXPECT_FALSE(driver->GetMotorEnabled());
}

TEST_F(VQTCANV2Config, ModulesAddedByTheProjectKeepOneOrder) {
    MakeDriver(3, false);
    driver->InitTool(1, 0x90, 20.0f, 5.0f);
    EXPECT_TRUE(log->Has("   Gripper Joint: CAN ID 144 - GearScale 20.000 - GearZero 5.000"));
    ExternalAxis axis(1, "rail", Hardware::JointModeTorque);
    axis.canId = 0xA0;
    axis.gearScale = 12.5;
    axis.velMax = 300.0;
    driver->InitExternalJoint(axis);
    EXPECT_TRUE(
        log->Has("   External Joint 1: CAN ID 160 - GearScale 12.500 - TempScale 0.312 - TempZero -25.600"));
    axis.canId = 0xB0;
    axis.motionMode = static_cast<Hardware::JointMode>(7);
    driver->InitExternalJoint(axis);
    driver->InitExternalJoint(axis);
    driver->InitExternalJoint(axis);
    EXPECT_TRUE(log->Has("Cannot add more then 3 External Joints!"));
    for (int id : {0xC0, 0xC4, 0xC8, 0xCC}) driver->InitDIOModules(id);
    EXPECT_TRUE(log->Has("DIO module added on CAN ID 192."));
    EXPECT_TRUE(log->Has("ERROR: Cannot add more than 3 DIO modules!"));

    EXPECT_EQ(driver->toolJointCount, 1);
    EXPECT_EQ(driver->externalJointCount, 3);
    EXPECT_EQ(driver->dioModuleCount, 3);
    EXPECT_EQ(driver->moduleCount, 13);
    EXPECT_EQ(driver->jointData[6].canId, 0x90);   // tool right after the robot joints
    EXPECT_EQ(driver->jointData[7].canId, 0xA0);   // then the external axes
    EXPECT_EQ(driver->jointData[7].jointMode, Hardware::JointModeTorque);
    EXPECT_EQ(driver->jointData[7].maxVelocity, 300.0f);
    EXPECT_EQ(driver->jointData[8].jointMode, Hardware::JointModePosition);  // unknown mode
    EXPECT_EQ(driver->jointData[10].canId, 0xC0);  // DIO modules last
    EXPECT_EQ(driver->jointData[10].kind, 1u);
    EXPECT_FALSE(driver->IsAxisModule(10));
    EXPECT_TRUE(driver->IsAxisModule(7));

    unsigned char a = 0, b = 0, c = 0;
    driver->GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(a, 0xC0);
    EXPECT_EQ(c, 0xC8);
    driver->SetDIOModuleIDs(1, 2, 0);
    EXPECT_TRUE(log->Has("Setting DIO module IDs: 1 2 0 (will be applied after restart)"));
    driver->GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(driver->jointData[11].canId, 0xC4);  // the records change at the next start

    // Actual values go back to the slots of their kind.
    driver->jointData[6].actualPosition = 42.0f;
    driver->jointData[7].actualPosition = 7.0f;
    driver->GetJoints(&state);
    EXPECT_EQ(state.toolHWValue[0], 42.0f);
    EXPECT_EQ(state.jointActual[6], 7.0f);
}

TEST_F(VQTCANV2Config, PlatformWheels) {
    MakeDriver(3, false);
    driver->InitPlatform(4);
    EXPECT_EQ(driver->moduleCount, 10);
    EXPECT_EQ(driver->jointData[6].canId, 0xA0);
    EXPECT_EQ(driver->jointData[7].gearScale, -500.0f);
    EXPECT_EQ(driver->jointData[9].canId, 0xD0);
    EXPECT_TRUE(log->Has("   Platform Joint 3: CAN ID 208 - GearScale 500.000 - GearZero 0.000 - "
                              "TempScale 0.312 - "
                              "TempZero -25.600"));
}

TEST_F(VQTCANV2Config, FactoryBuildsTheDriverForBothVersions) {
    for (const auto& [name, version] : {std::pair<const char*, int>{"VQTCANV2", 2}, {"VQTCANV3", 3}}) {
        auto built = Hardware::HardwareProtocolFactory::Create(name, nullptr);
        ASSERT_NE(built, nullptr) << name;
        EXPECT_NE(dynamic_cast<Hardware::HardwareProtocolVQTCANV2*>(built.get()), nullptr);
        EXPECT_EQ(built->protocolVersion, version);
        EXPECT_EQ(built->robotJointCount, 6);
        EXPECT_TRUE(built->referencedAll);
    }
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
}
