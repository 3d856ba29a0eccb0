// "SYSTEM" and "CANBridge" messages over loopback: power-off and reboot
// through a recording command runner, temperatures, and the CAN bridge mode
// with the frames it refuses.

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "controller/CommandRunner.h"
#include "controller/Shutdown.h"
#include "server/RemoteTestSupport.h"

namespace {

using Bodies = std::vector<std::string>;

class RemoteSystem : public RemoteTest::Remote {
protected:
    void SetUp() override {
        CommandRunner::SetRunFunction([this](const std::string& command) {
            std::lock_guard<std::mutex> lock(commandsMutex);
            commands.push_back(command);
            return 0;
        });
        Shutdown::Init(nullptr, nullptr);
        InitRobot(rm);
        StartServer(&rm);
    }
    void TearDown() override {
        Remote::TearDown();
        CommandRunner::SetRunFunction([](const std::string&) { return -1; });
    }
    std::vector<std::string> Commands() {
        std::lock_guard<std::mutex> lock(commandsMutex);
        return commands;
    }

    RobotMaster rm;
    std::mutex commandsMutex;
    std::vector<std::string> commands;
};

TEST_F(RemoteSystem, ShutdownCodesPowerOffRebootOrAreRefused) {
    struct Case {
        const char* body;
        const char* command;  // null: none runs
        const char* logLine;
    };
    const Case cases[] = {
        {"SYSTEM Shutdown 100", "systemctl poweroff", "Shutting down the system..."},
        {"SYSTEM Shutdown 101", "systemctl reboot", "Rebooting the system..."},
        {"SYSTEM Shutdown 102", nullptr, "HXP-Server: Unknown shutdown code 102"},
        {"SYSTEM Shutdown", nullptr, "HXP-Server: Incomplete or incorrect shutdown command"},
        {"SYSTEM Shutdown 100.5", nullptr, "HXP-Server: Incomplete or incorrect shutdown command"},
        {"SYSTEM Shutdown 99999999999", nullptr, "HXP-Server: Incomplete or incorrect shutdown command"},
        {"SYSTEM Reboot", nullptr, "HXP-Server: ERROR Could not parse system command 'HXPSTART 7 SYSTEM Reboot HXPEND'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        log.Clear();
        const size_t before = Commands().size();
        EXPECT_EQ(Replies(c.body), Bodies{});
        EXPECT_TRUE(log.Has(c.logLine));
        const std::vector<std::string> now = Commands();
        if (c.command != nullptr) {
            ASSERT_EQ(now.size(), before + 1);
            EXPECT_EQ(now.back(), c.command);
        } else {
            EXPECT_EQ(now.size(), before);
        }
    }
}

TEST_F(RemoteSystem, PassiveClientCannotShutDownButReadsTemperatures) {
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    DataTypes::RobotState state;
    state.jointTemperatures[0] = 21.5f;
    state.jointTemperatures[15] = -3.25f;
    state.jointTemperatures2[1] = 40.0f;
    manager->CallSetCurrentPos(state);
    log.Clear();

    EXPECT_EQ(Replies(*passive, "SYSTEM Shutdown 100"), Bodies{});
    EXPECT_EQ(Replies(*passive, "SYSTEM Reboot"), Bodies{});
    EXPECT_TRUE(Commands().empty());
    EXPECT_FALSE(log.Has("Shutting down the system..."));
    EXPECT_EQ(log.CountContaining("HXP-Server"), 0);

    std::string board = "INFO BoardTemp 21.500000 ";
    for (int i = 1; i < 15; ++i) board += "0.000000 ";
    board += "-3.250000 ";
    EXPECT_EQ(Replies(*passive, "SYSTEM GetBoardTemp"), Bodies{board});

    std::string motor = "INFO MotorTemp 0.000000 40.000000 ";
    for (int i = 2; i < 16; ++i) motor += "0.000000 ";
    EXPECT_EQ(Replies(*passive, "SYSTEM GetMotorTemp"), Bodies{motor});
    EXPECT_TRUE(log.Has("HXP-Server: GetMotorTemp - not implemented!"));
}

TEST_F(RemoteSystem, BridgeModeIsEnteredAfterTheMotorsAreOffAndLeftBySwitchOffOrClosing) {
    LogSingleton* log_ = LogSingleton::instance();
    EXPECT_EQ(Replies("CANBridge SwitchOn"), Bodies{});
    EXPECT_EQ(log_->get_opMode(), opModeCANBridge);
    const std::vector<std::string> lines = log.Lines();
    const auto disabled = std::find(lines.begin(), lines.end(), "RobotMaster: Disabling Motors");
    const auto switched = std::find(lines.begin(), lines.end(), "HXP-Server: Switch on CANBridge");
    ASSERT_NE(disabled, lines.end());
    ASSERT_NE(switched, lines.end());
    EXPECT_LT(disabled - lines.begin(), switched - lines.begin());

    EXPECT_EQ(Replies("CANBridge SwitchOff"), Bodies{});
    EXPECT_EQ(log_->get_opMode(), opModeNormal);
    EXPECT_TRUE(log.Has("HXP-Server: Switch off CANBridge"));

    // A passive client can neither enter nor leave it.
    auto passive = Connect();
    ASSERT_TRUE(passive != nullptr);
    EXPECT_EQ(Replies(*passive, "CANBridge SwitchOn"), Bodies{});
    EXPECT_EQ(log_->get_opMode(), opModeNormal);

    // The active client going away ends the mode.
    EXPECT_EQ(Replies("CANBridge SwitchOn"), Bodies{});
    EXPECT_EQ(Replies(*passive, "CANBridge SwitchOff"), Bodies{});
    EXPECT_EQ(log_->get_opMode(), opModeCANBridge);
    active->Close();
    EXPECT_TRUE(RemoteTest::WaitFor([&]() { return log_->get_opMode() == opModeNormal; }));
}

TEST_F(RemoteSystem, SeriousFailureIsNeitherReplacedNorCleared) {
    LogSingleton* log_ = LogSingleton::instance();
    log_->set_opMode(opModeSeriousFail);
    EXPECT_EQ(Replies("CANBridge SwitchOn"), Bodies{});
    EXPECT_EQ(log_->get_opMode(), opModeSeriousFail);
    EXPECT_FALSE(log.Has("HXP-Server: Switch on CANBridge"));
    EXPECT_TRUE(log.HasError("HXP-Server: CANBridge not switched on: the controller is in serious-fail mode"));
    EXPECT_EQ(Replies("CANBridge SwitchOff"), Bodies{});
    EXPECT_EQ(log_->get_opMode(), opModeSeriousFail);
    // Closing the client leaves it too.
    active->Close();
    EXPECT_TRUE(RemoteTest::WaitFor([&]() { return manager->GetInstances().empty(); }));
    EXPECT_EQ(log_->get_opMode(), opModeSeriousFail);
}

TEST_F(RemoteSystem, BridgedFramesAreRefusedOutsideTheModeAndWhenMalformed) {
    EXPECT_EQ(Replies("CANBridge Msg ID 1537 Len 2 Data 1 300 0 0 0 0 0 0"), Bodies{});
    EXPECT_TRUE(log.Has("Request to send CAN message: switch to CANBridge mode first!"));

    ASSERT_EQ(Replies("CANBridge SwitchOn"), Bodies{});
    struct Case {
        const char* body;
        const char* logLine;
    };
    const Case cases[] = {
        {"CANBridge Msg Len 2 Data 1 2", "HXP-Server: CANBridge frame dropped, ID -1 is missing or outside 0..2047"},
        {"CANBridge Msg ID -1 Len 2 Data 1 2", "HXP-Server: CANBridge frame dropped, ID -1 is missing or outside 0..2047"},
        {"CANBridge Msg ID 2048 Len 2 Data 1 2",
         "HXP-Server: CANBridge frame dropped, ID 2048 is missing or outside 0..2047"},
        {"CANBridge Msg ID 0x10 Len 2 Data 1 2",
         "HXP-Server: CANBridge frame dropped, ID -1 is missing or outside 0..2047"},
        {"CANBridge Msg ID 16", "HXP-Server: CANBridge frame dropped, Len -1 is missing or outside 0..8"},
        {"CANBridge Msg ID 16 Len 9 Data 1 2", "HXP-Server: CANBridge frame dropped, Len 9 is missing or outside 0..8"},
        {"CANBridge Msg ID 16 Len -3 Data 1 2", "HXP-Server: CANBridge frame dropped, Len -3 is missing or outside 0..8"},
        {"CANBridge Msg ID 16 Len nan Data 1 2", "HXP-Server: CANBridge frame dropped, Len -1 is missing or outside 0..8"},
        {"CANBridge Frame", "HXP-Server: ERROR Could not parse CANBridge command: 'HXPSTART 7 CANBridge Frame HXPEND'"},
    };
    for (const Case& c : cases) {
        log.Clear();
        EXPECT_EQ(Replies(c.body), Bodies{}) << c.body;
        EXPECT_TRUE(log.Has(c.logLine)) << c.body;
    }
}

}  // namespace
