// The server with real TCP clients on loopback: roles, framing in both
// directions, the client limit, the watchdog, clients that go away, and
// stopping the server.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cloud/MqttClient.h"
#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "server/ComServer.h"
#include "server/ComServerManager.h"
#include "server/ServerTestSupport.h"
#include "support/TestSupport.h"
#include "support/LogCapture.h"

namespace {

using namespace std::chrono_literals;
using ServerTest::Client;
using ServerTest::Frame;
using ServerTest::WaitFor;

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        LogSingleton::instance()->set_opMode(opModeNormal);
        manager = ComServerManager::Instance();
        manager->SetPort(0);
        manager->Init(&rm, nullptr, nullptr);
        manager->Start();
        ASSERT_TRUE(WaitFor([&]() { return manager->GetBoundPort() != 0; })) << "listener did not start";
        port = manager->GetBoundPort();
    }
    void TearDown() override {
        StopMainLoop();
        manager->Shutdown();
    }

    // Connects a client and waits until the server serves it.
    std::unique_ptr<Client> Connect(size_t expectedConnections) {
        auto client = std::make_unique<Client>();
        EXPECT_TRUE(client->Connect(port));
        EXPECT_TRUE(WaitFor([&]() { return Running() == expectedConnections; })) << "not served";
        return client;
    }
    size_t Running() {
        size_t n = 0;
        for (auto& c : manager->GetInstances()) n += c->IsRunning() ? 1 : 0;
        return n;
    }
    // One main-loop pass as far as the clients see it.
    void Pass() {
        manager->CallSetCurrentPos(state);
        manager->CallPublishData();
        manager->SendServerMessages();
        manager->CallPublishLogMessage();
    }
    // A main loop that takes one client command a pass, until the test ends; the numbers taken.
    std::vector<int32_t>& RunMainLoop() {
        mainLoop = std::thread([this]() {
            while (!mainLoopStop) {
                ComServerManager::TakenCommand command;
                if (manager->TakeCommand(command)) {
                    {
                        std::lock_guard<std::mutex> lock(takenMutex);
                        taken.push_back(command.command.code);
                    }
                    command.from->CommandDone();
                }
                std::this_thread::sleep_for(30ms);
            }
        });
        return taken;
    }
    void StopMainLoop() {
        mainLoopStop = true;
        if (mainLoop.joinable()) mainLoop.join();
    }
    // Sends a frame and returns the reply whose body starts with the prefix.
    Frame Ask(Client& client, int counter, const std::string& body, const std::string& replyPrefix) {
        EXPECT_TRUE(client.SendFrame(counter, body));
        return client.NextStartingWith(replyPrefix);
    }

    RobotMaster rm;
    std::thread mainLoop;
    std::atomic<bool> mainLoopStop{false};
    std::mutex takenMutex;
    std::vector<int32_t> taken;
    DataTypes::RobotState state;
    ComServerManager* manager = nullptr;
    int port = 0;
    TestSupport::LogCapture log;
};

std::vector<std::string> Bodies(const std::vector<Frame>& frames) {
    std::vector<std::string> bodies;
    for (const Frame& f : frames) bodies.push_back(f.body);
    return bodies;
}

TEST_F(ServerTest, FirstClientIsActiveASecondIsToldItIsPassive) {
    auto first = Connect(1);
    auto second = Connect(2);
    EXPECT_TRUE(log.Has("ComServerManager: Client connected as active"));
    EXPECT_TRUE(log.Has("ComServerManager: Client connected as passive"));
    Pass();

    const std::vector<std::string> a = Bodies(first->Drain());
    ASSERT_GE(a.size(), 6u);
    EXPECT_EQ(a[0].rfind("MESSAGE Korvella Version ", 0), 0u);
    EXPECT_EQ(a[1].rfind("MESSAGE Configuration: ", 0), 0u);
    EXPECT_EQ(a[2], "MESSAGE VelocitySetting: \"0\"");
    EXPECT_EQ(a[3], "CMD Active true");
    EXPECT_EQ(a[4].rfind("STATUS MODE joint ", 0), 0u);
    EXPECT_EQ(a[5].rfind("OPINFO ", 0), 0u);

    const std::vector<std::string> b = Bodies(second->Drain());
    ASSERT_GE(b.size(), 5u);
    EXPECT_EQ(b[0], "CMD Active false");
    EXPECT_EQ(b[4], "CMD Active false");

    // Both see the server message of the accepted clients.
    EXPECT_NE(std::find(a.begin(), a.end(), "MESSAGE Client accepted!"), a.end());
    EXPECT_NE(std::find(b.begin(), b.end(), "MESSAGE Client accepted!"), b.end());
}

// Frames are written one by one; each must leave at once rather than wait for
// the client's acknowledgement of the one before (round trips: bench_remote_roundtrip).
TEST_F(ServerTest, EveryClientSocketSendsWithoutDelay) {
    auto first = Connect(1);
    auto second = Connect(2);
    const auto connections = manager->GetInstances();
    ASSERT_EQ(connections.size(), 2u);
    for (const auto& connection : connections) {
        int noDelay = 0;
        socklen_t length = sizeof(noDelay);
        ASSERT_EQ(getsockopt(connection->GetSocket(), IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
        EXPECT_NE(noDelay, 0);
    }
}

TEST_F(ServerTest, RolesChangeOnlyWhenAClientAsks) {
    auto first = Connect(1);
    auto second = Connect(2);
    first.reset();
    ASSERT_TRUE(WaitFor([&]() { return manager->GetInstances().size() == 1; }));
    EXPECT_EQ(manager->GetActiveServer(), nullptr);

    // The next client becomes active; the passive one asks and takes over.
    auto third = Connect(2);
    EXPECT_NE(manager->GetActiveServer(), nullptr);
    second->Drain();
    EXPECT_EQ(Ask(*second, 4, "CMD SetActive true", "CMD Active").body, "CMD Active true");
    EXPECT_EQ(third->NextStartingWith("CMD Active false").counter >= 0, true);
    EXPECT_EQ(manager->GetActiveServer(), manager->GetInstances().front());
}

// The closed connection lingers a moment before it is gone; a client that
// connects meanwhile finds no active client and takes the role at once.
TEST_F(ServerTest, AClientThatReconnectsAtOnceIsActiveAndItsCommandsAreTaken) {
    auto first = Connect(1);
    auto passive = Connect(2);
    const std::shared_ptr<ComServer> closing = manager->GetActiveServer();
    ASSERT_NE(closing, nullptr);
    first->Close();
    ASSERT_TRUE(WaitFor([&]() { return closing->IsEnding(); }, 5s));
    const auto closedAt = std::chrono::steady_clock::now();

    Client again;
    ASSERT_TRUE(again.Connect(port));
    EXPECT_EQ(Ask(again, 2, "CMD GetActive", "CMD Active").body, "CMD Active true");
    std::printf("reconnected %lld ms after the close\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now() - closedAt)
                                           .count()));
    EXPECT_EQ(Ask(again, 3, "CMD StopProgram", "CMD").body, "CMDACK 3");
    int32_t code = 0, parameter = 0;
    float value = 0;
    ASSERT_TRUE(manager->TakePendingCommand(code, parameter, value));
    EXPECT_EQ(code, 4);
    // The client that was passive stays so.
    EXPECT_EQ(Ask(*passive, 4, "CMD GetActive", "CMD Active").body, "CMD Active false");
    ASSERT_TRUE(WaitFor([&]() { return manager->GetInstances().size() == 2; }));
    EXPECT_EQ(Ask(again, 5, "CMD GetActive", "CMD Active").body, "CMD Active true");
}

// Asking for the role again changes nothing for the active client; a passive
// one that asks takes it, and only the client that really turns passive loses
// what it posted.
TEST_F(ServerTest, ActivationRequestsDropOnlyTheCommandsOfClientsThatTurnPassive) {
    auto first = Connect(1);
    auto second = Connect(2);
    second->Drain();
    auto take = [&]() {
        int32_t code = 0, parameter = 0;
        float value = 0;
        return manager->TakePendingCommand(code, parameter, value) ? code : 0;
    };

    ASSERT_TRUE(first->Send("HXPSTART 901 CMD Reset HXPEND HXPSTART 902 CMD SetActive true HXPEND"));
    EXPECT_EQ(Bodies(first->Drain()), (std::vector<std::string>{"CMDACK 901", "CMD Active true"}));
    EXPECT_TRUE(second->Drain().empty());
    EXPECT_EQ(take(), 10);

    ASSERT_TRUE(first->SendFrame(903, "CMD Enable"));
    EXPECT_EQ(first->NextStartingWith("CMDACK").body, "CMDACK 903");
    ASSERT_TRUE(second->SendFrame(904, "CMD SetActive true"));
    EXPECT_EQ(second->NextStartingWith("CMD Active").body, "CMD Active true");
    EXPECT_EQ(first->NextStartingWith("CMD Active").body, "CMD Active false");
    EXPECT_EQ(take(), 0);
}

TEST_F(ServerTest, PassiveClientsCanOnlyQuery) {
    auto active = Connect(1);
    auto passive = Connect(2);
    ASSERT_TRUE(passive->SendFrame(5, "CMD Reset"));
    ASSERT_TRUE(passive->SendFrame(6, "CMD GetActive"));
    EXPECT_EQ(passive->NextStartingWith("CMD Active").body, "CMD Active false");  // the greeting
    EXPECT_EQ(passive->NextStartingWith("CMD Active").body, "CMD Active false");  // the answer
    for (auto& c : manager->GetInstances()) {
        int32_t code = 0, parameter = 0;
        float value = 0;
        EXPECT_FALSE(c->TakePendingCommand(code, parameter, value));
    }
    EXPECT_EQ(Ask(*active, 7, "CMD Reset", "CMDACK").body, "CMDACK 7");
    int32_t code = 0, parameter = 0;
    float value = 0;
    ASSERT_TRUE(manager->GetActiveServer()->TakePendingCommand(code, parameter, value));
    EXPECT_EQ(code, 10);
}

TEST_F(ServerTest, FrameCounterRunsFrom0To999AndWraps) {
    auto client = Connect(1);
    std::shared_ptr<ComServer> connection = manager->GetInstances().front();
    for (int i = 0; i < 1001; ++i) connection->SendToClient("N " + std::to_string(i));
    for (int i = 0; i < 1001; ++i) {
        const Frame frame = client->Next();
        ASSERT_EQ(frame.counter, i % 1000) << i;
        ASSERT_EQ(frame.body, "N " + std::to_string(i));
    }
}

TEST_F(ServerTest, BodiesWithAReservedTokenAreDroppedAndCostNoCounter) {
    auto client = Connect(1);
    std::shared_ptr<ComServer> connection = manager->GetInstances().front();
    connection->SendToClient("one");
    connection->SendToClient("bad HXPEND inside");
    connection->SendToClient("two");
    const Frame one = client->Next();
    const Frame two = client->Next();
    EXPECT_EQ(one.body, "one");
    EXPECT_EQ(two.body, "two");
    EXPECT_EQ(two.counter, one.counter + 1);
    EXPECT_TRUE(log.Has(
        "HXP-Server: Could not send message to HXP client, it contains a reserved token: bad HXPEND inside"));
}

TEST_F(ServerTest, FramesAreReadHoweverTheBytesArrive) {
    auto client = Connect(1);
    // Split over many writes.
    const std::string split = "HXPSTART 11 CMD Reset HXPEND";
    for (char c : split) {
        ASSERT_TRUE(client->Send(std::string(1, c)));
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_EQ(client->NextStartingWith("CMDACK").body, "CMDACK 11");
    // Two frames in one write, with stray bytes before the first.
    ASSERT_TRUE(client->Send("garbage HXPST HXPSTART 12 CMD Enable HXPENDHXPSTART 13 CMD Disable HXPEND"));
    EXPECT_EQ(client->NextStartingWith("CMDACK").body, "CMDACK 12");
    EXPECT_EQ(client->NextStartingWith("CMDACK").body, "CMDACK 13");
}

TEST_F(ServerTest, FramesOfUpTo1019BytesAreReadLongerOnesSkipped) {
    auto client = Connect(1);
    const auto frameOf = [](int counter, size_t length) {
        const std::string head = "HXPSTART " + std::to_string(counter) + " CMD Reset ";
        return head + std::string(length - head.size() - 7, 'x') + " HXPEND";
    };
    ASSERT_TRUE(client->Send(frameOf(21, 1019)));
    EXPECT_EQ(client->NextStartingWith("CMDACK").body, "CMDACK 21");
    ASSERT_TRUE(client->Send(frameOf(22, 1020) + "HXPSTART 23 CMD Reset HXPEND"));
    EXPECT_EQ(client->NextStartingWith("CMDACK").body, "CMDACK 23");
    EXPECT_TRUE(log.Has("HXP-Server: Read buffer filled without HXPEND token, skipping message"));
    EXPECT_EQ(Running(), 1u);
}

// At the limit a further client is accepted and closed at once, with a log line,
// rather than left in the backlog hearing nothing; once one of the five has gone,
// a new client is served.
TEST_F(ServerTest, ASixthClientIsClosedAtOnceAndANewOneIsServedOnceOneOfTheFiveLeft) {
    std::vector<std::unique_ptr<Client>> clients;
    for (size_t i = 1; i <= 5; ++i) clients.push_back(Connect(i));
    for (int attempt = 0; attempt < 3; ++attempt) {
        Client extra;
        ASSERT_TRUE(extra.Connect(port));
        EXPECT_TRUE(extra.WaitClosed(5s)) << "attempt " << attempt << " was left waiting";
    }
    EXPECT_TRUE(WaitFor([&]() {
        return log.Count("ComServerManager: Cannot accept new client (limit 5 reached), closing connection") == 3;
    }));
    EXPECT_EQ(manager->GetInstances().size(), 5u);
    Pass();
    for (auto& c : clients) EXPECT_GE(c->NextStartingWith("STATUS").counter, 0) << "one of the five lost";

    clients[2].reset();
    ASSERT_TRUE(WaitFor([&]() { return manager->GetInstances().size() == 4; }));
    auto again = Connect(5);
    Pass();
    EXPECT_GE(again->NextStartingWith("STATUS").counter, 0);
}

// A client that closes and connects again at once, however soon, is active at once,
// also while its old connection is still busy with what it sent last; the client
// that was passive stays passive.
TEST_F(ServerTest, AClientThatClosesAndReconnectsAtOnceIsActiveWhateverTheDelay) {
    auto first = Connect(1);
    auto passive = Connect(2);
    RunMainLoop();
    std::unique_ptr<Client> current = std::move(first);
    int counter = 10;
    for (const int delayMs : {0, 2, 10, 50}) {
        for (int trial = 0; trial < 5; ++trial) {
            SCOPED_TRACE("reconnected after " + std::to_string(delayMs) + " ms, trial " + std::to_string(trial));
            // Three commands for the main loop, and one that acts once they ran.
            ASSERT_TRUE(current->Send("HXPSTART 1 CMD Reset HXPEND HXPSTART 2 CMD Reset HXPEND "
                                      "HXPSTART 3 CMD Reset HXPEND HXPSTART 4 CMD Override 50 HXPEND"));
            current->Close();
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            auto next = std::make_unique<Client>();
            ASSERT_TRUE(next->Connect(port));
            // A passive connection is told so before anything else; an active one hears only the answer.
            EXPECT_EQ(Ask(*next, ++counter, "CMD GetActive", "CMD Active").body, "CMD Active true");
            ASSERT_TRUE(WaitFor([&]() { return manager->GetInstances().size() == 2; }));
            EXPECT_EQ(Ask(*next, ++counter, "CMD GetActive", "CMD Active").body, "CMD Active true");
            EXPECT_NE(manager->GetActiveServer(), nullptr);
            current = std::move(next);
        }
    }
    passive->Drain();
    EXPECT_EQ(Ask(*passive, ++counter, "CMD GetActive", "CMD Active").body, "CMD Active false");
}

// What an active client had acknowledged when it closed runs to its end, in order,
// though the main loop takes one command a pass and the connection ends sooner.
TEST_F(ServerTest, AClosingClientsAcknowledgedCommandsAllRun) {
    auto client = Connect(1);
    RunMainLoop();
    std::string bytes;
    for (int channel = 0; channel < 12; ++channel)
        bytes += "HXPSTART " + std::to_string(100 + channel) + " CMD ReferenceAllJoints HXPEND";
    ASSERT_TRUE(client->Send(bytes));
    for (int channel = 0; channel < 12; ++channel)
        ASSERT_EQ(client->NextStartingWith("CMD").body, "CMDACK " + std::to_string(100 + channel));
    client->Close();
    ASSERT_TRUE(WaitFor([&]() { return manager->GetInstances().empty(); }));
    std::this_thread::sleep_for(800ms);
    StopMainLoop();
    EXPECT_EQ(taken, std::vector<int32_t>(12, 16));
}

TEST_F(ServerTest, WatchdogDropsTheActiveClientThatStoppedSendingAliveJog) {
    auto client = Connect(1);
    std::shared_ptr<ComServer> connection = manager->GetActiveServer();
    float jog[9];
    // Never sent "ALIVEJOG": the watchdog does not run.
    for (int i = 0; i < 150; ++i) connection->GetJogValues(jog);
    EXPECT_TRUE(connection->IsRunning());

    ASSERT_TRUE(client->SendFrame(1, "ALIVEJOG 10 0 0 0 0 0 0 0 0"));
    ASSERT_TRUE(WaitFor([&]() { return connection->GetWatchdog() == 100; }));
    for (int i = 0; i < 99; ++i) connection->GetJogValues(jog);
    EXPECT_TRUE(connection->IsRunning());
    EXPECT_EQ(jog[0], 10.0f);
    connection->GetJogValues(jog);
    EXPECT_TRUE(log.Has("HXP-Server: client does not send anymore (watchdog), closing connection"));
    EXPECT_EQ(jog[0], 0.0f);
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(WaitFor([&]() { return manager->GetInstances().empty(); }));
}

TEST_F(ServerTest, AClientThatLeavesMidFrameLeavesTheOthersServed) {
    auto leaving = Connect(1);
    auto staying = Connect(2);
    ASSERT_TRUE(leaving->Send("HXPSTART 1 CMD Res"));
    leaving.reset();
    ASSERT_TRUE(WaitFor([&]() { return manager->GetInstances().size() == 1; }));
    EXPECT_TRUE(log.HasErrorContaining("ERROR: HXP-Server Read error 41 (read failed at body of message)"));
    EXPECT_TRUE(log.Has("ComServerManager: Removing closed ComServer"));
    EXPECT_EQ(Ask(*staying, 3, "CMD GetActive", "CMD Active").body, "CMD Active false");
    Pass();
    EXPECT_GE(staying->NextStartingWith("STATUS").counter, 0);
}

TEST_F(ServerTest, AClientThatClosesBetweenFramesIsLoggedAsLeavingNotAsAnError) {
    for (const char* last : {"HXPSTART 1 CMD GetActive HXPEND", "HXPSTART 1 CMD GetActive HXPEND\n"}) {
        SCOPED_TRACE(last);
        log.Clear();
        auto client = Connect(1);
        ASSERT_TRUE(client->Send(last));
        EXPECT_EQ(client->NextStartingWith("CMD Active").body, "CMD Active true");
        client.reset();
        ASSERT_TRUE(WaitFor([&]() { return manager->GetInstances().empty(); }));
        EXPECT_TRUE(log.HasNote("HXP-Server: Client closed the connection"));
        EXPECT_FALSE(log.HasErrorContaining("Read error"));
        EXPECT_TRUE(log.Has("HXP-Server: connection closed"));
    }
}

TEST_F(ServerTest, ATrailingNewlineFollowedBySilenceEndsTheConnection) {
    auto client = Connect(1);
    ASSERT_TRUE(client->Send("HXPSTART 1 CMD Reset HXPEND\n"));
    EXPECT_EQ(client->NextStartingWith("CMDACK").body, "CMDACK 1");
    EXPECT_TRUE(client->WaitClosed());
    EXPECT_TRUE(log.HasErrorContaining("ERROR: HXP-Server Read error 40 (read failed at head of message)"));
}

TEST_F(ServerTest, EventsVariablesCloudStateAndServerMessagesReachEveryClient) {
    Cloud::MqttClient cloud(&rm);
    cloud.SetClientId("cell-1");
    manager->Init(&rm, nullptr, &cloud);
    auto a = Connect(1);
    auto b = Connect(2);
    Pass();
    a->Drain();
    b->Drain();

    // Through the callbacks registered with the interpreters, the program memory, the cloud client and the log.
    rm.ipoMain.SendHXPServerCallback(HXPEventStop, 3, 0, "program done");
    rm.ipoDirect.SendHXPServerCallback(HXPEventStart, 0, 0, "");
    rm.programMemory.SetVariableSingle("speed", 2.5, true);
    cloud.SetEncryptedCredentials("secret");
    for (int i = 1; i <= 10; ++i) manager->OnServerMessage("text " + std::to_string(i));
    LogSingleton::instance()->DisplayAndServerSetMessage("text 11");
    manager->SendServerMessages();
    for (Client* c : {a.get(), b.get()}) {
        const std::vector<std::string> bodies = Bodies(c->Drain());
        std::vector<std::string> expected = {"EXECEND 3 0 program done", "EXECACK 0 0",
                                             "VARINFO ValueNrVariable speed 2.5",
                                             "CONFIG Cloud False True False \"cell-1\" \"\" \"\" \"\" \"\""};
        for (int i = 2; i <= 11; ++i) expected.push_back("MESSAGE text " + std::to_string(i));
        EXPECT_EQ(bodies, expected);
    }
    manager->Shutdown();
}

TEST_F(ServerTest, ShutdownClosesEveryClientAndJoinsTheThreads) {
    auto a = Connect(1);
    auto b = Connect(2);
    manager->Shutdown();
    EXPECT_FALSE(manager->IsRunning());
    EXPECT_TRUE(manager->GetInstances().empty());
    EXPECT_TRUE(a->WaitClosed());
    EXPECT_TRUE(b->WaitClosed());
    EXPECT_TRUE(log.Has("ComServerManager: Stopped"));
    // No listener any more.
    Client late;
    EXPECT_FALSE(late.Connect(port));
}

TEST_F(ServerTest, AFailedBindLeavesTheServerStoppedAndRestartable) {
    manager->Shutdown();
    // A listener of our own occupies the port.
    TestSupport::TakenPort taken;
    ASSERT_NE(taken.Port(), 0);

    manager->SetPort(taken.Port());
    manager->Start();
    ASSERT_TRUE(WaitFor([&]() { return !manager->IsRunning(); }));
    EXPECT_TRUE(log.HasError("ComServerManager: error on binding socket"));
    taken.Release();

    manager->SetPort(0);
    manager->Start();
    ASSERT_TRUE(WaitFor([&]() { return manager->GetBoundPort() != 0; }));
    EXPECT_TRUE(manager->IsRunning());
}

}  // namespace
