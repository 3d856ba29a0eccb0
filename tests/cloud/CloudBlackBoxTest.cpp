// The controller program with a "Cloud" element in its project: it publishes
// to the test broker, and a controller that vanishes leaves its will.

#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <string>
#include <tinyxml2.h>

#include "cloud/CloudTestSupport.h"
#include "cloud/DeviceIdentifier.h"
#include "cloud/MqttClient.h"
#include "controller/RobotMasterSimBus.h"

namespace {

using CloudTest::Message;
using CloudTest::Subscriber;

const std::string DeviceId = "a1b2c3d4e5f60718293a4b5c6d7e8f90";

class CloudSample {
public:
    CloudSample() {
        const std::string idFile = sample.File("machine-id");
        TestSupport::WriteFile(idFile, DeviceId + "\n");
        // The credentials as this device encrypts them.
        Cloud::SetDeviceIdentifierFile(idFile);
        std::string credentials;
        {
            Cloud::MqttClient client(nullptr);
            client.SetCredentials("tester", "secret");
            credentials = client.GetEncryptedCredentials();
        }
        Cloud::SetDeviceIdentifierFile("/etc/machine-id");
        std::filesystem::copy_file(broker.CaFile(), sample.File("ISRG_Root_X1.pem"));
        sample.EditProject([&](tinyxml2::XMLElement* project) {
            tinyxml2::XMLElement* cloud = project->FirstChildElement("Environment")->InsertNewChildElement("Cloud");
            cloud->SetAttribute("Active", "True");
            cloud->SetAttribute("Credentials", credentials.c_str());
            cloud->SetAttribute("ClientID", "cell7");
            cloud->SetAttribute("RobotName", "Sample arm");
            cloud->SetAttribute("RobotOwner", "acme");
            cloud->SetAttribute("CameraEnvironmentName", "");
            cloud->SetAttribute("CameraWorkareaName", "");
        });
        sample.StartBus();
    }

    std::vector<std::string> Env() const {
        return {"KORVELLA_CLOUD_URI=" + broker.Uri(), "KORVELLA_MACHINE_ID_FILE=" + sample.File("machine-id")};
    }

    CloudTest::TestBroker broker;
    SimBusTest::Sample sample;
};

TEST(CloudBlackBox, ControllerPublishesItsIdentityAndTelemetry) {
    CloudSample cell;
    Subscriber sub(cell.broker);
    SimBusTest::Controller korvella(cell.sample, cell.Env());
    ASSERT_TRUE(sub.WaitForCount("/Statistics/UpTimeMotion", 1, std::chrono::seconds(60)))
        << "nothing published; log:\n" << TestSupport::ReadFile(cell.sample.File("console.txt"));
    EXPECT_EQ(korvella.Count("MQTT-Client: Connected"), 1);
    const std::string base = "user/tester/robot/cell7";
    const std::pair<const char*, std::string> identity[] = {
        {"/Basics/RobotName", "Sample arm"},       {"/Basics/RobotOwner", "acme"},
        {"/Basics/ConnectionStatus", "Connected"}, {"/Basics/SWVersion", "Korvella R980-13-039"},
        {"/Basics/DeviceID", DeviceId},            {"/Basics/Type", "KorvellaSix"},
        {"/Basics/ModuleCount", "R=6 E=0 G=0 P=0 IO=1"}};
    for (const auto& expected : identity) {
        const std::vector<Message> found = sub.On(expected.first);
        ASSERT_EQ(found.size(), 1u) << expected.first;
        EXPECT_EQ(found[0].topic, base + expected.first);
        EXPECT_EQ(found[0].payload, expected.second) << expected.first;
    }
    // Signals end the program cleanly once its main loop runs.
    ASSERT_TRUE(korvella.WaitForMessage("***************** Connecting CAN bus... ******************"));
    korvella.Stop();
    if (HasFailure()) ADD_FAILURE() << "controller log:\n" << TestSupport::ReadFile(cell.sample.File("console.txt"));
}

TEST(CloudBlackBox, VanishedControllerLeavesItsWill) {
    CloudSample cell;
    Subscriber sub(cell.broker);
    {
        SimBusTest::Controller korvella(cell.sample, cell.Env());
        ASSERT_TRUE(sub.WaitForCount("/Basics/ModuleCount", 1, std::chrono::seconds(60)));
    }  // killed with SIGKILL
    ASSERT_TRUE(sub.WaitForCount("/Basics/ConnectionStatus", 2));
    const Message will = sub.On("/Basics/ConnectionStatus").back();
    EXPECT_EQ(will.payload, "LostConnection");
    EXPECT_TRUE(will.retained);
    EXPECT_EQ(will.qos, 1);
}

}  // namespace
