// The controller program on CANopen drives: the six-axis sample with the
// CANopen robot file beside the simulated bus (six CiA 402 drives and the
// project's I/O module 112). Console "2" enables the robot, the drives get
// their set-points, an injected fault is reported and "2" recovers from it.

#include "controller/CANopenCellSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

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

}  // namespace
