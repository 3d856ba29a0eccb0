#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <new>
#include <sstream>
#include <string>

#include "support/LogCapture.h"
#include "vision/Base64.h"
#include "vision/CameraManager.h"
#include "vision/CameraUSB.h"
#include "vision/FakeCameras.h"
#include "vision/ImageRGB24.h"
#include "vision/ImageYUV.h"
#include "vision/VisionTestSupport.h"

using VisionTest::FakeClock;
using VisionTest::FakeVideoDevice;
using VisionTest::WaitFor;

namespace {

std::unique_ptr<Camera::CameraUSB> ReadUsb(const std::string& attributes,
                                           std::shared_ptr<FakeVideoDevice> device = nullptr,
                                           FakeClock* clock = nullptr) {
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Type=\"USB\" Name=\"cam\" " + attributes + "/>").c_str());
    auto camera = std::make_unique<Camera::CameraUSB>(
        "placeholder", 0, device, clock ? clock->Function() : Camera::MonotonicClock(Camera::MonotonicNow));
    EXPECT_EQ(camera->Read(*document.RootElement()), 0);
    return camera;
}

std::size_t EncodedLength(const Camera::CameraInterface& camera) {
    std::ostringstream out;
    return camera.GetEncodedImage(out);
}

class CameraUSBDevice : public ::testing::Test {
protected:
    std::unique_ptr<Camera::CameraUSB> Started(const std::string& attributes = "Active=\"true\"") {
        auto camera = ReadUsb(attributes, device, &clock);
        camera->Start();
        EXPECT_TRUE(WaitFor([&] { return log.Has("Camera USB 'cam': Successfully initialized"); }));
        EXPECT_TRUE(WaitFor([&] { return camera->GetStatus() == 2; }));
        return camera;
    }
    // Frames keep arriving; the next accepted one comes once the clock has moved on.
    std::shared_ptr<Imaging::Image const> NextPicture(Camera::CameraUSB& camera) {
        const auto before = camera.GetImage();
        clock.Advance(1001);
        EXPECT_TRUE(WaitFor([&] { return camera.GetImage() != nullptr && camera.GetImage() != before; }));
        return camera.GetImage();
    }

    TestSupport::LogCapture log;
    FakeClock clock;
    std::shared_ptr<FakeVideoDevice> device = std::make_shared<FakeVideoDevice>();
};

// The buffer table cannot be had.
class CameraUSBWithoutMemory : public Camera::CameraUSB {
public:
    using CameraUSB::CameraUSB;

protected:
    void AllocateBufferTable(unsigned int) override { throw std::bad_alloc(); }
};

}  // namespace

TEST(CameraUSBConfig, ActiveWhenTheTextContainsTrue) {
    const std::pair<const char*, bool> cases[] = {{"Active=\"TRUE\"", true},
                                                  {"Active=\"true\"", true},
                                                  {"Active=\"untrue\"", true},
                                                  {"Active=\"1\"", false},
                                                  {"", false}};
    for (const auto& [attribute, active] : cases) EXPECT_EQ(ReadUsb(attribute)->IsActive(), active) << attribute;
}

TEST(CameraUSBConfig, InactiveCameraStartsNothing) {
    auto device = std::make_shared<FakeVideoDevice>();
    auto camera = ReadUsb("", device);
    camera->Start();
    EXPECT_EQ(camera->GetStatus(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(device->Opens(), 0);
}

TEST(CameraUSBConfig, DeviceNumberGivesThePath) {
    EXPECT_EQ(ReadUsb("DeviceNum=\"-1\"")->GetDevicePath(), "");
    EXPECT_EQ(ReadUsb("DeviceNum=\"2\"")->GetDevicePath(), "/dev/video2");
    EXPECT_EQ(ReadUsb("DeviceNum=\"x\"")->GetDevicePath(), "/dev/video0");
    EXPECT_EQ(ReadUsb("")->GetDevicePath(), "/dev/video0");
}

TEST(CameraUSBConfig, WriteAndConfigLine) {
    auto camera = ReadUsb("Active=\"True\" ImageEnabled=\"false\" Description=\"left door\" DeviceNum=\"2\"");
    tinyxml2::XMLDocument document;
    document.InsertEndChild(camera->Write(document));
    tinyxml2::XMLPrinter printer(nullptr, true);
    document.Print(&printer);
    EXPECT_STREQ(printer.CStr(),
                 "<HwCamera Type=\"USB\" Name=\"cam\" Active=\"True\" ImageEnabled=\"False\" "
                 "Description=\"left door\" DeviceNum=\"2\"/>");
    EXPECT_EQ(camera->GetHXPConfigString(2), "CONFIG Camera 2 USB cam True 2 False");
    EXPECT_EQ(camera->GetFrameDurationMS(), 1000u);
    DataTypes::Vector3 p(1, 2, 3), o;
    int model = 7;
    EXPECT_FALSE(camera->GetTargetPos(p, o, model));
    EXPECT_EQ(p.x, 1.0f);
    EXPECT_EQ(model, 7);
}

TEST_F(CameraUSBDevice, StreamingYuyvOnePictureASecondAfterTheFirstSecond) {
    auto camera = Started();
    EXPECT_EQ(camera->GetIOMethod(), Camera::CameraUSB::IOMmap);
    EXPECT_EQ(camera->GetPixelKind(), Camera::CameraUSB::PixelYUYV);
    EXPECT_TRUE(log.Has("Camera USB 'cam': Supports streaming, using method Memory Map"));
    EXPECT_TRUE(log.Has("Camera USB 'cam': Driver: \"fakevideo\" Card: \"Fake Camera\" Bus: \"usb-fake-1\" Version: "
                        "\"5.10.3\" Capabilities: \"" +
                        [] {
                            char text[16];
                            std::snprintf(text, sizeof(text), "%08x",
                                          V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_READWRITE);
                            return std::string(text);
                        }() + "\""));
    EXPECT_TRUE(log.Has("Camera USB 'cam': Camera frame interval: 0.03s, limit by Korvella to 1.00s"));

    // Frames of the first second after connecting are returned unused.
    const int taken = device->FramesTaken();
    ASSERT_TRUE(WaitFor([&] { return device->FramesTaken() > taken + 3; }));
    EXPECT_EQ(camera->GetImage(), nullptr);

    const auto first = NextPicture(*camera);
    const auto* yuv = dynamic_cast<const Imaging::ImageYUV*>(first.get());
    ASSERT_NE(yuv, nullptr);
    EXPECT_EQ(yuv->GetWidth(), 800u);
    EXPECT_EQ(yuv->GetHeight(), 600u);

    clock.Advance(500);
    const int later = device->FramesTaken();
    ASSERT_TRUE(WaitFor([&] { return device->FramesTaken() > later + 3; }));
    EXPECT_EQ(camera->GetImage(), first);
    EXPECT_NE(NextPicture(*camera), first);

    // Pictures are not encoded for the clients unless enabled.
    EXPECT_EQ(EncodedLength(*camera), 0u);
    camera->Stop();
    EXPECT_EQ(device->LiveMappings(), 0);
    EXPECT_FALSE(device->IsOpen());
    EXPECT_EQ(camera->GetImage(), nullptr);
}

TEST_F(CameraUSBDevice, EncodesPicturesWhenEnabled) {
    auto camera = Started("Active=\"true\" ImageEnabled=\"true\"");
    NextPicture(*camera);
    EXPECT_TRUE(WaitFor([&] { return camera->HasNewEncodedImage(); }));
    EXPECT_GT(EncodedLength(*camera), 0u);
}

TEST_F(CameraUSBDevice, ReadMethodWhenTheDeviceCannotStream) {
    device->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_READWRITE;
    auto camera = Started();
    EXPECT_EQ(camera->GetIOMethod(), Camera::CameraUSB::IORead);
    EXPECT_TRUE(log.Has("Camera USB 'cam': Supports readwrite, using method read"));
    EXPECT_NE(NextPicture(*camera), nullptr);
    EXPECT_EQ(device->Mappings(), 0);
}

TEST_F(CameraUSBDevice, FallsBackToRgbWhenYuyvIsRefused) {
    device->accepted = {V4L2_PIX_FMT_RGB24};
    auto camera = Started();
    EXPECT_EQ(camera->GetPixelKind(), Camera::CameraUSB::PixelRGB24);
    const auto picture = NextPicture(*camera);
    EXPECT_NE(dynamic_cast<const Imaging::ImageRGB24*>(picture.get()), nullptr);
}

TEST_F(CameraUSBDevice, RefusesOtherFormatsAndSizes) {
    struct Case {
        std::set<uint32_t> accepted;
        uint32_t width;
    };
    for (const Case& c : {Case{{V4L2_PIX_FMT_MJPEG}, 0}, Case{{V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_RGB24}, 640}}) {
        log.Clear();
        auto fresh = std::make_shared<FakeVideoDevice>();
        fresh->accepted = c.accepted;
        fresh->answerWidth = c.width;
        fresh->answerHeight = c.width == 0 ? 0 : 480;
        auto camera = ReadUsb("Active=\"true\"", fresh, &clock);
        camera->Start();
        EXPECT_TRUE(WaitFor([&] { return log.Has("Camera USB 'cam': Could not get supported video format"); }));
        EXPECT_TRUE(WaitFor([&] { return fresh->Closes() == 1; }));
        EXPECT_EQ(camera->GetStatus(), 1);
        EXPECT_FALSE(log.Has("Camera USB 'cam': Successfully initialized"));
        camera->Stop();
    }
}

TEST_F(CameraUSBDevice, CaptureFailureDisconnectsAndReconnectsAfterTheInterval) {
    auto camera = Started();
    NextPicture(*camera);
    device->dqbufErrno = EIO;
    EXPECT_TRUE(WaitFor([&] {
        return log.Has(std::string("Camera USB 'cam': Caught exception, stopping: Could not set VIDIOC_DQBUF: ") +
                       std::strerror(EIO));
    }));
    EXPECT_TRUE(WaitFor([&] { return camera->GetStatus() == 1; }));
    EXPECT_EQ(camera->GetImage(), nullptr);
    EXPECT_EQ(device->LiveMappings(), 0);
    EXPECT_TRUE(log.Has("Camera USB 'cam': Stopping Capture"));
    EXPECT_TRUE(log.Has("Camera USB 'cam': Uninitializing"));
    EXPECT_TRUE(log.Has("Camera USB 'cam': Closing device"));

    device->dqbufErrno = 0;
    clock.Advance(10000 - 1001);  // 10 s since the attempt, not more: none yet
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(device->Opens(), 1);
    clock.Advance(1000);
    EXPECT_TRUE(WaitFor([&] { return log.Count("Camera USB 'cam': Successfully initialized") == 2; }));
    EXPECT_EQ(device->Opens(), 2);
    EXPECT_EQ(camera->GetStatus(), 2);
    EXPECT_EQ(log.Count("Camera USB 'cam' connecting to '/dev/video0'"), 2);
    // Later attempts are quiet: the device details were logged once.
    EXPECT_EQ(log.CountContaining("Camera USB 'cam': Driver: "), 1);
    EXPECT_NE(NextPicture(*camera), nullptr);
}

// Buffers mapped before a failed initialisation are released before the next
// attempt, however often it fails.
TEST_F(CameraUSBDevice, RepeatedFailedInitialisationsLeakNothing) {
    device->queryBufFailsAt = 2;
    auto camera = ReadUsb("Active=\"true\"", device, &clock);
    camera->Start();
    for (int attempt = 1; attempt <= 4; ++attempt) {
        EXPECT_TRUE(WaitFor([&] { return device->Closes() == attempt; })) << attempt;
        EXPECT_EQ(device->LiveMappings(), 0);
        clock.Advance(11000);
    }
    EXPECT_GE(device->Mappings(), 8);
    EXPECT_GE(log.Count("Camera USB 'cam': Could not query buffer"), 4);
    camera->Stop();
}

TEST_F(CameraUSBDevice, BufferFailuresEndTheAttemptWithTheirText) {
    const std::pair<uint32_t, const char*> cases[] = {{1, "Camera USB 'cam': Insufficient buffer memory"}};
    for (const auto& [granted, line] : cases) {
        device->grantedBuffers = granted;
        auto camera = ReadUsb("Active=\"true\"", device, &clock);
        camera->Start();
        EXPECT_TRUE(WaitFor([&] { return log.Has(line); }));
        EXPECT_TRUE(WaitFor([&] { return !device->IsOpen(); }));
        camera->Stop();
    }
    device->grantedBuffers = 4;
    CameraUSBWithoutMemory hungry("cam", 0, device, clock.Function());
    hungry.SetActive(true);
    hungry.Start();
    EXPECT_TRUE(WaitFor([&] { return log.Has("Camera USB 'cam': Out of memory"); }));
    EXPECT_TRUE(WaitFor([&] { return !device->IsOpen(); }));
    EXPECT_EQ(hungry.GetStatus(), 1);
    hungry.Stop();
}

TEST_F(CameraUSBDevice, DeviceFileProblems) {
    struct Case {
        const char* attributes;
        bool exists;
        bool character;
        std::string line;
    };
    const Case cases[] = {
        {"Active=\"true\" DeviceNum=\"-1\"", true, true, "Camera USB 'cam': Invalid device file name"},
        {"Active=\"true\"", false, true,
         std::string("Camera USB 'cam': Could not identify device file: ") + std::strerror(ENOENT)},
        {"Active=\"true\"", true, false, "Camera USB 'cam': File is no device"},
    };
    for (const Case& c : cases) {
        log.Clear();
        auto fresh = std::make_shared<FakeVideoDevice>();
        fresh->exists = c.exists;
        fresh->characterDevice = c.character;
        auto camera = ReadUsb(c.attributes, fresh, &clock);
        camera->Start();
        EXPECT_TRUE(WaitFor([&] { return log.Has(c.line); })) << c.line;
        EXPECT_EQ(camera->GetStatus(), 1);
        // Retried after the interval.
        clock.Advance(11000);
        EXPECT_TRUE(WaitFor([&] { return log.Count(c.line) == 2; })) << c.line;
        EXPECT_EQ(fresh->Opens(), 0);
        camera->Stop();
    }
}

TEST_F(CameraUSBDevice, StopRightAfterStartEndsTheThread) {
    for (int i = 0; i < 20; ++i) {
        auto camera = ReadUsb("Active=\"true\"", device, &clock);
        camera->Start();
        camera->Start();
        camera->Stop();
    }
    EXPECT_EQ(device->LiveMappings(), 0);
    EXPECT_FALSE(device->IsOpen());
}

// From the device to the remote clients' line: a frame becomes a picture, is
// encoded on the capture thread and leaves as a JPEG in "CAMINFO CameraImage".
TEST_F(CameraUSBDevice, PictureReachesTheClientsAsJpegLine) {
    Camera::CameraManager manager(std::chrono::milliseconds(10), clock.Function());
    auto* camera = new Camera::CameraUSB("door", 0, device, clock.Function());
    camera->SetActive(true);
    camera->SetImageEnabled(true);
    manager.Add(camera);
    ASSERT_TRUE(WaitFor([&] { return log.Has("Camera USB 'door': Successfully initialized"); }));
    clock.Advance(1001);
    ASSERT_TRUE(WaitFor([&] { return camera->HasNewEncodedImage(); }));
    const std::vector<std::string> lines = manager.GetHXPImageStrings();
    ASSERT_EQ(lines.size(), 1u);
    const std::string prefix = "CAMINFO CameraImage door ";
    ASSERT_EQ(lines[0].compare(0, prefix.size(), prefix), 0);
    const VisionTest::DecodedJpeg jpeg = VisionTest::DecodeJpeg(Base64::Decode(lines[0].substr(prefix.size())));
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 800u);
    EXPECT_EQ(jpeg.height, 600u);
    EXPECT_EQ(manager.GetHXPResultStrings(),
              std::vector<std::string>{"CAMINFO CameraResult USB door CONNECTED 0 0 0 0 0 0 -1"});
}
