#include <gtest/gtest.h>

#include <tinyxml2.h>

#include <string>

#include "support/LogCapture.h"
#include "vision/CameraSimulated.h"
#include "vision/FakeCameras.h"
#include "vision/ImageYUV.h"

namespace {

std::unique_ptr<Camera::CameraSimulated> ReadSim(const std::string& attributes) {
    tinyxml2::XMLDocument document;
    document.Parse(("<HwCamera Type=\"Sim\" Name=\"sim1\" " + attributes + "/>").c_str());
    auto camera = std::make_unique<Camera::CameraSimulated>("placeholder");
    EXPECT_EQ(camera->Read(*document.RootElement()), 0);
    return camera;
}

}  // namespace

TEST(CameraSimulated, AnglesAreFoldedOnceAndTheStoredValuesKept) {
    const std::pair<const char*, float> cases[] = {
        {"270", -90.0f}, {"-200", 160.0f}, {"540", 180.0f}, {"180", 180.0f}, {"-180", -180.0f}, {"12.5", 12.5f}};
    for (const auto& [text, expected] : cases) {
        auto camera = ReadSim(std::string("X=\"1\" Y=\"2\" Z=\"3\" A=\"") + text + "\" B=\"" + text + "\" C=\"0\"");
        DataTypes::Vector3 position, orientation;
        int model = 0;
        EXPECT_TRUE(camera->GetTargetPos(position, orientation, model));
        EXPECT_FLOAT_EQ(orientation.x, expected) << text;
        EXPECT_FLOAT_EQ(orientation.y, expected) << text;
        EXPECT_FLOAT_EQ(position.z, 3.0f);
        EXPECT_EQ(model, 1);
        // Folding works on a copy: the file gets back what it held.
        tinyxml2::XMLDocument out;
        EXPECT_FLOAT_EQ(camera->Write(out)->FloatAttribute("A"), std::stof(text));
    }
}

TEST(CameraSimulated, ReadKeepsValuesOfMissingOrUnreadableAttributes) {
    TestSupport::LogCapture log;
    auto camera = ReadSim("Y=\"nan\" Z=\"inf\" A=\"abc\" B=\"-5\"");
    DataTypes::Vector3 position(9, 9, 9), orientation(9, 9, 9);
    int model = 0;
    camera->GetTargetPos(position, orientation, model);
    EXPECT_EQ(position.x, 0.0f);
    EXPECT_EQ(position.y, 0.0f);
    EXPECT_EQ(position.z, 0.0f);
    EXPECT_EQ(orientation.x, 0.0f);
    EXPECT_EQ(orientation.y, -5.0f);
    EXPECT_EQ(camera->GetName(), "sim1");
    EXPECT_EQ(camera->GetStatus(), 2);
    EXPECT_TRUE(log.HasNote("Camera Sim: Loading configuration"));
    EXPECT_TRUE(log.HasNote("Camera Simulated 'sim1': Configuration loaded: Pos=(0.0, 0.0, 0.0) Ori=(0.0, -5.0, 0.0)"));
}

TEST(CameraSimulated, ImageEnabledSpellings) {
    const std::pair<const char*, bool> cases[] = {{"ImageEnabled=\"TRUE\"", true},  {"ImageEnabled=\"1\"", true},
                                                  {"ImageEnabled=\"tRuE\"", true},  {"ImageEnabled=\"False\"", false},
                                                  {"ImageEnabled=\"0\"", false},    {"", false},
                                                  {"ImageEnabled=\"yes\"", false}};
    for (const auto& [attribute, enabled] : cases) EXPECT_EQ(ReadSim(attribute)->IsPictureEnabled(), enabled) << attribute;
}

TEST(CameraSimulated, WritesItsElementInOrder) {
    auto camera = ReadSim("X=\"1.5\" Y=\"-2\" Z=\"1000.125\" A=\"270\" B=\"0\" C=\"0.1\" ImageEnabled=\"1\"");
    tinyxml2::XMLDocument document;
    document.InsertEndChild(camera->Write(document));
    tinyxml2::XMLPrinter printer(nullptr, true);
    document.Print(&printer);
    EXPECT_STREQ(printer.CStr(),
                 "<HwCamera Type=\"Sim\" Name=\"sim1\" X=\"1.5\" Y=\"-2\" Z=\"1000.125\" A=\"270\" B=\"0\" "
                 "C=\"0.1\" ImageEnabled=\"True\"/>");
    EXPECT_EQ(camera->GetHXPConfigString(3), "CONFIG Camera 3 Sim sim1");
}

TEST(CameraSimulated, PicturesOnlyWhenEnabledOneEachPeriod) {
    auto quiet = ReadSim("ImageEnabled=\"False\"");
    quiet->Start();
    EXPECT_FALSE(quiet->IsRunning());
    EXPECT_EQ(quiet->GetImage(), nullptr);

    auto camera = ReadSim("ImageEnabled=\"true\"");
    camera->SetPicturePeriod(std::chrono::milliseconds(100));
    camera->Start();
    ASSERT_TRUE(VisionTest::WaitFor([&] { return camera->GetImage() != nullptr; }));
    const auto first = camera->GetImage();
    const auto* yuv = dynamic_cast<const Imaging::ImageYUV*>(first.get());
    ASSERT_NE(yuv, nullptr);
    EXPECT_EQ(yuv->GetWidth(), 640u);
    EXPECT_EQ(yuv->GetHeight(), 480u);
    // Every period brings a new picture object.
    EXPECT_TRUE(VisionTest::WaitFor([&] { return camera->GetImage() != first; }));
    // The simulated camera encodes nothing for the clients.
    std::ostringstream text;
    EXPECT_EQ(camera->GetEncodedImage(text), 0u);
    camera->Stop();
    EXPECT_FALSE(camera->IsRunning());
}

// The picture thread holds a plain pointer to its camera: Stop and the
// destructor end and join it (ASan and TSan see any use after the camera).
TEST(CameraSimulated, StopAndDestructionEndThePictureThread) {
    auto camera = ReadSim("ImageEnabled=\"1\"");
    camera->Start();
    ASSERT_TRUE(VisionTest::WaitFor([&] { return camera->GetImage() != nullptr; }));
    camera->Stop();
    EXPECT_FALSE(camera->IsRunning());
    camera->Start();
    EXPECT_TRUE(camera->IsRunning());
    camera.reset();
}
