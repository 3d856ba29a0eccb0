// The controller killed in the middle of a program on drives or joint modules
// that keep their power, and started again on the same bus: nothing moves
// until the operator resets and enables, and then nothing jumps. On CANopen
// drives and on the maker's v3 joint modules, these with their communication
// watchdog and without it (a restart can be quicker than its time-out).

#include "controller/CANopenFrameLog.h"
#include "controller/RobotMasterSimBus.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <map>
#include <ostream>
#include <thread>

namespace {

using Frame = SimBusTest::CANopenFrame;

struct Case {
    const char* name;
    bool canopen;
    bool moduleWatchdog;  // v3 modules: their communication watchdog on
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// What the drives and modules of each bus say in the frame log.
int32_t Be32(const Frame& f, std::size_t at) {
    uint32_t v = 0;
    for (std::size_t k = 0; k < 4; ++k) v = (v << 8) | static_cast<uint32_t>(f.data[at + k] & 0xFF);
    return static_cast<int32_t>(v);
}
// The sample's v3 modules: 0x10 to 0x60, the status on the identifier after.
bool IsModule(int id) { return id >= 0x10 && id <= 0x60 && id % 0x10 == 0; }
bool IsV3Report(const Frame& f) { return IsModule(f.id - 1) && f.data.size() == 8; }
bool IsV3PositionSetPoint(const Frame& f) { return IsModule(f.id) && f.data.size() == 8 && f.data[0] == 0x14; }
bool IsV3VelocitySetPoint(const Frame& f) { return IsModule(f.id) && f.data.size() == 4 && f.data[0] == 0x25; }

class RestartBlackBox : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        if (GetParam().canopen) {
            TestSupport::CopyFixture("canopen-robot.xml", sample.RobotFile());
        } else {
            // The sample's program runs without a referencing run first.
            sample.EditRobot([](tinyxml2::XMLElement* robot) {
                robot->FirstChildElement("Referencing")->SetAttribute("Mandatory", "false");
            });
        }
    }
    void TearDown() override {
        korvella.Kill();
        bus.Kill();
    }
    void StartBus() {
        bus.Start({KORVELLA_CANSIM_PROGRAM, "--socket", sample.Socket(), "--log", FrameLogPath(), "--robot",
                   sample.RobotFile(), "--dio", "112"},
                  sample.Root(), sample.File("cansim.txt"), {});
        struct stat info {};
        ASSERT_TRUE(SimBusTest::WaitFor([&]() { return stat(sample.Socket().c_str(), &info) == 0; }));
        if (!GetParam().canopen && !GetParam().moduleWatchdog) bus.Line("watchdog all off");
    }
    void StartController(const std::string& output) {
        korvella.Start({KORVELLA_PROGRAM}, sample.Root(), output,
                       {"KORVELLA_CAN_SIM=" + sample.Socket(), "KORVELLA_LOG_NO_WAIT=1"});
    }
    std::string FrameLogPath() const { return sample.File("frames.txt"); }
    static std::function<bool(const std::string&)> Is(const std::string& text) {
        return [text](const std::string& line) { return line == text; };
    }
    static std::function<bool(const std::string&)> StatusWith(const std::string& status) {
        return [status](const std::string& line) {
            return line.compare(0, 5, "Pos: ") == 0 && line.find("   Status: " + status + ",") != std::string::npos;
        };
    }
    std::string Connected() const {
        return GetParam().canopen ? "CANopen: initializing CSP mode for CANid 6, protocol cycle time 10 ms"
                                  : "ProtocolVQTCANV2: Connection succeeded";
    }
    std::string Ready() const { return GetParam().canopen ? "operation_enabled" : "NoError"; }

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
    std::vector<Frame> FramesFrom(size_t from) const {
        std::vector<Frame> all = SimBusTest::ReadFrameLog(FrameLogPath());
        all.erase(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())));
        return all;
    }
    size_t FrameCount() const { return SimBusTest::ReadFrameLog(FrameLogPath()).size(); }
    static std::string Tail(const std::string& output) {
        const auto lines = SimBusTest::Messages(output);
        std::string out;
        for (size_t i = lines.size() > 40 ? lines.size() - 40 : 0; i < lines.size(); ++i)
            if (lines[i].compare(0, 5, "Pos: ") != 0) out += "\n" + lines[i];
        return out;
    }

    // Drive or module (node 1 to 6) of a frame it sent or was sent.
    int Node(const Frame& f) const {
        if (GetParam().canopen) return f.Node();
        return (IsV3Report(f) ? f.id - 1 : f.id) / 0x10;
    }
    // A position a drive reported (transmit PDO or a read of it) or a module's status.
    bool IsReport(const Frame& f) const {
        return GetParam().canopen ? (f.IsPositionReport() || f.IsPositionRead()) : IsV3Report(f);
    }
    int32_t Reported(const Frame& f) const { return GetParam().canopen ? f.ReportedPosition() : Be32(f, 1); }
    bool IsSetPoint(const Frame& f) const { return GetParam().canopen ? f.IsSetPoint() : IsV3PositionSetPoint(f); }
    int32_t SetPoint(const Frame& f) const { return GetParam().canopen ? f.Le32(0) : Be32(f, 2); }

    // The last position each drive or module reported from frame `from` on.
    std::map<int, int32_t> Positions(size_t from) const {
        std::map<int, int32_t> out;
        for (const Frame& f : FramesFrom(from))
            if (IsReport(f)) out[Node(f)] = Reported(f);
        return out;
    }

    SimBusTest::Sample sample;
    SimBusTest::Process bus;
    SimBusTest::Process korvella;
};

TEST_P(RestartBlackBox, KilledMidProgramAndStartedAgainMovesNothingUntilTheOperatorActs) {
    ASSERT_NO_FATAL_FAILURE(StartBus());
    const std::string first = sample.File("console1.txt");
    StartController(first);
    ASSERT_TRUE(WaitLogged(first, Is(Connected())));
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(first, StatusWith(Ready()))) << "not enabled" << Tail(first);
    if (GetParam().canopen) {
        korvella.Line("9");  // reference all joints
        ASSERT_TRUE(WaitLogged(first, Is("CANopen: Homing finished joint 6"), 120)) << "not referenced" << Tail(first);
        // Out of the homing mode again: reset and enable.
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const size_t referenced = SimBusTest::Messages(first).size();
        korvella.Line("2");
        ASSERT_TRUE(WaitLogged(first, StatusWith(Ready()), 90, referenced)) << "not enabled after referencing";
    }
    korvella.Line("5");  // start the program
    ASSERT_TRUE(WaitLogged(first, Is("Starting Program"))) << Tail(first);
    // Under way: the positions change from one report to the next.
    const size_t mark = FrameCount();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto moving = Positions(mark);
    ASSERT_EQ(moving.size(), 6u);

    // Killed: the drives and modules keep power and stay enabled.
    korvella.Kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const size_t atKill = FrameCount();

    const std::string second = sample.File("console2.txt");
    StartController(second);
    ASSERT_TRUE(WaitLogged(second, Is(Connected())));
    // They report their positions again; let several seconds of cycles pass.
    ASSERT_TRUE(SimBusTest::WaitFor([&] { return Positions(atKill).size() == 6u; }, std::chrono::seconds(30)));
    const size_t restarted = FrameCount();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const auto standing = Positions(atKill);
    ASSERT_EQ(standing.size(), 6u);
    // Every set-point before the operator acted is the position its drive or
    // module reported last, and no report differs from the first after the restart.
    std::map<int, int32_t> firstReport;
    std::map<int, int32_t> reported;
    std::map<int, int32_t> moved;      // largest distance from the first report, counts
    std::map<int, int32_t> offReport;  // largest distance of a set-point from the last report
    std::map<int, int> unreported;
    int setPoints = 0;
    for (const Frame& f : FramesFrom(atKill)) {
        if (IsReport(f)) {
            const int node = Node(f);
            reported[node] = Reported(f);
            firstReport.emplace(node, Reported(f));
            moved[node] = std::max(moved[node], std::abs(Reported(f) - firstReport.at(node)));
        }
        if (!GetParam().canopen && IsV3VelocitySetPoint(f)) {
            EXPECT_EQ(f.data[1] << 8 | f.data[2], 0) << "a velocity before the operator acted, module " << Node(f);
        }
        if (!IsSetPoint(f)) continue;
        ++setPoints;
        const int node = Node(f);
        if (reported.count(node) == 0) {
            ++unreported[node];
            continue;
        }
        offReport[node] = std::max(offReport[node], std::abs(SetPoint(f) - reported.at(node)));
    }
    for (const auto& u : unreported)
        ADD_FAILURE() << u.second << " set-points to node " << u.first << " before it reported its position";
    for (const auto& o : offReport)
        EXPECT_EQ(o.second, 0) << "node " << o.first << " was sent a set-point this far from its position, counts";
    for (const auto& m : moved)
        EXPECT_EQ(m.second, 0) << "node " << m.first << " moved this far after the restart, counts";
    if (!GetParam().canopen) {
        EXPECT_GT(setPoints, 6 * 100) << "the modules are held by set-points";
    }
    const auto still = Positions(restarted);
    for (const auto& p : standing) EXPECT_EQ(still.at(p.first), p.second) << "node " << p.first << " moved";

    // The operator's reset and enable take the set-points from the positions:
    // no jump, no step beyond what a joint may move in one cycle.
    const size_t beforeReset = SimBusTest::Messages(second).size();
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(second, StatusWith(Ready()), 90, beforeReset)) << "not enabled" << Tail(second);
    const size_t enabled = FrameCount();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    // The modules' own conversion may miss by one count; the drives' not.
    const int32_t slack = GetParam().canopen ? 0 : 1;
    const auto after = Positions(enabled);
    for (const auto& p : standing)
        EXPECT_LE(std::abs(after.at(p.first) - p.second), slack) << "node " << p.first << " jumped";
    setPoints = 0;
    std::map<int, int32_t> offStanding;  // largest distance of a set-point from where the node stood
    for (const Frame& f : FramesFrom(atKill)) {
        if (!IsSetPoint(f)) continue;
        ++setPoints;
        const int node = Node(f);
        offStanding[node] = std::max(offStanding[node], std::abs(SetPoint(f) - standing.at(node)));
    }
    EXPECT_GT(setPoints, 0);
    for (const auto& o : offStanding) EXPECT_LE(o.second, slack) << "node " << o.first << ", counts";
    korvella.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(korvella.WaitExit(status, std::chrono::seconds(30)));
}

INSTANTIATE_TEST_SUITE_P(Buses, RestartBlackBox,
                         ::testing::Values(Case{"CANopenDrives", true, false},
                                           Case{"V3ModulesWithTheirWatchdog", false, true},
                                           Case{"V3ModulesWithoutWatchdog", false, false}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
