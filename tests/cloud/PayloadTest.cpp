// The telemetry texts and identity texts byte for byte from a driver and an
// interpreter with known contents.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "PkgProgram/IPO.h"
#include "cloud/CameraData.h"
#include "cloud/TestPictures.h"
#include "cloud/TelemetryData.h"
#include "common/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "support/LogCapture.h"
#include "vision/CameraManager.h"

namespace {

using Hardware::HardwareProtocol;

// A driver whose state the test sets.
class FakeDriver : public HardwareProtocol {
public:
    FakeDriver() : HardwareProtocol(nullptr) {}
    using HardwareProtocol::GetError;

    void GetError(std::string& text, std::string& code) override {
        text = status;
        code = shortCode;
    }
    void GetError(std::string* errors) override {
        for (int i = 0; i < MaxModules; ++i) errors[i] = moduleErrors[i];
    }
    void GetTempValues(float* values) override {
        if (failTemperatures) throw std::runtime_error("bus gone");
        for (int i = 0; i < temperatureCount; ++i) values[i] = temperatures[i];
    }

    std::string status;
    std::string shortCode;
    std::string moduleErrors[MaxModules];
    float temperatures[MaxModules] = {};
    int temperatureCount = 0;
    bool failTemperatures = false;
};

void Load(IPO& ipo, const std::vector<std::pair<std::string, int>>& programs) {
    for (const auto& p : programs) {
        RobotProgram program(p.first);
        program.commands.resize(static_cast<std::size_t>(p.second));
        ipo.programs.push_back(program);
    }
}

TEST(TelemetryDataTest, TextsFromDriverAndInterpreter) {
    FakeDriver driver;
    driver.status = "Status: MNE";
    driver.shortCode = "_MNE";
    driver.robotJointCount = 6;
    driver.dioModuleCount = 1;
    driver.UpdateModuleCount();
    const char* errors[] = {"OK", "", "na", "OC", "LAG", "OK", "dio-not-shown"};
    for (int i = 0; i < 7; ++i) driver.moduleErrors[i] = errors[i];
    const float temps[] = {23.5f, 0.0f, 1234.0f, 41.25f, -5.0f, 0.000125f};
    for (int i = 0; i < 6; ++i) driver.temperatures[i] = temps[i];
    driver.temperatureCount = 6;

    IPO ipo(IPO::IpoTypeMain);
    Load(ipo, {{"Data/Programs/weld.xml", 12}, {"Data/Programs/sub/grip.xml", 4}, {"place.xml", 7}});
    ipo.loadedProgramName = "Data/Programs/weld.xml";
    ipo.activeProgram = 1;
    ipo.currentCommand = 2;

    Cloud::TelemetryData data;
    data.CollectData(&driver, ipo);
    EXPECT_EQ(data.lastMessage, "Motors not enabled");
    EXPECT_EQ(data.errorString, "_MNE");
    EXPECT_EQ(data.errorCodes, "OK-n/a-n/a-OC-LAG-OK");
    EXPECT_EQ(data.temperaturesPCB, "23.5 0 1.23e+03 41.2 -5 0.000125 0 0 0 0 0 0 0 0 0 0");
    EXPECT_EQ(data.programRunning, "weld.xml");
    EXPECT_EQ(data.currentCommand, "Cmd 3 of 4 in Prog 1");
    EXPECT_EQ(data.subPrograms, "Data/Programs/sub/grip.xml;place.xml");
    const LogSingleton* log = LogSingleton::instance();
    EXPECT_EQ(data.upTimeComplete, std::to_string(log->GetSystemVar(sysVarUpTimeComplete)));
    EXPECT_EQ(data.programStarts, std::to_string(log->GetSystemVar(sysVarProgramStarts)));
}

TEST(TelemetryDataTest, NothingLoaded) {
    FakeDriver driver;  // no modules at all
    IPO ipo(IPO::IpoTypeMain);
    ipo.activeProgram = -1;
    ipo.currentCommand = -1;
    Cloud::TelemetryData data;
    data.CollectData(&driver, ipo);
    EXPECT_EQ(data.currentCommand, "Cmd 0 of 0 in Prog -1");
    EXPECT_EQ(data.subPrograms, "");
    EXPECT_EQ(data.programRunning, "");
    EXPECT_EQ(data.errorCodes, "");
    EXPECT_EQ(data.temperaturesPCB, "0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0");
}

TEST(TelemetryDataTest, ExceptionKeepsWhatWasCollectedAndLogs) {
    FakeDriver driver;
    driver.status = "Ctrl Running";
    driver.failTemperatures = true;
    IPO ipo(IPO::IpoTypeMain);
    TestSupport::LogCapture log;
    Cloud::TelemetryData data;
    data.currentCommand = "before";
    data.CollectData(&driver, ipo);
    EXPECT_TRUE(log.Has("Cloud: Exception while collecting data: bus gone"));
    EXPECT_EQ(data.lastMessage, "Ctrl running");
    EXPECT_EQ(data.currentCommand, "before");
}

TEST(TelemetryDataTest, ComparesAndSwapsAllTwelveTexts) {
    Cloud::TelemetryData a;
    Cloud::TelemetryData b;
    EXPECT_TRUE(a == b);
    std::string Cloud::TelemetryData::*fields[] = {
        &Cloud::TelemetryData::lastMessage,    &Cloud::TelemetryData::errorString,
        &Cloud::TelemetryData::errorCodes,     &Cloud::TelemetryData::temperaturesPCB,
        &Cloud::TelemetryData::programRunning, &Cloud::TelemetryData::subPrograms,
        &Cloud::TelemetryData::currentCommand, &Cloud::TelemetryData::upTimeComplete,
        &Cloud::TelemetryData::upTimeLast,     &Cloud::TelemetryData::upTimeEnabled,
        &Cloud::TelemetryData::upTimeMotion,   &Cloud::TelemetryData::programStarts};
    for (auto field : fields) {
        Cloud::TelemetryData changed;
        changed.*field = "x";
        EXPECT_TRUE(changed != b);
        changed.swap(b);
        EXPECT_EQ(b.*field, "x");
        EXPECT_TRUE(changed == Cloud::TelemetryData());
        b = Cloud::TelemetryData();
    }
}

struct TextCase {
    const char* in;
    const char* out;
};

TEST(PayloadTextTest, ProgramRunningAndRobotType) {
    const TextCase programs[] = {{"Data/Programs/weld.xml", "weld.xml"}, {"na", "none"}, {"n/a", "none"},
                                 {"", ""},          {"C:\\progs\\a.xml", "a.xml"},  {"a/b\\c/d.xml", "d.xml"},
                                 {"plain.xml", "plain.xml"}};
    for (const TextCase& c : programs) EXPECT_EQ(Cloud::ProgramRunningText(c.in), c.out) << c.in;

    const TextCase types[] = {{"KorvellaSix", "KorvellaSix"}, {"VQT/Dravo4", "Dravo4"}, {"a\\b/c", "c"},
                              {"a/b\\c", "c"},              {"Robots/", "Robots/"},   {"", ""}};
    for (const TextCase& c : types) EXPECT_EQ(Cloud::RobotTypeText(c.in), c.out) << c.in;
}

TEST(PayloadTextTest, ModuleCount) {
    FakeDriver driver;
    driver.robotJointCount = 6;
    driver.toolJointCount = 1;
    driver.dioModuleCount = 1;
    EXPECT_EQ(Cloud::ModuleCountText(driver), "R=6 E=0 G=1 P=0 IO=1");
    driver.externalJointCount = 3;
    driver.platformJointCount = 2;
    EXPECT_EQ(Cloud::ModuleCountText(driver), "R=6 E=3 G=1 P=2 IO=1");
}

TEST(PayloadTextTest, ErrorCodesAtMostSixteenModules) {
    FakeDriver driver;
    driver.robotJointCount = 18;  // more than the records hold
    driver.UpdateModuleCount();
    for (auto& e : driver.moduleErrors) e = "E";
    IPO ipo(IPO::IpoTypeMain);
    Cloud::TelemetryData data;
    data.CollectData(&driver, ipo);
    EXPECT_EQ(data.errorCodes, "E-E-E-E-E-E-E-E-E-E-E-E-E-E-E-E");
}

TEST(CameraDataTest, NameChangesAreReportedOnce) {
    Cloud::CameraData slot;
    EXPECT_TRUE(slot.CollectData()) << "the start counts as a change";
    EXPECT_FALSE(slot.CollectData());
    slot.SetCameraName("envcam");
    slot.SetCameraName("envcam");
    EXPECT_EQ(slot.GetCameraName(), "envcam");
    EXPECT_TRUE(slot.CollectData());
    EXPECT_FALSE(slot.CollectData());
    EXPECT_FALSE(slot.HasImage());
    slot.SetCameraName("");
    EXPECT_TRUE(slot.CollectData());
    EXPECT_FALSE(slot.CollectData());
}

// The slot's picture state through a camera of the camera manager.
class CameraSlot : public ::testing::Test {
protected:
    CameraSlot() {
        camera = new CloudTest::TestCamera("slotcam");
        Camera::CameraManager::Instance()->Add(camera);
        slot.SetCameraName("SlotCam");  // names are compared without case
        slot.CollectData();
    }
    ~CameraSlot() override { Camera::CameraManager::Instance()->Remove("slotcam"); }

    Cloud::CameraData slot;
    CloudTest::TestCamera* camera;
};

TEST_F(CameraSlot, EncodesOnlyNewerPicturesAndReportsALostOne) {
    EXPECT_FALSE(slot.CollectData()) << "no picture yet";

    auto first = std::make_shared<CloudTest::StampedPicture>(1000, 40);
    camera->SetImage(first);
    EXPECT_TRUE(slot.CollectData());
    EXPECT_TRUE(slot.HasImage());
    EXPECT_EQ(slot.imageData, CloudTest::CloudBytes(*first));
    ASSERT_GE(slot.imageData.size(), 2u);
    EXPECT_EQ(slot.imageData[0], 0xFF);
    EXPECT_EQ(slot.imageData[1], 0xD8);
    EXPECT_FALSE(slot.CollectData()) << "the same picture again";

    // A new picture within the same second is not encoded again.
    camera->SetImage(std::make_shared<CloudTest::StampedPicture>(1000, 200));
    EXPECT_FALSE(slot.CollectData());
    EXPECT_EQ(slot.imageData, CloudTest::CloudBytes(*first));

    auto later = std::make_shared<CloudTest::StampedPicture>(1001, 200);
    camera->SetImage(later);
    EXPECT_TRUE(slot.CollectData());
    EXPECT_EQ(slot.imageData, CloudTest::CloudBytes(*later));

    camera->SetImage(nullptr);
    EXPECT_TRUE(slot.CollectData());
    EXPECT_FALSE(slot.HasImage());
    EXPECT_FALSE(slot.CollectData());
}

TEST_F(CameraSlot, RenamingKeepsTheLastPictureTime) {
    camera->SetImage(std::make_shared<CloudTest::StampedPicture>(2000, 10));
    ASSERT_TRUE(slot.CollectData());
    slot.SetCameraName("unknown camera");
    EXPECT_TRUE(slot.CollectData());
    EXPECT_FALSE(slot.HasImage());
    EXPECT_FALSE(slot.CollectData()) << "an unknown camera reports only the name change";

    // Back on the first camera: its picture is no newer than the one encoded.
    slot.SetCameraName("slotcam");
    EXPECT_TRUE(slot.CollectData());
    EXPECT_FALSE(slot.HasImage());
    EXPECT_FALSE(slot.CollectData());
}

TEST_F(CameraSlot, FailedEncodingIsLoggedAndLeavesTheSlot) {
    TestSupport::LogCapture log;
    camera->SetImage(std::make_shared<CloudTest::BrokenPicture>(3000));
    EXPECT_FALSE(slot.CollectData());
    EXPECT_TRUE(log.Has("Cloud: Exception while converting camera image: no encoder"));
    EXPECT_FALSE(slot.HasImage());
    // Tried again with the next pass: it is still the newest picture.
    EXPECT_FALSE(slot.CollectData());
    EXPECT_EQ(log.Count("Cloud: Exception while converting camera image: no encoder"), 2);
}

}  // namespace
