// Acting commands that a remote client sends back to back to the controller
// program: each one acknowledged is carried out, in the order sent, as the
// client's event lines and the simulated bus show.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server/RemoteRobotSupport.h"

namespace {

using namespace std::chrono_literals;
using RemoteRobotTest::RemoteRobot;
using ServerTest::Client;
using ServerTest::Frame;
using RemoteRobotTest::ExpectStandingStill;
using RemoteRobotTest::ReadRunState;
using RemoteRobotTest::SetPointsSince;
using ServerTest::WaitFor;

// Starts the program until a status line shows it running.
bool StartRunning(Client& client, int& counter) {
    bool running = false;
    WaitFor([&]() {
        client.SendFrame(++counter, "CMD StartProgram");
        const auto end = std::chrono::steady_clock::now() + 2s;
        while (!running && std::chrono::steady_clock::now() < end) {
            int runState = -1, replayMode = -1;
            running = ReadRunState(client.NextStartingWith("RUNSTATE", 1s).body, runState, replayMode) && runState == 2;
        }
        return running;
    }, 90s);
    return running;
}

struct OrderCase {
    const char* name;
    std::vector<std::string> commands;  // sent in one write
    int replayMode;                     // what RUNSTATE reads once they ran
};

const OrderCase OrderCases[] = {
    {"a stop, then a replay mode", {"StopProgram", "ProgramReplayMode 0"}, 0},
    {"a replay mode, then a stop", {"ProgramReplayMode 2", "StopProgram"}, 2},
};

TEST(RemoteCommandOrderBlackBox, CommandsSentBackToBackAreEachCarriedOutInTheOrderSent) {
    RemoteRobot robot;
    Client client;
    ASSERT_NO_FATAL_FAILURE(robot.Connect(client));
    ASSERT_NO_FATAL_FAILURE(robot.EnableAndReference(client));

    int counter = 100;
    for (const OrderCase& c : OrderCases) {
        SCOPED_TRACE(c.name);
        // The program runs (the start is refused until referencing let it).
        ASSERT_TRUE(StartRunning(client, counter)) << "the program never ran";

        std::string bytes;
        std::vector<std::string> acks;
        for (const std::string& command : c.commands) {
            ++counter;
            bytes += "HXPSTART " + std::to_string(counter) + " CMD " + command + " HXPEND";
            acks.push_back("CMDACK " + std::to_string(counter));
        }
        ASSERT_TRUE(client.Send(bytes));

        // Both acknowledged, the stop ends the program for the user, and the replay mode holds.
        std::vector<std::string> acksSeen;
        std::string end;
        int runState = -1, replayMode = -1;
        const auto limit = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < limit &&
               !(acksSeen.size() == acks.size() && !end.empty() && runState != 2 && replayMode == c.replayMode)) {
            const Frame frame = client.Next(1s);
            if (frame.body.rfind("CMDACK ", 0) == 0 || frame.body.rfind("CMDERROR ", 0) == 0)
                acksSeen.push_back(frame.body);
            if (frame.body.rfind("EXECEND ", 0) == 0) end = frame.body;
            int run = -1, mode = -1;
            if (ReadRunState(frame.body, run, mode)) {
                runState = run;
                replayMode = mode;
            }
        }
        EXPECT_EQ(acksSeen, acks);
        EXPECT_TRUE(end.size() > 5 && end.compare(end.size() - 5, 5, " USER") == 0) << "no EXECEND: '" << end << "'";
        EXPECT_NE(runState, 2) << "still running";
        EXPECT_EQ(replayMode, c.replayMode);

        // Once braked, the set-points on the bus hold still.
        std::this_thread::sleep_for(1s);
        const std::uintmax_t from = std::filesystem::file_size(robot.FrameLog());
        std::this_thread::sleep_for(1500ms);
        const auto setPoints = SetPointsSince(robot.FrameLog(), from);
        ExpectStandingStill(setPoints, "kept moving");
    }
}

}  // namespace

namespace {

struct ActAtOnceCase {
    const char* name;
    std::vector<std::string> commands;  // after a StopProgram
    bool oneWrite;
    float joint1;  // the move's target for joint 1, NAN without a move
};

// Commands that act at once on the connection wait for the stop queued before them:
// each one acknowledged is carried out, a move included, and its end is reported.
TEST(RemoteCommandOrderBlackBox, CommandsThatActAtOnceActAfterTheStopSentBeforeThem) {
    const ActAtOnceCase cases[] = {
        {"a move in the same write", {"Move Joint 10 45 45 0 90 0 0 0 0 80"}, true, 10.0f},
        {"a move in the next write", {"Move Joint -10 45 45 0 90 0 0 0 0 80"}, false, -10.0f},
        {"a start at a command", {"StartAt Demo.xml 3"}, true, NAN},
        {"an output", {"DOUT 5 true"}, true, NAN},
    };
    RemoteRobot robot;
    Client client;
    ASSERT_NO_FATAL_FAILURE(robot.Connect(client));
    ASSERT_NO_FATAL_FAILURE(robot.EnableAndReference(client));

    int counter = 200;
    for (const ActAtOnceCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(StartRunning(client, counter)) << "the program never ran";

        std::vector<std::string> acks{"CMDACK " + std::to_string(++counter)};
        std::string bytes = "HXPSTART " + std::to_string(counter) + " CMD StopProgram HXPEND";
        if (!c.oneWrite) {
            ASSERT_TRUE(client.Send(bytes));
            bytes.clear();
        }
        for (const std::string& command : c.commands) {
            ++counter;
            bytes += "HXPSTART " + std::to_string(counter) + " CMD " + command + " HXPEND";
            acks.push_back("CMDACK " + std::to_string(counter));
        }
        ASSERT_TRUE(client.Send(bytes));

        // Every reply an acknowledgement, in order; a move's end follows its acknowledgement.
        std::vector<std::string> replies;
        bool moveEnded = false;
        const auto limit = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < limit &&
               (replies.size() < acks.size() || (!std::isnan(c.joint1) && !moveEnded))) {
            const Frame frame = client.Next(1s);
            if (frame.body.rfind("CMDACK ", 0) == 0 || frame.body.rfind("CMDERROR ", 0) == 0)
                replies.push_back(frame.body);
            // The program's own end, for the user's stop, comes before the move is acknowledged.
            if (replies.size() == acks.size() && frame.body.rfind("EXECEND ", 0) == 0 &&
                frame.body.compare(frame.body.size() - 5, 5, " USER") != 0)
                moveEnded = true;
        }
        EXPECT_EQ(replies, acks);
        if (std::isnan(c.joint1)) continue;
        EXPECT_TRUE(moveEnded) << "no EXECEND after the acknowledged move";
        // The move was made: joint 1 stands at its target.
        std::this_thread::sleep_for(300ms);
        const std::uintmax_t size = std::filesystem::file_size(robot.FrameLog());
        const auto setPoints = SetPointsSince(robot.FrameLog(), size > 20000 ? size - 20000 : 0);
        ASSERT_FALSE(setPoints[0].empty());
        EXPECT_NEAR(setPoints[0].back(), c.joint1, 0.05f);
    }
}

}  // namespace
