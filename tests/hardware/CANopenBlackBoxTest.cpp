// The controller program on CANopen drives: the six-axis sample with the
// CANopen robot file beside the simulated bus (six CiA 402 drives and the
// project's I/O module 112). Console "2" enables the robot, the drives get
// their set-points, an injected fault is reported and "2" recovers from it;
// the console's set to zero and the function button's do while the sample's
// program runs, and the drives get no set-point from the old zero.

#include "controller/CANopenCellSupport.h"
#include "controller/CANopenFrameLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

namespace {

class CANopenBlackBox : public SimBusTest::CANopenCell {
protected:
    void StartController() { CANopenCell::StartController(Output()); }
    std::string Output() const { return sample.File("console.txt"); }
    std::vector<std::string> Log() const { return SimBusTest::Messages(Output()); }
    bool Logged(const std::function<bool(const std::string&)>& match, size_t from = 0) const {
        const auto lines = Log();
        for (size_t i = from; i < lines.size(); ++i)
            if (match(lines[i])) return true;
        return false;
    }
    bool WaitLogged(const std::function<bool(const std::string&)>& match, size_t from = 0, int seconds = 60) {
        return SimBusTest::WaitFor([&] { return Logged(match, from) || !korvella.Running(); },
                                   std::chrono::seconds(seconds)) &&
               Logged(match, from);
    }
    // Frames with this identifier prefix in the bus's frame log.
    int FrameCount(const std::string& idPrefix) const {
        std::istringstream in(TestSupport::ReadFile(Frames()));
        std::string line;
        int n = 0;
        while (std::getline(in, line)) {
            const size_t blank = line.find(' ');
            if (blank != std::string::npos && line.compare(blank + 1, idPrefix.size(), idPrefix) == 0) ++n;
        }
        return n;
    }

};

TEST_F(CANopenBlackBox, EnablesMovesReportsAFaultAndRecovers) {
    StartBus();
    StartController();
    ASSERT_TRUE(WaitLogged(Is("CANopen: Connection succeeded")));
    ASSERT_TRUE(WaitLogged(Is("CANopen: initializing CSP mode for CANid 6, protocol cycle time 10 ms")));
    ASSERT_TRUE(WaitLogged(Is("CANopen: Device ID: 112 Name: 'Korvella SimIO' Firmware 'KSIO-v0100'")));

    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(StatusWith("operation_enabled"))) << "not enabled";
    // The drives get their set-points by PDO after each SYNC.
    ASSERT_TRUE(SimBusTest::WaitFor([&] { return FrameCount("201#") > 20 && FrameCount("206#") > 20; },
                                    std::chrono::seconds(20)));
    EXPECT_GT(FrameCount("080#"), 20);

    size_t mark = Log().size();
    bus.Line("fault 3 0x2300 0x03");
    ASSERT_TRUE(WaitLogged(Is("Received EMERGENCY message from joint 3: err reg 'GEN_CUR', err code 'current too "
                              "high at output of control', manufacturer err '0x0'"),
                           mark));
    ASSERT_TRUE(WaitLogged(StatusWith("fault"), mark));
    const int before = FrameCount("201#");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(FrameCount("201#"), before) << "no set-point while a drive is in fault";

    mark = Log().size();
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(Is("CANopen: Joint 3: Fault reset from status word 0x618"), mark));
    ASSERT_TRUE(WaitLogged(StatusWith("operation_enabled"), mark)) << "not recovered";
    ASSERT_TRUE(SimBusTest::WaitFor([&] { return FrameCount("201#") > before + 10; }, std::chrono::seconds(20)));

    // A console SDO request goes to the drive; the diagnostic block shows words and profiles.
    mark = Log().size();
    korvella.Line("sdo 1 0x6081 0 1000");
    ASSERT_TRUE(WaitLogged(Is("Sending requested SDO message"), mark));
    ASSERT_TRUE(SimBusTest::WaitFor([&] { return FrameCount("601#23816000E8030000") == 1; }, std::chrono::seconds(20)));
    ASSERT_TRUE(WaitLogged(Is("CANopen profiles: A1: CSP, A2: CSP, A3: CSP, A4: CSP, A5: CSP, A6: CSP"), 0, 120));
    EXPECT_TRUE(Logged([](const std::string& line) {
        return line.compare(0, 22, "CANopen: ctrlword hex:") == 0 && line.find("statusword hex: ") != std::string::npos;
    }));

    korvella.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(korvella.WaitExit(status, std::chrono::seconds(30)));
    EXPECT_TRUE(WIFEXITED(status));
}

// The console's "0" (set to zero, then reset) and "9" with the function
// button set to "settozero" (set to zero alone), each while the sample's
// program moves the arm: from then on no drive's set-point steps further in a
// SYNC than its joint may move, no drive faults, and the arm stands at zero.
TEST_F(CANopenBlackBox, SetToZeroFromTheConsoleAndTheFunctionButtonWhileTheProgramRuns) {
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("Referencing")->SetAttribute("Mandatory", "false");
        robot->FirstChildElement("Korvella")->SetAttribute("FunctionButtonRefAll", "settozero");
    });
    StartBus();
    StartController();
    ASSERT_TRUE(WaitLogged(Is("CANopen: initializing CSP mode for CANid 6, protocol cycle time 10 ms")));
    korvella.Line("2");
    ASSERT_TRUE(WaitLogged(StatusWith("operation_enabled"))) << "not enabled";
    // The last position each drive reported.
    const auto positions = [&]() {
        std::map<int, int32_t> out;
        for (const SimBusTest::CANopenFrame& f : SimBusTest::ReadFrameLog(Frames()))
            if (f.IsPositionReport()) out[f.Node()] = f.ReportedPosition();
        return out;
    };
    struct Path {
        const char* what;
        const char* line;
    };
    const Path paths[] = {{"console set to zero", "0"}, {"function button set to settozero", "9"}};
    for (const Path& path : paths) {
        SCOPED_TRACE(path.what);
        size_t mark = Log().size();
        korvella.Line("5");
        ASSERT_TRUE(WaitLogged(Is("Starting Program"), mark));
        // Under way: joint 5 (50 counts a degree) has left its start by some degrees.
        const int32_t start = positions()[5];
        ASSERT_TRUE(SimBusTest::WaitFor([&] { return std::abs(positions()[5] - start) > 250; }, std::chrono::seconds(20)));
        const size_t frames = SimBusTest::ReadFrameLog(Frames()).size();
        mark = Log().size();
        korvella.Line(path.line);
        EXPECT_TRUE(SimBusTest::WaitFor([&] {
            const auto p = positions();
            for (int node = 1; node <= 6; ++node)
                if (std::abs(p.at(node)) > 1) return false;
            return Logged(StatusWith("operation_enabled"), mark);
        }, std::chrono::seconds(20))) << "not at zero and enabled";
        std::this_thread::sleep_for(std::chrono::seconds(1));

        const std::vector<SimBusTest::CANopenFrame> all = SimBusTest::ReadFrameLog(Frames());
        int setPoints = 0;
        const std::map<int, double> largest = SimBusTest::SetPointSteps(all, frames, &setPoints);
        EXPECT_GT(setPoints, 6 * 20) << "the drives are driven again after the zeroing";
        for (const auto& l : largest)
            EXPECT_LE(l.second, SimBusTest::StepLimitCounts(l.first)) << "drive " << l.first << " stepped " << l.second
                                                                      << " counts";
        for (size_t i = frames; i < all.size(); ++i)
            EXPECT_FALSE(all[i].IsLagFault()) << "drive " << all[i].Node() << " faulted";
    }

    korvella.Signal(SIGTERM);
    int status = 0;
    ASSERT_TRUE(korvella.WaitExit(status, std::chrono::seconds(30)));
}

}  // namespace
