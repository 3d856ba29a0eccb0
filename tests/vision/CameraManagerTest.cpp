#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <string>
#include <vector>

#include "controller/ProjectManager.h"
#include "support/LogCapture.h"
#include "vision/CameraManager.h"
#include "vision/CameraSimulated.h"
#include "vision/CameraUSB.h"
#include "vision/FakeCameras.h"

using Camera::CameraManager;
using VisionTest::LetterImage;
using VisionTest::TestCamera;
using VisionTest::WaitFor;

namespace {

// Its updater never gets to the queue: requests stay pending.
std::unique_ptr<CameraManager> Frozen(VisionTest::FakeClock* clock = nullptr) {
    return std::make_unique<CameraManager>(std::chrono::hours(1),
                                           clock ? clock->Function() : Camera::MonotonicClock(Camera::MonotonicNow));
}

std::unique_ptr<CameraManager> Live(VisionTest::FakeClock* clock = nullptr) {
    return std::make_unique<CameraManager>(std::chrono::milliseconds(10),
                                           clock ? clock->Function() : Camera::MonotonicClock(Camera::MonotonicNow));
}

std::vector<std::string> Keys(const CameraManager::CameraMap& map) {
    std::vector<std::string> keys;
    for (const auto& entry : map) keys.push_back(entry.first);
    return keys;
}

void ReadCameras(CameraManager& manager, const std::string& xml) {
    tinyxml2::XMLDocument document;
    ASSERT_EQ(document.Parse(xml.c_str()), tinyxml2::XML_SUCCESS);
    manager.Read(document.RootElement());
}

// A project manager that counts the rewrite requests it is given (each reads its clock once).
struct CountingProject {
    CountingProject() {
        project.SetClock([this] {
            ++requests;
            return std::time_t(1000);
        });
    }
    std::atomic<int> requests{0};
    ProjectManager project;
};

std::string WriteCameras(CameraManager& manager) {
    tinyxml2::XMLDocument document;
    document.InsertEndChild(manager.Write(document));
    tinyxml2::XMLPrinter printer(nullptr, true);
    document.Print(&printer);
    return printer.CStr();
}

}  // namespace

TEST(CameraManager, QueuedCameraIsVisibleToGetAtOnceAndToCountAfterTheUpdater) {
    auto frozen = Frozen();
    auto* camera = new TestCamera("Cam1");
    frozen->Add(camera);
    EXPECT_EQ(frozen->Get("cam1").get(), camera);
    EXPECT_EQ(frozen->Get("CAM1").get(), camera);
    EXPECT_EQ(frozen->Count(), 0u);
    EXPECT_EQ(camera->starts, 0);
    EXPECT_TRUE(frozen->GetHXPResultStrings().empty());

    auto live = Live();
    auto* started = new TestCamera("Cam1");
    live->Add(started);
    EXPECT_TRUE(WaitFor([&] { return live->Count() == 1 && started->starts == 1; }));
    EXPECT_EQ(live->Get("cam1").get(), started);
}

TEST(CameraManager, ClearThenAddLeavesOnlyTheNewCamera) {
    auto manager = Live();
    auto* old = new TestCamera("old");
    manager->Add(old);
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 1; }));
    const auto held = manager->Get("old");  // keeps it to look at once it is cleared
    manager->Clear();
    auto* fresh = new TestCamera("a");
    manager->Add(fresh);
    EXPECT_EQ(manager->Get("a").get(), fresh);
    EXPECT_EQ(manager->Get("old"), nullptr);
    EXPECT_EQ(Keys(manager->GetCamerasAfterChanges()), std::vector<std::string>{"a"});
    EXPECT_TRUE(WaitFor([&] { return old->stops == 1 && fresh->starts == 1 && manager->Count() == 1; }));
}

TEST(CameraManager, RemoveComparesNamesWithoutCase) {
    TestSupport::LogCapture log;
    auto manager = Live();
    std::atomic<bool> destroyed{false};
    auto* camera = new TestCamera("cam");
    camera->destroyed = &destroyed;
    manager->Add(camera);
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 1; }));
    manager->Remove("CAM");
    EXPECT_EQ(manager->Get("cam"), nullptr);
    EXPECT_TRUE(WaitFor([&] { return destroyed.load(); }));
    EXPECT_EQ(manager->Count(), 0u);
    EXPECT_TRUE(log.HasNote("Removing camera CAM"));
    EXPECT_TRUE(log.HasNote("Camera CAM removed"));
}

// A camera added under a name in use replaces the old one, which is stopped
// before the new one starts and then released.
TEST(CameraManager, AddUnderAUsedNameStopsAndReleasesTheOldCamera) {
    auto manager = Live();
    std::atomic<bool> oldGone{false};
    auto* old = new TestCamera("Same");
    old->destroyed = &oldGone;
    manager->Add(old);
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 1 && old->starts == 1; }));
    auto* replacement = new TestCamera("SAME");
    manager->Add(replacement);
    EXPECT_EQ(manager->Get("same").get(), replacement);
    EXPECT_TRUE(WaitFor([&] { return oldGone.load() && replacement->starts == 1; }));
    EXPECT_EQ(manager->Count(), 1u);
}

// Simulated cameras replaced or removed while their picture threads run.
TEST(CameraManager, SimulatedCamerasRemovedOrReplacedWhileRunning) {
    auto manager = Live();
    for (int i = 0; i < 3; ++i) {
        ReadCameras(*manager, "<Cameras><HwCamera Type=\"Sim\" Name=\"s\" ImageEnabled=\"1\"/></Cameras>");
        auto current = manager->Get("s");
        ASSERT_TRUE(WaitFor([&] { return current->GetImage() != nullptr; }));
    }
    auto* replacement = new Camera::CameraSimulated("S");
    manager->Add(replacement);
    manager->Remove("s");
    EXPECT_TRUE(WaitFor([&] { return manager->Count() == 0 && manager->Get("s") == nullptr; }));
}

TEST(CameraManager, ReadTakesEveryElementFromTheFirstHwCameraOn) {
    TestSupport::LogCapture log;
    auto manager = Frozen();
    ReadCameras(*manager,
                "<Cameras>"
                "<Other Type=\"Sim\" Name=\"before\"/>"
                "<HwCamera Type=\"Sim\" Name=\"simB\" X=\"1\"/>"
                "<Thing Type=\"Sim\" Name=\"simA\"/>"
                "<HwCamera Name=\"noType\"/>"
                "<HwCamera Type=\"IFMO2D\" Name=\"smart\"/>"
                "<HwCamera Type=\"SolutionBinPicking\" Name=\"bin\"/>"
                "<HwCamera Type=\"sim\" Name=\"lower\"/>"
                "<HwCamera Type=\"USB\" Name=\"usb1\" Active=\"false\" DeviceNum=\"3\"/>"
                "</Cameras>");
    EXPECT_EQ(Keys(manager->GetCamerasAfterChanges()),
              (std::vector<std::string>{"bin", "sima", "simb", "smart", "usb1"}));
    EXPECT_EQ(log.Count("Camera manager: Could not read camera, invalid tag"), 1);
    EXPECT_TRUE(log.HasError("Camera manager: Could not read camera 'lower': unknown type 'sim'"));
    EXPECT_EQ(log.CountContaining("Camera manager: Could not read camera"), 2);
    EXPECT_EQ(manager->Get("Smart")->GetTypeId(), "IFMO2D");
    // Written bin-picking cameras come back at the next start.
    EXPECT_EQ(manager->Get("BIN")->GetTypeId(), "SolutionBinPicking");
    auto usb = std::dynamic_pointer_cast<Camera::CameraUSB>(manager->Get("USB1"));
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->GetDevicePath(), "/dev/video3");

    // A second read replaces the whole set.
    ReadCameras(*manager, "<Cameras><HwCamera Type=\"Sim\" Name=\"only\"/></Cameras>");
    EXPECT_EQ(Keys(manager->GetCamerasAfterChanges()), std::vector<std::string>{"only"});
}

TEST(CameraManager, WritesCamerasInKeyOrderAndReadsThemBack) {
    auto manager = Frozen();
    ReadCameras(*manager,
                "<Cameras>"
                "<HwCamera Type=\"Sim\" Name=\"zeta\" X=\"1\" A=\"270\" ImageEnabled=\"1\"/>"
                "<HwCamera Type=\"USB\" Name=\"Alpha\" Active=\"True\" ImageEnabled=\"false\" Description=\"door\" "
                "DeviceNum=\"2\"/>"
                "<HwCamera Type=\"Sim\" Name=\"mid\"/>"
                "</Cameras>");
    const std::string written = WriteCameras(*manager);
    EXPECT_EQ(written,
              "<Cameras>"
              "<HwCamera Type=\"USB\" Name=\"Alpha\" Active=\"True\" ImageEnabled=\"False\" Description=\"door\" "
              "DeviceNum=\"2\"/>"
              "<HwCamera Type=\"Sim\" Name=\"mid\" X=\"0\" Y=\"0\" Z=\"0\" A=\"0\" B=\"0\" C=\"0\" "
              "ImageEnabled=\"False\"/>"
              "<HwCamera Type=\"Sim\" Name=\"zeta\" X=\"1\" Y=\"0\" Z=\"0\" A=\"270\" B=\"0\" C=\"0\" "
              "ImageEnabled=\"True\"/>"
              "</Cameras>");
    auto again = Frozen();
    ReadCameras(*again, written);
    EXPECT_EQ(WriteCameras(*again), written);

    auto empty = Frozen();
    EXPECT_EQ(WriteCameras(*empty), "<Cameras/>");
}

TEST(CameraManager, ResultLinesWhenNewOrAfterFiveSeconds) {
    VisionTest::FakeClock clock;
    auto manager = Live(&clock);
    auto* camera = new TestCamera("c1");
    camera->hasTarget = true;
    camera->position = DataTypes::Vector3(100.0f, 0.5f, 1234567.0f);
    camera->orientation = DataTypes::Vector3(0.0f, -90.0f, 0.25f);
    camera->modelClass = 3;
    manager->Add(camera);
    auto* blind = new TestCamera("c2", "USB");
    manager->Add(blind);
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 2; }));

    EXPECT_EQ(manager->GetHXPResultStrings(),
              (std::vector<std::string>{"CAMINFO CameraResult Test c1 CONNECTED 100 0.5 1.23457e+06 0 -90 0.25 3",
                                        "CAMINFO CameraResult USB c2 CONNECTED 0 0 0 0 0 0 -1"}));
    EXPECT_TRUE(manager->GetHXPResultStrings().empty());
    camera->MarkNewResult();
    EXPECT_EQ(manager->GetHXPResultStrings().size(), 1u);
    clock.Advance(5000);
    EXPECT_EQ(manager->GetHXPResultStrings().size(), 0u);
    clock.Advance(1000);
    EXPECT_EQ(manager->GetHXPResultStrings().size(), 2u);
}

TEST(CameraManager, SimulatedCameraResultLineAndConsoleText) {
    VisionTest::FakeClock clock;
    auto manager = Live(&clock);
    ReadCameras(*manager, "<Cameras><HwCamera Type=\"Sim\" Name=\"sim1\" X=\"1\" Y=\"2\" Z=\"3\" A=\"270\"/></Cameras>");
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 1; }));
    EXPECT_EQ(manager->GetHXPResultStrings(),
              std::vector<std::string>{"CAMINFO CameraResult Sim sim1 CONNECTED 1 2 3 -90 0 0 1"});
    EXPECT_EQ(manager->GetCLIStateString(), "   Cam: CONNECTED Pos (1.0, 2.0, 3.0), Ori (-90.0, 0.0, 0.0) Mod 1");
    EXPECT_EQ(manager->GetHXPConfigStrings(), std::vector<std::string>{"CONFIG Camera 1 Sim sim1"});
}

TEST(CameraManager, NoCamerasGiveNoLines) {
    auto manager = Live();
    EXPECT_TRUE(manager->GetHXPResultStrings().empty());
    EXPECT_TRUE(manager->GetHXPImageStrings().empty());
    EXPECT_TRUE(manager->GetHXPConfigStrings().empty());
    EXPECT_EQ(manager->GetCLIStateString(), "");
}

TEST(CameraManager, ConfigLinesCountOnlyAppliedCameras) {
    auto manager = Frozen();
    manager->Add(new TestCamera("b"));
    manager->Add(new TestCamera("A"));
    EXPECT_EQ(manager->GetHXPConfigStrings(),
              (std::vector<std::string>{"CONFIG Camera 0 Test A", "CONFIG Camera 0 Test b"}));
}

TEST(CameraManager, PictureLinesAtMostOnceASecondAndNoImageWhenEmpty) {
    VisionTest::FakeClock clock;
    auto manager = Live(&clock);
    auto* camera = new TestCamera("c1");
    auto* empty = new TestCamera("c2");
    manager->Add(camera);
    manager->Add(empty);
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 2; }));
    EXPECT_TRUE(manager->GetHXPImageStrings().empty());

    camera->SetImage(std::make_shared<LetterImage>('a', 3));
    camera->CheckEncodeHXPImage();
    empty->SetImage(std::make_shared<LetterImage>('x', 0));
    empty->CheckEncodeHXPImage();
    EXPECT_EQ(manager->GetHXPImageStrings(),
              (std::vector<std::string>{"CAMINFO CameraImage c1 aaa", "CAMINFO CameraImage c2 NOIMAGE"}));
    EXPECT_FALSE(camera->HasNewEncodedImage());

    camera->SetImage(std::make_shared<LetterImage>('b', 2));
    camera->CheckEncodeHXPImage();
    EXPECT_TRUE(manager->GetHXPImageStrings().empty());
    clock.Advance(1000);
    EXPECT_TRUE(manager->GetHXPImageStrings().empty());
    clock.Advance(1);
    EXPECT_EQ(manager->GetHXPImageStrings(), std::vector<std::string>{"CAMINFO CameraImage c1 bb"});
    // Without a new encoding pass nothing is sent again.
    clock.Advance(5000);
    EXPECT_TRUE(manager->GetHXPImageStrings().empty());
}

// Uptimes beyond 24.8 days: a 32-bit millisecond clock would wrap negative
// and stop the picture lines.
TEST(CameraManager, PictureLinesKeepComingAfterLongUptimes) {
    VisionTest::FakeClock clock(int64_t{40} * 24 * 3600 * 1000);
    auto manager = Live(&clock);
    auto* camera = new TestCamera("c1");
    manager->Add(camera);
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 1; }));
    for (int i = 0; i < 3; ++i) {
        camera->SetImage(std::make_shared<LetterImage>('a', 1));
        camera->CheckEncodeHXPImage();
        EXPECT_EQ(manager->GetHXPImageStrings().size(), 1u) << i;
        clock.Advance(1001);
    }
}

TEST(CameraManager, BurstOfChangesAsksForOneRewrite) {
    CountingProject counting;
    const std::atomic<int>& requests = counting.requests;
    ProjectManager& project = counting.project;
    CameraManager manager(std::chrono::milliseconds(300));
    manager.SetProjectManager(&project);
    manager.Add(new TestCamera("a"));
    manager.Add(new TestCamera("b"));
    manager.Remove("a");
    manager.Remove("not-there");
    ASSERT_TRUE(WaitFor([&] { return requests > 0; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(requests, 1);
    EXPECT_EQ(manager.Count(), 1u);
    EXPECT_TRUE(project.IsRewritePending());

    // Without a project manager changes are applied and nobody is asked.
    manager.SetProjectManager(nullptr);
    manager.Remove("b");
    EXPECT_TRUE(WaitFor([&] { return manager.Count() == 0; }));
    EXPECT_EQ(requests, 1);
}

// Reading the project file applies its cameras but asks for no rewrite of it.
TEST(CameraManager, ReadingTheProjectFileAsksForNoRewrite) {
    CountingProject counting;
    const std::atomic<int>& requests = counting.requests;
    ProjectManager& project = counting.project;
    CameraManager manager(std::chrono::milliseconds(10));
    manager.SetProjectManager(&project);
    ReadCameras(manager, "<Cameras><HwCamera Type=\"Sim\" Name=\"s\"/></Cameras>");
    ASSERT_TRUE(WaitFor([&] { return manager.Count() == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(requests, 0);
    EXPECT_FALSE(project.IsRewritePending());
}
