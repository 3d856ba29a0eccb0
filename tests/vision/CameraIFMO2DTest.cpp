#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <string>

#include "PkgProgram/IPOTestSupport.h"
#include "PkgProgram/MotionTestSupport.h"
#include "SimulatedDevices.h"
#include "support/TestSupport.h"
#include "support/LogCapture.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraManager.h"
#include "vision/FakeCameras.h"
#include "vision/ImageBitmap8BppIndexed.h"
#include "vision/ImageJPEG.h"

using Camera::CameraIFMO2D;
using VisionTest::FakeClock;
using VisionTest::O2D200Pass;
using VisionTest::O2DFrame;
using VisionTest::O2DPictureReply;
using VisionTest::SimulatedO2D;
using VisionTest::WaitFor;

namespace {

// Origin (100, 0, 0), image x along robot x, depth along robot z: side = look x up = (0, 1, 0).
const char* const kGeometry =
    "OriginX=\"100\" OriginY=\"0\" OriginZ=\"0\" UpX=\"1\" UpY=\"0\" UpZ=\"0\" LookX=\"0\" LookY=\"0\" LookZ=\"1\" "
    "ZDistance=\"10\" ScaleX=\"1\" ScaleY=\"1\"";

std::unique_ptr<CameraIFMO2D> MakeCamera(const std::string& attributes, FakeClock* clock = nullptr) {
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Type=\"IFMO2D\" Name=\"o2d\" " + attributes + "/>").c_str());
    auto camera = clock ? std::make_unique<CameraIFMO2D>("o2d", clock->Function()) : std::make_unique<CameraIFMO2D>("o2d");
    EXPECT_EQ(camera->Read(*document.RootElement()), 0);
    return camera;
}

// A camera that parses without a connection: its receiving half as the connection thread drives it.
std::unique_ptr<CameraIFMO2D> Parser(const std::string& attributes = kGeometry) {
    auto camera = MakeCamera(attributes);
    camera->CreateTransferMatrix();
    camera->SetConnectedForTest(true);
    return camera;
}

// Hands bytes over in the pieces the connection thread would read.
void Feed(CameraIFMO2D& camera, const std::string& bytes, std::size_t largest = 8192) {
    std::size_t at = 0;
    while (at < bytes.size()) {
        const std::size_t n = std::min({camera.NextReadSize(), largest, bytes.size() - at});
        camera.HandleRead(bytes.data() + at, n);
        at += n;
    }
}

struct Target {
    bool ok = false;
    DataTypes::Vector3 position, orientation;
    int modelClass = 0;
};

Target Get(const CameraIFMO2D& camera) {
    Target t;
    t.ok = camera.GetTargetPos(t.position, t.orientation, t.modelClass);
    return t;
}

void ExpectVector(const DataTypes::Vector3& v, float x, float y, float z, const std::string& what) {
    EXPECT_NEAR(v.x, x, 1e-3) << what;
    EXPECT_NEAR(v.y, y, 1e-3) << what;
    EXPECT_NEAR(v.z, z, 1e-3) << what;
}

std::string DeviceReply(const std::string& model) {
    return O2DFrame(1003, "1003IFM ELECTRONIC\t" + model + "\tRevision 1.2\r\n");
}

// Loads and runs the program in cycles of 10 ms in about real time, so that
// the camera answers during its waits.
void RunLive(IPOTest::Interpreter& in, RobotKinematic* kinematic, const TestSupport::ScratchRoot& root,
             const std::string& program) {
    in.ipo.replayMode = IPO::ReplaySingle;
    in.memory.SetKinematic(kinematic);
    IPOTest::WriteProgram(root, "look.xml", program);
    ASSERT_TRUE(in.Load("look.xml"));
    IPOTest::Events::Take();
    in.ipo.Start();
    ASSERT_TRUE(WaitFor([&] {
        in.Step();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !in.ipo.IsReplayRunning();
    }));
}

}  // namespace

// ---------------------------------------------------------------- results

TEST(CameraIFMO2D, ResultMessagesOfBothModelsBecomeTargets) {
    struct Case {
        const char* what;
        std::string device;  // device reply first, if any
        std::string bytes;
        bool ok;
        float x, y, z, a;
        int modelClass;
        int format;
    };
    const Case cases[] = {
        // Unknown model: no centre shift; O2D200: 320 and 240 off first.
        {"O2D200 pass", "", O2D200Pass(3, "400", "300", "45.7"), true, 500, 300, 10, 45.7f, 3, 1},
        {"O2D200 pass, model known", DeviceReply("O2D220"), O2D200Pass(3, "400", "300", "45.7"), true, 180, 60, 10,
         45.7f, 3, 1},
        {"image centre", DeviceReply("O2D222"), O2D200Pass(1, "320", "240", "0"), true, 100, 0, 10, 0, 1, 1},
        {"angle 270", "", O2D200Pass(1, "0", "0", "270"), true, 100, 0, 10, -90, 1, 1},
        {"angle -200", "", O2D200Pass(1, "0", "0", "-200"), true, 100, 0, 10, 160, 1, 1},
        {"O2D200 fail", "", "0000startFAIL#0.1#2stop", true, 0, 0, 0, 0, -1, 1},
        {"O2D200 pass without coordinates", "", "0000startPASS#0.9#1stop", true, 0, 0, 0, 0, -1, 1},
        {"O2D500 short pass", DeviceReply("O2D522"), "0000start#1#2#400#300#0.95#stop", true, 500, 300, 10, 0, 0, 2},
        {"O2D500 precise pass", "", "0000start#1#2#400#300#0.95#12.5#410#310#0.9#stop", true, 510, 310, 10, 12.5f,
         0, 2},
        {"O2D500 no object", "", "0000start#0#2#400#300#0.95#stop", true, 0, 0, 0, 0, -1, 2},
        {"O2D500 model list", "", "0000startM3#1O12.5#-40.25#0#90#M4#1O1#2#3#4#stop", true, 112, -40, 10, 90, 3, 2},
        {"class out of int range", "", O2D200Pass(9999999, "1", "1", "1").replace(20, 7, "9999999999"), true, 0, 0,
         0, 0, -1, 1},
        {"pixel out of int range", "", O2D200Pass(1, "99999999999999999999", "1", "1"), true, 0, 0, 0, 0, -1, 1},
        {"angle not finite", "", O2D200Pass(1, "1", "1", std::string(400, '9')), true, 0, 0, 0, 0, -1, 1},
        {"garbled after the start", "", "0000startGARBLEDstop", true, 0, 0, 0, 0, -1, 1},
        {"bytes before the start", "", "xx1002!\r\n" + O2D200Pass(2, "320", "240", "5"), true, 420, 240, 10, 5, 2,
         1},
        {"stray zero before the start", "", "0" + O2D200Pass(2, "320", "240", "5"), true, 420, 240, 10, 5, 2, 1},
    };
    for (const Case& c : cases) {
        auto camera = Parser();
        Feed(*camera, c.device);
        Feed(*camera, c.bytes);
        const Target t = Get(*camera);
        EXPECT_EQ(t.ok, c.ok) << c.what;
        ExpectVector(t.position, c.x, c.y, c.z, c.what);
        EXPECT_NEAR(t.orientation.x, c.a, 1e-3) << c.what;
        EXPECT_EQ(t.modelClass, c.modelClass) << c.what;
        EXPECT_EQ(camera->GetProtocolVersion(), c.format) << c.what;
    }
}

TEST(CameraIFMO2D, RobotCoordinatesAreStoredAsTheyCome) {
    auto camera = Parser(std::string(kGeometry) + " CoordinateType=\"RobotCoordinates\"");
    Feed(*camera, O2D200Pass(5, "400", "300", "10"));
    Target t = Get(*camera);
    ExpectVector(t.position, 400, 300, 0, "O2D200");
    Feed(*camera, "0000startM3#1O12.5#-40.25#7#90#stop");
    t = Get(*camera);
    ExpectVector(t.position, 12.5f, -40.25f, 7, "model list");
    EXPECT_EQ(t.modelClass, 3);
}

TEST(CameraIFMO2D, SplitMessagesAreTakenWhenWhole) {
    const std::string message = O2D200Pass(3, "400", "300", "45.7");
    for (std::size_t cut = 1; cut < message.size(); cut += 5) {
        auto camera = Parser();
        camera->HandleRead(message.data(), cut);
        // Half a message is no result yet.
        EXPECT_FALSE(camera->HasValidResult()) << cut;
        camera->HandleRead(message.data() + cut, message.size() - cut);
        const Target t = Get(*camera);
        EXPECT_EQ(t.modelClass, 3) << cut;
        ExpectVector(t.position, 500, 300, 10, "cut " + std::to_string(cut));
    }
}

TEST(CameraIFMO2D, UnendedMessagesSlideOutAndLaterResultsArrive) {
    auto camera = Parser();
    // No end mark: it stays until the buffer is full, then it is taken as what it is, a fail.
    Feed(*camera, "0000startPASS#0.9#1#3#" + std::string(400, '7'));
    Feed(*camera, O2D200Pass(6, "320", "240", "1"));
    EXPECT_EQ(Get(*camera).modelClass, 6);
    EXPECT_LE(camera->MessageBufferFill(), CameraIFMO2D::kMessageBufferSize);
}

TEST(CameraIFMO2D, DeviceInformationSetsTheModel) {
    struct Case {
        std::string bytes;
        int model;
        const char* line;
        bool error;
    };
    const Case cases[] = {
        {DeviceReply("O2D220"), 1, "Camera IFM O2D 'o2d': Model O2D220 (200 series) recognized", false},
        {DeviceReply("O2D522"), 2, "Camera IFM O2D 'o2d': Model O2D522 (500 series) recognized", false},
        {DeviceReply("X9000"), 0, "Camera IFM O2D 'o2d': Unknown camera model X9000", true},
        // A frame header and a question are not replies.
        {"1003L000000030\r\n", 0, nullptr, false},
        {"1003?IFM ELECTRONIC\tO2D220\tx\r\n", 0, nullptr, false},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture log;
        auto camera = Parser();
        Feed(*camera, c.bytes, 7);
        EXPECT_EQ(camera->GetModel(), c.model) << c.bytes;
        if (c.line != nullptr) {
            EXPECT_TRUE(log.Has(c.line, c.error)) << c.line;
            // Taken once, not again at the next read.
            Feed(*camera, "1001*\r\n");
            EXPECT_EQ(log.Count(c.line), 1) << c.line;
        }
    }
}

// ---------------------------------------------------------------- pictures

TEST(CameraIFMO2D, PicturesArriveWholeOrInPieces) {
    const std::string bmp = VisionTest::SmallBmp();
    ASSERT_EQ(bmp.compare(0, 3, "BM6"), 0);
    struct Case {
        const char* what;
        bool imageEnabled;
        std::string bytes;
        bool jpeg;
    };
    const Case cases[] = {
        {"BMP in a result", false, "0000startPASS#0.9#1#3#400#300#45.7#80#BMP#000001334#" + bmp + "stop", false},
        {"BMP reply", true, O2DPictureReply(bmp), false},
        {"JPEG reply", true, O2DPictureReply(VisionTest::JpegLike()), true},
        {"JPEG behind a few bytes", true, O2DPictureReply("abc" + VisionTest::JpegLike()), true},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t(8192), std::size_t(100), std::size_t(1)}) {
            auto camera = Parser(std::string(kGeometry) + (c.imageEnabled ? " ImageEnabled=\"True\"" : ""));
            Feed(*camera, c.bytes, piece);
            const auto image = camera->GetImage();
            ASSERT_TRUE(image) << c.what << " in pieces of " << piece;
            if (c.jpeg) {
                EXPECT_TRUE(dynamic_cast<const Imaging::ImageJPEG*>(image.get())) << c.what;
            } else {
                EXPECT_EQ(image->GetWidth(), 16u) << c.what;
            }
            EXPECT_FALSE(camera->IsReadingImageData()) << c.what;
            // The bytes after the picture are messages again.
            Feed(*camera, O2D200Pass(8, "320", "240", "0"), piece);
            EXPECT_EQ(Get(*camera).modelClass, 8) << c.what << " in pieces of " << piece;
        }
    }
}

TEST(CameraIFMO2D, BadPictureAnnouncementsAreLoggedAndDropped) {
    struct Case {
        const char* what;
        bool imageEnabled;
        std::string bytes;
        const char* line;
    };
    const Case cases[] = {
        {"length 0", false, "0000startPASS#0.9#1#3#400#300#45.7#80#BMP#000000000#stop",
         "Camera IFM O2D 'o2d': Could not parse image data length!"},
        {"over 2 MiB", false, "0000startPASS#0.9#1#3#400#300#45.7#80#BMP#002097153#stop",
         "Camera IFM O2D 'o2d': Image data too large! 2097153 bytes"},
        {"reply over 2 MiB", true, O2DFrame(1002, "1002003000000" + std::string(40, 'x')),
         "Camera IFM O2D 'o2d': Image data too large! 3000000 bytes"},
        {"no picture mark", true, O2DPictureReply("0123456789"),
         "Camera IFM O2D 'o2d': Got image data but could not recognize format"},
        {"broken BMP", true, O2DPictureReply("BM6" + std::string(200, '\x01')),
         "Camera IFM O2D 'o2d': parsing image failed"},
    };
    for (const Case& c : cases) {
        TestSupport::LogCapture log;
        auto camera = Parser(std::string(kGeometry) + (c.imageEnabled ? " ImageEnabled=\"True\"" : ""));
        Feed(*camera, c.bytes, 100);
        Feed(*camera, O2D200Pass(9, "320", "240", "0"), 100);
        EXPECT_EQ(log.Count(c.line), 1) << c.what;
        EXPECT_FALSE(camera->IsReadingImageData()) << c.what;
        EXPECT_FALSE(camera->GetImage()) << c.what;
        // The message after it is reached.
        EXPECT_EQ(Get(*camera).modelClass, 9) << c.what;
    }
}

TEST(CameraIFMO2D, PictureRepliesAreSkippedWhenNotAnswers) {
    auto camera = Parser(std::string(kGeometry) + " ImageEnabled=\"True\"");
    for (const std::string& bytes : {std::string("1002!\r\n") + std::string(20, '-'), std::string("1002L000000030\r\n"),
                                     std::string("1002000000000") + std::string(20, '-')}) {
        Feed(*camera, bytes);
        EXPECT_FALSE(camera->IsReadingImageData()) << bytes;
    }
    // Without pictures enabled a reply is not looked for.
    auto plain = Parser();
    Feed(*plain, O2DPictureReply(VisionTest::SmallBmp()));
    EXPECT_FALSE(plain->GetImage());
}

TEST(CameraIFMO2D, ErrorsClearTheResultAndThePicture) {
    auto camera = Parser(std::string(kGeometry) + " ImageEnabled=\"True\"");
    Feed(*camera, O2DPictureReply(VisionTest::SmallBmp()));
    Feed(*camera, O2D200Pass(1, "1", "1", "1"));
    ASSERT_TRUE(camera->GetImage());
    ASSERT_TRUE(Get(*camera).ok);
    camera->SetCameraResultError();
    EXPECT_FALSE(Get(*camera).ok);
    EXPECT_EQ(Get(*camera).modelClass, -1);
    EXPECT_FALSE(camera->GetImage());
    // A trigger stores a fail first: a valid result with no object.
    camera->TriggerImageRecognition();
    const Target t = Get(*camera);
    EXPECT_TRUE(t.ok);
    EXPECT_EQ(t.modelClass, -1);
}

TEST(CameraIFMO2D, FindSeesEveryOccurrence) {
    const std::string text = "000000startstop0000start";
    EXPECT_EQ(CameraIFMO2D::Find(text.data(), 0, static_cast<int>(text.size()), "0000star"), 2);
    EXPECT_EQ(CameraIFMO2D::Find(text.data(), 3, static_cast<int>(text.size()), "0000star"), 15);
    EXPECT_EQ(CameraIFMO2D::Find(text.data(), 0, 9, "0000star"), -1);
    EXPECT_EQ(CameraIFMO2D::Find(text.data(), 0, static_cast<int>(text.size()), ""), -1);
    EXPECT_EQ(CameraIFMO2D::Find(text.data(), 0, 3, "0000"), -1);
}

// ---------------------------------------------------------------- configuration

TEST(CameraIFMO2D, ConfigurationReadsWritesAndDescribesItself) {
    auto defaults = MakeCamera("");
    tinyxml2::XMLDocument out;
    const tinyxml2::XMLElement* written = defaults->Write(out);
    EXPECT_STREQ(written->Attribute("Active"), "False");
    EXPECT_EQ(written->IntAttribute("Port", -1), 0);
    EXPECT_DOUBLE_EQ(written->DoubleAttribute("ScaleX"), 1.0);
    EXPECT_DOUBLE_EQ(written->DoubleAttribute("ScaleY"), 1.0);
    EXPECT_DOUBLE_EQ(written->DoubleAttribute("ZDistance", -1), 0.0);
    EXPECT_FALSE(defaults->IsActive());

    struct Flag {
        const char* text;
        bool set;
    };
    for (const Flag& f : {Flag{"TRUE", true}, Flag{"isTrueEnough", true}, Flag{"1", false}, Flag{"no", false}}) {
        EXPECT_EQ(MakeCamera(std::string("Active=\"") + f.text + "\"")->IsActive(), f.set) << f.text;
    }

    auto camera = MakeCamera(
        "Active=\"True\" ImageEnabled=\"True\" Description=\"d\" IP=\"10.0.0.7\" Port=\"50010\" "
        "CoordinateType=\"robotcoordinates\" ScaleX=\"0.5\" ScaleY=\"nan\" OriginX=\"1\" UpX=\"1\" LookZ=\"1\" "
        "ZDistance=\"3\"");
    EXPECT_EQ(camera->GetHXPConfigString(2),
              "CONFIG Camera 2 IFMO2D o2d True 10.0.0.7 50010 0.500 1.000 1.000 0.000 0.000 0.000 0.000 1.000 "
              "1.000 0.000 0.000 3.000 True 0");
    tinyxml2::XMLDocument again;
    written = camera->Write(again);
    EXPECT_STREQ(written->Attribute("Type"), "IFMO2D");
    EXPECT_STREQ(written->Attribute("CoordinateType"), "ImageCoordinates");
    EXPECT_STREQ(written->Attribute("IP"), "10.0.0.7");
    EXPECT_EQ(written->IntAttribute("Port"), 50010);
}

// ---------------------------------------------------------------- connection

TEST(CameraIFMO2D, AnInactiveCameraNeverConnects) {
    SimulatedO2D device;
    auto camera = MakeCamera("IP=\"127.0.0.1\" Port=\"" + std::to_string(device.Port()) + "\"");
    camera->Start();
    EXPECT_FALSE(camera->IsRunning());
    EXPECT_EQ(camera->GetStatus(), 0);
    EXPECT_EQ(device.Server().Connections(), 0);
}

TEST(CameraIFMO2D, TalksToTheCameraInFramedRequests) {
    TestSupport::LogCapture log;
    SimulatedO2D device;
    FakeClock clock;
    auto camera = MakeCamera(std::string(kGeometry) + " Active=\"True\" IP=\"127.0.0.1\" Port=\"" +
                                 std::to_string(device.Port()) + "\"",
                             &clock);
    camera->Start();
    ASSERT_TRUE(device.Server().WaitForReceived("1001L000000008\r\n1001V?\r\n"));
    ASSERT_TRUE(device.Server().WaitForReceived("1003L000000008\r\n1003G?\r\n1003L000000008\r\n1003D?\r\n"));
    ASSERT_TRUE(WaitFor([&] { return camera->GetModel() == CameraIFMO2D::ModelO2D200; }));
    EXPECT_TRUE(log.Has("Camera IFM O2D 'o2d' connected"));
    EXPECT_EQ(camera->GetStatus(), 2);
    // Pictures are not asked for while they are disabled.
    EXPECT_EQ(device.Server().Count("1002"), 0);

    device.SetTriggerReply(O2D200Pass(4, "400", "300", "30"));
    camera->TriggerImageRecognition();
    ASSERT_TRUE(device.Server().WaitForReceived("1000L000000007\r\n1000t\r\n"));
    ASSERT_TRUE(WaitFor([&] { return Get(*camera).modelClass == 4; }));
    ExpectVector(Get(*camera).position, 180, 60, 10, "triggered");

    camera->SendMessage(999, "x");
    camera->SendMessage(10000, "x");
    EXPECT_TRUE(log.HasError(
        "Camera IFM O2D 'o2d': Bug while sending message 'x' to IFM O2D camera: ticket number 999 is out of range"));
    EXPECT_TRUE(log.HasError(
        "Camera IFM O2D 'o2d': Bug while sending message 'x' to IFM O2D camera: ticket number 10000 is out of range"));
    EXPECT_EQ(device.BadFrames(), 0);

    camera->Stop();
    EXPECT_FALSE(camera->IsRunning());
    EXPECT_TRUE(log.Has("Camera IFM O2D 'o2d' stopped"));
    // Not connected: no target, and nothing is sent.
    EXPECT_FALSE(Get(*camera).ok);
    const int frames = static_cast<int>(device.Requests().size());
    camera->TriggerImageRecognition();
    EXPECT_EQ(static_cast<int>(device.Requests().size()), frames);
}

TEST(CameraIFMO2D, SilenceOrAClosedConnectionReconnects) {
    TestSupport::LogCapture log;
    SimulatedO2D device;
    device.SetSilent(true);
    FakeClock clock;
    auto camera = MakeCamera("Active=\"True\" IP=\"127.0.0.1\" Port=\"" + std::to_string(device.Port()) + "\"",
                             &clock);
    camera->Start();
    ASSERT_TRUE(device.Server().WaitForConnections(1));
    ASSERT_TRUE(WaitFor([&] { return camera->IsConnected(); }));
    // Keepalives while nothing comes, at most one a second.
    ASSERT_TRUE(WaitFor([&] { return device.CountRequests("1001V?") == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(device.CountRequests("1001V?"), 1);
    clock.Advance(1000);
    ASSERT_TRUE(WaitFor([&] { return device.CountRequests("1001V?") == 2; }));
    EXPECT_EQ(device.Server().Connections(), 1);
    clock.Advance(5000);
    ASSERT_TRUE(device.Server().WaitForConnections(2));
    EXPECT_TRUE(log.HasErrorContaining("Camera IFM O2D 'o2d'"));
    EXPECT_TRUE(log.CountContaining("imeout") >= 1);

    ASSERT_TRUE(WaitFor([&] { return device.Server().IsConnected(); }));
    device.Server().Disconnect();
    ASSERT_TRUE(device.Server().WaitForConnections(3));
    EXPECT_TRUE(log.HasError("Camera IFM O2D 'o2d': Connection closed"));
    camera->Stop();
}

TEST(CameraIFMO2D, PicturesReachTheClientsLine) {
    SimulatedO2D device;
    device.SetPictureReply(O2DPictureReply(VisionTest::SmallBmp()));
    Camera::CameraManager manager(std::chrono::milliseconds(10));
    auto* camera = new CameraIFMO2D("o2d");
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Name=\"o2d\" Active=\"True\" ImageEnabled=\"True\" IP=\"127.0.0.1\" Port=\"" +
                    std::to_string(device.Port()) + "\"/>")
                       .c_str());
    camera->Read(*document.RootElement());
    manager.Add(camera);
    ASSERT_TRUE(device.Server().WaitForReceived("1002L000000008\r\n1002I?\r\n"));
    ASSERT_TRUE(WaitFor([&] { return camera->GetImage() != nullptr; }));
    std::string line;
    ASSERT_TRUE(WaitFor([&] {
        for (const std::string& l : manager.GetHXPImageStrings())
            if (l.rfind("CAMINFO CameraImage o2d ", 0) == 0 && l.find("NOIMAGE") == std::string::npos) line = l;
        return !line.empty();
    }));
    manager.Clear();
    ASSERT_TRUE(WaitFor([&] { return manager.Count() == 0; }));
}

TEST(CameraIFMO2D, ProgramTriggersTheCameraAndTakesItsResult) {
    TestSupport::ScratchRoot root;
    // The camera reports (angle, 0, 0): a pose of the test robot with its tool pointing up.
    std::unique_ptr<RobotKinematic> kinematic = MotionTest::Kinematic();
    ASSERT_NE(kinematic, nullptr);
    const float joints[9] = {10, 0, 0, 0, -90, 0, 0, 0, 0};
    std::unique_ptr<RobotKinematic> model(kinematic->clone());
    model->SetJoints(joints, false);
    DataTypes::RobotState reachable;
    model->GetPosition(&reachable);
    reachable.UpdateABC();
    char reply[160];
    std::snprintf(reply, sizeof(reply), "0000startM4#1O%.3f#%.3f#%.3f#%.0f#stop", reachable.pose(0, 3),
                  reachable.pose(1, 3), reachable.pose(2, 3), reachable.A);

    SimulatedO2D device;
    device.SetDeviceModel("O2D522");
    device.SetTriggerReply(reply);
    auto* camera = new CameraIFMO2D("o2d");
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Name=\"o2d\" Active=\"True\" CoordinateType=\"RobotCoordinates\" IP=\"127.0.0.1\" "
                    "Port=\"" +
                    std::to_string(device.Port()) + "\"/>")
                       .c_str());
    camera->Read(*document.RootElement());
    Camera::CameraManager* manager = Camera::CameraManager::Instance();
    manager->Add(camera);
    ASSERT_TRUE(WaitFor([&] { return camera->GetModel() == CameraIFMO2D::ModelO2D500; }));

    IPOTest::Interpreter in;
    RunLive(in, kinematic.get(), root,
            "<Store Nr=\"1\" Type=\"position\" Name=\"p\" Value=\"1 2 3 4 5 6\"/>\n"
            "<Store Nr=\"2\" Type=\"number\" Name=\"m\" Value=\"0\"/>\n"
            "<CameraTrigger Nr=\"3\" CameraName=\"O2D\"/>\n"
            "<Wait Nr=\"4\" Type=\"Time\" Seconds=\"0.3\"/>\n"
            "<Camera Nr=\"5\" CameraName=\"o2d\" CameraType=\"IFMO2D\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n");
    EXPECT_EQ(device.CountRequests("1000t"), 1);
    for (const IPOTest::Event& e : IPOTest::Events::Take()) EXPECT_NE(e.type, HXPEventError) << e.text;
    EXPECT_DOUBLE_EQ(in.Number("m"), 4.0);
    const DataTypes::RobotState p = in.memory.GetVariable("p").position;
    ExpectVector(p.pose.GetTranslation(), reachable.pose(0, 3), reachable.pose(1, 3), reachable.pose(2, 3), "p");
    EXPECT_NEAR(p.A, std::round(reachable.A), 1e-3);
    EXPECT_NEAR(p.jointSetPoint[4], -90.0f, 0.5f);

    // Held here, so it outlives its removal from the manager.
    const std::shared_ptr<Camera::CameraInterface> held = manager->Get("o2d");
    manager->Clear();
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 0 && !camera->IsRunning(); }));
}

// The usual loop: trigger, read, try again while the class is -1. A "no part"
// answer gives the class and leaves the position variable as it was.
TEST(CameraIFMO2D, ProgramBranchesOnACameraThatFindsNoPart) {
    TestSupport::ScratchRoot root;
    std::unique_ptr<RobotKinematic> kinematic = MotionTest::Kinematic();
    ASSERT_NE(kinematic, nullptr);
    SimulatedO2D device;
    device.SetTriggerReply("0000startFAIL#0.1#2stop");
    auto* camera = new CameraIFMO2D("o2d");
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Name=\"o2d\" Active=\"True\" IP=\"127.0.0.1\" Port=\"" + std::to_string(device.Port()) +
                    "\"/>")
                       .c_str());
    camera->Read(*document.RootElement());
    Camera::CameraManager* manager = Camera::CameraManager::Instance();
    manager->Add(camera);
    ASSERT_TRUE(WaitFor([&] { return camera->IsConnected(); }));

    IPOTest::Interpreter in;
    RunLive(in, kinematic.get(), root,
            "<Store Nr=\"1\" Type=\"position\" Name=\"p\" Value=\"1 2 3 4 5 6\"/>\n"
            "<Store Nr=\"2\" Type=\"number\" Name=\"m\" Value=\"0\"/>\n"
            "<Store Nr=\"3\" Type=\"number\" Name=\"misses\" Value=\"0\"/>\n"
            "<Loop Nr=\"4\" Mode=\"Count\" Times=\"2\"/>\n"
            "<CameraTrigger Nr=\"5\" CameraName=\"o2d\"/>\n"
            "<Wait Nr=\"6\" Type=\"Time\" Seconds=\"0.3\"/>\n"
            "<Camera Nr=\"7\" CameraName=\"o2d\" CameraType=\"IFMO2D\" VarTargetPos=\"p\" VarModelClass=\"m\"/>\n"
            "<If Nr=\"8\" Condition=\"m = -1\"/>\n"
            "<MathOperator Nr=\"9\" Function=\"add\" FirstOperand=\"misses\" SecondOperand=\"1\"/>\n"
            "<EndIf/>\n"
            "<EndLoop/>\n");
    for (const IPOTest::Event& e : IPOTest::Events::Take()) EXPECT_NE(e.type, HXPEventError) << e.text;
    EXPECT_EQ(device.CountRequests("1000t"), 2);
    EXPECT_DOUBLE_EQ(in.Number("m"), -1.0);
    EXPECT_DOUBLE_EQ(in.Number("misses"), 2.0);
    const DataTypes::RobotState p = in.memory.GetVariable("p").position;
    ExpectVector(p.pose.GetTranslation(), 1, 2, 3, "p");
    EXPECT_NEAR(p.A, 4, 1e-3);

    manager->Clear();
    ASSERT_TRUE(WaitFor([&] { return manager->Count() == 0; }));
}

// Results without "stop" are taken once anything the camera sends after them
// shows where they end: a framed reply, or the next result.
TEST(CameraIFMO2D, ResultsWithoutAnEndAreTakenAtTheNextReply) {
    const std::string unended = "0000startPASS#0.9#1#3#400#300#45.7#80";
    const std::string keepalive = O2DFrame(1001, "1001*\r\n");
    const std::string picture = O2DPictureReply(VisionTest::SmallBmp());
    {
        // While pictures flow, the result and every picture are taken.
        auto camera = Parser(std::string(kGeometry) + " ImageEnabled=\"True\"");
        Feed(*camera, unended);
        for (int i = 0; i < 3; ++i) Feed(*camera, picture);
        const Target t = Get(*camera);
        EXPECT_EQ(t.modelClass, 3);
        ExpectVector(t.position, 500, 300, 10, "unended pass before pictures");
        EXPECT_NE(camera->GetImage(), nullptr);
    }
    {
        // Two in a row: the second is taken as well as the first.
        auto camera = Parser();
        Feed(*camera, unended);
        Feed(*camera, "0000startPASS#0.9#1#6#320#240#1#80");
        EXPECT_EQ(Get(*camera).modelClass, 3);
        Feed(*camera, keepalive);
        EXPECT_EQ(Get(*camera).modelClass, 6);
    }
    {
        // Split anywhere, it is still read whole.
        const std::string bytes = unended + keepalive;
        for (std::size_t cut = 1; cut < unended.size(); cut += 3) {
            auto camera = Parser();
            camera->HandleRead(bytes.data(), cut);
            EXPECT_FALSE(camera->HasValidResult()) << cut;
            camera->HandleRead(bytes.data() + cut, bytes.size() - cut);
            EXPECT_EQ(Get(*camera).modelClass, 3) << cut;
            ExpectVector(Get(*camera).position, 500, 300, 10, "cut " + std::to_string(cut));
        }
    }
}

// The same from a camera on the network, while it streams pictures.
TEST(CameraIFMO2D, ResultWithoutAnEndArrivesWhilePicturesFlow) {
    SimulatedO2D device;
    device.SetPictureReply(O2DPictureReply(VisionTest::SmallBmp()));
    device.SetTriggerReply("0000startPASS#0.9#1#3#400#300#45.7#80");
    auto camera = MakeCamera(std::string(kGeometry) + " Active=\"True\" ImageEnabled=\"True\" IP=\"127.0.0.1\" Port=\"" +
                             std::to_string(device.Port()) + "\"");
    camera->Start();
    ASSERT_TRUE(WaitFor([&] { return camera->IsConnected() && camera->GetImage() != nullptr; }));
    camera->TriggerImageRecognition();
    EXPECT_TRUE(WaitFor([&] { return Get(*camera).modelClass == 3; }));
    EXPECT_EQ(device.CountRequests("1000t"), 1);
    camera->Stop();
}
