// The Modbus server in this process with libmodbus as a real client on
// loopback: the register maps against a robot master whose thread runs, the
// reply path's sound handling of writes, the listener's life cycle and how it
// copes with bad, stalled and surplus clients.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/LogSingleton.h"
#include "controller/CommandRunner.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterTestSupport.h"
#include "hardware/HardwareProtocol.h"
#include "server/ModbusServer.h"
#include "server/ModbusTestSupport.h"
#include "support/LogCapture.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using ServerTest::WaitFor;

// A program that runs until global signal 99 is set.
const char* const WaitingProgram =
    "<?xml version=\"1.0\"?>\n<Program>\n<Wait Nr=\"1\" Type=\"Conditional\" Condition=\"gsig99\"/>\n</Program>\n";

std::vector<uint16_t> NameRegisters(const std::string& name) {
    std::vector<uint16_t> regs(32);
    Modbus::ModbusServer::StringToRegisters(name, regs.data(), 32);
    return regs;
}

class ModbusServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        RobotMasterTest::ResetLogState();
        // Debug mode: programs run although no bus is connected.
        file = std::make_unique<RobotMasterTest::RobotFile>([](tinyxml2::XMLElement* robot) {
            robot->FirstChildElement("Korvella")->SetAttribute("DebugMode", "true");
        });
        rm = std::make_unique<RobotMaster>();
        rm->Init("Arm", "KorvellaSix", file->Relative());
        rm->FinishInit();
        ASSERT_NO_FATAL_FAILURE(ModbusTest::StartServer(server, rm.get(), client));
    }
    void TearDown() override {
        ModbusTest::StopServer(server, client);
        rm.reset();
        file.reset();
        RobotMasterTest::ResetLogState();
    }

    DataTypes::RobotState State() const { return rm->GetRobotState(); }
    void WriteProgram(const std::string& name) { TestSupport::WriteFile(root.File("Data/Programs/" + name), WaitingProgram); }
    bool LoadByRegisters(const std::string& name) {
        return client.WriteHolding(267, NameRegisters(name)) &&
               WaitFor([&]() { return rm->ipoMain.GetProgramFile() == name && !rm->ipoMain.IsLoading(); });
    }
    int RunState() const { return rm->ipoMain.GetRunState(); }

    TestSupport::ScratchRoot root;
    std::unique_ptr<RobotMasterTest::RobotFile> file;
    std::unique_ptr<RobotMaster> rm;
    Modbus::ModbusServer* server = Modbus::ModbusServer::Instance();
    ModbusTest::Client client;
    TestSupport::LogCapture log;
};

TEST_F(ModbusServerTest, InputRegistersReportVersionsStatisticsJointsAndProgramState) {
    EXPECT_EQ(client.Input(0, 4), (std::vector<uint16_t>{980, 13, 39, 1}));
    EXPECT_EQ(client.Input1(13), static_cast<uint16_t>(rm->GetCycleTime() * 10));
    EXPECT_EQ(client.Input1(20), rm->GetHardware()->robotJointCount);
    EXPECT_EQ(client.Input1(96), 0) << "normal operation";
    EXPECT_EQ(client.Input1(265), 65535) << "no active command";
    EXPECT_EQ(client.Input1(262), 0);
    EXPECT_EQ(client.Input1(264), 0) << "no active program";

    const double home[9] = {10.5, -20.25, 30, 0, -0.5, 0, 0, 0, 0};
    rm->SetHomePos(home);
    ASSERT_TRUE(WaitFor([&]() { return std::fabs(State().jointSetPoint[1] + 20.25f) < 1e-4f; }));
    const std::vector<uint16_t> joints = client.Input(142, 24);
    ASSERT_EQ(joints.size(), 24u);
    EXPECT_EQ(Modbus::ModbusServer::ToInt(joints[0], joints[1]), 1050);
    EXPECT_EQ(Modbus::ModbusServer::ToInt(joints[2], joints[3]), -2025);
    EXPECT_EQ(Modbus::ModbusServer::ToInt(joints[4], joints[5]), 3000);
    EXPECT_EQ(Modbus::ModbusServer::ToInt(joints[8], joints[9]), -50);

    // The display message group takes the queue's head; an empty queue reads 32 zeros.
    std::string drained;
    while (LogSingleton::instance()->DisplayGetMessage(&drained)) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(client.Input(400, 32), std::vector<uint16_t>(32, 0));

    // One address of a group fills the whole group: reading 27 fills 25..43 as well.
    EXPECT_EQ(client.Input(27, 1).size(), 1u);
}

TEST_F(ModbusServerTest, HoldingRegistersSetOverrideMotionTypeAndReplayMode) {
    struct Case {
        int address;
        uint16_t value;
        float override;
        int motionType;
        int replayMode;
    };
    rm->override = 40.0f;
    rm->ipoMain.replayMode = IPO::ReplayRepeat;
    const Case cases[] = {
        {187, 5000, 50.0f, 0, 1},  {187, 5005, 50.0f, 0, 1}, {187, 20000, 100.0f, 0, 1}, {188, 2, 100.0f, 2, 1},
        {188, 9, 100.0f, 0, 1},    {261, 2, 100.0f, 0, 2},   {261, 3, 100.0f, 0, 0},     {261, 1, 100.0f, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.address) + " = " + std::to_string(c.value));
        ASSERT_TRUE(client.WriteHolding(c.address, {c.value}));
        EXPECT_FLOAT_EQ(rm->override.load(), c.override);
        EXPECT_EQ(rm->motionType.load(), c.motionType);
        EXPECT_EQ(rm->ipoMain.replayMode.load(), c.replayMode);
    }
    EXPECT_EQ(client.Holding(187, 2), (std::vector<uint16_t>{10000, 0}));
    // Registers that only store keep what was written; 180 starts at 500.
    EXPECT_EQ(client.Holding1(180), 500);
    ASSERT_TRUE(client.WriteHolding(130, {0xFB2E, 0xFFFF}));
    EXPECT_EQ(client.Holding(130, 2), (std::vector<uint16_t>{0xFB2E, 0xFFFF}));
}

TEST_F(ModbusServerTest, SignalsAndOutputsThroughRegistersAndCoils) {
    ASSERT_TRUE(client.WriteHolding(200, {0x0005}));
    ASSERT_TRUE(WaitFor([&]() {
        const DataTypes::RobotState s = State();
        return s.globalSignals[0] && s.globalSignals[2];
    }));
    DataTypes::RobotState s = State();
    EXPECT_FALSE(s.globalSignals[1]);
    EXPECT_FALSE(s.globalSignals[15]);

    // Coils 290..309 reach signals 90..99 and outputs 0..9 in one write.
    ASSERT_TRUE(client.WriteCoils(290, std::vector<uint8_t>(20, 1)));
    ASSERT_TRUE(WaitFor([&]() {
        const DataTypes::RobotState t = State();
        return t.globalSignals[99] && t.digitalOutputs[9];
    }));
    s = State();
    for (int i = 90; i <= 99; ++i) EXPECT_TRUE(s.globalSignals[i]) << i;
    for (int i = 0; i <= 9; ++i) EXPECT_TRUE(s.digitalOutputs[i]) << i;
    EXPECT_FALSE(s.digitalOutputs[10]);

    // Read back: holding 200..206 and 207..210, coils and discrete inputs alike.
    const std::vector<uint16_t> words = client.Holding(200, 11);
    ASSERT_EQ(words.size(), 11u);
    EXPECT_EQ(words[0], 0x0005);
    EXPECT_EQ(words[5], 0xFC00) << "signals 90..95";
    EXPECT_EQ(words[6], 0x000F) << "signals 96..99";
    EXPECT_EQ(words[7], 0x03FF) << "outputs 0..9";
    for (const std::vector<uint8_t>& bits : {client.Coils(290, 20), client.Discrete(290, 20)}) {
        ASSERT_EQ(bits.size(), 20u);
        for (uint8_t b : bits) EXPECT_EQ(b, 1);
    }
    EXPECT_EQ(client.Discrete(200, 3), (std::vector<uint8_t>{1, 0, 1}));
    // Joint errors: 20 when there is none, else the bits of all codes together.
    int errors = 0;
    for (int code : State().jointErrorCodes) errors |= code;
    std::vector<uint8_t> errorBits = {static_cast<uint8_t>(errors == 0)};
    for (int b = 0; b < 10; ++b) errorBits.push_back(static_cast<uint8_t>((errors >> b) & 1));
    EXPECT_EQ(client.Discrete(20, 11), errorBits);
}

TEST_F(ModbusServerTest, ProgramFilesAndRunControl) {
    WriteProgram("prog1.xml");
    ASSERT_TRUE(LoadByRegisters("prog1.xml"));
    EXPECT_EQ(client.Coils(120, 1), (std::vector<uint8_t>{1}));
    const std::vector<uint16_t> name = NameRegisters("prog1.xml");
    EXPECT_EQ(client.Holding(267, 32), name);

    // Coil 122 starts on a rising edge only.
    ASSERT_TRUE(client.WriteCoils(122, {0}));
    ASSERT_TRUE(client.WriteCoils(122, {1}));
    ASSERT_TRUE(WaitFor([&]() { return RunState() == IPO::RunStateRunning; }));
    EXPECT_EQ(client.Holding1(260), 1);
    rm->StopProgram(IPO::USER);
    ASSERT_TRUE(client.WriteCoils(122, {1}));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(RunState(), IPO::RunStateIdle) << "no edge, no start";
    ASSERT_TRUE(client.WriteCoils(122, {0}));
    ASSERT_TRUE(client.WriteCoils(122, {1}));
    ASSERT_TRUE(WaitFor([&]() { return RunState() == IPO::RunStateRunning; }));
    // A read reports the state whatever the client wrote.
    ASSERT_TRUE(client.WriteCoils(122, {0}));
    EXPECT_EQ(client.Coils(122, 3), (std::vector<uint8_t>{1, 0, 0}));

    // Register 260: 2 pauses, 0 stops, 1 starts.
    ASSERT_TRUE(client.WriteHolding(260, {2}));
    EXPECT_TRUE(WaitFor([&]() { return RunState() == IPO::RunStatePaused; }));
    EXPECT_EQ(client.Holding1(260), 2);
    ASSERT_TRUE(client.WriteHolding(260, {0}));
    EXPECT_TRUE(WaitFor([&]() { return RunState() == IPO::RunStateIdle; }));
    EXPECT_EQ(client.Holding1(260), 0);

    // Names from outside stay inside the programs directory.
    for (const std::string& bad : {std::string("../prog1.xml"), std::string("/etc/passwd"), std::string("a/../../x.xml")}) {
        SCOPED_TRACE(bad);
        log.Clear();
        ASSERT_TRUE(client.WriteHolding(267, NameRegisters(bad)));
        EXPECT_TRUE(log.HasStartingWith("Modbus: Program file name '" + bad + "' refused"));
        EXPECT_EQ(rm->ipoMain.GetProgramFile(), "prog1.xml");
    }
    // A missing file clears the loaded program.
    ASSERT_TRUE(client.WriteHolding(267, NameRegisters("missing.xml")));
    EXPECT_TRUE(log.Has("Modbus: Robot program file 'missing.xml' requested but does not exist, clearing loaded program"));
    EXPECT_FALSE(rm->ipoMain.IsProgramLoaded());
    EXPECT_EQ(client.Coils(120, 1), (std::vector<uint8_t>{0}));
}

TEST_F(ModbusServerTest, NumberAndPositionVariables) {
    Programs::ProgramMemory& memory = rm->programMemory;
    ASSERT_TRUE(client.WriteHolding(440, {0xFFE7}));
    EXPECT_DOUBLE_EQ(memory.GetVariable("mb_num_w1").number, -25.0);
    EXPECT_EQ(client.Holding1(440), 0xFFE7);

    struct Case {
        double value;
        uint16_t reads;
    };
    for (const Case& c : {Case{3.5, 4}, Case{-2.0, 0xFFFE}, Case{-2.6, 0xFFFD}}) {
        memory.SetVariableSingle("mb_num_r1", c.value, true);
        EXPECT_EQ(client.Input1(440), c.reads) << c.value;
    }

    // Position variable 1: joints and pose as given (mode 0).
    std::vector<uint16_t> group(16, 0);
    for (int j = 0; j < 9; ++j) group[static_cast<std::size_t>(j)] = static_cast<uint16_t>((j + 1) * 10);
    group[9] = static_cast<uint16_t>(-1234);
    ASSERT_TRUE(client.WriteHolding(456, group));
    Programs::MemoryPosition stored = memory.GetVariable("mb_pos_w1");
    EXPECT_FLOAT_EQ(stored.position.jointSetPoint[0], 1.0f);
    EXPECT_FLOAT_EQ(stored.position.jointSetPoint[8], 9.0f);
    EXPECT_NEAR(stored.position.pose.GetTranslation().x, -123.4f, 1e-4f);
    std::vector<uint16_t> readBack = client.Holding(456, 16);
    ASSERT_EQ(readBack.size(), 16u);
    EXPECT_EQ(readBack[0], 10);
    EXPECT_EQ(readBack[9], static_cast<uint16_t>(-1234));

    // Any other mode stores nothing, whichever register of the group was written.
    ASSERT_TRUE(client.WriteHolding(456 + 15, {7}));
    ASSERT_TRUE(client.WriteHolding(456 + 3, {999}));
    EXPECT_FLOAT_EQ(memory.GetVariable("mb_pos_w1").position.jointSetPoint[3], 4.0f);
}

TEST_F(ModbusServerTest, WriteAndReadRegistersActOnTheWriteRangeAndReadTheReadRange) {
    rm->override = 40.0f;
    const uint16_t value = 3000;
    std::vector<uint16_t> read(8, 0xEEEE);
    // Write the override (187); read 181..188, which the read callback fills before the answer.
    ASSERT_EQ(modbus_write_and_read_registers(client.Context(), 187, 1, &value, 181, 8, read.data()), 8);
    ASSERT_TRUE(client.Sync());
    EXPECT_FLOAT_EQ(rm->override.load(), 30.0f);
    EXPECT_EQ(read[6], 3000);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(read[static_cast<std::size_t>(i)], 0) << "velocities of the robot master";
}

TEST_F(ModbusServerTest, RefusedWritesActOnNothing) {
    WriteProgram("prog1.xml");
    ASSERT_TRUE(LoadByRegisters("prog1.xml"));
    ASSERT_TRUE(client.WriteCoils(122, {0}));
    rm->StartProgram();
    ASSERT_TRUE(WaitFor([&]() { return RunState() == IPO::RunStateRunning; }));
    // The read leaves 1 in coil 122 of the image, which no write has recorded.
    EXPECT_EQ(client.Coils(122, 1), (std::vector<uint8_t>{1}));
    rm->StopProgram(IPO::USER);
    ASSERT_TRUE(WaitFor([&]() { return RunState() == IPO::RunStateIdle; }));

    ServerTest::Client raw;
    ASSERT_TRUE(raw.Connect(server->GetBoundPort()));
    // A single-coil value the protocol does not know.
    ASSERT_TRUE(raw.Send(ModbusTest::Frame(1, {0x05, 0x00, 122, 0x12, 0x34})));
    std::string answer = ModbusTest::Answer(raw.Fd());
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_EQ(static_cast<uint8_t>(answer[7]), 0x85);
    EXPECT_EQ(static_cast<uint8_t>(answer[8]), MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    // A coil range past the image.
    ASSERT_TRUE(raw.Send(ModbusTest::Frame(2, {0x0F, 0x00, 120, 0x01, 0x40, 0x28})));
    answer = ModbusTest::Answer(raw.Fd());
    ASSERT_EQ(answer.size(), 9u);
    EXPECT_EQ(static_cast<uint8_t>(answer[7]), 0x8F);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(RunState(), IPO::RunStateIdle) << "a refused write started the program";
}

TEST_F(ModbusServerTest, MoveCoilsStartDirectMovesFromTheStorageRegisters) {
    ASSERT_TRUE(client.WriteCoils(100, {0, 0, 0, 0, 0}));
    // Joint 1 to 10.00 degrees, the rest where they are, at 50.0 per cent.
    std::vector<uint16_t> targets(18, 0);
    targets[0] = 1000;
    ASSERT_TRUE(client.WriteHolding(142, targets));
    EXPECT_EQ(client.Holding1(180), 500);
    ASSERT_TRUE(client.WriteCoils(103, {1}));
    EXPECT_TRUE(WaitFor([&]() { return std::fabs(State().jointSetPoint[0] - 10.0f) < 0.01f; }, 30s))
        << State().jointSetPoint[0];
    EXPECT_TRUE(log.HasStartingWith("IPO: Starting program with 1 points and 0 subprograms, first: CommandJoint"));

    // All five at once: only the first of each group is looked at.
    ASSERT_TRUE(client.WriteCoils(103, {0}));
    log.Clear();
    ASSERT_TRUE(client.WriteCoils(100, {1, 1, 1, 1, 1}));
    std::vector<std::string> started;
    for (const std::string& line : log.StartingWith("IPO: Starting program with 1 points"))
        started.push_back(line.substr(line.rfind(' ') + 1));
    EXPECT_EQ(started, (std::vector<std::string>{"CommandLinear", "CommandJoint"}));
}

TEST_F(ModbusServerTest, ProgramBrowserThroughCoilsAndRegisters) {
    WriteProgram("a.xml");
    WriteProgram("b.xml");
    WriteProgram("sub/c.xml");
    ASSERT_TRUE(client.WriteCoils(130, {0, 0, 0, 0, 0}));
    auto name = [&]() {
        const std::vector<uint16_t> regs = client.Input(333, 32);
        return regs.size() == 32 ? Modbus::ModbusServer::StringFromRegisters(regs.data(), 32) : std::string("?");
    };
    auto directory = [&]() {
        const std::vector<uint16_t> regs = client.Input(365, 32);
        return regs.size() == 32 ? Modbus::ModbusServer::StringFromRegisters(regs.data(), 32) : std::string("?");
    };
    ASSERT_TRUE(client.WriteCoils(134, {1}));
    EXPECT_EQ(client.Input(331, 2), (std::vector<uint16_t>{3, 0}));
    // Each entry by the cursor register; the listing's order is the browser's.
    auto entries = [&](int count) {
        std::vector<std::string> names;
        for (int i = 0; i < count; ++i) {
            EXPECT_TRUE(client.WriteHolding(332, {static_cast<uint16_t>(i)}));
            names.push_back(name());
        }
        return names;
    };
    std::vector<std::string> base = entries(3);
    const int sub = static_cast<int>(std::find(base.begin(), base.end(), "sub/") - base.begin());
    std::sort(base.begin(), base.end());
    EXPECT_EQ(base, (std::vector<std::string>{"a.xml", "b.xml", "sub/"}));
    ASSERT_LT(sub, 3);

    // Next and previous entry, and whether the selected entry is a file.
    ASSERT_TRUE(client.WriteHolding(332, {0}));
    ASSERT_TRUE(client.WriteCoils(130, {1}));
    EXPECT_EQ(client.Input1(332), 1);
    ASSERT_TRUE(client.WriteCoils(131, {1}));
    EXPECT_EQ(client.Input1(332), 0);
    ASSERT_TRUE(client.WriteHolding(332, {static_cast<uint16_t>(sub)}));
    EXPECT_EQ(client.Discrete(132, 1), (std::vector<uint8_t>{0})) << "a directory";
    ASSERT_TRUE(client.WriteHolding(332, {static_cast<uint16_t>((sub + 1) % 3)}));
    EXPECT_EQ(client.Discrete(132, 1), (std::vector<uint8_t>{1})) << "a file";
    // The browser stops at its last entry.
    ASSERT_TRUE(client.WriteHolding(332, {40}));
    EXPECT_EQ(client.Holding1(332), 2);

    // Into the directory: names show without it, the directory register holds it.
    ASSERT_TRUE(client.WriteHolding(332, {static_cast<uint16_t>(sub)}));
    ASSERT_TRUE(client.WriteCoils(133, {1}));
    EXPECT_EQ(directory(), "sub/");
    EXPECT_EQ(client.Input1(331), 2);
    std::vector<std::string> inside = entries(2);
    const int file = inside[0] == "c.xml" ? 0 : 1;
    std::sort(inside.begin(), inside.end());
    EXPECT_EQ(inside, (std::vector<std::string>{"../", "c.xml"}));

    // Loading the selected file, then back to the base directory.
    ASSERT_TRUE(client.WriteHolding(332, {static_cast<uint16_t>(file)}));
    ASSERT_TRUE(client.WriteCoils(133, {0}));
    ASSERT_TRUE(client.WriteCoils(133, {1}));
    EXPECT_TRUE(WaitFor([&]() { return rm->ipoMain.GetProgramFile() == "sub/c.xml"; }));
    ASSERT_TRUE(client.WriteCoils(134, {0}));
    ASSERT_TRUE(client.WriteCoils(134, {1}));
    EXPECT_EQ(directory(), "");
    EXPECT_EQ(client.Input1(332), 0);

    // Coil 135 clears the loaded program.
    ASSERT_TRUE(client.WriteCoils(135, {1}));
    EXPECT_FALSE(rm->ipoMain.IsProgramLoaded());
}

TEST_F(ModbusServerTest, ShutdownCoilRunsOnlyTheStandInCommand) {
    std::vector<std::string> commands;
    std::mutex mutex;
    CommandRunner::SetRunFunction([&](const std::string& command) {
        std::lock_guard<std::mutex> lock(mutex);
        commands.push_back(command);
        return 0;
    });
    // Edges count against the coils as the last write left them, kept across restarts.
    ASSERT_TRUE(client.WriteCoils(51, {0}));
    ASSERT_TRUE(client.WriteCoils(51, {1}));
    ASSERT_TRUE(client.WriteCoils(51, {1})) << "no second edge";
    CommandRunner::SetRunFunction(nullptr);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(commands, (std::vector<std::string>{"systemctl poweroff"}));
    EXPECT_TRUE(log.Has("Shutting down the system..."));
}

TEST_F(ModbusServerTest, StopThenStartAtOnceStartsAFreshImageAndRestartKeepsIt) {
    ASSERT_TRUE(client.WriteHolding(180, {700}));
    server->Restart();
    ASSERT_TRUE(WaitFor([&]() { return log.Count("Modbus Server started") >= 2 && server->IsListening(); }));
    ASSERT_TRUE(client.Connect(server->GetBoundPort()));
    EXPECT_EQ(client.Holding1(180), 700) << "Restart keeps the image";

    server->Stop();
    EXPECT_FALSE(server->IsRunning());
    EXPECT_FALSE(server->HasImage());
    server->Start();
    ASSERT_TRUE(WaitFor([&]() { return server->IsListening(); }));
    ASSERT_TRUE(client.Connect(server->GetBoundPort()));
    EXPECT_EQ(client.Holding1(180), 500) << "a new listener starts from a fresh image";

    // Restart while stopped starts.
    server->Stop();
    server->Restart();
    EXPECT_TRUE(WaitFor([&]() { return server->IsListening(); }));
}

TEST_F(ModbusServerTest, BadRequestsGetTheLibrarysExceptionAnswerAndTheClientStays) {
    ServerTest::Client raw;
    ASSERT_TRUE(raw.Connect(server->GetBoundPort()));
    struct Case {
        const char* what;
        std::vector<uint8_t> pdu;
        uint8_t function;
        uint8_t exception;
    };
    const Case cases[] = {
        {"unknown function", {0x41, 0, 0, 0, 1}, 0xC1, MODBUS_EXCEPTION_ILLEGAL_FUNCTION},
        {"126 holding registers", {0x03, 0, 0, 0, 126}, 0x83, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE},
        {"10 registers at 745", {0x03, 0x02, 0xE9, 0, 10}, 0x83, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS},
        {"input register 750", {0x04, 0x02, 0xEE, 0, 1}, 0x84, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS},
        {"coil 428", {0x01, 0x01, 0xAC, 0, 1}, 0x81, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS},
        {"0 coils", {0x01, 0, 0, 0, 0}, 0x81, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE},
        {"truncated read", {0x03, 0}, 0x83, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE},
        {"read exception status", {0x07}, 0x87, MODBUS_EXCEPTION_ILLEGAL_FUNCTION},
    };
    uint16_t transaction = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(raw.Send(ModbusTest::Frame(transaction++, c.pdu)));
        const std::string answer = ModbusTest::Answer(raw.Fd());
        ASSERT_EQ(answer.size(), 9u);
        EXPECT_EQ(static_cast<uint8_t>(answer[7]), c.function);
        EXPECT_EQ(static_cast<uint8_t>(answer[8]), c.exception);
        EXPECT_EQ(client.Input1(0), 980) << "the other client is still served";
    }
    // Two requests in one send are both answered, in order.
    ASSERT_TRUE(raw.Send(ModbusTest::Frame(50, {0x04, 0, 0, 0, 1}) + ModbusTest::Frame(51, {0x04, 0, 1, 0, 1})));
    EXPECT_EQ(static_cast<uint8_t>(ModbusTest::Answer(raw.Fd())[1]), 50);
    EXPECT_EQ(static_cast<uint8_t>(ModbusTest::Answer(raw.Fd())[1]), 51);

    // An invalid header loses that client only.
    ASSERT_TRUE(raw.Send(std::string("GET / HTTP/1.0\r\n\r\n")));
    EXPECT_TRUE(raw.WaitClosed(5s));
    EXPECT_TRUE(log.Has("Modbus: Dropping client, invalid frame header"));
    EXPECT_EQ(client.Input1(1), 13);

    // A client that leaves in the middle of a frame loses only its own connection.
    ServerTest::Client leaving;
    ASSERT_TRUE(leaving.Connect(server->GetBoundPort()));
    ASSERT_TRUE(leaving.Send(ModbusTest::Frame(3, {0x03, 0, 0, 0, 1}).substr(0, 5)));
    leaving.Close();
    EXPECT_TRUE(WaitFor([&]() { return log.HasStartingWith("Modbus: Lost client during read ("); }));
    EXPECT_EQ(client.Input1(2), 39);
}

TEST_F(ModbusServerTest, AClientBeyondTheLimitIsClosedAndTheOthersKeepBeingServed) {
    std::vector<std::unique_ptr<ModbusTest::Client>> others;
    for (int i = 0; i < 4; ++i) {
        others.push_back(std::make_unique<ModbusTest::Client>());
        ASSERT_TRUE(others.back()->Connect(server->GetBoundPort()));
        EXPECT_EQ(others.back()->Input1(0), 980);
    }
    ServerTest::Client sixth;
    ASSERT_TRUE(sixth.Connect(server->GetBoundPort()));
    EXPECT_TRUE(sixth.WaitClosed(5s));
    EXPECT_TRUE(log.Has("Modbus: Cannot accept new client (limit 5 reached), closing connection"));
    EXPECT_EQ(client.Input1(0), 980);
    for (auto& other : others) EXPECT_EQ(other->Input1(3), 1);
}

TEST_F(ModbusServerTest, AStalledClientIsDroppedWhileTheOthersAreServed) {
    ServerTest::Client stalled;
    ASSERT_TRUE(stalled.Connect(server->GetBoundPort()));
    ASSERT_TRUE(stalled.Send(ModbusTest::Frame(1, {0x03, 0, 0, 0, 1}).substr(0, 9)));
    // Served meanwhile.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(client.Input1(0), 980);
    EXPECT_TRUE(stalled.WaitClosed(10s));
    EXPECT_TRUE(log.Has("Modbus: Dropping client, its request was not complete within 1 s"));
    EXPECT_EQ(client.Input1(0), 980);
}

TEST_F(ModbusServerTest, AClientThatReadsNoAnswersIsLoggedOnceAndDroppedWhileTheOthersAreServed) {
    // A small receive window, so the answers pile up in the server's send buffer.
    // Set before the connect: shrunk afterwards, the client would drop answers the
    // window had let in, and then never accept the server's reset when it is dropped.
    ServerTest::Client deaf;
    ASSERT_TRUE(deaf.Connect(server->GetBoundPort(), 4096));
    // 125 input registers: each answer is 259 bytes, far more than the request.
    std::string burst;
    for (int i = 0; i < 100; ++i) burst += ModbusTest::Frame(static_cast<uint16_t>(i), {0x04, 0, 0, 0, 125});
    int sent = 0;
    bool refused = false;
    for (; sent < 20000 && !refused; sent += 100) {
        std::size_t offset = 0;
        while (offset < burst.size()) {
            const ssize_t n = send(deaf.Fd(), burst.data() + offset, burst.size() - offset, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                offset += static_cast<std::size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                std::this_thread::sleep_for(1ms);
            } else {
                refused = true;
                break;
            }
        }
        if (sent % 2000 == 0) {
            EXPECT_EQ(client.Input1(0), 980) << "the other client is served meanwhile";
        }
    }
    // Reading now would make room for the answers: the server must drop it unread.
    EXPECT_TRUE(WaitFor([&]() { return server->GetClientCount() == 1; }, 10s))
        << "the client that reads nothing is dropped";
    EXPECT_TRUE(deaf.WaitClosed(10s)) << "the client that reads nothing sees its connection end";
    EXPECT_EQ(client.Input1(0), 980);
    EXPECT_EQ(log.StartingWith("Modbus: Error while replying (").size(), 1u) << "after " << sent << " requests";
    EXPECT_LT(log.CountContaining("Modbus: "), 50);
}

TEST_F(ModbusServerTest, ClientsOnDescriptorsAbove1024AreServed) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max < 1100) GTEST_SKIP() << "descriptor limit " << limit.rlim_max;
    const rlimit saved = limit;
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2048);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    std::vector<int> fillers;
    while (true) {
        const int fd = dup(0);
        if (fd < 0) break;
        fillers.push_back(fd);
        if (fd > 1030) break;
    }
    // A raw client: libmodbus's own client cannot wait on such a descriptor.
    ServerTest::Client high;
    const bool connected = high.Connect(server->GetBoundPort());
    EXPECT_TRUE(connected);
    if (connected) {
        EXPECT_GT(high.Fd(), 1024);
        ASSERT_TRUE(high.Send(ModbusTest::Frame(7, {0x04, 0, 0, 0, 1})));
        const std::string answer = ModbusTest::Answer(high.Fd());
        ASSERT_EQ(answer.size(), 11u);
        EXPECT_EQ(static_cast<uint8_t>(answer[9]) << 8 | static_cast<uint8_t>(answer[10]), 980);
        ASSERT_TRUE(high.Send(ModbusTest::Frame(8, {0x06, 0, 187, 0x09, 0xC4})));
        EXPECT_EQ(ModbusTest::Answer(high.Fd()).size(), 12u);
        ASSERT_TRUE(client.Sync());
        EXPECT_FLOAT_EQ(rm->override.load(), 25.0f);
    }
    high.Close();
    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(client.Input1(0), 980);
}

TEST_F(ModbusServerTest, ExternalAxisVelocitiesAreNeverTornBetweenTheClientAndTheRobotThread) {
    // Both values differ in both halves; a torn read gives a mixture.
    const int32_t a = 0x00010000;
    const int32_t b = 0x0000FFFF;
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::atomic<int> reads{0};
    std::thread robot([&]() {
        while (!done) {
            for (int axis = 0; axis < 3; ++axis) {
                float v = 0.0f;
                if (!server->GetExternalJointVelocity(axis, v)) continue;
                ++reads;
                if (v != a * 0.1f && v != b * 0.1f) ++torn;
            }
            if (reads % 50 == 0) server->ResetExternalJointVelocities();
        }
    });
    for (int i = 0; i < 300; ++i) {
        const int32_t v = i % 2 == 0 ? a : b;
        const uint16_t low = Modbus::ModbusServer::Lower16(v);
        const uint16_t high = Modbus::ModbusServer::Upper16(v);
        ASSERT_TRUE(client.WriteHolding(181, {low, high, low, high, low, high}));
    }
    done = true;
    robot.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
