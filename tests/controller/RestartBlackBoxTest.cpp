// The controller killed in the middle of a program on CANopen drives that keep
// their power, and started again on the same bus: nothing moves until the
// operator resets and enables, and then nothing jumps.

#include "controller/CANopenCellSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
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

    // Frames of the bus's frame log from line `from` on: identifier and data bytes.
    struct Frame {
        int id = 0;
        std::vector<int> data;
    };
    std::vector<Frame> FramesFrom(size_t from, size_t* count = nullptr) const {
        std::istringstream in(TestSupport::ReadFile(Frames()));
        std::string line;
        std::vector<Frame> out;
        size_t n = 0;
        while (std::getline(in, line)) {
            if (n++ < from) continue;
            const size_t blank = line.find(' ');
            const size_t hash = line.find('#');
            if (blank == std::string::npos || hash == std::string::npos || hash < blank) continue;
            Frame f;
            f.id = static_cast<int>(std::strtol(line.substr(blank + 1, hash - blank - 1).c_str(), nullptr, 16));
            for (size_t k = hash + 1; k + 1 < line.size() + 1 && k + 2 <= line.size(); k += 2)
                f.data.push_back(static_cast<int>(std::strtol(line.substr(k, 2).c_str(), nullptr, 16)));
            out.push_back(f);
        }
        if (count != nullptr) *count = n;
        return out;
    }
    static std::string Tail(const std::string& output) {
        const auto lines = SimBusTest::Messages(output);
        std::string out;
        for (size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i)
            if (lines[i].compare(0, 5, "Pos: ") != 0) out += "\n" + lines[i];
        return out;
    }
    static int32_t Le32(const std::vector<int>& d, size_t at) {
        uint32_t v = 0;
        for (size_t k = 0; k < 4; ++k) v |= static_cast<uint32_t>(d[at + k] & 0xFF) << (8 * k);
        return static_cast<int32_t>(v);
    }
    // The last position each drive reported (transmit PDO 1) from line `from` on.
    std::map<int, int32_t> Positions(size_t from) const {
        std::map<int, int32_t> out;
        for (const Frame& f : FramesFrom(from))
            if (f.id > 0x180 && f.id <= 0x186 && f.data.size() == 8) out[f.id - 0x180] = Le32(f.data, 2);
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
    size_t mark = 0;
    FramesFrom(0, &mark);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto moving = Positions(mark);
    ASSERT_EQ(moving.size(), 6u);

    // Killed: the drives keep power and stay enabled.
    korvella.Kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    size_t atKill = 0;
    FramesFrom(0, &atKill);

    const std::string second = sample.File("console2.txt");
    StartController(second);
    ASSERT_TRUE(WaitLogged(second, Is("CANopen: initializing CSP mode for CANid 6, protocol cycle time 10 ms")));
    // The drives report their positions again; let several seconds of cycles pass.
    ASSERT_TRUE(SimBusTest::WaitFor([&] { return Positions(atKill).size() == 6u; }, std::chrono::seconds(30)));
    size_t restarted = 0;
    FramesFrom(0, &restarted);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto standing = Positions(atKill);
    ASSERT_EQ(standing.size(), 6u);
    // A set-point before the operator acted holds the drive where it stands.
    for (const Frame& f : FramesFrom(atKill)) {
        if (f.id <= 0x200 || f.id > 0x206 || f.data.size() != 4) continue;
        EXPECT_EQ(Le32(f.data, 0), standing.at(f.id - 0x200)) << "a set-point before the operator acted, node "
                                                               << f.id - 0x200;
    }
    const auto still = Positions(restarted);
    for (const auto& p : standing) EXPECT_EQ(still.at(p.first), p.second) << "drive " << p.first << " moved";

    // The operator's reset and enable take the set-points from the drives: no jump.
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(second, StatusWith("operation_enabled"))) << "not enabled";
    size_t enabled = 0;
    FramesFrom(0, &enabled);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto after = Positions(enabled);
    for (const auto& p : standing) EXPECT_EQ(after.at(p.first), p.second) << "drive " << p.first << " jumped";
    int setPoints = 0;
    for (const Frame& f : FramesFrom(enabled)) {
        if (f.id <= 0x200 || f.id > 0x206 || f.data.size() != 4) continue;
        ++setPoints;
        EXPECT_EQ(Le32(f.data, 0), standing.at(f.id - 0x200)) << "node " << f.id - 0x200;
    }
    EXPECT_GT(setPoints, 0);
    korvella.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(korvella.WaitExit(status, std::chrono::seconds(30)));
}

}  // namespace
