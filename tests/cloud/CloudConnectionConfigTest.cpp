// "CONFIG SetCloudConnection" from a remote client with a user name the link
// refuses: the reply says so, and the link keeps its state and credentials.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cloud/CloudTestSupport.h"
#include "cloud/MqttClient.h"
#include "server/RemoteTestSupport.h"

namespace {

class CloudConnectionConfig : public RemoteTest::Remote {
protected:
    void SetUp() override {
        cloud.SetServerUri(broker.Uri());
        std::filesystem::copy_file(broker.CaFile(), root.File("ISRG_Root_X1.pem"),
                                   std::filesystem::copy_options::overwrite_existing);
        cloud.SetClientId("cell7");
        cloud.SetCredentials("tester", "secret");
        stored = cloud.GetEncryptedCredentials();
        StartServer(&rm, nullptr, &cloud);
    }
    void TearDown() override {
        RemoteTest::Remote::TearDown();
        cloud.SetEnabled(false);
    }

    // The replies to the message, without the cloud state lines the link announces on its own.
    std::vector<std::string> Answers(const std::string& body) {
        std::vector<std::string> bodies;
        for (const std::string& b : Replies(body))
            if (b.rfind("CONFIG Cloud ", 0) != 0) bodies.push_back(b);
        return bodies;
    }

    CloudTest::DeviceRoot root;
    CloudTest::TestBroker broker;
    RobotMaster rm;
    Cloud::MqttClient cloud{nullptr};
    std::string stored;
};

const std::vector<std::string> Refused = {"MESSAGE SetCloudConnection refused: invalid user name"};

TEST_F(CloudConnectionConfig, RefusedUserNameLeavesTheLinkOffAsItWas) {
    for (const char* name : {"a/b", "robots+", "#"}) {
        EXPECT_EQ(Answers(std::string("CONFIG SetCloudConnection true \"cell7\" \"") + name + "\" \"pw\""), Refused)
            << name;
        EXPECT_TRUE(log.Has(std::string("MQTT Client: Could not set username '") + name + "', invalid character"));
        EXPECT_FALSE(cloud.IsEnabled()) << name;
        EXPECT_EQ(cloud.GetEncryptedCredentials(), stored) << name;
    }
}

TEST_F(CloudConnectionConfig, RefusedUserNameLeavesARunningLinkUp) {
    cloud.SetEnabled(true);
    ASSERT_TRUE(RemoteTest::WaitFor([&] { return cloud.IsConnected(); }));
    EXPECT_EQ(Answers("CONFIG SetCloudConnection true \"other\" \"a/b\" \"pw\""), Refused);
    EXPECT_TRUE(cloud.IsEnabled());
    EXPECT_TRUE(cloud.IsConnected());
    EXPECT_EQ(cloud.GetClientId(), "cell7");
    EXPECT_EQ(cloud.GetEncryptedCredentials(), stored);
    EXPECT_EQ(log.Count("MQTT-Client: Connected"), 1);
    EXPECT_EQ(log.Count("MQTT Client: Tried to connect but credentials are not set"), 0);
}

}  // namespace
