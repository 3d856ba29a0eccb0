#pragma once
// A running remote-control server on a free loopback port with one active
// client, for the tests of the message families: send a frame, read the
// reply, or make sure that none came.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"
#include "server/ComServer.h"
#include "server/ComServerManager.h"
#include "server/ServerTestSupport.h"
#include "support/LogCapture.h"

namespace RemoteTest {

using namespace std::chrono_literals;
using ServerTest::Client;
using ServerTest::Frame;
using ServerTest::WaitFor;

class Remote : public ::testing::Test {
protected:
    // Starts the server for `robotMaster` and connects the active client.
    void StartServer(RobotMaster* robotMaster, ProjectManager* projectManager = nullptr,
                     Cloud::MqttClient* cloud = nullptr) {
        LogSingleton::instance()->set_opMode(opModeNormal);
        manager = ComServerManager::Instance();
        manager->SetPort(0);
        manager->Init(robotMaster, projectManager, cloud);
        manager->Start();
        ASSERT_TRUE(WaitFor([&]() { return manager->GetBoundPort() != 0; })) << "listener did not start";
        active = Connect(false);
        ASSERT_TRUE(active != nullptr);
    }
    void TearDown() override {
        if (manager != nullptr) manager->Shutdown();
        LogSingleton::instance()->set_opMode(opModeNormal);
    }

    // A further client; it is passive while the first one stays.
    std::unique_ptr<Client> Connect(bool passive = true) {
        const size_t before = manager->GetInstances().size();
        auto client = std::make_unique<Client>();
        if (!client->Connect(manager->GetBoundPort())) return nullptr;
        if (!WaitFor([&]() { return manager->GetInstances().size() == before + 1; })) return nullptr;
        // Served once it answers; without main-loop passes nothing else arrives.
        // A passive client is told its role on its own first.
        if (!client->SendFrame(999, "CMD GetActive")) return nullptr;
        for (int answers = passive ? 2 : 1; answers > 0; --answers)
            if (client->NextStartingWith("CMD Active").counter < 0) return nullptr;
        return client;
    }

    // Sends the body in a frame with the counter.
    void Send(Client& client, const std::string& body, int counter = 7) {
        ASSERT_TRUE(client.SendFrame(counter, body));
    }
    // The bodies that came back for the frame, up to the answer of a role
    // question sent behind it (so an empty list means: no reply at all).
    std::vector<std::string> Replies(Client& client, const std::string& body, int counter = 7) {
        std::vector<std::string> bodies;
        if (!client.SendFrame(counter, body) || !client.SendFrame(999, "CMD GetActive")) return {"<send failed>"};
        while (true) {
            const Frame frame = client.Next(10s);
            if (frame.counter < 0) {
                bodies.push_back("<timeout>");
                return bodies;
            }
            if (frame.body.rfind("CMD Active ", 0) == 0) return bodies;
            bodies.push_back(frame.body);
        }
    }
    std::vector<std::string> Replies(const std::string& body, int counter = 7) {
        return Replies(*active, body, counter);
    }
    // The one reply to the frame, or a marker text.
    std::string Reply(const std::string& body, int counter = 7) {
        const std::vector<std::string> bodies = Replies(body, counter);
        if (bodies.size() != 1) return "<" + std::to_string(bodies.size()) + " replies>";
        return bodies.front();
    }

    // A six-axis robot master from the fixture with its robot thread running
    // (the bus stays unconnected), as the server's robot master.
    void InitRobot(RobotMaster& robotMaster) {
        robotMaster.Init("Arm", "KorvellaSix", robotFile.Relative());
        robotMaster.FinishInit();
    }

    RobotMasterTest::RobotFile robotFile;
    ComServerManager* manager = nullptr;
    std::unique_ptr<Client> active;
    TestSupport::LogCapture log;
};

}  // namespace RemoteTest
