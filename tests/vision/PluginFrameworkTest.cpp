#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "PkgProgram/IPOTestSupport.h"
#include "PkgProgram/MotionTestSupport.h"
#include "common/LogSingleton.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"
#include "vision/FakeCameras.h"
#include "vision/PluginManager.h"

using PluginFramework::PluginManager;
using VisionTest::LoopbackServer;
using VisionTest::WaitFor;

namespace {

std::string Config(const std::string& connection, const std::string& geometry) {
    return "<?xml version=\"1.0\"?>\n<Configuration>\n" + connection + geometry + "</Configuration>\n";
}

std::string Connection(int port) {
    return "<Cam0Connection IP=\"127.0.0.1\" Port=\"" + std::to_string(port) + "\"/>\n";
}

// Origin (100, 0, 0), up along x, look along z: side = look x up = (0, 1, 0).
const char* const kGeometry =
    "<Cam0Geometry MaxWaitTime=\"2\" ScaleX=\"1\" ScaleY=\"1\" OriginX=\"100\" OriginY=\"0\" OriginZ=\"0\" LookX=\"0\" "
    "LookY=\"0\" LookZ=\"1\" UpX=\"1\" UpY=\"0\" UpZ=\"0\" ZDistance=\"0\"/>\n";

// A scratch root for the configuration file; records what goes to the remote
// clients and puts the controller's operation mode back afterwards.
class Plugins : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton* log = LogSingleton::instance();
        previousReason = log->get_seriousFailReason();
        previousMode = log->get_opMode();
        log->serverMessageCallback = [this](const std::string& message) {
            std::lock_guard<std::mutex> lock(mutex);
            messages.push_back(message);
        };
    }
    void TearDown() override {
        manager.reset();
        LogSingleton* log = LogSingleton::instance();
        log->serverMessageCallback = nullptr;
        log->set_opMode(previousMode);
        log->set_seriousFailReason(previousReason);
    }

    void WriteConfig(const std::string& content) {
        TestSupport::WriteFile(root.File("Data/Plugins/ConfigSmartCameraIFMO2D.xml"), content);
    }
    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(mutex);
        return messages;
    }
    int CountMessages(const std::string& text) {
        int count = 0;
        for (const std::string& m : Messages()) count += m == text ? 1 : 0;
        return count;
    }
    void ClearMessages() {
        std::lock_guard<std::mutex> lock(mutex);
        messages.clear();
    }

    // Asks like the Plugin command: a pose whose translation is (1, 2, 3) and angles (4, 5, 6).
    struct Answer {
        int result = 0;
        int modelClass = 0;
        float matrix[12] = {0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3};
        float orientation[3] = {4, 5, 6};
    };
    Answer Ask(const std::string& name = "pluginsmartcameraifmo2d") {
        Answer a;
        a.result = manager->ExecutePluginCmdTarget(name, &a.modelClass, nullptr, a.matrix, a.orientation, nullptr,
                                                   nullptr);
        return a;
    }

    TestSupport::ScratchRoot root;
    TestSupport::LogCapture log;
    std::unique_ptr<PluginManager> manager = std::make_unique<PluginManager>();
    std::mutex mutex;
    std::vector<std::string> messages;
    std::string previousReason;
    operationMode previousMode = opModeNormal;
};

}  // namespace

TEST_F(Plugins, ConfigurationFileAndItsFaults) {
    PluginFramework::CameraIFMO2D& camera = manager->GetCamera();
    const std::string path = root.Path() + "/Data/Plugins/ConfigSmartCameraIFMO2D.xml";
    EXPECT_EQ(camera.GetConfigFilePath(), path);
    // Up and look 3 degrees apart: look becomes x before the frame is built.
    WriteConfig(Config(Connection(5000), "<Cam0Geometry UpY=\"1\" LookX=\"0.0524\" LookY=\"1\" OriginZ=\"7\"/>\n"));
    ASSERT_TRUE(camera.ReadConfigFile());
    EXPECT_EQ(CountMessages("Camera configuration: 127.0.0.1:5000"), 1);
    EXPECT_EQ(CountMessages("Camera configuration:  Wait 0.0  Scale 1.00 1.00"), 1);
    EXPECT_EQ(CountMessages("Camera configuration:  Origin 0.0 0.0 7.0  Look 1.0 0.0 0.0  Up 0.0 1.0 0.0  "
                            "ZDistance 0.0"),
              1)
        << Messages().back();
    EXPECT_TRUE(log.Has(path));
    EXPECT_EQ(LogSingleton::instance()->get_opMode(), previousMode);

    struct Case {
        const char* what;
        std::string content;  // empty: no file
        std::string line;
        const char* reason;
    };
    const Case cases[] = {
        {"no file", "", "File " + path + " not available! Aborting read()", "81 Camera Ini file not found"},
        {"not XML", "<Configuration><Cam0Connection", "Could not read camera config file correctly! Aborting!",
         "82 Camera Ini file not valid"},
        {"no Configuration", "<Other/>", "Camera config file: line Configuration not found in project file!",
         "83 Camera Ini file not complete"},
        {"no connection", Config("", kGeometry), "Camera config file: line \"Cam0Connection\" not found in file!",
         "84 Camera Ini file not complete"},
        {"no geometry", Config(Connection(6000), ""), "Camera config file: line \"Cam0Geometry\" not found in file!",
         "85 Camera Ini file not complete"},
    };
    for (const Case& c : cases) {
        LogSingleton::instance()->set_opMode(opModeNormal);
        std::remove(path.c_str());
        if (!c.content.empty()) WriteConfig(c.content);
        EXPECT_FALSE(camera.ReadConfigFile()) << c.what;
        EXPECT_TRUE(log.HasError(c.line)) << c.what;
        EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), c.reason) << c.what;
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeSeriousFail) << c.what;
        // The values read before stay.
        EXPECT_EQ(camera.GetPort(), 5000) << c.what;
    }
    EXPECT_GE(CountMessages("Camera Ini file not found"), 1);

    // A missing address reads as empty.
    WriteConfig(Config("<Cam0Connection Port=\"7\"/>\n", kGeometry));
    ASSERT_TRUE(camera.ReadConfigFile());
    EXPECT_EQ(camera.GetIP(), "");
    EXPECT_EQ(camera.GetPort(), 7);
}

TEST_F(Plugins, MessagesBecomeTargetsInRobotCoordinates) {
    PluginFramework::CameraIFMO2D& camera = manager->GetCamera();
    WriteConfig(Config(Connection(5000), kGeometry));
    ASSERT_TRUE(camera.ReadConfigFile());
    struct Case {
        const char* what;
        std::string text;
        int result;
        float x, y, rotation;
        int modelClass;
    };
    const Case cases[] = {
        {"pass", "0000startPASS#0.9#1#3#400#300#45.7#0stop", 0, 180, 60, 45, 3},
        {"rotation 270", "0000startPASS#0.9#1#2#320#240#270#0stop", 0, 100, 0, -90, 2},
        {"rotation -190", "0000startPASS#0.9#1#2#320#240#-190.9#0stop", 0, 100, 0, 170, 2},
        {"fields missing keep 0", "0000startPASS#0.9#1stop", 0, -220, -240, 0, 0},
        {"fail", "0000startFAIL#stop", -1, 0, 0, 0, -1},
        {"text before the pass", "xx0000startPASS#0.9#1#3#400#300#45#0stop", -2, 0, 0, 0, -1},
        {"fail before a pass", "0000startFAIL#stop0000startPASS#0.9#1#3#400#300#45#0stop", -1, 0, 0, 0, -1},
        {"pixel out of int range", "0000startPASS#0.9#1#3#99999999999#300#45#0stop", -2, 0, 0, 0, -1},
        {"rotation not finite", "0000startPASS#0.9#1#3#400#300#inf#0stop", -2, 0, 0, 0, -1},
        {"short", "0", -2, 0, 0, 0, -1},
        {"empty", "", -2, 0, 0, 0, -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(camera.ParseMessage(c.text), c.result) << c.what;
        float position[3] = {-1, -1, -1};
        float rotation = -1;
        int modelClass = -1;
        const bool got = camera.GetTargetPos(position, &rotation, &modelClass);
        EXPECT_EQ(got, c.result == 0) << c.what;
        if (!got) continue;
        EXPECT_FLOAT_EQ(position[0], c.x) << c.what;
        EXPECT_FLOAT_EQ(position[1], c.y) << c.what;
        EXPECT_FLOAT_EQ(position[2], 0.0f) << c.what;
        EXPECT_FLOAT_EQ(rotation, c.rotation) << c.what;
        EXPECT_EQ(modelClass, c.modelClass) << c.what;
    }
}

TEST_F(Plugins, ObjectReportsOnChangeAndEveryFiveSeconds) {
    PluginFramework::CameraIFMO2D& camera = manager->GetCamera();
    WriteConfig(Config(Connection(5000), kGeometry));
    ASSERT_TRUE(camera.ReadConfigFile());
    time_t now = 1000;
    camera.SetWallClock([&now] { return now; });
    ClearMessages();
    const std::string none = "IFM O2D Client: No object recognized";
    camera.ParseMessage("0000startFAIL#stop");  // same state as at start, 1000 s after "0"
    now += 2;
    camera.ParseMessage("0000startFAIL#stop");
    EXPECT_EQ(CountMessages(none), 1);
    camera.ParseMessage("0000startPASS#0.9#1#3#400#300#45.7#0stop");
    EXPECT_EQ(Messages().back(),
              "IFM O2D Client: Got target position  x=180.00 y=60.00 rot=45.00,  camera origin x=400px y=300px,  "
              "type=3");
    camera.ParseMessage("0000startFAIL#stop");
    EXPECT_EQ(CountMessages(none), 2);
    now += 5;
    camera.ParseMessage("0000startFAIL#stop");
    EXPECT_EQ(CountMessages(none), 2);
    now += 1;
    camera.ParseMessage("0000startFAIL#stop");
    EXPECT_EQ(CountMessages(none), 3);
}

TEST_F(Plugins, LidarIsSearchedAndNotSupported) {
    PluginFramework::LidarHokuyoURG& lidar = manager->GetLidar();
    const std::string tty = root.Path() + "/tty/";
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> devices;  // name, modalias
        std::string found;
    };
    const Case cases[] = {
        {"none", {}, ""},
        {"other maker", {{"ttyACM0", "usb:v2341p0043d0001"}}, ""},
        {"not an ACM port", {{"ttyUSB0", "usb:v15D1p0000d0100"}}, ""},
        {"the lidar", {{"ttyS0", ""}, {"ttyACM3", "platform usb:v15D1p0000d0100dc02"}}, "/dev/ttyACM3"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(tty);
        std::filesystem::create_directories(tty);
        for (const auto& [name, alias] : c.devices) TestSupport::WriteFile(tty + name + "/device/modalias", alias + "\n");
        lidar.SetTtyClassPath(tty);
        log.Clear();
        manager->GetLidar().StartAutodetectSerial();
        EXPECT_TRUE(log.Has("Lidar: Detecting device")) << c.what;
        if (c.found.empty()) {
            EXPECT_TRUE(log.HasError("Lidar: Could not find device")) << c.what;
        } else {
            EXPECT_TRUE(log.Has("Lidar: Found device on port " + c.found + ", connecting")) << c.what;
            EXPECT_TRUE(log.HasError("Lidar: not supported by Korvella")) << c.what;
        }
        EXPECT_FALSE(lidar.IsConnected());
    }
    const std::vector<std::string> entries = lidar.GetDirectoryEntries(tty);
    EXPECT_NE(std::find(entries.begin(), entries.end(), "."), entries.end());
    EXPECT_NE(std::find(entries.begin(), entries.end(), "ttyACM3"), entries.end());
    EXPECT_TRUE(lidar.GetDirectoryEntries(root.Path() + "/none").empty());
}

TEST_F(Plugins, ClientFollowsThePushingCameraAndEndsWithItsConnection) {
    LoopbackServer camera;
    WriteConfig(Config(Connection(camera.Port()), kGeometry));
    manager->GetLidar().SetTtyClassPath(root.Path() + "/no-tty/");
    EXPECT_THROW(
        {
            try {
                Ask();
            } catch (const std::runtime_error& e) {
                EXPECT_STREQ(e.what(), "PluginManager - Camera not connected!");
                throw;
            }
        },
        std::runtime_error);

    // Two starts in a row, the second maybe while the first still connects: one client.
    manager->StartPlugins();
    manager->StartPlugins();
    // Both ends: the client's connect may return before the device has taken it.
    ASSERT_TRUE(WaitFor([&] { return manager->GetCamera().IsConnected() && camera.IsConnected(); }));
    EXPECT_EQ(CountMessages("Camera Client IFM O2D connecting to 127.0.0.1 port " + std::to_string(camera.Port())), 1);
    // No object yet: nothing changes, class -1.
    Answer a = Ask();
    EXPECT_EQ(a.result, 0);
    EXPECT_EQ(a.modelClass, -1);
    EXPECT_FLOAT_EQ(a.matrix[7], 2.0f);

    ASSERT_TRUE(camera.Send("0000startPASS#0.9#1#3#400#300#45.7#0stop"));
    ASSERT_TRUE(WaitFor([&] { return Ask().result == 1; }));
    a = Ask();
    EXPECT_EQ(a.modelClass, 3);
    EXPECT_FLOAT_EQ(a.matrix[3], 180.0f);
    EXPECT_FLOAT_EQ(a.matrix[7], 60.0f);
    EXPECT_FLOAT_EQ(a.matrix[11], 0.0f);
    EXPECT_FLOAT_EQ(a.orientation[0], 45.0f);
    EXPECT_FLOAT_EQ(a.orientation[1], 5.0f);
    EXPECT_TRUE(log.Has("PluginManager received target: x=180.0  y=60.0  z=0.0 -  A=45.00  B=5.00  C=6.00 - "
                        "modelclass 3"));
    EXPECT_THROW(Ask("lidar"), std::runtime_error);

    // A further start only re-reads the configuration.
    manager->StartPlugins();
    EXPECT_EQ(camera.Connections(), 1);
    EXPECT_TRUE(log.HasError("Lidar: Could not find device"));

    // The camera goes away: the client ends, its target with it.
    camera.Disconnect();
    ASSERT_TRUE(WaitFor([&] { return !manager->GetCamera().IsThreadRunning(); }));
    EXPECT_FALSE(manager->GetCamera().IsConnected());
    EXPECT_GE(CountMessages("IFM O2D Client: stopping com thread..."), 1);
    EXPECT_THROW(Ask(), std::runtime_error);

    // The next program start connects again.
    manager->StartPlugins();
    ASSERT_TRUE(camera.WaitForConnections(2));
    ASSERT_TRUE(WaitFor([&] { return manager->GetCamera().IsConnected(); }));
    manager->StopPlugins();
    EXPECT_FALSE(manager->GetCamera().IsThreadRunning());
    EXPECT_FALSE(manager->GetCamera().IsConnected());
}

TEST_F(Plugins, NoCameraToConnectTo) {
    WriteConfig(Config(Connection(TestSupport::FreeLoopbackPort()), kGeometry));
    manager->GetLidar().SetTtyClassPath(root.Path() + "/no-tty/");
    manager->StartPlugins();
    ASSERT_TRUE(WaitFor([&] { return !manager->GetCamera().IsThreadRunning(); }));
    EXPECT_EQ(CountMessages("IFM O2D Client: Could not connect to camera"), 1);
    EXPECT_THROW(Ask(), std::runtime_error);
}

TEST_F(Plugins, ProgramTakesItsTargetFromThePlugin) {
    LoopbackServer camera;
    // Pixel (320, 240) maps to the origin: a pose the test robot reaches.
    std::unique_ptr<RobotKinematic> kinematic = MotionTest::Kinematic();
    ASSERT_NE(kinematic, nullptr);
    const float joints[9] = {10, 20, 30, 5, 40, 15, 0, 0, 0};
    std::unique_ptr<RobotKinematic> model(kinematic->clone());
    model->SetJoints(joints, false);
    DataTypes::RobotState reachable;
    model->GetPosition(&reachable);
    reachable.UpdateABC();
    const DataTypes::Vector3 origin = reachable.pose.GetTranslation();
    WriteConfig(Config(Connection(camera.Port()),
                       "<Cam0Geometry OriginX=\"" + std::to_string(origin.x) + "\" OriginY=\"" +
                           std::to_string(origin.y) + "\" OriginZ=\"" + std::to_string(origin.z) +
                           "\" UpX=\"1\" LookZ=\"1\"/>\n"));

    IPOTest::Interpreter in;
    in.ipo.replayMode = IPO::ReplaySingle;
    in.memory.SetKinematic(kinematic.get());
    in.ipo.pluginManager.GetLidar().SetTtyClassPath(root.Path() + "/no-tty/");
    char store[256];
    std::snprintf(store, sizeof(store),
                  "<Store Nr=\"1\" Type=\"position\" Name=\"target\" Value=\"%f %f %f %f %f %f\"/>\n", origin.x,
                  origin.y, origin.z, reachable.A, reachable.B, reachable.C);
    IPOTest::WriteProgram(root, "pick.xml",
                          std::string(store) +
                              "<Store Nr=\"2\" Type=\"number\" Name=\"kind\" Value=\"0\"/>\n"
                              "<Plugin Nr=\"3\" PluginName=\"PluginSmartCameraIFMO2D\" VarTargetPos=\"Target\" "
                              "VarModelClass=\"Kind\"/>\n");
    ASSERT_TRUE(in.Load("pick.xml"));
    in.ipo.Start();
    // The program waits on the command until the camera pushes an object.
    in.Step(20);
    EXPECT_TRUE(in.ipo.IsReplayRunning());
    ASSERT_TRUE(WaitFor([&] { return in.ipo.pluginManager.GetCamera().IsConnected() && camera.IsConnected(); }));
    const int rotation = static_cast<int>(std::lround(reachable.A));
    ASSERT_TRUE(camera.Send("0000startPASS#0.9#1#7#320#240#" + std::to_string(rotation) + "#0stop"));
    ASSERT_TRUE(WaitFor([&] {
        in.Step();
        return !in.ipo.IsReplayRunning();
    }));
    EXPECT_DOUBLE_EQ(in.Number("kind"), 7.0);
    const DataTypes::RobotState target = in.memory.GetVariable("target").position;
    EXPECT_NEAR(target.pose(0, 3), origin.x, 1e-2);
    EXPECT_NEAR(target.pose(2, 3), origin.z, 1e-2);
    EXPECT_FLOAT_EQ(target.A, static_cast<float>(rotation));
    EXPECT_TRUE(log.HasStartingWith("Plugin: X="));
    for (const IPOTest::Event& e : IPOTest::Events::Take()) EXPECT_NE(e.type, HXPEventError) << e.text;
}

TEST_F(Plugins, TargetsThatAreNotFiniteStopTheProgram) {
    LoopbackServer camera;
    // A scale this large turns any pixel off the centre into an infinite distance.
    WriteConfig(Config(Connection(camera.Port()), "<Cam0Geometry ScaleX=\"3e38\" UpX=\"1\" LookZ=\"1\"/>\n"));
    IPOTest::Interpreter in;
    in.ipo.replayMode = IPO::ReplaySingle;
    in.ipo.pluginManager.GetLidar().SetTtyClassPath(root.Path() + "/no-tty/");
    IPOTest::WriteProgram(root, "pick.xml",
                          "<Store Nr=\"1\" Type=\"position\" Name=\"target\" Value=\"1 2 3 4 5 6\"/>\n"
                          "<Store Nr=\"2\" Type=\"number\" Name=\"kind\" Value=\"0\"/>\n"
                          "<Plugin Nr=\"3\" PluginName=\"PluginSmartCameraIFMO2D\" VarTargetPos=\"target\" "
                          "VarModelClass=\"kind\"/>\n");
    ASSERT_TRUE(in.Load("pick.xml"));
    in.ipo.Start();
    ASSERT_TRUE(WaitFor([&] { return in.ipo.pluginManager.GetCamera().IsConnected() && camera.IsConnected(); }));
    ASSERT_TRUE(camera.Send("0000startPASS#0.9#1#7#400#240#0#0stop"));
    ASSERT_TRUE(WaitFor([&] {
        in.Step();
        return !in.ipo.IsReplayRunning();
    }));
    bool reported = false;
    for (const IPOTest::Event& e : IPOTest::Events::Take()) {
        if (e.type == HXPEventError)
            reported = reported || e.text.find("gave a target that is not finite") != std::string::npos;
    }
    EXPECT_TRUE(reported);
    // Attempts without a target wrote back what they had (class -1); the bad one stored nothing.
    EXPECT_FLOAT_EQ(in.memory.GetVariable("target").position.pose(0, 3), 1.0f);
    EXPECT_NE(in.Number("kind"), 7.0);
}
