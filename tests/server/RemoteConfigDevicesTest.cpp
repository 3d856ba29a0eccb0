// "CONFIG" messages over loopback, second half: cameras, external axes, the
// Modbus server and the cloud link; and each remote change surviving a
// later rewrite of the project file for another reason.

#include <gtest/gtest.h>

#include <string>
#include <tinyxml2.h>
#include <vector>

#include "cloud/MqttClient.h"
#include "controller/ProjectManager.h"
#include "controller/ProjectManagerTestSupport.h"
#include "server/ModbusServer.h"
#include "server/RemoteTestSupport.h"
#include "vision/CameraManager.h"
#include "vision/CameraUSB.h"

namespace {

using Bodies = std::vector<std::string>;

class RemoteDevices : public RemoteTest::Remote {
protected:
    void SetUp() override {
        Camera::CameraManager::Instance()->Clear();
        modbus->SetPort(502);
        modbus->SetMaxConnections(5);
        InitRobot(rm);
        StartServer(&rm, &pm, &cloud);
    }
    void TearDown() override {
        Remote::TearDown();
        modbus->Stop();
        Camera::CameraManager::Instance()->Clear();
        Camera::CameraManager::Instance()->GetCamerasAfterChanges();
    }
    std::shared_ptr<Camera::CameraInterface> CameraNamed(const std::string& name) {
        return Camera::CameraManager::Instance()->Get(name);
    }

    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    RobotMaster rm;
    ProjectManager pm;
    Cloud::MqttClient cloud{&rm};
};

TEST_F(RemoteDevices, CamerasAreSetRemovedListedAndCleared) {
    EXPECT_EQ(Reply("CONFIG GetCameras"), "CONFIG Camera 0");

    EXPECT_EQ(Replies("CONFIG SetCamera cam2 USB 0 1 false"), Bodies{});
    EXPECT_TRUE(pm.IsRewritePending());
    auto usb = std::dynamic_pointer_cast<Camera::CameraUSB>(CameraNamed("cam2"));
    ASSERT_TRUE(usb != nullptr);
    EXPECT_TRUE(usb->IsActive());
    EXPECT_EQ(usb->GetDeviceNumber(), 1);
    EXPECT_FALSE(usb->IsImageEnabled());
    EXPECT_TRUE(RemoteTest::WaitFor([&]() { return Camera::CameraManager::Instance()->Count() == 1; }));
    EXPECT_EQ(Reply("CONFIG GetCameras"), "CONFIG Camera 1 USB cam2 True 1 False");

    EXPECT_EQ(Replies("CONFIG SetCamera cam3 IFMO2D x 127.0.0.1 1 0.5 0.5 1 2 3 0 0 -1 0 1 0 400 true 1"),
              Bodies{});
    auto ifm = CameraNamed("cam3");
    ASSERT_TRUE(ifm != nullptr);
    EXPECT_EQ(ifm->GetTypeId(), "IFMO2D");
    EXPECT_TRUE(ifm->IsActive());
    EXPECT_TRUE(ifm->IsImageEnabled());

    EXPECT_EQ(Replies("CONFIG SetCamera cam4 SolutionBinPicking x 127.0.0.1 1 1 2 3 0 0 -1 0 1 0 500 false"),
              Bodies{});
    auto bin = CameraNamed("cam4");
    ASSERT_TRUE(bin != nullptr);
    EXPECT_EQ(bin->GetTypeId(), "SolutionBinPicking");

    EXPECT_EQ(Replies("CONFIG SetCamera cam1 Sim 1"), Bodies{});
    EXPECT_TRUE(log.Has(
        "HXP-Server: Could not change camera configuration of camera 'cam1', type 'Sim' is not implemented"));

    EXPECT_EQ(Replies("CONFIG SetCamera cam2 None"), Bodies{});
    EXPECT_TRUE(CameraNamed("cam2") == nullptr);
    EXPECT_TRUE(CameraNamed("cam3") != nullptr);

    EXPECT_EQ(Replies("CONFIG ClearCameras"), Bodies{});
    EXPECT_TRUE(CameraNamed("cam3") == nullptr);
    EXPECT_TRUE(CameraNamed("cam4") == nullptr);
}

TEST_F(RemoteDevices, CameraWithoutNameOrTypeIsRefusedAndTheConnectionStays) {
    EXPECT_EQ(Replies("CONFIG SetCamera cam9", 3), Bodies{});
    EXPECT_TRUE(log.HasStartingWith("HXP-Server: Exception while parsing message of type 'CONFIG'"));
    EXPECT_TRUE(CameraNamed("cam9") == nullptr);
    EXPECT_EQ(Reply("CMD GetVersion"), "INFO Version Korvella 16");
}

TEST_F(RemoteDevices, ExternalAxesFromTheListMessageKeepTheirMotionMode) {
    EXPECT_EQ(Reply("CONFIG GetExternalAxes"), "CONFIG ExternalAxes 0");
    EXPECT_EQ(Reply("CONFIG GetExternalAxes2"), "CONFIG ExternalAxis 0 0");

    ExternalAxis velocityAxis;
    velocityAxis.index = 0;
    velocityAxis.motionMode = Hardware::JointModeVelocity;
    rm.SetExternalAxis(velocityAxis);
    // Only the last axis may leave out its four optional values.
    EXPECT_EQ(Replies("CONFIG SetExternalAxes 2 na independent 20 1 -100 100 50 100 10 90 5 -1 7 na dependent 21 2 -5 "
                      "5 1 2 3"),
              Bodies{});
    EXPECT_TRUE(pm.IsRewritePending());
    EXPECT_EQ(Replies("CONFIG GetExternalAxes2"),
              (Bodies{"CONFIG ExternalAxis 2 0 na Independent Velocity 20 1 -100 100 50 100 10 90 5 -1 7",
                      "CONFIG ExternalAxis 2 1 na Dependent Position 21 2 -5 5 1 2 3 0 0 1 0"}));
    EXPECT_EQ(Reply("CONFIG GetExternalAxes"),
              "CONFIG ExternalAxes 2 na Independent 20 1 -100 100 50 100 10 90 5 -1 7 na Dependent 21 2 -5 5 1 2 3 0 0 1 0");

    // The optional four values of the last axis, and a configuration file that is kept but not used.
    EXPECT_EQ(Replies("CONFIG SetExternalAxes 1 cfg\\axis.xml dependent 22 1 0 10 5 5 5 180 1.5 -1 2"), Bodies{});
    EXPECT_EQ(Reply("CONFIG GetExternalAxes"), "CONFIG ExternalAxes 1 cfg/axis.xml Dependent 22 1 0 10 5 5 5 180 1.5 -1 2");
    EXPECT_TRUE(log.Has("HXP-Server: ERROR: Configuration file for external axis is not supported anymore"));

    // A gear scale of 0 (the driver divides by it) leaves the axis unset.
    EXPECT_EQ(Replies("CONFIG SetExternalAxes 1 na dependent 22 0 0 10 5 5 5"), Bodies{});
    EXPECT_EQ(Reply("CONFIG GetExternalAxes"), "CONFIG ExternalAxes 0");
    EXPECT_TRUE(log.HasError("HXP-Server: ERROR, external axis 0 not set: gear scale 0"));
}

TEST_F(RemoteDevices, ExternalAxisListWithoutItsWordsChangesNothing) {
    ExternalAxis axis;
    axis.index = 1;
    axis.canId = 33;
    rm.SetExternalAxis(axis);
    EXPECT_EQ(Replies("CONFIG SetExternalAxes 2 na independent 20 1 -100 100 50 100 10", 3), Bodies{});
    EXPECT_TRUE(log.HasStartingWith("HXP-Server: Exception while parsing message of type 'CONFIG'"));
    ASSERT_TRUE(rm.HasExternalAxis(1));
    EXPECT_EQ(rm.GetExternalAxis(1).canId, 33);
}

TEST_F(RemoteDevices, SingleExternalAxisMessage) {
    const std::string values = " na independent velocity 20 1 -100 100 50 100 10 ";
    struct Case {
        const char* angle;
        int stored;
    };
    for (const Case& c : {Case{"-45", 270}, Case{"100", 90}, Case{"0", 0}, Case{"88.9", 0}, Case{"89", 90},
                          Case{"268.5", 180}, Case{"300", 270}, Case{"-200", 90}, Case{"-400", 90}}) {
        EXPECT_EQ(Replies(std::string("CONFIG SetExternalAxis 1 0") + values + c.angle + " 0 1 0"), Bodies{});
        ASSERT_TRUE(rm.HasExternalAxis(0)) << c.angle;
        EXPECT_EQ(rm.GetExternalAxis(0).directionAngleToY, c.stored) << c.angle;
        EXPECT_EQ(rm.GetExternalAxis(0).motionMode, Hardware::JointModeVelocity);
    }

    // Axes at the count or above are removed first; the message's axis is then set.
    rm.SetExternalAxis([] {
        ExternalAxis a;
        a.index = 2;
        return a;
    }());
    EXPECT_EQ(Replies("CONFIG SetExternalAxis 0 1" + values + "0 0 1 0"), Bodies{});
    EXPECT_FALSE(rm.HasExternalAxis(0));
    EXPECT_TRUE(rm.HasExternalAxis(1));
    EXPECT_FALSE(rm.HasExternalAxis(2));

    // Some but not all values with the count 0: all axes are cleared.
    EXPECT_EQ(Replies("CONFIG SetExternalAxis 0 1 na independent"), Bodies{});
    EXPECT_FALSE(rm.HasExternalAxis(1));
    EXPECT_TRUE(log.Has("HXP-Server: Clearing external axes"));

    // Words longer than their buffers are cut there and the rest of the frame no longer fits.
    EXPECT_EQ(Replies("CONFIG SetExternalAxis 1 0 na " + std::string(40, 'i') + " velocity 20 1 -100 100 50 100 10 0 0 1 0"),
              Bodies{});
    EXPECT_FALSE(rm.HasExternalAxis(0));

    EXPECT_EQ(Replies("CONFIG SetExternalAxis 1"), Bodies{});
    EXPECT_TRUE(log.Has("HXP-Server: Invalid SetExternalAxis message"));

    // Not from a passive client, neither set nor cleared.
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    EXPECT_EQ(Replies(*passive, "CONFIG SetExternalAxis 1 0" + values + "90 0 1 0"), Bodies{});
    EXPECT_FALSE(rm.HasExternalAxis(0));
    ASSERT_EQ(Replies("CONFIG SetExternalAxis 1 0" + values + "90 0 1 0"), Bodies{});
    ASSERT_TRUE(rm.HasExternalAxis(0));
    EXPECT_EQ(Replies(*passive, "CONFIG SetExternalAxis 0 0 na"), Bodies{});
    EXPECT_TRUE(rm.HasExternalAxis(0));
}

TEST_F(RemoteDevices, ModbusServerSettings) {
    EXPECT_EQ(Reply("CONFIG GetModbus"), "CONFIG Modbus False 502 5");
    // The same values change nothing and log nothing.
    EXPECT_EQ(Replies("CONFIG SetModbus false 502 5"), Bodies{});
    EXPECT_EQ(log.CountContaining("Changing Modbus"), 0);
    EXPECT_FALSE(pm.IsRewritePending());

    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    modbus->Init(&rm, &pm);
    EXPECT_EQ(Replies("CONFIG SetModbus TRUE " + std::to_string(port) + " 2"), Bodies{});
    EXPECT_TRUE(log.Has("HXP-Server: Changing Modbus server configuration: enabled=true, port=" + std::to_string(port) +
                        ", max connections=2"));
    EXPECT_TRUE(pm.modbusActive);
    EXPECT_TRUE(pm.IsRewritePending());
    EXPECT_TRUE(RemoteTest::WaitFor([&]() { return modbus->GetBoundPort() == port; }));
    EXPECT_EQ(Reply("CONFIG GetModbus"), "CONFIG Modbus True " + std::to_string(port) + " 2");

    EXPECT_EQ(Replies("CONFIG SetModbus false " + std::to_string(port) + " 2"), Bodies{});
    EXPECT_FALSE(modbus->IsRunning());
    EXPECT_FALSE(pm.modbusActive);

    for (const char* bad : {"CONFIG SetModbus true 1502", "CONFIG SetModbus true 0 5", "CONFIG SetModbus true 70000 5",
                            "CONFIG SetModbus true 1502 0", "CONFIG SetModbus true 1502 x"}) {
        log.Clear();
        EXPECT_EQ(Replies(bad), Bodies{}) << bad;
        EXPECT_TRUE(log.Has("HXP-Server: Error: Incomplete or invalid SetModbus message")) << bad;
    }
    EXPECT_EQ(Reply("CONFIG GetModbus"), "CONFIG Modbus False " + std::to_string(port) + " 2");
}

TEST_F(RemoteDevices, CloudConnectionAndNames) {
    // The cloud client announces its changed state to every client on its own; only the replies count here.
    const auto Answers = [this](RemoteTest::Client& client, const std::string& body) {
        Bodies bodies;
        for (const std::string& b : Replies(client, body))
            if (b.rfind("CONFIG Cloud ", 0) != 0) bodies.push_back(b);
        return bodies;
    };
    // Without quoted values only the switch changes; nothing is stored.
    EXPECT_EQ(Answers(*active, "CONFIG SetCloudConnection false"), Bodies{});
    EXPECT_FALSE(cloud.IsEnabled());
    EXPECT_FALSE(pm.IsRewritePending());
    EXPECT_TRUE(log.Has("HXP-Server: Received SetCloudConnection: enabled=false"));

    EXPECT_EQ(Answers(*active, "CONFIG SetCloudConnection false \"robot-9\" \"alice\" \"s3cr\\\"et\""), Bodies{});
    EXPECT_EQ(cloud.GetClientId(), "robot-9");
    EXPECT_TRUE(cloud.AreCredentialsSet());
    const std::string stored = cloud.GetEncryptedCredentials();
    EXPECT_FALSE(stored.empty());
    EXPECT_EQ(stored.find("s3cr"), std::string::npos);
    EXPECT_EQ(stored.find("alice"), std::string::npos);
    EXPECT_TRUE(pm.IsRewritePending());
    EXPECT_TRUE(log.Has("HXP-Server: Received SetCloudConnection: enabled=false, client ID='robot-9', user "
                        "name='alice', has password=yes"));
    for (const std::string& line : log.Lines()) EXPECT_EQ(line.find("s3cr"), std::string::npos) << line;

    // An empty password clears the stored credentials and leaves the link off.
    EXPECT_EQ(Answers(*active, "CONFIG SetCloudConnection true \"robot-9\" \"alice\" \"\""), Bodies{});
    EXPECT_FALSE(cloud.AreCredentialsSet());
    EXPECT_FALSE(cloud.IsEnabled());

    log.Clear();
    EXPECT_EQ(Answers(*active, "CONFIG SetCloudConnection true \"robot-9\" \"alice\""), Bodies{});
    EXPECT_TRUE(log.Has("HXP-Server: Could not parse CONFIG SetCloudConnection: Incomplete parameters"));

    EXPECT_EQ(Answers(*active, "CONFIG SetCloudInfo \"Cell 4\" \"acme\" \"env\" \"work\""), Bodies{});
    EXPECT_EQ(cloud.GetRobotName(), "Cell 4");
    EXPECT_EQ(cloud.GetRobotOwner(), "acme");
    EXPECT_EQ(cloud.GetCameraEnvironment(), "env");
    EXPECT_EQ(cloud.GetCameraWorkarea(), "work");
    EXPECT_EQ(Reply("CONFIG GetCloud"),
              "CONFIG Cloud False False False \"robot-9\" \"Cell 4\" \"acme\" \"env\" \"work\"");

    // Only a robot name: all four become empty.
    EXPECT_EQ(Answers(*active, "CONFIG SetCloudInfo \"Cell 5\""), Bodies{});
    EXPECT_TRUE(log.Has("HXP-Server: Could not parse CONFIG SetCloudInfo: Incomplete parameters"));
    EXPECT_EQ(cloud.GetRobotName(), "");
    EXPECT_EQ(cloud.GetCameraWorkarea(), "");

    // A passive client sets neither the names nor the connection.
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    EXPECT_EQ(Answers(*passive, "CONFIG SetCloudInfo \"a\" \"b\""), Bodies{});
    EXPECT_EQ(cloud.GetRobotName(), "");
    EXPECT_EQ(Answers(*passive, "CONFIG SetCloudConnection false \"x\" \"y\" \"z\""), Bodies{});
    EXPECT_EQ(cloud.GetClientId(), "robot-9");
}

// Changes made remotely are written from their owners, so a later rewrite for
// another reason keeps them instead of putting the start-up values back.
TEST_F(RemoteDevices, RemoteChangesSurviveALaterUnrelatedRewrite) {
    using namespace ProjectManagerTest;
    // Opening the project sets process-wide settings that the robot thread reads.
    rm.StopMainLoop();
    ProjectRoot root;
    ProjectManager project(&cloud);
    project.SetRootPath(root.Path());
    project.SetModbusServer(modbus);
    FakeTarget target;
    ASSERT_EQ(project.OpenProject(&target), 0);
    modbus->SetPort(project.modbusPort);
    modbus->SetMaxConnections(static_cast<unsigned>(project.modbusMaxConnections));
    const ProjectCloudSettings settings = project.GetCloudSettings();
    cloud.SetClientId(settings.clientId);
    cloud.SetEncryptedCredentials(settings.encryptedCredentials);
    cloud.SetRobotName(settings.robotName);
    cloud.SetRobotOwner(settings.robotOwner);
    manager->Shutdown();
    active.reset();
    StartServer(&rm, &project, &cloud);

    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    EXPECT_EQ(Replies("CONFIG SetModbus false " + std::to_string(port) + " 4"), Bodies{});
    EXPECT_EQ(Replies("CONFIG SetCloudInfo \"Cell 9\" \"new owner\""), Bodies{});
    EXPECT_EQ(Replies("CONFIG SetCamera side USB 0 2 true"), Bodies{});
    project.UpdateConfiguration(&target, true);

    // An unrelated change later: the start program.
    target.programFile = "Other/other.xml";
    project.QueueUpdateProjectFile();
    project.UpdateConfiguration(&target, true);

    tinyxml2::XMLDocument document;
    ASSERT_EQ(document.LoadFile(root.ProjectPath().c_str()), tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* environment = document.RootElement()->FirstChildElement("Environment");
    const tinyxml2::XMLElement* modbusElement = environment->FirstChildElement("ModbusServer");
    EXPECT_EQ(modbusElement->IntAttribute("Port"), port);
    EXPECT_EQ(modbusElement->IntAttribute("MaxConnections"), 4);
    EXPECT_STREQ(modbusElement->Attribute("Active"), "False");
    const tinyxml2::XMLElement* cloudElement = environment->FirstChildElement("Cloud");
    EXPECT_STREQ(cloudElement->Attribute("RobotName"), "Cell 9");
    EXPECT_STREQ(cloudElement->Attribute("RobotOwner"), "new owner");
    EXPECT_STREQ(cloudElement->Attribute("ClientID"), "robot-17");
    const tinyxml2::XMLElement* cameras = document.RootElement()->FirstChildElement("Cameras");
    ASSERT_TRUE(cameras != nullptr);
    const tinyxml2::XMLElement* camera = cameras->FirstChildElement("HwCamera");
    bool side = false;
    for (; camera != nullptr; camera = camera->NextSiblingElement("HwCamera"))
        side = side || std::string(camera->Attribute("Name")) == "side";
    EXPECT_TRUE(side);
    EXPECT_STREQ(document.RootElement()->FirstChildElement("Program")->Attribute("File"), "Other/other.xml");
    ResetGlobalSettings();
}

}  // namespace
