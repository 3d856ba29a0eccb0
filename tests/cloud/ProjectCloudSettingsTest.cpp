// The project file's "Cloud" element written from the cloud client's current
// values, and the stored credentials read back through a fresh project.

#include <gtest/gtest.h>

#include <string>
#include <tinyxml2.h>

#include "cloud/DeviceIdentifier.h"
#include "cloud/MqttClient.h"
#include "controller/ProjectManager.h"
#include "controller/ProjectManagerTestSupport.h"
#include "support/TestSupport.h"

namespace {

class DeviceFile {
public:
    explicit DeviceFile(const std::string& path) {
        TestSupport::WriteFile(path, "0f1e2d3c4b5a69788796a5b4c3d2e1f0\n");
        Cloud::SetDeviceIdentifierFile(path);
    }
    ~DeviceFile() { Cloud::SetDeviceIdentifierFile("/etc/machine-id"); }
};

TEST(ProjectCloudSettings, RewriteTakesTheClientsCurrentValues) {
    ProjectManagerTest::ResetGlobalSettings();
    ProjectManagerTest::ProjectRoot root;
    DeviceFile device(root.Path() + "machine-id");
    Cloud::MqttClient client(nullptr);
    ProjectManagerTest::FakeTarget target;
    {
        ProjectManager pm(&client);
        ASSERT_EQ(pm.OpenProject(&target), 0);
        // Changed at run time, after the project was read.
        client.SetClientId("cell9");
        client.SetCredentials("tester", "secret");
        client.SetRobotName("Cell 9");
        client.SetRobotOwner("new owner");
        client.SetCameraEnvironment("left");
        client.SetCameraWorkarea("right");
        pm.UpdateProjectFile(&target);
    }

    tinyxml2::XMLDocument document;
    ASSERT_EQ(document.LoadFile(root.ProjectPath().c_str()), tinyxml2::XML_SUCCESS);
    const tinyxml2::XMLElement* cloud =
        document.RootElement()->FirstChildElement("Environment")->FirstChildElement("Cloud");
    ASSERT_NE(cloud, nullptr);
    EXPECT_STREQ(cloud->Attribute("Active"), "False");
    EXPECT_EQ(cloud->Attribute("Credentials"), client.GetEncryptedCredentials());
    EXPECT_STREQ(cloud->Attribute("ClientID"), "cell9");
    EXPECT_STREQ(cloud->Attribute("RobotName"), "Cell 9");
    EXPECT_STREQ(cloud->Attribute("RobotOwner"), "new owner");
    EXPECT_STREQ(cloud->Attribute("CameraEnvironmentName"), "left");
    EXPECT_STREQ(cloud->Attribute("CameraWorkareaName"), "right");

    // A fresh start reads the same credentials back on this device.
    ProjectManager again(nullptr);
    ASSERT_EQ(again.OpenProject(&target), 0);
    Cloud::MqttClient restarted(nullptr);
    restarted.SetEncryptedCredentials(again.GetCloudSettings().encryptedCredentials);
    std::string user;
    std::string password;
    ASSERT_TRUE(restarted.GetCredentials(user, password));
    EXPECT_EQ(user, "tester");
    EXPECT_EQ(password, "secret");
}

}  // namespace
