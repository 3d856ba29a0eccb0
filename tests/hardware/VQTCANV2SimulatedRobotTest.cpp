// The v2/v3 driver driving the simulated joint modules, DIO module and main
// I/O module of the robot file on the simulated bus, and its reactions to
// the faults the simulation injects.

#include "hardware/VQTCANV2TestSupport.h"

#include "common/LogSingleton.h"

#include <cmath>
#include <cstdio>
#include <sstream>

using V2Test::RunnerCapture;
using V2Test::TestClock;

namespace {

class VQTCANV2SimulatedRobot : public V2Test::VQTCANV2Fixture {
protected:
    // Simulated robot with a DIO module on 0x70, driver connected, every
    // module answering.
    void StartRobot() {
        Simulate({0x70});
        MakeDriver(3, false);
        driver->InitDIOModules(0x70);
        // Sequences keep their order but not their seconds.
        driver->SetSleepFunction([](float ms) { Hardware::HardwareProtocol::wait(ms > 5.0f ? 5.0f : ms); });
        ASSERT_TRUE(driver->Connect());
        ASSERT_TRUE(CycleUntil([&] { return AllFresh(); }));
    }

    bool AllFresh() {
        for (int i = 0; i < driver->moduleCount; ++i)
            if (driver->jointData[i].errorCode & 0x300) return false;
        return true;
    }

    void EnableRobot() {
        driver->ResetError();
        driver->EnableMotors(true);
        ASSERT_TRUE(CycleUntil([&] { return driver->GetMotorEnabled(); }));
    }

    std::shared_ptr<CanSim::SimMainIOModule> MainIO() { return sim->MainIO(); }
};

}  // namespace

TEST_F(VQTCANV2SimulatedRobot, ConnectEnableMoveAndReadBack) {
    StartRobot();
    EXPECT_FALSE(driver->GetMotorEnabled());  // modules come up disabled
    for (int i = 0; i < 6; ++i) EXPECT_EQ(driver->jointData[i].errorCode, 0x04u) << i;

    EnableRobot();
    const float target[6] = {10.0f, -20.0f, 5.0f, 1.0f, -1.0f, 0.5f};
    for (int i = 0; i < 6; ++i) state.jointSetPoint[i] = target[i];
    ASSERT_TRUE(CycleUntil([&] {
        for (int i = 0; i < 6; ++i)
            if (std::fabs(state.jointActual[i] - target[i]) > 0.02f) return false;
        return true;
    }));

    // Every module got this cycle's set-point with the one counter.
    Cycle();
    const int counter = driver->counter;
    ASSERT_TRUE(WaitUntil([&] {
        for (const auto& j : sim->Joints())
            if (j->GetSnapshot().lastCounter != counter) return false;
        return sim->IOModule(0x70)->GetSnapshot().lastCounter == counter;
    }));
    EXPECT_EQ(sim->Joint(0x30)->GetSnapshot().targetRaw, 1500);  // 5 * 100 + 1000

    // Currents (scale 10) and inputs come back.
    int currents[16] = {};
    driver->GetCurrentValues(currents);
    EXPECT_EQ(currents[0], 1200);
    EXPECT_EQ(state.jointCurrents[1], 1200);
    sim->SetDigitalInputs(0x20, 0x05);
    sim->SetDigitalInputs(0x70, 0x41);
    ASSERT_TRUE(CycleUntil([&] {
        int v = 0;
        driver->GetDigitalIO(1, &v);
        return (v & 0x3F) == 0x05 && driver->jointData[6].digitalInputs == 0x41;
    }));
    bool inputs[64] = {};
    driver->GetDigitalIORail(inputs);
    EXPECT_TRUE(inputs[20]);
    EXPECT_TRUE(inputs[26]);
    EXPECT_FALSE(inputs[21]);

    // DIO outputs go out with the cycle.
    driver->SetRailIO(0, 3, true);
    ASSERT_TRUE(CycleUntil([&] { return sim->IOModule(0x70)->GetSnapshot().outputs == 0x08; }));

    // Temperatures after the read interval.
    Cycles(102);
    EXPECT_NEAR(state.jointTemperatures[0], 35.0f, 0.2f);
    EXPECT_NEAR(state.jointTemperatures2[0], 30.0f, 0.2f);

    EXPECT_EQ(lastShortError, "NoError");
    EXPECT_EQ(MainIO()->GetSnapshot().green, 150);
    EXPECT_EQ(driver->GetSupplyVoltage(), 24000.0f);

    driver->EnableMotors(false);
    ASSERT_TRUE(CycleUntil([&] { return !driver->GetMotorEnabled(); }));
}

TEST_F(VQTCANV2SimulatedRobot, ReferenceAlignAndSetToZero) {
    StartRobot();
    EnableRobot();
    ASSERT_TRUE(CycleUntil([&] { return log->Has("VQTCANV2 protocol: robot is NOT referenced"); }));
    for (int j = 0; j < 6; ++j) driver->ReferenceSingleJoint(j);
    EXPECT_TRUE(driver->IsReferencing());
    ASSERT_TRUE(CycleUntil([&] {
        int all = 0;
        bool flags[16] = {};
        driver->GetReferenceStatus(flags, &all);
        return all == 1;
    }));
    EXPECT_FALSE(driver->IsReferencing());
    ASSERT_TRUE(CycleUntil([&] { return log->Has("VQTCANV2 protocol: robot is referenced now"); }));

    driver->AlignMotors();
    ASSERT_TRUE(CycleUntil([&] { return log->Has("VQTCANV2 protocol: robot is aligned now"); }));
    EXPECT_TRUE(driver->alignedAll);
    for (const auto& j : sim->Joints()) EXPECT_EQ(j->GetSnapshot().commands[0x0C], 2u);

    // With the motors off the joint does not follow its set-point, so the new zero shows.
    state.jointSetPoint[0] = 10.0f;
    ASSERT_TRUE(CycleUntil([&] { return std::fabs(state.jointActual[0] - 10.0f) < 0.02f; }));
    driver->EnableMotors(false);
    Cycles(3);
    driver->SetToZeroPos(0);
    ASSERT_TRUE(CycleUntil([&] { return std::fabs(state.jointActual[0]) < 1e-4f; }));
    EXPECT_TRUE(log->Has("ProtocolVQTCANV2: Setting joint 0 to zero pos"));
}

TEST_F(VQTCANV2SimulatedRobot, ErrorsAreReportedFromTheFifthEvaluationWithTheStatusLight) {
    StartRobot();
    EnableRobot();
    ASSERT_TRUE(CycleUntil([&] { return MainIO()->GetSnapshot().green == 150; }));

    sim->SetErrorBits(0x40, 0x40);
    ASSERT_TRUE(CycleUntil([&] { return driver->jointData[3].errorCode == 0x40; }));
    std::string status, shortCode;
    // The evaluation of that cycle ran before the read-back: four more are tolerated.
    for (int i = 1; i <= 4; ++i) {
        driver->GetError(status, shortCode);
        EXPECT_EQ(status, "Status: no error") << i;
    }
    driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status:  - over current");
    EXPECT_EQ(shortCode, "_OC");
    ASSERT_TRUE(WaitUntil([&] { return MainIO()->GetSnapshot().red == 150; }));

    driver->ResetError();
    driver->EnableMotors(true);
    ASSERT_TRUE(CycleUntil([&] { return lastShortError == "NoError" && MainIO()->GetSnapshot().green == 150; }));
}

TEST_F(VQTCANV2SimulatedRobot, SilentModuleBecomesModuleDead) {
    StartRobot();
    EnableRobot();
    sim->Silence(0x30, true);
    LetInFlightFramesArrive();
    TestClock::Advance(2100);
    ASSERT_TRUE(CycleUntil(
        [&] { return driver->jointData[2].errorCode == 0x200 && driver->jointData[0].errorCode == 0; }));
    ASSERT_TRUE(CycleUntil([&] { return lastShortError == "_DEAD"; }));
    std::string status, shortCode;
    driver->GetError(status, shortCode);
    EXPECT_EQ(status, "Status:  - module dead");
    EXPECT_FALSE(driver->GetMotorEnabled());
    EXPECT_TRUE(driver->GetConnectionStatus());  // the others still answer
    ASSERT_TRUE(WaitUntil([&] { return MainIO()->GetSnapshot().red == 150; }));
    EXPECT_FALSE(log->StartingWith("CAN status changed:  - module dead, cntHWError: 5, codes:").empty());

    sim->Silence(0x30, false);
    ASSERT_TRUE(CycleUntil([&] { return lastShortError == "NoError"; }));
}

TEST_F(VQTCANV2SimulatedRobot, WholeBusSilentDisconnectsAfterMoreThan100Cycles) {
    StartRobot();
    sim->SilenceAll(true);
    LetInFlightFramesArrive();
    TestClock::Advance(2100);
    int cycles = 0;
    while (driver->GetConnectionStatus() && cycles < 500) {
        Cycle();
        ++cycles;
    }
    EXPECT_FALSE(driver->GetConnectionStatus());
    EXPECT_GT(cycles, 100);
    // The main loop connects again once the modules are back.
    sim->SilenceAll(false);
    ASSERT_TRUE(driver->Connect());
    ASSERT_TRUE(CycleUntil([&] { return AllFresh(); }));
}

TEST_F(VQTCANV2SimulatedRobot, AlienFrameStopsTheController) {
    StartRobot();
    sim->SendAlienFrame(0x20);
    ASSERT_TRUE(WaitUntil([&] { return LogSingleton::instance()->get_opMode() == opModeSeriousFail; }));
    EXPECT_EQ(LogSingleton::instance()->get_seriousFailReason(), "79 alien CAN msg");
    EXPECT_TRUE(log->Has("ERROR - alien CAN command detected - ABORT!"));
}

TEST_F(VQTCANV2SimulatedRobot, ErrorEventsAreLoggedAndThrottled) {
    StartRobot();
    sim->SendErrorEvent(0x22, 0x72, 91, 80);
    for (int i = 0; i < 12; ++i) sim->SendErrorEvent(0x22, 0x60, 7, 8);
    const std::string unknown = "VQTCAN: unknown error message 96 from ID 0x22 (axis 2?)! word1: 7 - word2: 8";
    ASSERT_TRUE(WaitUntil([&] {
        return log->Has(unknown + " (repeated 10 times, omitting further messages)");
    }));
    Cycles(5);
    EXPECT_TRUE(log->Has("VQTCAN: TempMotor on ID 0x22 (axis 2?)! acttemp : 91 - Max: 80"));
    EXPECT_EQ(log->Count(unknown), 1);
    EXPECT_EQ(log->StartingWith(unknown + " (repeated").size(), 9u);
}

TEST_F(VQTCANV2SimulatedRobot, RestartedModulesAnnounceThemselves) {
    StartRobot();
    driver->RestartModules();
    ASSERT_TRUE(CycleUntil([&] {
        return log->StartingWith("VQTCAN: Received startup message on ID 0x").size() >= 6;
    }));
    const auto lines = log->StartingWith("VQTCAN: Received startup message on ID 0x12 (axis 1?): HW-ID '0x52' '");
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines[0].find("version 0x300 (768)"), std::string::npos) << lines[0];
    ASSERT_TRUE(CycleUntil([&] { return AllFresh(); }));
}

TEST_F(VQTCANV2SimulatedRobot, EmergencyStopFromTheMainIOModule) {
    StartRobot();
    EnableRobot();
    sim->SetEmergencyStop(true);
    ASSERT_TRUE(CycleUntil([&] { return lastShortError == "_ESTOP"; }));
    sim->SetEmergencyStop(false);
    ASSERT_TRUE(CycleUntil([&] { return lastShortError == "NoError"; }));
}

TEST_F(VQTCANV2SimulatedRobot, ShutdownFramePairRunsPowerOffOnce) {
    RunnerCapture runner;
    StartRobot();
    sim->RequestShutdown(30);
    ASSERT_TRUE(CycleUntil([&] { return !runner.Commands().empty(); }));
    Cycles(60);  // both frames well past their 50 ms
    EXPECT_EQ(runner.Commands(), std::vector<std::string>{"systemctl poweroff"});
    EXPECT_FALSE(log->StartingWith("ProtocolVQTCANV2: Shutdown request stage 1 ").empty());
    EXPECT_EQ(log->StartingWith("ProtocolVQTCANV2: Shutdown request stage 2 final").size(), 1u);

    // A lone second stage is refused.
    log->Clear();
    sim->SendShutdownStage(0x29);
    ASSERT_TRUE(CycleUntil([&] { return log->Has("ProtocolVQTCANV2: Shutdown request - error in sequence"); }));
    Cycles(60);
    EXPECT_EQ(runner.Commands().size(), 1u);
}

TEST_F(VQTCANV2SimulatedRobot, FramesOfOneCycleAreSpacedByTheGap) {
    WriteRobotFile([](tinyxml2::XMLDocument& doc) {
        auto* bus = doc.FirstChildElement("Robot")->FirstChildElement("BusConfiguration");
        bus->SetAttribute("GapMS", 1.0);
        bus->SetAttribute("CanDumpSize", 512);
    });
    StartRobot();
    Cycles(3);
    log->Clear();
    driver->canInterface.WriteCanDump();
    // "O <-- nnn ss.uuuuuu ID: 0x10 DLC: 8 MSG: 14 ..." for the sent frames.
    std::vector<double> times;
    std::vector<unsigned> ids;
    for (const std::string& line : log->StartingWith("O <-- ")) {
        unsigned n = 0, id = 0, dlc = 0, first = 0;
        double t = 0;
        if (std::sscanf(line.c_str(), "O <-- %u %lf ID: 0x%x DLC: %u MSG: %x", &n, &t, &id, &dlc, &first) == 5 &&
            first == 0x14) {
            times.push_back(t);
            ids.push_back(id);
        }
    }
    ASSERT_GE(times.size(), 14u);
    int checked = 0;
    for (size_t i = 1; i < times.size(); ++i) {
        if (ids[i] == 0x10) continue;  // a new cycle starts
        EXPECT_GE(times[i] - times[i - 1], 0.001 - 2e-6) << "frame " << i;
        ++checked;
    }
    EXPECT_GE(checked, 12);
}
