// The simulated joint, DIO and main I/O modules on the hub, seen from a plain
// bus participant, and the fault channel's line protocol.

#include "hardware/HardwareTestSupport.h"
#include "hardware/VQTCANV2Codec.h"
#include "korvella-cansim/SimFaultChannel.h"
#include "korvella-cansim/SimFrames.h"

#include <chrono>
#include <cstdio>
#include <sstream>
#include <thread>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using Codec = Hardware::VQTCANV2Codec;

namespace {

class SimModules : public HardwareTest::SimBusTest {
protected:
    void SetUp() override {
        HardwareTest::SimBusTest::SetUp();
        channel = std::make_unique<CanSim::SimFaultChannel>(hub);
        CanSim::SimJointModuleV2::Config c;
        c.canId = 0x20;
        c.gearScale = 100.0f;
        c.initialPositionRaw = 500;
        joint = channel->AddJointModule(c);
        CanSim::SimJointModuleV2::Timing t;
        t.referencingMs = 20;
        t.alignMs = 20;
        t.restartMs = 20;
        t.temperaturePeriodMs = 10;
        t.maxSpeedRaw = 100000.0;
        joint->SetTiming(t);
        io = channel->AddIOModule(0x70);
        mainIO = channel->AddMainIOModule();
        peer = ConnectPeer();
    }

    void Send(const Codec::Frame& f) { ASSERT_TRUE(peer->Send(CanSim::ToCanFrame(f))); }

    // The next frame with this identifier (others are skipped).
    bool Next(int id, can_frame& out, int maxMs = HardwareTest::kWaitMs) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
        while (std::chrono::steady_clock::now() < until) {
            if (peer->Receive(out, 10) && static_cast<int>(out.can_id) == id) return true;
        }
        return false;
    }

    Codec::Status StatusAfterSetPoint(int32_t raw, int counter) {
        Send(Codec::EncodePositionSetPoint(0x20, 128, raw, counter, 0));
        can_frame f;
        EXPECT_TRUE(Next(0x21, f));
        return Codec::DecodeStatus(f.data);
    }

    template <typename Pred>
    bool Eventually(Pred pred) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(HardwareTest::kWaitMs);
        while (std::chrono::steady_clock::now() < until) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return pred();
    }

    std::unique_ptr<CanSim::SimFaultChannel> channel;
    std::shared_ptr<CanSim::SimJointModuleV2> joint;
    std::shared_ptr<CanSim::SimIOModule> io;
    std::shared_ptr<CanSim::SimMainIOModule> mainIO;
    std::unique_ptr<CanSim::Peer> peer;
};

}  // namespace

TEST_F(SimModules, JointModuleAnswersEverySetPointAndFollowsWhileEnabled) {
    Codec::Status s = StatusAfterSetPoint(5000, 7);
    EXPECT_EQ(s.errorBits, Codec::kErrMotorNotEnabled);
    EXPECT_EQ(s.positionRaw, 500);  // disabled: does not move
    EXPECT_EQ(joint->GetSnapshot().lastCounter, 7);

    Send(Codec::EncodeEnableMotor(0x20));
    ASSERT_TRUE(Eventually([&] { return joint->GetSnapshot().enabled; }));
    ASSERT_TRUE(Eventually([&] { return StatusAfterSetPoint(5000, 8).positionRaw == 5000; }));
    EXPECT_EQ(StatusAfterSetPoint(5000, 9).errorBits, 0);

    // Keep-alive and velocity frames are answered too; velocity moves the joint.
    Send(Codec::EncodeKeepAlive(0x20, 10));
    can_frame f;
    ASSERT_TRUE(Next(0x21, f));
    Send(Codec::EncodeVelocitySetPoint(0x20, -20000, 11));
    ASSERT_TRUE(Next(0x21, f));
    ASSERT_TRUE(Eventually([&] { return joint->GetSnapshot().positionRaw < 4900; }));
    const auto snap = joint->GetSnapshot();
    EXPECT_EQ(snap.keepAlives, 1u);
    EXPECT_EQ(snap.velocitySetPoints, 1u);
    EXPECT_EQ(snap.lastCounter, 11);

    // The status carries current and inputs; the one-byte current sets bit 7 of byte 5.
    joint->SetCurrentRaw(0x0234);
    joint->SetInputs(0x05);
    Send(Codec::EncodePositionSetPoint(0x20, 128, 0, 12, 0));
    ASSERT_TRUE(Next(0x21, f));
    EXPECT_EQ(Codec::CurrentRaw(f.data, false), 0x0234);
    EXPECT_EQ(f.data[7] & 0x3F, 0x05);
    joint->SetShortCurrent(true);
    Send(Codec::EncodePositionSetPoint(0x20, 128, 0, 13, 0));
    ASSERT_TRUE(Next(0x21, f));
    EXPECT_TRUE(Codec::DecodeStatus(f.data).shortCurrentBit);
    EXPECT_EQ(Codec::CurrentRaw(f.data, true), 0x34);

    Send(Codec::EncodeDisableMotor(0x20));
    ASSERT_TRUE(Eventually([&] { return !joint->GetSnapshot().enabled; }));
}

TEST_F(SimModules, JointModuleCommands) {
    // Referencing and alignment complete after their delay.
    Send(Codec::EncodeStartReferencing(0x20));
    Send(Codec::EncodeAlignMotor(0x20));
    ASSERT_TRUE(Eventually([&] {
        const Codec::Status s = StatusAfterSetPoint(0, 1);
        return s.referenced && s.aligned;
    }));

    // Set to zero.
    Send(Codec::EncodeSetToZero(0x20));
    ASSERT_TRUE(Eventually([&] { return joint->GetSnapshot().positionRaw == 0.0; }));

    // Latched error bits until a reset.
    joint->SetErrorBits(0x10);
    EXPECT_EQ(StatusAfterSetPoint(0, 2).errorBits, 0x10 | Codec::kErrMotorNotEnabled);
    Send(Codec::EncodeResetError(0x20));
    ASSERT_TRUE(Eventually([&] { return StatusAfterSetPoint(0, 3).errorBits == Codec::kErrMotorNotEnabled; }));

    // Temperatures are sent on their own.
    can_frame f;
    ASSERT_TRUE(Next(0x23, f));
    float t1 = 0, t2 = 0;
    ASSERT_TRUE(Codec::DecodeTemperature(f.data, 0.3125f, -25.6f, t1, t2));
    EXPECT_NEAR(t1, 35.0f, 0.1f);

    // Restart: quiet for a while, then the start-up message; referencing is lost.
    Send(Codec::EncodeRestart(0x20));
    ASSERT_TRUE(Next(0x22, f));
    EXPECT_TRUE(Codec::IsStartupMessage(f.data));
    EXPECT_EQ(Codec::StartupHardwareId(f.data), 0x52);
    EXPECT_FALSE(StatusAfterSetPoint(0, 4).referenced);
    const auto snap = joint->GetSnapshot();
    EXPECT_EQ(snap.commands[Codec::kCmdRestart], 1u);
    EXPECT_EQ(snap.commands[Codec::kCmdSetZero], 1u);
}

TEST_F(SimModules, SilentModuleSendsNothing) {
    channel->Silence(0x20, true);
    Send(Codec::EncodePositionSetPoint(0x20, 128, 0, 1, 0));
    can_frame f;
    EXPECT_FALSE(Next(0x21, f, 100));
    EXPECT_FALSE(Next(0x23, f, 50));
    channel->Silence(0x20, false);
    Send(Codec::EncodePositionSetPoint(0x20, 128, 0, 2, 0));
    EXPECT_TRUE(Next(0x21, f));
}

TEST_F(SimModules, DIOModuleTakesOutputsAndReportsInputs) {
    io->SetInputs(0xC5);  // bit 7 is not an input
    Send(Codec::EncodeDIOOutputs(0x70, 9, 0x0A));
    can_frame f;
    ASSERT_TRUE(Next(0x71, f));
    EXPECT_EQ(f.data[0], 0);
    EXPECT_EQ(f.data[7], 0x45);
    const auto snap = io->GetSnapshot();
    EXPECT_EQ(snap.outputs, 0x0A);
    EXPECT_EQ(snap.lastCounter, 9);
}

TEST_F(SimModules, MainIOModuleSupplyLightAndShutdown) {
    can_frame f;
    ASSERT_TRUE(Next(0x06, f));
    Codec::Supply s = Codec::DecodeSupply(f.data);
    EXPECT_EQ(s.supplyVoltage, 24000);
    EXPECT_EQ(s.stateBits, 3);
    channel->SetEmergencyStop(true);
    ASSERT_TRUE(Eventually([&] { return Next(0x06, f) && Codec::DecodeSupply(f.data).stateBits == 0; }));

    Send(Codec::EncodeStatusLight(220, 95, 0));
    ASSERT_TRUE(Eventually([&] { return mainIO->GetSnapshot().red == 220; }));
    EXPECT_EQ(mainIO->GetSnapshot().green, 95);

    channel->RequestShutdown(20);
    uint8_t stage = 0;
    ASSERT_TRUE(Next(0xFF, f));
    ASSERT_TRUE(Codec::DecodeShutdownRequest(f.data, stage));
    EXPECT_EQ(stage, Codec::kShutdownStage1);
    ASSERT_TRUE(Next(0xFF, f));
    ASSERT_TRUE(Codec::DecodeShutdownRequest(f.data, stage));
    EXPECT_EQ(stage, Codec::kShutdownStage2);
}

TEST_F(SimModules, FaultLineProtocol) {
    struct Case { const char* line; const char* replyStart; };
    const Case cases[] = {
        {"silence 0x20", "OK"},
        {"silence 0x20 off", "OK"},
        {"silence all on", "OK"},
        {"silence all off", "OK"},
        {"silence 0x99", "ERROR no module with id 0x99"},
        {"silence 0x20 maybe", "ERROR usage"},
        {"errorbits 0x20 0x40", "OK"},
        {"errorbits 0x20 256", "ERROR usage"},
        {"watchdog 0x20 250", "OK"},
        {"watchdog all off", "OK"},
        {"watchdog 0x30 100", "ERROR no module with id 0x30"},
        {"watchdog 0x20 -5", "ERROR usage"},
        {"watchdog 0x20", "ERROR usage"},
        {"event 0x22 0x55 1 2", "OK"},
        {"event 0x22", "ERROR usage"},
        {"alien 0x20", "OK"},
        {"alien 4096", "ERROR usage"},
        {"inputs 0x70 0x05", "OK"},
        {"inputs 112 5", "OK"},
        {"inputs 0x70 -1", "ERROR usage"},
        {"supply 2300 1 0", "OK"},
        {"supply 99999", "ERROR usage"},
        {"estop on", "OK"},
        {"estop off", "OK"},
        {"shutdown 50", "OK"},
        {"shutdown nan", "ERROR usage"},
        {"shutdownstage 0x29", "OK"},
        {"restart 0x20", "OK"},
        {"restart 0x70", "ERROR no module"},
        {"list", "OK joints: 0x20 io: 0x70 main-io: yes"},
        {"help", "OK commands:"},
        {"", "ERROR empty command"},
        {"poweroff", "ERROR unknown command 'poweroff'"},
    };
    for (const Case& c : cases) {
        const std::string reply = channel->HandleLine(c.line);
        EXPECT_EQ(reply.compare(0, std::string(c.replyStart).size(), c.replyStart), 0)
            << "'" << c.line << "' -> '" << reply << "'";
    }
    EXPECT_EQ(io->GetSnapshot().inputs, 0x05);
    EXPECT_EQ(mainIO->GetSnapshot().supplyRaw, 2300);

    // The stream form stops at "quit" and skips blank lines.
    std::istringstream in("inputs 0x70 0x03\n\n   \nbogus\nquit\ninputs 0x70 0x07\n");
    std::ostringstream out;
    channel->RunLines(in, out);
    EXPECT_EQ(out.str(), "OK\nERROR unknown command 'bogus' (try help)\n");
    EXPECT_EQ(io->GetSnapshot().inputs, 0x03);
}

// The communication watchdog (error bit 0x08): an enabled module that hears no
// set-point for its time-out reports the bit with error event 0x76 and stands
// where it is, answering but following nothing, until a reset-error command.
TEST_F(SimModules, AnEnabledModuleLeftWithoutSetPointsReportsItsWatchdogAndStandsUntilReset) {
    ASSERT_EQ(channel->HandleLine("watchdog 0x20 100"), "OK");
    Send(Codec::EncodeEnableMotor(0x20));
    ASSERT_TRUE(Eventually([&] { return joint->GetSnapshot().enabled; }));
    EXPECT_EQ(StatusAfterSetPoint(500, 1).errorBits, 0);
    can_frame f;
    ASSERT_TRUE(Next(0x22, f, 2000)) << "no error event";
    Codec::ErrorEvent event;
    ASSERT_TRUE(Codec::DecodeErrorEvent(f.data, event));
    EXPECT_EQ(event.code, 0x76);
    EXPECT_EQ(joint->GetSnapshot().errorBits, Codec::kErrComWatchdog);

    // Answered, not followed.
    EXPECT_EQ(StatusAfterSetPoint(5000, 2).errorBits, Codec::kErrComWatchdog);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(StatusAfterSetPoint(5000, 3).positionRaw, 500);

    // The reset clears it; set-points are followed again.
    Send(Codec::EncodeResetError(0x20));
    ASSERT_TRUE(Eventually([&] { return joint->GetSnapshot().errorBits == 0; }));
    EXPECT_EQ(StatusAfterSetPoint(600, 4).errorBits, 0);
    EXPECT_TRUE(Eventually([&] { return joint->GetSnapshot().positionRaw == 600.0; }));

    // Switched off, or the module disabled: no time-out.
    ASSERT_EQ(channel->HandleLine("watchdog 0x20 off"), "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(joint->GetSnapshot().errorBits, 0);
    ASSERT_EQ(channel->HandleLine("watchdog 0x20 100"), "OK");
    Send(Codec::EncodeDisableMotor(0x20));
    ASSERT_TRUE(Eventually([&] { return !joint->GetSnapshot().enabled; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(joint->GetSnapshot().errorBits & Codec::kErrComWatchdog, 0);
}

TEST(SimRobotConfig, LoadsTheJointModulesOfARobotFile) {
    CanSim::SimRobotConfig config;
    config.dioModuleIds = {0x70};
    std::string error;
    ASSERT_TRUE(CanSim::SimRobotConfig::Load(TestSupport::FixturePath("v2-robot.xml"), config, error)) << error;
    EXPECT_EQ(config.protocol, "VQTCANV3");
    EXPECT_TRUE(config.IsVQTCANV2());
    ASSERT_EQ(config.joints.size(), 6u);
    EXPECT_EQ(config.joints[2].canId, 48);
    EXPECT_EQ(config.joints[2].gearZero, 1000.0f);
    EXPECT_EQ(config.dioModuleIds, std::vector<int>{0x70});

    TestSupport::ScratchRoot root;
    TestSupport::WriteFile(root.File("bad.xml"), "<Robot><BusConfiguration Protocol=\"VQTCANV2\"/></Robot>");
    EXPECT_FALSE(CanSim::SimRobotConfig::Load(root.File("bad.xml"), config, error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(CanSim::SimRobotConfig::Load(root.File("missing.xml"), config, error));

    CanSim::Hub hub;
    CanSim::SimFaultChannel channel(hub);
    config.protocol = "EtherCAT";
    EXPECT_FALSE(channel.Populate(config, error));
    // CANopen nodes need node ids 1 to 127.
    config.protocol = "CANopen_CSP";
    config.joints.resize(1);
    config.joints[0].canId = 128;
    EXPECT_FALSE(channel.Populate(config, error));
    EXPECT_EQ(error, "CANopen node id 128 out of range (1..127)");
}

TEST(SimProgram, ServesTheFaultChannelOnStandardInput) {
#ifndef KORVELLA_CANSIM_PROGRAM
    GTEST_SKIP() << "built without the program's path";
#else
    TestSupport::ScratchRoot root;
    int toProgram[2], fromProgram[2];
    ASSERT_EQ(pipe(toProgram), 0);
    ASSERT_EQ(pipe(fromProgram), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toProgram[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromProgram[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, toProgram[1]);
    posix_spawn_file_actions_addclose(&actions, fromProgram[0]);
    std::vector<std::string> args = {KORVELLA_CANSIM_PROGRAM, "--socket", root.File("bus.sock"), "--robot",
                                     TestSupport::FixturePath("v2-robot.xml"), "--dio", "0x70"};
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(toProgram[0]);
    close(fromProgram[1]);

    const std::string commands = "list\ninputs 0x70 9\nquit\n";
    ASSERT_EQ(write(toProgram[1], commands.data(), commands.size()), static_cast<ssize_t>(commands.size()));
    std::string output;
    char buf[256];
    pollfd pfd{fromProgram[0], POLLIN, 0};
    while (poll(&pfd, 1, HardwareTest::kWaitMs) > 0) {
        const ssize_t n = read(fromProgram[0], buf, sizeof(buf));
        if (n <= 0) break;  // "quit" ended the program
        output.append(buf, static_cast<size_t>(n));
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(toProgram[1]);
    close(fromProgram[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(output.find("6 joint modules, 1 DIO modules"), std::string::npos) << output;
    EXPECT_NE(output.find("OK joints: 0x10 0x20 0x30 0x40 0x50 0x60 io: 0x70 main-io: yes\nOK\n"), std::string::npos)
        << output;
#endif
}
