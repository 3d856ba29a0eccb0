// The CANopen driver's part of the robot file, its device additions and the
// parameter file.

#include "hardware/CANopenDriverTestSupport.h"
#include "hardware/CANopenTestSupport.h"

#include "common/LogSingleton.h"
#include "hardware/ExternalAxis.h"
#include "hardware/HardwareProtocolFactory.h"

using CANopenTest::DriverFixture;

namespace {

class CANopenConfig : public DriverFixture {
protected:
    std::string Reason() const { return LogSingleton::instance()->get_seriousFailReason(); }
    void ResetFailure() {
        LogSingleton::instance()->set_opMode(opModeNormal);
        LogSingleton::instance()->set_seriousFailReason("na");
        log->Clear();
    }
};

TEST_F(CANopenConfig, FactoryNamesGiveTheDriverProfile) {
    const struct {
        const char* name;
        Hardware::CANopenProfile profile;
    } cases[] = {{"CANopen_CSP", Hardware::CANopenProfileCSP},
                 {"CANopen_IPO", Hardware::CANopenProfileIPO},
                 {"CANopen", Hardware::CANopenProfileIPO},
                 {"CANopen_Position", Hardware::CANopenProfilePosition}};
    for (const auto& c : cases) {
        auto built = Hardware::HardwareProtocolFactory::Create(c.name, nullptr);
        auto* canopen = dynamic_cast<Hardware::HardwareProtocolCANopen*>(built.get());
        ASSERT_NE(canopen, nullptr) << c.name;
        EXPECT_EQ(canopen->profile, c.profile) << c.name;
    }
    EXPECT_EQ(Hardware::ctxHWPCANopen, nullptr) << "the destroyed driver is no longer live";
}

TEST_F(CANopenConfig, ReadsItsPartOfTheRobotFile) {
    EditBus([](tinyxml2::XMLElement* bus) {
        bus->SetAttribute("GapMS", 0.5);
        bus->SetAttribute("AllowAlienMessages", true);
        bus->DeleteAttribute("SyncGapMS");
        bus->DeleteAttribute("UsePDOs");
        bus->FirstChildElement("Joint2")->DeleteAttribute("GearPlay");
    });
    MakeDriver();
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);
    EXPECT_EQ(driver->robotJointCount, 6);
    EXPECT_EQ(driver->moduleCount, 6);
    EXPECT_EQ(driver->cycleTimeMs, 10);
    EXPECT_FLOAT_EQ(driver->gapMs, 0.5f);
    EXPECT_TRUE(driver->usePDOs);
    EXPECT_TRUE(driver->allowAlienMessages);
    EXPECT_TRUE(driver->referencingMandatory);
    EXPECT_EQ(driver->jointData[5].canId, 6);
    EXPECT_FLOAT_EQ(driver->jointData[1].gearScale, -190.0f);
    EXPECT_EQ(driver->nodeMap[4], 3);
    EXPECT_EQ(driver->StateText(0), "na");
    EXPECT_EQ(driver->jointData[0].errorCode, 0x100u);
    EXPECT_TRUE(log->Has("ProtocolCANopen: cycletime: 10 ms"));
    EXPECT_TRUE(log->Has("ProtocolCANopen: attribute SyncGapMS not found in line BusConfiguration of robot ini file! "
                         "Using default value 0 ms."));
    EXPECT_TRUE(log->Has("ProtocolCANopen: attribute UsePDOs not found in line BusConfiguration of robot ini file!"));
    EXPECT_TRUE(log->Has("ProtocolCANopen: WARNING: Alien CAN message check is disabled!"));
    EXPECT_TRUE(log->Has("Use parameter 'AllowAlienMessages' in line 'BusConfiguration' only for debugging!"));
    EXPECT_TRUE(log->HasError("ProtocolCANopen: joint GearPlay not found!"));
    EXPECT_TRUE(log->Has("Protocol ProtocolCANopen: Referencing mandatory: true"));
}

TEST_F(CANopenConfig, EachConfigurationErrorGivesItsReason) {
    using Edit = std::function<void(tinyxml2::XMLElement*)>;
    const auto joint = [](tinyxml2::XMLElement* bus, int i) {
        return bus->FirstChildElement(("Joint" + std::to_string(i)).c_str());
    };
    struct Case {
        const char* name;
        Edit edit;
        std::string line;
        std::string reason;
    };
    const Case cases[] = {
        {"no CycleTimeMS", [](tinyxml2::XMLElement* b) { b->DeleteAttribute("CycleTimeMS"); },
         "ProtocolCANopen: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!",
         "36 Robot Ini file not complete"},
        {"CycleTimeMS 0", [](tinyxml2::XMLElement* b) { b->SetAttribute("CycleTimeMS", 0); },
         "ProtocolCANopen: attribute CycleTimeMS not found in line BusConfiguration of robot ini file!",
         "36 Robot Ini file not complete"},
        {"no GapMS", [](tinyxml2::XMLElement* b) { b->DeleteAttribute("GapMS"); },
         "ProtocolCANopen: attribute GapMS not found in line BusConfiguration of robot ini file!",
         "65 Protocol Ini file not complete"},
        {"GapMS negative", [](tinyxml2::XMLElement* b) { b->SetAttribute("GapMS", -1.0); },
         "ProtocolCANopen: attribute GapMS not found in line BusConfiguration of robot ini file!",
         "65 Protocol Ini file not complete"},
        {"no Joints", [](tinyxml2::XMLElement* b) { b->DeleteChild(b->FirstChildElement("Joints")); },
         "ProtocolCANopen: line Joints not found in robot ini file!", "66 Protocol Ini file not complete"},
        {"seven joints", [](tinyxml2::XMLElement* b) { b->FirstChildElement("Joints")->SetAttribute("NrOfJoints", 7); },
         "ProtocolCANopen: attribute NrOfJoints not found in line Joints of project file!",
         "67 Protocol Ini file not complete"},
        {"Joint1 missing", [&](tinyxml2::XMLElement* b) {
             b->FirstChildElement("Joints")->SetAttribute("NrOfJoints", 2);
             b->DeleteChild(joint(b, 1));
         },
         "ProtocolCANopen: joint definition not found!", "68 Protocol Ini file not complete"},
        {"ID missing", [&](tinyxml2::XMLElement* b) { joint(b, 2)->DeleteAttribute("ID"); },
         "ProtocolCANopen: joint ID not found!", "69 Protocol Ini file not complete"},
        {"ID 0", [&](tinyxml2::XMLElement* b) { joint(b, 2)->SetAttribute("ID", 0); },
         "ProtocolCANopen: joint ID 0 out of range (1..127)!", "69 Protocol Ini file invalid"},
        {"ID 128", [&](tinyxml2::XMLElement* b) { joint(b, 2)->SetAttribute("ID", 128); },
         "ProtocolCANopen: joint ID 128 out of range (1..127)!", "69 Protocol Ini file invalid"},
        {"GearScale missing", [&](tinyxml2::XMLElement* b) { joint(b, 0)->DeleteAttribute("GearScale"); },
         "ProtocolCANopen: joint GearScale not found!", "70 Protocol Ini file not complete"},
        {"GearScale 0", [&](tinyxml2::XMLElement* b) { joint(b, 0)->SetAttribute("GearScale", 0.0); },
         "ProtocolCANopen: joint GearScale not found!", "70 Protocol Ini file not complete"},
        {"GearScale inf", [&](tinyxml2::XMLElement* b) { joint(b, 0)->SetAttribute("GearScale", "inf"); },
         "ProtocolCANopen: joint GearScale not found!", "70 Protocol Ini file not complete"},
        {"GearZero missing", [&](tinyxml2::XMLElement* b) { joint(b, 5)->DeleteAttribute("GearZero"); },
         "ProtocolCANopen: joint GearZero not found!", "71 Protocol Ini file not complete"},
        {"no Referencing", [](tinyxml2::XMLElement* b) {
             b->Parent()->DeleteChild(b->Parent()->FirstChildElement("Referencing"));
         },
         "ProtocolCANopen: line Referencing not found in project file!", "72 Protocol Ini file not complete"},
    };
    for (const Case& c : cases) {
        ResetFailure();
        EditBus(c.edit);
        MakeDriver();
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail) << c.name;
        EXPECT_EQ(Reason(), c.reason) << c.name;
        EXPECT_TRUE(log->HasError(c.line)) << c.name;
    }

    const struct {
        const char* content;
        std::string line;
        const char* reason;
    } files[] = {
        {nullptr, "File " + RobotFilePath() + " not available! Aborting read()", "61 Protocol Ini file not found"},
        {"<Robot><Bus", "ProtocolCANopen: could not read ini correctly: " + RobotFilePath(), "62 Protocol Ini file not valid"},
        {"<Robo/>", "ProtocolCANopen: line Robot not found in robot ini file!", "33 Robot Ini file not complete"},
        {"<Robot/>", "ProtocolCANopen: line BusConfiguration not found in robot ini file!",
         "34 Robot Ini file not complete"},
    };
    for (const auto& f : files) {
        ResetFailure();
        std::remove(RobotFilePath().c_str());
        if (f.content != nullptr) TestSupport::WriteFile(RobotFilePath(), f.content);
        MakeDriver();
        EXPECT_EQ(Reason(), f.reason);
        EXPECT_TRUE(log->HasError(f.line)) << f.line;
    }
}

TEST_F(CANopenConfig, DeviceAdditions) {
    MakeDriver();
    for (int id : {20, 21, 22, 23}) driver->InitDIOModules(id);
    EXPECT_TRUE(log->Has("CANopen: added DIO module on ID 22"));
    EXPECT_TRUE(log->Has("CANopen: cannot add more than 3 DIO modules!"));
    EXPECT_EQ(driver->dioModuleCount, 3);
    EXPECT_EQ(driver->moduleCount, 9);
    unsigned char a = 0, b = 0, c = 0;
    driver->GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({20, 21, 22}));

    driver->SetDIOModuleIDs(30, 200, 31);
    EXPECT_TRUE(log->Has("Setting DIO module IDs: 30 200 31"));
    EXPECT_TRUE(log->HasError("CANopen: CAN ID for DIO module is out of range (1..127)"));
    driver->GetDIOModuleIDs(a, b, c);
    EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({30, 0, 0}));
    EXPECT_EQ(driver->dioModuleCount, 1);
    EXPECT_EQ(driver->nodeMap[20], -1);
    EXPECT_EQ(driver->nodeMap[30], 6);
    driver->SetDIOModuleIDs(0, 5, 6);
    EXPECT_EQ(driver->dioModuleCount, 0);
    EXPECT_EQ(driver->moduleCount, 6);

    MakeDriver();
    driver->InitDIOModules(0);
    EXPECT_TRUE(log->Has("CANopen: CAN ID 0 for DIO module is out of range (1..127)"));
    ExternalAxis axis(1, "rail", Hardware::JointModeTorque);
    axis.gearScale = 2.0;
    for (int id : {10, 11, 12, 13}) {
        axis.canId = id;
        driver->InitExternalJoint(axis);
    }
    EXPECT_TRUE(log->Has("Cannot add more then 3 External Joints!"));
    EXPECT_EQ(driver->externalJointCount, 3);
    EXPECT_EQ(driver->jointData[8].canId, 12);
    EXPECT_EQ(driver->jointData[8].jointMode, Hardware::JointModeTorque);
    axis.canId = 128;
    MakeDriver();
    driver->InitExternalJoint(axis);
    EXPECT_TRUE(log->Has("CANopen: CAN ID 128 for External Joint is out of range (1..127)"));
    EXPECT_EQ(driver->externalJointCount, 0);
}

// The parameter file: sent, logged, kept, and read back from the drives in every case.
class CANopenParameterFile : public DriverFixture {
protected:
    void SetUp() override {
        DriverFixture::SetUp();
        EditBus([](tinyxml2::XMLElement* bus) { bus->FirstChildElement("Joints")->SetAttribute("NrOfJoints", 2); });
        // Drives that answer: the client sends a node's next request after the answer to the last.
        Simulate();
        MakeDriver();
        Peer();
        ASSERT_TRUE(driver->canInterface.Connect());
        Drain();
    }
    static bool IsRequest(const can_frame& f) { return f.can_id >= 0x601 && f.can_id <= 0x67F; }
    // The read-back requests of both drives in order.
    static std::vector<std::string> ReadBack(const std::vector<can_frame>& frames) {
        std::vector<std::string> out;
        for (const can_frame& f : frames)
            if (IsRequest(f) && f.data[0] == 0x40) out.push_back(CANopenTest::Text(f));
        return out;
    }
    // The frames until the last read-back request is out: the client sends each
    // after the answer to the one before, and a loaded machine can pause longer
    // than one quiet spell between them.
    std::vector<can_frame> DrainReadBack() {
        std::vector<can_frame> frames;
        const auto more = [&] {
            const auto got = Drain();
            frames.insert(frames.end(), got.begin(), got.end());
        };
        HardwareTest::RepeatUntil(more, [&] { return ReadBack(frames).size() >= ExpectedReadBack().size(); }, 10000);
        more();
        return frames;
    }
    static std::vector<std::string> ExpectedReadBack() {
        std::vector<std::string> out;
        for (int node : {1, 2}) {
            const std::string id = "60" + std::to_string(node) + "#40";
            for (const char* o : {"986000", "7C6000", "7D6001", "7D6002", "013700", "433201"})
                out.push_back(id + o + "00000000");
        }
        return out;
    }
};

TEST_F(CANopenParameterFile, ValidParametersAreSentKeptAndReadBack) {
    TestSupport::WriteFile(ParameterFilePath(), R"(<?xml version="1.0"?>
<CANopenParameter>
  <Parameter NodeID="1" Name="Homing method" AdressHex="6098" SubAdressHex="0" SizeInByte="1" ValueDec="17"/>
  <Parameter NodeID="2" Name="Home offset" AdressHex="607C" SubAdressHex="0" SizeInByte="4" ValueDec="-500"/>
  <Parameter NodeID="2" AdressHex="0x3701" SubAdressHex="00" SizeInByte="2" ValueDec="-1"/>
  <Parameter NodeID="9" Name="No record" AdressHex="2000" SubAdressHex="1" SizeInByte="2" ValueDec="5"/>
  <Parameter NodeID="1" Name="Three bytes" AdressHex="2000" SubAdressHex="1" SizeInByte="3" ValueDec="5"/>
  <Parameter NodeID="1" Name="No value" AdressHex="2000" SubAdressHex="1" SizeInByte="1"/>
  <Parameter NodeID="128" Name="Node" AdressHex="2000" SubAdressHex="1" SizeInByte="1" ValueDec="1"/>
  <Parameter NodeID="1" Name="Index" AdressHex="10000" SubAdressHex="1" SizeInByte="1" ValueDec="1"/>
  <Parameter NodeID="1" Name="Sub" AdressHex="2000" SubAdressHex="100" SizeInByte="1" ValueDec="1"/>
  <Parameter NodeID="1" Name="Text" AdressHex="zz" SubAdressHex="1" SizeInByte="1" ValueDec="1"/>
</CANopenParameter>
)");
    driver->InitCANopenParameterFile("KorvellaSix");
    EXPECT_TRUE(log->Has("CANopen parameter file: " + ParameterFilePath()));
    EXPECT_TRUE(log->Has("Parameter - ID: 1 Adr: 0x6098:0x00 Size: 1 Name: Homing method Value: 17"));
    EXPECT_TRUE(log->Has("Parameter - ID: 2 Adr: 0x3701:0x00 Size: 2 Name: n/a Value: -1"));
    EXPECT_TRUE(log->Has("INVALID Parameter - ID: 1 Adr: 0x2000:0x01 Size: 3 Name: Three bytes Value: 5"));
    EXPECT_TRUE(log->HasStartingWith("INVALID Parameter - ID: 1 Adr: 0x2000:0x01 Size: 1 Name: No value"));
    EXPECT_TRUE(log->Has("INVALID Parameter - ID: 128 Adr: 0x2000:0x01 Size: 1 Name: Node Value: 1"));
    EXPECT_TRUE(log->Has("INVALID Parameter - ID: 1 Adr: 0x10000:0x01 Size: 1 Name: Index Value: 1"));
    EXPECT_TRUE(log->Has("INVALID Parameter - ID: 1 Adr: 0x2000:0x100 Size: 1 Name: Sub Value: 1"));
    EXPECT_TRUE(log->Has("INVALID Parameter - ID: 1 Adr: 0xFFFFFFFF:0x01 Size: 1 Name: Text Value: 1"));
    EXPECT_EQ(driver->jointData[0].homingMethod, 17);
    EXPECT_EQ(driver->jointData[1].homeOffset, -500);
    EXPECT_EQ(driver->jointData[1].limitSwitchOption, -1);
    const auto frames = DrainReadBack();
    std::vector<std::string> downloads;
    for (const can_frame& f : frames)
        if (IsRequest(f) && f.data[0] != 0x40) downloads.push_back(CANopenTest::Text(f));
    EXPECT_EQ(downloads, (std::vector<std::string>{"601#2F98600011000000", "602#237C60000CFEFFFF",
                                                   "602#2B013700FFFF0000", "609#2B00200105000000"}));
    EXPECT_EQ(ReadBack(frames), ExpectedReadBack());
}

TEST_F(CANopenParameterFile, AbsentFileOrRootStillReadsBack) {
    driver->InitCANopenParameterFile("KorvellaSix");
    EXPECT_TRUE(log->HasError("File " + ParameterFilePath() + " not available! Aborting read()"));
    EXPECT_EQ(ReadBack(DrainReadBack()), ExpectedReadBack());

    TestSupport::WriteFile(ParameterFilePath(), "<Parameters/>");
    driver->InitCANopenParameterFile("KorvellaSix");
    EXPECT_TRUE(log->HasError("ProtocolCANopen: line CANopenParameter not found in parameter file!"));
    EXPECT_EQ(ReadBack(DrainReadBack()), ExpectedReadBack());
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeNormal);

    driver->InitCANopenParameterFile("");
    EXPECT_TRUE(log->Has("CANopen ERROR: Trying to load parameter file but robot type is empty!"));
}

TEST_F(CANopenParameterFile, UnreadableFileIsASeriousFailure) {
    TestSupport::WriteFile(ParameterFilePath(), "<CANopenParameter><Parameter");
    driver->InitCANopenParameterFile("KorvellaSix");
    EXPECT_TRUE(log->HasError("ProtocolCANopen: could not read parameter file correctly: " + ParameterFilePath()));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "80 Could not read CANopen parameters");
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail);
}

}  // namespace
