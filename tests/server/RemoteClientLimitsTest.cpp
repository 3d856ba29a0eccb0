// What one remote client cannot do to the others or to the stored files: a
// client that does not read is dropped at a bounded queue, values that could
// not be stored are refused, only the bridging client's end ends the CAN
// bridge, and the Modbus settings tell whether the server really runs.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cloud/MqttClient.h"
#include "controller/ProjectManager.h"
#include "server/ModbusServer.h"
#include "server/RemoteTestSupport.h"
#include "support/TestSupport.h"
#include "vision/CameraManager.h"

namespace {

using namespace std::chrono_literals;
using Bodies = std::vector<std::string>;

class RemoteLimits : public RemoteTest::Remote {
protected:
    void SetUp() override {
        Camera::CameraManager::Instance()->Clear();
        InitRobot(rm);
        StartServer(&rm, &pm, &cloud);
    }
    void TearDown() override {
        Remote::TearDown();
        Modbus::ModbusServer::Instance()->Stop();
        Camera::CameraManager::Instance()->Clear();
        Camera::CameraManager::Instance()->GetCamerasAfterChanges();
    }
    std::shared_ptr<ComServer> ConnectionOfLastClient() {
        const auto connections = manager->GetInstances();
        return connections.empty() ? nullptr : connections.back();
    }

    RobotMaster rm;
    ProjectManager pm;
    Cloud::MqttClient cloud{&rm};
};

// A client that keeps a frame open (a newline now and then) and never reads:
// its connection thread never gets to send, so only the bound holds its queue.
TEST_F(RemoteLimits, AClientThatDoesNotReadIsDroppedAtABoundedQueueAndTheOthersGoOn) {
    auto silent = Connect();
    ASSERT_TRUE(silent != nullptr);
    const std::shared_ptr<ComServer> connection = ConnectionOfLastClient();
    ASSERT_TRUE(connection != nullptr);
    ASSERT_TRUE(silent->Send("\n"));
    std::this_thread::sleep_for(50ms);

    // 8 MB of status-sized lines, four times the bound.
    const std::string line(200, 's');
    const int lines = 40000;
    std::size_t largest = 0;
    for (int i = 0; i < lines; ++i) {
        connection->SendToClient(line);
        largest = std::max(largest, connection->QueuedBytes());
        if (i % 4000 == 0) {
            ASSERT_TRUE(silent->Send("\n"));
        }
    }
    std::printf("largest queue of the client that does not read: %zu bytes (bound %zu, sent %zu)\n", largest,
                ComServer::MaxSendQueueBytes, line.size() * lines);
    EXPECT_LE(largest, ComServer::MaxSendQueueBytes);
    EXPECT_TRUE(RemoteTest::WaitFor([&]() { return !connection->IsRunning(); }, 10s));
    EXPECT_EQ(log.CountContaining("HXP-Server: Client does not read its messages"), 1);
    EXPECT_TRUE(silent->WaitClosed());
    // The active client is still served.
    EXPECT_EQ(Reply("CMD GetVersion"), "INFO Version Korvella 16");
}

TEST_F(RemoteLimits, ValuesThatCouldNotBeStoredAreRefused) {
    // A corner beyond the float range would be stored as inf.
    ASSERT_EQ(Replies("CONFIG SetVBox True -1 1 -2 2 0 3"), Bodies{});
    for (const char* body : {"CONFIG SetVBox True -1e300 1 -2 2 0 3", "CONFIG SetVBox True -1 inf -2 2 0 3",
                             "CONFIG SetVBox True -1 1 -2 nan 0 3"}) {
        log.Clear();
        EXPECT_EQ(Replies(body), Bodies{}) << body;
        EXPECT_TRUE(log.Has("HXP-Server: ERROR, incomplete or invalid SetVBox message, virtual box unchanged", true))
            << body;
        EXPECT_EQ(Reply("CONFIG GetVBox"), "CONFIG VBox True -1 1 -2 2 0 3") << body;
    }

    // Ports outside 1..65535 and addresses or names with control characters.
    struct Case {
        std::string body;
        std::string logLine;
    };
    const Case cameras[] = {
        {"CONFIG SetCamera cam1 SolutionBinPicking x 127.0.0.1 70000 1 2 3 0 0 -1 0 1 0 500 false",
         "HXP-Server: ERROR, camera 'cam1' not changed: port 70000 outside 1..65535"},
        {"CONFIG SetCamera cam1 IFMO2D x 127.0.0.1 -1 0.5 0.5 1 2 3 0 0 -1 0 1 0 400 true 1",
         "HXP-Server: ERROR, camera 'cam1' not changed: port -1 outside 1..65535"},
        {"CONFIG SetCamera cam1 SolutionBinPicking x 127.0.0.1\x01 50 1 2 3 0 0 -1 0 1 0 500 false",
         "HXP-Server: ERROR, camera 'cam1' not changed: the address holds control characters"},
        {"CONFIG SetCamera cam\x02 USB 0 1 false",
         "HXP-Server: ERROR, camera configuration not changed: the name holds control characters"},
        {"CONFIG SetCloudInfo \"Arm\x07\" \"me\"",
         "HXP-Server: Could not parse CONFIG SetCloudInfo: control characters in a name"},
        {"CONFIG SetCloudConnection true \"id\x1b\" \"user\" \"secret\"",
         "HXP-Server: Could not parse CONFIG SetCloudConnection: control characters in a name"},
        {"CONFIG AddPLCTrigger TRUE DIn 3 Program ma\x01in.xml",
         "HXP-Server: ERROR, PLC trigger not added: the file name holds control characters"},
        {"CONFIG SetExternalAxes 1 n\x01 independent 20 1 -100 100 50 100 10",
         "HXP-Server: ERROR, external axes not changed: a file name holds control characters"},
    };
    cloud.SetRobotName("Cell");
    const std::string clientId = cloud.GetClientId();
    for (const Case& c : cameras) {
        log.Clear();
        EXPECT_EQ(Replies(c.body), Bodies{}) << c.body;
        EXPECT_TRUE(log.Has(c.logLine, true)) << c.body;
    }
    EXPECT_EQ(Camera::CameraManager::Instance()->GetCamerasAfterChanges().size(), 0u);
    EXPECT_EQ(cloud.GetRobotName(), "Cell");
    EXPECT_EQ(cloud.GetClientId(), clientId);
    EXPECT_TRUE(rm.GetPLCTriggers().empty());
    EXPECT_FALSE(rm.HasExternalAxis(0));

    // An upload without a name names no file (the end token is none).
    const std::string data = LogSingleton::instance()->get_rootPath() + "Data/";
    std::filesystem::remove(data + "HXPEND");  // what an older build's run may have left
    log.Clear();
    ASSERT_TRUE(active->SendFrame(3, "CMD UploadFileInit"));
    ASSERT_TRUE(active->SendFrame(4, "CMD UploadFileLine <Program/>"));
    ASSERT_TRUE(active->SendFrame(5, "CMD UploadFileFinish"));
    EXPECT_EQ(Replies("CMD GetVersion"), Bodies{"INFO Version Korvella 16"});
    EXPECT_TRUE(log.Has("HXP-Server: Invalid path: no file name given"));
    EXPECT_FALSE(std::filesystem::exists(data + "HXPEND"));
}

TEST_F(RemoteLimits, OnlyTheBridgingClientsEndEndsTheCANBridge) {
    auto bystander = Connect();
    ASSERT_TRUE(bystander != nullptr);
    ASSERT_TRUE(active->SendFrame(1, "CANBridge SwitchOn"));
    ASSERT_TRUE(RemoteTest::WaitFor([]() { return LogSingleton::instance()->get_opMode() == opModeCANBridge; }));

    // A third client that only connects and leaves, and the passive one leaving.
    for (int round = 0; round < 2; ++round) {
        std::unique_ptr<RemoteTest::Client> visitor = round == 0 ? Connect() : std::move(bystander);
        ASSERT_TRUE(visitor != nullptr);
        const std::size_t before = manager->GetInstances().size();
        visitor->Close();
        ASSERT_TRUE(RemoteTest::WaitFor([&]() { return manager->GetInstances().size() == before - 1; }));
        EXPECT_EQ(LogSingleton::instance()->get_opMode(), opModeCANBridge) << "round " << round;
    }
    EXPECT_EQ(log.CountContaining("HXP-Server: Switch off CANBridge"), 0);

    active->Close();
    EXPECT_TRUE(RemoteTest::WaitFor([]() { return LogSingleton::instance()->get_opMode() == opModeNormal; }));
    EXPECT_TRUE(log.Has("HXP-Server: Switch off CANBridge"));
}

TEST_F(RemoteLimits, ModbusOnATakenPortIsReportedAsNotRunning) {
    // Another listener holds the port.
    TestSupport::TakenPort taken;
    const int port = taken.Port();
    ASSERT_NE(port, 0);
    Modbus::ModbusServer* modbus = Modbus::ModbusServer::Instance();
    modbus->Init(&rm, &pm);

    EXPECT_EQ(Replies("CONFIG SetModbus true " + std::to_string(port) + " 3"), Bodies{});
    EXPECT_TRUE(log.Has("HXP-Server: ERROR: Modbus server could not start on port " + std::to_string(port), true));
    EXPECT_FALSE(pm.modbusActive);
    EXPECT_EQ(Reply("CONFIG GetModbus"), "CONFIG Modbus False " + std::to_string(port) + " 3");
    taken.Release();

    // Free again: the same request starts it.
    EXPECT_EQ(Replies("CONFIG SetModbus true " + std::to_string(port) + " 3"), Bodies{});
    EXPECT_TRUE(pm.modbusActive);
    EXPECT_EQ(modbus->GetBoundPort(), port);
    EXPECT_EQ(Reply("CONFIG GetModbus"), "CONFIG Modbus True " + std::to_string(port) + " 3");
}

}  // namespace
