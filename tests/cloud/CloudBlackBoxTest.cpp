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
#include "server/ServerTestSupport.h"

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

    std::vector<std::string> Env() const { return Env(broker.Uri()); }
    std::vector<std::string> Env(const std::string& uri) const {
        return {"KORVELLA_CLOUD_URI=" + uri, "KORVELLA_MACHINE_ID_FILE=" + sample.File("machine-id")};
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

// A broker that trickles its TLS answer keeps the link's diagnosis busy; a
// remote client that sets the cloud connection meanwhile has its next command
// answered at once, and SIGTERM ends the controller promptly.
TEST(CloudBlackBox, ADiagnosisOnATricklingBrokerHoldsUpNeitherARemoteClientNorTheExit) {
    using namespace std::chrono_literals;
    CloudSample cell;
    CloudTest::StallingBroker trickling(CloudTest::StallingBroker::Mode::Trickle);
    const int attempts = CloudTest::StallingBroker::LibraryAttempts;
    trickling.CloseNext(attempts);
    const int port = TestSupport::FreeLoopbackPort();
    ASSERT_NE(port, 0);
    std::vector<std::string> env = cell.Env(trickling.Uri());
    env.push_back("KORVELLA_HXP_PORT=" + std::to_string(port));
    SimBusTest::Controller korvella(cell.sample, env);
    ASSERT_TRUE(CloudTest::WaitUntil([&]() { return trickling.Accepted() > attempts; }, 60s))
        << "no diagnosis" << korvella.Tail();
    ServerTest::Client client;
    ASSERT_TRUE(ServerTest::WaitFor([&]() { return client.Connect(port); }, 40s));
    ASSERT_GE(client.NextStartingWith("CMD Active true", 40s).counter, 0);

    // The diagnosis may take 4 s, the broker trickles for 20 s; a loaded machine needs far less.
    const auto prompt = 3s;
    trickling.CloseNext(attempts);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.SendFrame(1, "CONFIG SetCloudConnection true \"cell7\" \"tester\" \"secret\""));
    ASSERT_TRUE(client.SendFrame(2, "CMD GetVersion"));
    EXPECT_EQ(client.NextStartingWith("INFO Version", 10s).body, "INFO Version Korvella 16");
    EXPECT_LT(CloudTest::Ms(std::chrono::steady_clock::now() - start), CloudTest::Ms(prompt));

    // A new diagnosis runs for the connect the message made.
    ASSERT_TRUE(CloudTest::WaitUntil([&]() { return trickling.Accepted() > 2 * attempts + 1; }, 20s));
    start = std::chrono::steady_clock::now();
    korvella.Stop();
    // An exit takes about a second; one held up by the diagnosis takes up to the trickle's 20 s.
    EXPECT_LT(CloudTest::Ms(std::chrono::steady_clock::now() - start), CloudTest::Ms(10s));
    if (HasFailure()) ADD_FAILURE() << korvella.Tail();
}

}  // namespace
