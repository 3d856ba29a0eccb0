// The controller killed in the middle of a program on CANopen drives that keep
// their power, and started again on the same bus: nothing moves until the
// operator resets and enables, and then nothing jumps.

#include "controller/CANopenCellSupport.h"
#include "controller/CANopenFrameLog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <thread>

namespace {

class RestartBlackBox : public SimBusTest::CANopenCell {
protected:
    bool WaitLogged(const std::string& output, const std::function<bool(const std::string&)>& match,
                    int seconds = 90, size_t from = 0) {
        const auto logged = [&] {
            const auto lines = SimBusTest::Messages(output);
            for (size_t i = from; i < lines.size(); ++i)
                if (match(lines[i])) return true;
            return false;
        };
        return SimBusTest::WaitFor([&] { return logged() || !korvella.Running(); }, std::chrono::seconds(seconds)) &&
               logged();
    }

    // The frames of the bus's frame log from frame `from` on.
    std::vector<SimBusTest::CANopenFrame> FramesFrom(size_t from) const {
        std::vector<SimBusTest::CANopenFrame> all = SimBusTest::ReadFrameLog(Frames());
        all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())));
        return all;
    }
    size_t FrameCount() const { return SimBusTest::ReadFrameLog(Frames()).size(); }
    static std::string Tail(const std::string& output) {
        const auto lines = SimBusTest::Messages(output);
        std::string out;
        for (size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i)
            if (lines[i].compare(0, 5, "Pos: ") != 0) out += "\n" + lines[i];
        return out;
    }
    // The last position each drive reported (transmit PDO 1) from frame `from` on.
    std::map<int, int32_t> Positions(size_t from) const {
        std::map<int, int32_t> out;
        for (const SimBusTest::CANopenFrame& f : FramesFrom(from))
            if (f.IsPositionReport()) out[f.Node()] = f.ReportedPosition();
        return out;
    }
};

TEST_F(RestartBlackBox, KilledMidProgramAndStartedAgainMovesNothingUntilTheOperatorActs) {
    StartBus();
    const std::string first = sample.File("console1.txt");
    StartController(first);
    ASSERT_TRUE(WaitLogged(first, Is("CANopen: initializing CSP mode for CANid 6, protocol cycle time 10 ms")));
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(first, StatusWith("operation_enabled"))) << "not enabled";
    korvella.Line("9");  // reference all joints
    ASSERT_TRUE(WaitLogged(first, Is("CANopen: Homing finished joint 6"), 120)) << "not referenced" << Tail(first);
    // Out of the homing mode again: reset and enable.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const size_t referenced = SimBusTest::Messages(first).size();
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(first, StatusWith("operation_enabled"), 90, referenced)) << "not enabled after referencing";
    korvella.Line("5");  // start the program
    ASSERT_TRUE(WaitLogged(first, Is("Starting Program"))) << Tail(first);
    // Under way: the drives' positions change from one report to the next.
    const size_t mark = FrameCount();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto moving = Positions(mark);
    ASSERT_EQ(moving.size(), 6u);

    // Killed: the drives keep power and stay enabled.
    korvella.Kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t atKill = FrameCount();

    const std::string second = sample.File("console2.txt");
    StartController(second);
    ASSERT_TRUE(WaitLogged(second, Is("CANopen: initializing CSP mode for CANid 6, protocol cycle time 10 ms")));
    // The drives report their positions again; let several seconds of cycles pass.
    ASSERT_TRUE(SimBusTest::WaitFor([&] { return Positions(atKill).size() == 6u; }, std::chrono::seconds(30)));
    const size_t restarted = FrameCount();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto standing = Positions(atKill);
    ASSERT_EQ(standing.size(), 6u);
    // A set-point before the operator acted holds the drive where it stands.
    for (const SimBusTest::CANopenFrame& f : FramesFrom(atKill)) {
        if (!f.IsSetPoint()) continue;
        EXPECT_EQ(f.Le32(0), standing.at(f.Node())) << "a set-point before the operator acted, node " << f.Node();
    }
    const auto still = Positions(restarted);
    for (const auto& p : standing) EXPECT_EQ(still.at(p.first), p.second) << "drive " << p.first << " moved";

    // The operator's reset and enable take the set-points from the drives: no jump.
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(second, StatusWith("operation_enabled"))) << "not enabled";
    const size_t enabled = FrameCount();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto after = Positions(enabled);
    for (const auto& p : standing) EXPECT_EQ(after.at(p.first), p.second) << "drive " << p.first << " jumped";
    int setPoints = 0;
    for (const SimBusTest::CANopenFrame& f : FramesFrom(enabled)) {
        if (!f.IsSetPoint()) continue;
        ++setPoints;
        EXPECT_EQ(f.Le32(0), standing.at(f.Node())) << "node " << f.Node();
    }
    EXPECT_GT(setPoints, 0);
    korvella.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(korvella.WaitExit(status, std::chrono::seconds(30)));
}

}  // namespace
