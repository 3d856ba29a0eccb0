// The cloud client's settings without a broker: client IDs, the stored
// credentials and their failures, and the connect refusals.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cloud/CloudTestSupport.h"
#include "cloud/DeviceIdentifier.h"
#include "cloud/Encryption.h"
#include "cloud/MqttClient.h"
#include "common/LogSingleton.h"
#include "support/LogCapture.h"
#include "vision/Base64.h"

namespace {

using CloudTest::DeviceRoot;
using TestSupport::LogCapture;

class MqttClientSettings : public ::testing::Test {
protected:
    DeviceRoot root;
    LogCapture log;
    Cloud::MqttClient client{nullptr};
};

TEST_F(MqttClientSettings, ClientIdStartsFromTheDeviceIdentifier) {
    EXPECT_EQ(client.GetClientId(), "3d1219c7");
    EXPECT_EQ(Cloud::GetDeviceIdentifier(), "3d1219c7c4c5404aaa1f6d2a48adfda4");
}

TEST_F(MqttClientSettings, ClientIdRules) {
    struct Case {
        std::string id;
        std::string stored;
        std::string line;
    };
    const std::string id23 = "abcdefghijklmnopqrstuvw";
    const std::vector<Case> cases = {
        {"cell7", "cell7", ""},
        {id23, id23, ""},
        {id23 + "x", id23, "MQTT Client: Could not set client ID '" + id23 + "x', too long, will be truncated"},
        {"cell/7", "3d1219c7", "MQTT Client: Could not set client ID 'cell/7', invalid character"},
        {"cell#", "3d1219c7", "MQTT Client: Could not set client ID 'cell#', invalid character"},
        {"a+b", "3d1219c7", "MQTT Client: Could not set client ID 'a+b', invalid character"},
    };
    for (const Case& c : cases) {
        client.SetClientId("other");
        log.Clear();
        client.SetClientId(c.id);
        EXPECT_EQ(client.GetClientId(), c.stored) << c.id;
        if (!c.line.empty()) {
            EXPECT_TRUE(log.Has(c.line)) << c.id;
        }
        // The same ID again changes nothing and logs nothing.
        log.Clear();
        client.SetClientId(client.GetClientId());
        EXPECT_TRUE(log.Lines().empty()) << c.id;
    }
}

TEST_F(MqttClientSettings, ShortDeviceIdentifierGivesNoFallback) {
    root.SetDeviceId("12345678");
    client.SetClientId("bad/id");
    EXPECT_EQ(client.GetClientId(), "");
    root.SetDeviceId("123456789");
    client.SetClientId("x");
    client.SetClientId("bad/id");
    EXPECT_EQ(client.GetClientId(), "12345678");
}

TEST_F(MqttClientSettings, UnreadableDeviceIdentifierIsEmptyWithOneLine) {
    Cloud::SetDeviceIdentifierFile(root.File("missing-machine-id"));
    EXPECT_EQ(Cloud::GetDeviceIdentifier(), "");
    EXPECT_EQ(Cloud::GetDeviceIdentifier(), "");
    EXPECT_EQ(log.CountContaining("Cloud: Could not read the device identifier from '"), 1);
}

TEST_F(MqttClientSettings, CredentialsRoundTripAndDifferEachTime) {
    int notified = 0;
    client.cloudInfoCallback = [&notified]() { ++notified; };
    client.SetCredentials("tester", "s3cret pass");
    const std::string first = client.GetEncryptedCredentials();
    client.SetCredentials("tester", "s3cret pass");
    const std::string second = client.GetEncryptedCredentials();
    EXPECT_NE(first, second);
    EXPECT_EQ(notified, 0) << "storing credentials is no change of the cloud information";

    for (const std::string& stored : {first, second}) {
        client.SetEncryptedCredentials(stored);
        std::string user;
        std::string password;
        ASSERT_TRUE(client.GetCredentials(user, password));
        EXPECT_EQ(user, "tester");
        EXPECT_EQ(password, "s3cret pass");
    }
    EXPECT_TRUE(client.AreCredentialsSet());
    EXPECT_EQ(notified, 2);
}

TEST_F(MqttClientSettings, StoredFormIsVectorThenCipherText) {
    // 14 bytes of user and password: 16 plain, 32 cipher, 48 stored bytes.
    client.SetCredentials("user123", "pass456");
    const std::string stored = client.GetEncryptedCredentials();
    EXPECT_EQ(stored.size(), 64u);
    const std::vector<unsigned char> bytes = Base64::Decode(stored);
    ASSERT_EQ(bytes.size(), 48u);
    const Encryption::InitializationVector iv(reinterpret_cast<const char*>(bytes.data()));
    const std::vector<unsigned char> plain =
        Encryption::Decrypt(bytes.data() + 16, 32, Encryption::Key256(Cloud::GetDeviceIdentifier()), iv);
    EXPECT_EQ(std::string(plain.begin(), plain.end()), "user123\npass456\n");
}

TEST_F(MqttClientSettings, LineFeedInThePasswordCutsIt) {
    client.SetCredentials("tester", "first\nsecond");
    std::string user;
    std::string password;
    ASSERT_TRUE(client.GetCredentials(user, password));
    EXPECT_EQ(user, "tester");
    EXPECT_EQ(password, "first");
}

TEST_F(MqttClientSettings, RefusedCredentialsAreClearedAndSwitchTheLinkOff) {
    struct Case {
        std::string user;
        std::string password;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"a+b", "pw", "MQTT Client: Could not set username 'a+b', invalid character"},
        {"a/b", "pw", "MQTT Client: Could not set username 'a/b', invalid character"},
        {"a#", "pw", "MQTT Client: Could not set username 'a#', invalid character"},
        {"tester", "", "MQTT Client: Could not set password, empty string"},
    };
    for (const Case& c : cases) {
        client.SetCredentials("tester", "good");
        int notified = 0;
        client.cloudInfoCallback = [&notified]() { ++notified; };
        log.Clear();
        client.SetCredentials(c.user, c.password);
        EXPECT_TRUE(log.Has(c.line)) << c.user;
        EXPECT_FALSE(client.AreCredentialsSet()) << c.user;
        EXPECT_FALSE(client.IsEnabled());
        EXPECT_EQ(notified, 1) << c.user;
        client.cloudInfoCallback = nullptr;
    }
}

// Stored credentials with a fixed vector, so that the failures below do not
// depend on the random one (a foreign key leaves valid padding about once in 256).
std::string FixedCredentials(const std::string& plain) {
    const Encryption::InitializationVector iv("fixed-vector-16b");
    std::vector<unsigned char> bytes(iv.bytes, iv.bytes + 16);
    std::vector<unsigned char> cipher(plain.size() + 16);
    const int n = Encryption::Encrypt(reinterpret_cast<const unsigned char*>(plain.data()),
                                      static_cast<int>(plain.size()), Encryption::Key256(Cloud::GetDeviceIdentifier()),
                                      iv, cipher.data());
    bytes.insert(bytes.end(), cipher.begin(), cipher.begin() + n);
    return Base64::Encode(reinterpret_cast<const char*>(bytes.data()), static_cast<unsigned int>(bytes.size()));
}

TEST_F(MqttClientSettings, UnreadableCredentialsGiveNoneAndTheirLine) {
    const std::string good = FixedCredentials("tester\nsecret\n");
    client.SetEncryptedCredentials(good);
    std::string readUser;
    std::string readPassword;
    ASSERT_TRUE(client.GetCredentials(readUser, readPassword));
    EXPECT_EQ(readUser, "tester");

    // Same bytes, one cipher byte changed in the last block: bad padding.
    std::vector<unsigned char> bytes = Base64::Decode(good);
    bytes.back() ^= 0x5a;
    const std::string damaged = Base64::Encode(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<unsigned int>(bytes.size()));
    struct Case {
        std::string name;
        std::string stored;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"damaged", damaged, "MQTT Client: Could not decrypt credentials: Decryption failed"},
        {"short", "AAAAAAAAAAAAAAAAAAAA", "MQTT Client: Could not decrypt credentials: "},
        {"vector only", "AAAAAAAAAAAAAAAAAAAAAA==", "MQTT Client: Could not decrypt credentials: Decryption failed"},
        {"not base64", "!!!", "MQTT Client: Could not decrypt credentials: "},
        {"unparsable", FixedCredentials("no line feeds"), "MQTT Client: Could not parse credentials"},
        {"one line feed", FixedCredentials("tester\nsecret"), "MQTT Client: Could not parse credentials"},
        {"zero byte first", FixedCredentials(std::string("tester\0\nsecret\n", 15)),
         "MQTT Client: Could not parse credentials"},
    };
    for (const Case& c : cases) {
        client.SetEncryptedCredentials(c.stored);
        log.Clear();
        std::string user = "kept";
        std::string password = "kept";
        EXPECT_FALSE(client.GetCredentials(user, password)) << c.name;
        EXPECT_EQ(log.StartingWith(c.line).size(), 1u) << c.name;
        EXPECT_EQ(user, "kept") << c.name;
    }

    // Another device's credentials do not read back.
    client.SetEncryptedCredentials(good);
    root.SetDeviceId("ffffffffffffffffffffffffffffffff");
    log.Clear();
    std::string user;
    std::string password;
    EXPECT_FALSE(client.GetCredentials(user, password));
    EXPECT_TRUE(log.Has("MQTT Client: Could not decrypt credentials: Decryption failed"));
    EXPECT_EQ(log.CountContaining("OpenSSL: "), 1);
}

TEST_F(MqttClientSettings, NoCredentialsReadsFalseSilently) {
    std::string user;
    std::string password;
    EXPECT_FALSE(client.GetCredentials(user, password));
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(MqttClientSettings, ClearCredentialsNotifiesAndEmpties) {
    client.SetCredentials("tester", "secret");
    int notified = 0;
    client.cloudInfoCallback = [&notified]() { ++notified; };
    client.ClearCredentials();
    EXPECT_EQ(client.GetEncryptedCredentials(), "");
    EXPECT_FALSE(client.AreCredentialsSet());
    EXPECT_EQ(notified, 1);
}

TEST_F(MqttClientSettings, PublishingWhileDisconnectedSendsNothing) {
    EXPECT_EQ(client.PublishMessage("user/x", "payload", 1, false), -1);
    client.SetRobotName("arm");
    client.SetRobotOwner("acme");
    EXPECT_EQ(client.GetRobotName(), "arm");
    EXPECT_EQ(client.GetRobotOwner(), "acme");
    client.SetCameraEnvironment("envcam");
    client.SetCameraWorkarea("workcam");
    EXPECT_EQ(client.GetCameraEnvironment(), "envcam");
    EXPECT_EQ(client.GetCameraWorkarea(), "workcam");
}

// Each refusal before the library client is made: its line, no connection.
TEST_F(MqttClientSettings, ConnectRefusals) {
    struct Case {
        std::string name;
        bool caFile;
        std::string user;
        std::string password;
        std::string stored;
        std::string clientId;
        std::string line;
    };
    const std::string caPath = LogSingleton::instance()->get_rootPath() + "ISRG_Root_X1.pem";
    const std::vector<Case> cases = {
        {"no CA", false, "tester", "pw", "", "cell7",
         "MQTT Client: Tried to connect but CA file '" + caPath + "' does not exist"},
        {"no credentials", true, "", "", "", "cell7", "MQTT Client: Tried to connect but credentials are not set"},
        {"unreadable", true, "", "", "AAAAAAAAAAAAAAAAAAAAAA==", "cell7",
         "MQTT Client: Tried to connect but could not get credentials"},
        {"empty user", true, "", "pw", "", "cell7", "MQTT Client: Tried to connect but username or password is empty"},
    };
    for (const Case& c : cases) {
        Cloud::MqttClient cloud(nullptr);
        std::remove(caPath.c_str());
        if (c.caFile) TestSupport::WriteFile(caPath, "not a certificate\n");
        if (!c.stored.empty()) cloud.SetEncryptedCredentials(c.stored);
        else if (!c.password.empty()) cloud.SetCredentials(c.user, c.password);
        cloud.SetClientId(c.clientId);
        log.Clear();
        cloud.SetEnabled(true);
        EXPECT_TRUE(log.Has(c.line)) << c.name;
        EXPECT_FALSE(log.HasStartingWith("MQTT Client: Connecting")) << c.name;
        EXPECT_FALSE(cloud.IsConnected());
        cloud.SetEnabled(false);
    }

    // An empty client ID is refused after the attempt line.
    root.SetDeviceId("short");
    Cloud::MqttClient cloud(nullptr);
    TestSupport::WriteFile(caPath, "not a certificate\n");
    cloud.SetCredentials("tester", "pw");
    cloud.SetRobotName("arm");
    cloud.SetRobotOwner("acme");
    cloud.SetClientId("bad/id");
    ASSERT_EQ(cloud.GetClientId(), "");
    log.Clear();
    cloud.SetEnabled(true);
    EXPECT_TRUE(log.Has("MQTT Client: Connecting, username=tester, client ID=\"\", robot name=\"arm\" robot owner=\"acme\""));
    EXPECT_TRUE(log.Has("MQTT Client: Could not connect, client ID not defined!"));
    cloud.SetEnabled(false);
}

}  // namespace
