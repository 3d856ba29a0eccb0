#include "hardware/HardwareProtocol.h"
#include "hardware/HardwareProtocolFactory.h"
#include "hardware/HardwareTestSupport.h"

#include "datatypes/RobotState.h"
#include "hardware/ExternalAxis.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace HardwareTest {
namespace {

using Hardware::HardwareProtocol;

// Records the calls that the base's helpers make.
class RecordingDriver : public HardwareProtocol {
public:
    RecordingDriver() : HardwareProtocol(nullptr) {}
    using HardwareProtocol::GetError;

    void ReferenceSingleJoint(int joint) override { calls.push_back("ReferenceSingleJoint " + std::to_string(joint)); }
    void ResetError() override { calls.push_back("ResetError"); }
    void GetError(std::string& status, std::string& shortCode) override {
        calls.push_back("GetError");
        status = " - motor not enabled";
        shortCode = "_MNE";
    }

    // Module i as a drive with a CAN id, or as a DIO module.
    void AddModule(uint8_t canId, uint32_t kind = 0) {
        jointData[moduleCount].canId = canId;
        jointData[moduleCount].kind = kind;
        ++moduleCount;
    }

    std::vector<std::string> calls;
};

// Restores the PLC interface record afterwards.
class PLCSequence {
public:
    explicit PLCSequence(std::initializer_list<int> joints) : m_Saved(LogSingleton::instance()->get_plcInterfaceNr()) {
        PLCInterfaceSettings& plc = LogSingleton::instance()->get_plcInterfaceNr();
        int32_t* steps[] = {&plc.JointToRef0, &plc.JointToRef1, &plc.JointToRef2, &plc.JointToRef3, &plc.JointToRef4,
                            &plc.JointToRef5, &plc.JointToRef6, &plc.JointToRef7, &plc.JointToRef8};
        int i = 0;
        for (int32_t* step : steps) *step = -1;
        for (int joint : joints) *steps[i++] = joint;
    }
    ~PLCSequence() { LogSingleton::instance()->get_plcInterfaceNr() = m_Saved; }

private:
    PLCInterfaceSettings m_Saved;
};

TEST(HardwareProtocol, BaseDoesNothingAndReportsNothing) {
    HardwareProtocol base(nullptr);
    EXPECT_FALSE(base.Connect());
    EXPECT_FALSE(base.GetConnectionStatus());
    EXPECT_FALSE(base.GetMotorEnabled());
    EXPECT_EQ(base.GetSupplyVoltage(), 0.0f);
    EXPECT_EQ(base.GetFrequency(), 0.0f);
    EXPECT_FALSE(base.GetZeroContact(0));
    EXPECT_FALSE(base.GetCalibFlag(0));
    EXPECT_FALSE(base.canInterface.IsConnected());
    EXPECT_EQ(base.GetErrorShort(), "");

    // Out-parameters are left as they were.
    int codes[16];
    std::fill(std::begin(codes), std::end(codes), 7);
    base.GetErrorHexCode(codes);
    base.GetCurrentValues(codes);
    EXPECT_EQ(codes[0], 7);
    unsigned char id1 = 1, id2 = 2, id3 = 3;
    base.GetDIOModuleIDs(id1, id2, id3);
    EXPECT_EQ(id1 + id2 + id3, 6);
    DataTypes::RobotState state;
    state.jointActual[0] = 5.0f;
    base.GetJoints(&state);
    base.SetJoints(state);
    EXPECT_EQ(state.jointActual[0], 5.0f);
    base.InitExternalJoint(ExternalAxis());
    EXPECT_EQ(base.moduleCount, 0);

    base.mainIoState[1] = 24500;
    EXPECT_EQ(base.GetSupplyVoltage(), 24500.0f);
}

TEST(HardwareProtocol, FreshRecordsAndCounts) {
    HardwareProtocol base(nullptr);
    EXPECT_EQ(base.kinematic, nullptr);
    EXPECT_EQ(base.protocolVersion, 0);
    EXPECT_TRUE(base.referencingMandatory);
    EXPECT_FALSE(base.referencedAll);
    for (const Hardware::jointData& record : base.jointData) {
        EXPECT_EQ(record.kind, 0u);
        EXPECT_EQ(record.jointMode, Hardware::JointModePosition);
        EXPECT_EQ(record.currentScale, 1.0f);
        EXPECT_EQ(record.gearScale, 0.0f);
        EXPECT_EQ(record.errorCode, 0u);
        EXPECT_EQ(record.errorText, "na");
        EXPECT_EQ(record.gearPlayDirection, 1);
        EXPECT_EQ(record.referencingState, 1u);
        EXPECT_EQ(record.nmtState, 255);
        EXPECT_EQ(record.limitSwitchOption, static_cast<int16_t>(65535));
        EXPECT_EQ(record.deviceName[0], '\0');
    }

    base.robotJointCount = 6;
    base.toolJointCount = 1;
    base.externalJointCount = 2;
    base.dioModuleCount = 1;
    base.platformJointCount = 4;
    base.UpdateModuleCount();
    EXPECT_EQ(base.moduleCount, 14);
}

TEST(HardwareProtocol, IsAxisModuleOnlyForDrivesOnTheBus) {
    RecordingDriver driver;
    driver.AddModule(0x10);
    driver.AddModule(0x00);     // no CAN id
    driver.AddModule(0x30, 1);  // DIO module
    driver.jointData[3].canId = 0x40;  // beyond moduleCount
    struct Case {
        int index;
        bool axis;
    };
    for (const Case& c : {Case{0, true}, Case{1, false}, Case{2, false}, Case{3, false}, Case{-1, false},
                          Case{16, false}, Case{1000, false}}) {
        EXPECT_EQ(driver.IsAxisModule(c.index), c.axis) << c.index;
    }
}

TEST(HardwareProtocol, IsReferencingLooksAtJointModulesOnly) {
    RecordingDriver driver;
    driver.AddModule(0x10);
    driver.AddModule(0x20);
    driver.AddModule(0x70, 1);
    driver.dioModuleCount = 1;
    EXPECT_FALSE(driver.IsReferencing());
    driver.jointData[2].referencing = 1;  // the DIO module's record
    EXPECT_FALSE(driver.IsReferencing());
    driver.jointData[1].referencing = 1;
    EXPECT_TRUE(driver.IsReferencing());
}

TEST(HardwareProtocol, ReferenceResetFollowsThePLCSequence) {
    LogCapture log;
    PLCSequence sequence({1, 2, 7, -1, 4, 0});
    RecordingDriver driver;
    driver.robotJointCount = 6;
    for (uint8_t id = 0x10; id <= 0x60; id += 0x10) driver.AddModule(id);  // joints 0..5
    driver.AddModule(0x70);  // external axis 1: record 6
    driver.AddModule(0x80);  // external axis 2: record 7
    driver.jointData[4].kind = 1;  // not a drive: skipped

    driver.ReferenceReset();
    EXPECT_EQ(driver.calls, (std::vector<std::string>{"ReferenceSingleJoint 1", "ReferenceSingleJoint 2",
                                                       "ReferenceSingleJoint 7", "ReferenceSingleJoint 0",
                                                       "ResetError"}));
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Resetting referencing state for all axes",
                                                      "Resetting ref status of joint 1", "Resetting ref status of joint 2",
                                                      "Resetting ref status of joint 7",
                                                      "Resetting ref status of joint 0"}));
}

TEST(HardwareProtocol, ReferenceResetPlacesExternalAxesAfterTheRobotJoints) {
    PLCSequence sequence({6, 8});
    RecordingDriver driver;
    driver.robotJointCount = 4;
    for (uint8_t id = 0x10; id <= 0x70; id += 0x10) driver.AddModule(id);  // 4 joints, 3 external axes
    driver.ReferenceReset();
    EXPECT_EQ(driver.calls,
              (std::vector<std::string>{"ReferenceSingleJoint 4", "ReferenceSingleJoint 6", "ResetError"}));
}

TEST(HardwareProtocol, ReferenceResetSkipsTheToolRecordForExternalAxes) {
    PLCSequence sequence({6, 7});
    RecordingDriver driver;
    driver.robotJointCount = 4;
    driver.toolJointCount = 1;
    for (uint8_t id = 0x10; id <= 0x70; id += 0x10) driver.AddModule(id);  // 4 joints, tool, 2 external axes
    driver.ReferenceReset();
    EXPECT_EQ(driver.calls,
              (std::vector<std::string>{"ReferenceSingleJoint 5", "ReferenceSingleJoint 6", "ResetError"}));
}

TEST(HardwareProtocol, ReferenceResetSkipsEntriesBeyondEveryRecord) {
    // The project file may hold any int; the largest must not wrap into a record.
    PLCSequence sequence({INT32_MAX, INT32_MIN, 2});
    RecordingDriver driver;
    driver.robotJointCount = 6;
    driver.toolJointCount = 1;
    for (uint8_t id = 0x10; id <= 0x80; id += 0x10) driver.AddModule(id);
    driver.ReferenceReset();
    EXPECT_EQ(driver.calls, (std::vector<std::string>{"ReferenceSingleJoint 2", "ResetError"}));
}

TEST(HardwareProtocol, ErrorShortCodeComesFromGetError) {
    RecordingDriver driver;
    EXPECT_EQ(driver.GetErrorShort(), "_MNE");
    EXPECT_EQ(driver.calls, std::vector<std::string>{"GetError"});
}

TEST(HardwareProtocol, TimeHelpers) {
    EXPECT_EQ(HardwareProtocol::ToMicroSec(timespec{3, 999999}), 3000999);
    EXPECT_EQ(HardwareProtocol::ToMicroSec(timespec{5000000000LL, 0}), 5000000000000000LL);
    // Nonsense durations return at once.
    HardwareProtocol::wait(std::nanf(""));
    HardwareProtocol::wait(-5.0f);
    HardwareProtocol::waitActive(std::nanf(""));
    HardwareProtocol::wait(-1);
}

TEST(HardwareProtocol, CANopenProfileNames) {
    const char* names[] = {"unknown", "Position", "IPO", "CSP", "Velocity", "CSV", "Homing", "Homing (set-to-zero)",
                           "unknown"};
    for (uint32_t profile = 0; profile <= 8; ++profile) {
        EXPECT_EQ(Hardware::CANopenProfileToString(profile), names[profile]);
    }
}

TEST(HardwareProtocolFactory, ProtocolNames) {
    using Selection = Hardware::HardwareProtocolFactory::Selection;
    struct Case {
        const char* name;
        Selection::Driver driver;
        int version;
        Hardware::CANopenProfile profile;
    };
    const Case cases[] = {
        {"VQTCAN", Selection::VQTCAN, 0, Hardware::CANopenProfileNone},
        {"VQTCANV2", Selection::VQTCANV2, 2, Hardware::CANopenProfileNone},
        {"VQTCANV3", Selection::VQTCANV2, 3, Hardware::CANopenProfileNone},
        {"CANopen_CSP", Selection::CANopen, 0, Hardware::CANopenProfileCSP},
        {"CANopen_IPO", Selection::CANopen, 0, Hardware::CANopenProfileIPO},
        {"CANopen", Selection::CANopen, 0, Hardware::CANopenProfileIPO},
        {"CANopen_Position", Selection::CANopen, 0, Hardware::CANopenProfilePosition},
        {"vqtcanv2", Selection::None, 0, Hardware::CANopenProfileNone},
        {"", Selection::None, 0, Hardware::CANopenProfileNone},
        {"EtherCAT", Selection::None, 0, Hardware::CANopenProfileNone},
    };
    for (const Case& c : cases) {
        const Selection s = Hardware::HardwareProtocolFactory::Select(c.name);
        EXPECT_EQ(s.driver, c.driver) << c.name;
        EXPECT_EQ(s.protocolVersion, c.version) << c.name;
        EXPECT_EQ(s.profile, c.profile) << c.name;
    }
}

TEST(HardwareProtocolFactory, UnknownProtocolIsASeriousFailure) {
    LogCapture log;
    LogSingleton* settings = LogSingleton::instance();
    settings->set_opMode(opModeNormal);
    auto driver = Hardware::HardwareProtocolFactory::Create("EtherCAT", nullptr);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(settings->get_seriousFailReason(), "11 protocol type unknown");
    EXPECT_EQ(settings->get_opMode(), opModeSeriousFail);
    EXPECT_TRUE(log.Has("RobotMaster: could not recognize protocol type EtherCAT"));
    settings->set_opMode(opModeNormal);
    settings->set_seriousFailReason("na");
}

}  // namespace
}  // namespace HardwareTest
