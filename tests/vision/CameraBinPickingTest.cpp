#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "SimulatedDevices.h"
#include "support/LogCapture.h"
#include "vision/CameraBinPicking.h"
#include "vision/FakeCameras.h"

using Camera::CameraBinPicking;
using VisionTest::FakeClock;
using VisionTest::SimulatedBinPicking;
using VisionTest::WaitFor;

namespace {

std::unique_ptr<CameraBinPicking> MakeCamera(const std::string& attributes, FakeClock* clock = nullptr) {
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Type=\"SolutionBinPicking\" Name=\"bin\" " + attributes + "/>").c_str());
    auto camera = clock ? std::make_unique<CameraBinPicking>("bin", clock->Function())
                        : std::make_unique<CameraBinPicking>("bin");
    EXPECT_EQ(camera->Read(*document.RootElement()), 0);
    return camera;
}

std::unique_ptr<CameraBinPicking> Parser(const std::string& attributes = "") {
    auto camera = MakeCamera(attributes);
    camera->SetConnectedForTest(true);
    return camera;
}

// In reads of at most 8192 bytes, as the connection thread takes them.
void Feed(CameraBinPicking& camera, const std::string& bytes, std::size_t piece = CameraBinPicking::kReceiveSize) {
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        camera.Collect(bytes.data() + at, std::min(piece, bytes.size() - at));
}

std::string Pass(const std::string& modelClass, const std::string& angle) {
    return "0000startPASS#0.9#1#" + modelClass + "#400#300#" + angle + "#0.5stop";
}

std::string PictureMessage(const std::string& modelClass, const std::string& size, const std::string& picture) {
    return "0000startPASS#0.9#1#" + modelClass + "#400#300#12#0.5#BMP#" + size + "#" + picture + "stop";
}

struct Target {
    bool ok = false;
    DataTypes::Vector3 position, orientation;
    int modelClass = 0;
};

Target Get(const CameraBinPicking& camera) {
    Target t;
    t.ok = camera.GetTargetPos(t.position, t.orientation, t.modelClass);
    return t;
}

}  // namespace

TEST(CameraBinPicking, AnswersBecomeResults) {
    struct Case {
        const char* what;
        std::string bytes;
        bool ok;
        float angle;
        int modelClass;
    };
    const Case cases[] = {
        {"pass", Pass("3", "190"), true, -170, 3},
        {"pass, angle below -180", Pass("2", "-200"), true, 160, 2},
        {"fail", "0000startFAIL#whateverstop", false, 0, -1},
        {"neither", "0000startHELLOstop", false, 0, -1},
        {"fail before a pass in one message", "0000startFAIL0000startPASS#1#1#1#1#1#1#1stop", false, 0, -1},
        {"bytes before the start", "noise" + Pass("4", "10"), true, 10, 4},
        {"stray zero before the start", "0" + Pass("4", "10"), true, 10, 4},
        {"fields missing keep 0", "0000startPASS#0.9#1stop", true, 0, 0},
        {"class out of int range", Pass("99999999999", "10"), false, 0, -1},
        {"angle not finite", Pass("1", "nan"), false, 0, -1},
        {"angle infinite", Pass("1", "inf"), false, 0, -1},
        {"angle beyond float", Pass("1", "1e300"), false, 0, -1},
    };
    for (const Case& c : cases) {
        auto camera = Parser();
        Feed(*camera, c.bytes);
        const Target t = Get(*camera);
        EXPECT_EQ(t.ok, c.ok) << c.what;
        EXPECT_FLOAT_EQ(t.orientation.x, c.angle) << c.what;
        EXPECT_EQ(t.modelClass, c.modelClass) << c.what;
        // The computer gives no position.
        EXPECT_FLOAT_EQ(t.position.x + t.position.y + t.position.z, 0.0f) << c.what;
        EXPECT_EQ(camera->CollectedBytes(), 0u) << c.what;
    }
}

TEST(CameraBinPicking, MessagesWaitForTheirEndAndOversizedOnesAreDropped) {
    auto camera = Parser();
    const std::string message = Pass("5", "20");
    Feed(*camera, message.substr(0, 20));
    EXPECT_FALSE(camera->HasValidResult());
    Feed(*camera, message.substr(20));
    EXPECT_EQ(Get(*camera).modelClass, 5);

    // Two messages in one read, the second cut: the first is taken, the second waits.
    Feed(*camera, Pass("6", "1") + Pass("7", "1").substr(0, 15));
    EXPECT_EQ(Get(*camera).modelClass, 6);
    Feed(*camera, Pass("7", "1").substr(15));
    EXPECT_EQ(Get(*camera).modelClass, 7);

    Feed(*camera, "0000startPASS#0.9#1#8#" + std::string(CameraBinPicking::kMessageCapacity, '1'));
    EXPECT_LT(camera->CollectedBytes(), CameraBinPicking::kMessageCapacity);
    Feed(*camera, "stop");
    EXPECT_EQ(Get(*camera).modelClass, 7);
    Feed(*camera, Pass("9", "1"));
    EXPECT_EQ(Get(*camera).modelClass, 9);
}

TEST(CameraBinPicking, PicturesInsideTheirMessage) {
    const std::string bmp = VisionTest::FullBmp();
    ASSERT_EQ(bmp.size(), CameraBinPicking::kPictureSize);
    {
        auto camera = Parser("ImageEnabled=\"True\"");
        Feed(*camera, PictureMessage("3", "308278", bmp));
        const auto image = camera->GetImage();
        ASSERT_TRUE(image);
        EXPECT_EQ(image->GetWidth(), 640u);
        EXPECT_EQ(Get(*camera).modelClass, 3);
        // The next answer without a picture is taken at once.
        Feed(*camera, Pass("4", "0"));
        EXPECT_EQ(Get(*camera).modelClass, 4);
        EXPECT_EQ(camera->CollectedBytes(), 0u);
    }
    {
        // Without pictures enabled the result still counts.
        auto camera = Parser();
        Feed(*camera, PictureMessage("3", "308278", bmp), 1000);
        EXPECT_FALSE(camera->GetImage());
        EXPECT_EQ(Get(*camera).modelClass, 3);
    }
    const std::pair<const char*, std::string> bad[] = {
        {"size beyond the message", PictureMessage("3", "400000", bmp)},
        {"size unreadable", PictureMessage("3", "big", bmp)},
        {"size 0", PictureMessage("3", "0", bmp)},
        {"not a BMP", PictureMessage("3", "308278", std::string(bmp.size(), 'x'))},
    };
    for (const auto& [what, bytes] : bad) {
        TestSupport::LogCapture log;
        auto camera = Parser("ImageEnabled=\"True\"");
        Feed(*camera, bytes);
        EXPECT_TRUE(log.HasError("Camera BinPicking 'bin': parsing image failed")) << what;
        EXPECT_FALSE(camera->GetImage()) << what;
        EXPECT_EQ(Get(*camera).modelClass, 3) << what;
    }
}

TEST(CameraBinPicking, ConfigurationReadsWritesAndDescribesItself) {
    auto defaults = MakeCamera("");
    tinyxml2::XMLDocument out;
    const tinyxml2::XMLElement* written = defaults->Write(out);
    EXPECT_EQ(written->IntAttribute("Port", -1), 0);
    EXPECT_DOUBLE_EQ(written->DoubleAttribute("ZDistance", -1), 0.0);
    EXPECT_STREQ(written->Attribute("Type"), "SolutionBinPicking");

    auto camera = MakeCamera(
        "Active=\"yes TRUE\" ImageEnabled=\"false\" IP=\"10.0.0.9\" Port=\"7000\" OriginX=\"1\" LookZ=\"1\" UpX=\"1\" "
        "ZDistance=\"2.5\" OriginY=\"inf\"");
    EXPECT_TRUE(camera->IsActive());
    EXPECT_FALSE(camera->IsImageEnabled());
    EXPECT_EQ(camera->GetHXPConfigString(1),
              "CONFIG Camera 1 SolutionBinPicking bin True 10.0.0.9 7000 1.000 0.000 0.000 0.000 0.000 1.000 1.000 "
              "0.000 0.000 2.500 False");
    tinyxml2::XMLDocument again;
    written = camera->Write(again);
    EXPECT_STREQ(written->Attribute("Active"), "True");
    EXPECT_EQ(written->IntAttribute("Port"), 7000);
    EXPECT_DOUBLE_EQ(written->DoubleAttribute("ZDistance"), 2.5);
}

TEST(CameraBinPicking, PollsTheComputerAndReconnects) {
    TestSupport::LogCapture log;
    SimulatedBinPicking computer;
    computer.SetStanding(Pass("3", "190"));
    FakeClock clock;
    auto camera = MakeCamera("Active=\"True\" ImageEnabled=\"True\" IP=\"127.0.0.1\" Port=\"" +
                                 std::to_string(computer.Port()) + "\"",
                             &clock);
    EXPECT_EQ(camera->GetStatus(), 1);
    camera->Start();
    ASSERT_TRUE(WaitFor([&] { return Get(*camera).modelClass == 3; }));
    EXPECT_EQ(camera->GetStatus(), 2);
    EXPECT_FLOAT_EQ(Get(*camera).orientation.x, -170.0f);

    // A picture message in many reads, each after its own "REQUEST".
    computer.SetStanding("");
    const int before = computer.Requests();
    computer.Queue(PictureMessage("6", "308278", VisionTest::FullBmp()));
    ASSERT_TRUE(WaitFor([&] { return camera->GetImage() != nullptr; }));
    EXPECT_EQ(Get(*camera).modelClass, 6);
    // The computer may still be busy sending the picture when it is complete here.
    EXPECT_TRUE(WaitFor([&] { return computer.Requests() - before >= 38; })) << computer.Requests() - before;

    // Silence: no data after ten polls, then the time-out.
    ASSERT_TRUE(WaitFor([&] { return log.Has("Camera BinPicking failed to receive data!"); }));
    clock.Advance(5000);
    ASSERT_TRUE(computer.Server().WaitForConnections(2));
    EXPECT_TRUE(log.Has("Camera BinPicking 'bin' timeout"));

    // A closed connection reconnects at once.
    computer.SetStanding(Pass("7", "0"));
    ASSERT_TRUE(WaitFor([&] { return computer.Server().IsConnected() && Get(*camera).modelClass == 7; }));
    computer.Server().Disconnect();
    ASSERT_TRUE(computer.Server().WaitForConnections(3));
    EXPECT_TRUE(log.HasError("Camera BinPicking 'bin': Connection closed"));

    camera->Stop();
    EXPECT_FALSE(camera->IsRunning());
    EXPECT_TRUE(log.Has("Camera BinPicking 'bin' stopped"));
    EXPECT_FALSE(Get(*camera).ok);
    EXPECT_FALSE(camera->GetImage());
}

// A computer that answers at once is still polled at a bounded rate, not as
// fast as the loop can turn.
TEST(CameraBinPicking, AnInstantComputerIsPolledAtABoundedRate) {
    SimulatedBinPicking computer;
    computer.SetStanding(Pass("3", "0"));
    auto camera = MakeCamera("Active=\"True\" IP=\"127.0.0.1\" Port=\"" + std::to_string(computer.Port()) + "\"");
    camera->Start();
    ASSERT_TRUE(WaitFor([&] { return Get(*camera).modelClass == 3; }));
    const int before = computer.Requests();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const int requests = computer.Requests() - before;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    camera->Stop();
    EXPECT_GT(requests, 0);
    // One request per interval at most, and one that may have been on its way.
    EXPECT_LE(requests, elapsed / CameraBinPicking::kRequestInterval + 2) << requests << " in " << elapsed.count()
                                                                          << " ms";
}
