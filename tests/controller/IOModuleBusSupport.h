#pragma once
// The six-axis sample on the simulated bus with two digital I/O modules (CAN
// IDs 112 and 113: inputs and outputs 20..26 and 30..36), its frame log on,
// and a robot master in this process connected to it. Inputs are set through
// the simulator's fault channel; what reached the modules is read back from
// the frame log.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "common/PLCInterfaceSettings.h"
#include "controller/RobotMaster.h"
#include "controller/LiveRobotTest.h"
#include "controller/RobotMasterSimBus.h"
#include "controller/RobotMasterTestSupport.h"
#include "datatypes/RobotState.h"
#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocol.h"
#include "hardware/VQTCANV2Codec.h"
#include "support/LogCapture.h"

namespace IOBusTest {

using SimBusTest::WaitFor;

constexpr int FirstModuleId = 112;
constexpr int SecondModuleId = 113;

// The simulated bus program with both modules; input bits are kept here.
class TwoModuleBus {
public:
    explicit TwoModuleBus(SimBusTest::Sample& sample) : sample(sample) {}

    void Start() {
        process.Start({KORVELLA_CANSIM_PROGRAM, "--socket", sample.Socket(), "--log", Frames(), "--robot",
                       sample.RobotFile(), "--dio", std::to_string(FirstModuleId), "--dio",
                       std::to_string(SecondModuleId)},
                      sample.Root(), sample.File("cansim.txt"), {});
        struct stat info {};
        ASSERT_TRUE(WaitFor([&]() { return stat(sample.Socket().c_str(), &info) == 0; }))
            << "simulated bus did not start";
    }

    // Digital input 20..26 or 30..36 (zero-based) on or off.
    void SetInput(int channel, bool on) {
        const int module = channel / 10 - 2;
        const int bit = channel % 10;
        ASSERT_TRUE(module >= 0 && module < 2 && bit <= 6) << "input " << channel << " is on no module";
        if (on) {
            bits[module] = static_cast<uint8_t>(bits[module] | (1u << bit));
        } else {
            bits[module] = static_cast<uint8_t>(bits[module] & ~(1u << bit));
        }
        char line[48];
        std::snprintf(line, sizeof(line), "inputs %d 0x%02X", module == 0 ? FirstModuleId : SecondModuleId,
                      bits[module]);
        process.Line(line);
    }

    std::string Frames() const { return sample.File("frames.txt"); }

    // The output bytes of the set-point frames that reached a module, in order.
    std::vector<uint8_t> OutputBytes(int canId) const {
        std::vector<uint8_t> bytes;
        std::istringstream in(TestSupport::ReadFile(Frames()));
        std::string line;
        char id[8];
        std::snprintf(id, sizeof(id), "%03X#", canId);
        while (std::getline(in, line)) {
            const std::size_t blank = line.find(' ');
            if (blank == std::string::npos || line.compare(blank + 1, 4, id) != 0) continue;
            const std::string hex = line.substr(blank + 5);
            uint8_t data[8] = {};
            const int dlc = static_cast<int>(hex.size() / 2);
            if (dlc > 8) continue;
            for (int i = 0; i < dlc; ++i) data[i] = static_cast<uint8_t>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
            const auto frame = Hardware::VQTCANV2Codec::DecodeControllerFrame(canId, dlc, data);
            if (frame.kind == Hardware::VQTCANV2Codec::ControllerFrame::PositionSetPoint) bytes.push_back(frame.outputByte);
        }
        return bytes;
    }
    // Whether some frame to the module carried the output bit on (`on`) or off.
    bool SawOutput(int canId, int bit, bool on) const {
        for (uint8_t byte : OutputBytes(canId))
            if (((byte >> bit) & 1u) == (on ? 1u : 0u)) return true;
        return false;
    }
    // The same for digital output 20..26 or 30..36 of the DIO modules.
    bool SawOutput(int channel, bool on) const {
        return SawOutput(channel / 10 == 2 ? FirstModuleId : SecondModuleId, channel % 10, on);
    }
    // The output bit in the last frame that reached its module.
    bool LastOutput(int channel) const {
        const int module = channel / 10 - 2;
        const std::vector<uint8_t> bytes = OutputBytes(module == 0 ? FirstModuleId : SecondModuleId);
        return !bytes.empty() && ((bytes.back() >> (channel % 10)) & 1u) != 0;
    }

    SimBusTest::Process& Process() { return process; }

private:
    SimBusTest::Sample& sample;
    SimBusTest::Process process;
    uint8_t bits[2] = {0, 0};
};

// A robot master of the sample in this process on the two-module bus.
class RobotOnIOBus : public SimBusTest::LiveRobotTest {
protected:
    void SetUp() override {
        SimBusTest::LiveRobotTest::SetUp();
        ReferenceSixJointsWithoutDelays();
    }

    // Connected and cycling, the motors still off.
    void Start() {
        bus.Start();
        setenv(CANInterfaceSocketCAN::SimulatedBusVariable, sample.Socket().c_str(), 1);
        rm = std::make_unique<RobotMaster>();
        rm->Init("Sample", "KorvellaSix", SimBusTest::Sample::RobotRelative());
        ASSERT_NE(rm->GetHardware(), nullptr);
        rm->InitDIOModule(FirstModuleId);
        rm->InitDIOModule(SecondModuleId);
        rm->FinishInit();
        ASSERT_TRUE(rm->GetHardware()->Connect());
        ASSERT_TRUE(WaitFor([&]() { return State().errorText.find("_MNE") != std::string::npos; }))
            << State().errorText;
    }
    // Enabled and referenced, ready to run programs.
    void StartReady() {
        ASSERT_NO_FATAL_FAILURE(Start());
        ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
        ASSERT_NO_FATAL_FAILURE(ReferenceAll());
    }
    // Sets the input and waits until the robot cycle has seen it.
    void Input(int channel, bool on) {
        ASSERT_NO_FATAL_FAILURE(bus.SetInput(channel, on));
        ASSERT_TRUE(WaitFor([&]() { return State().digitalInputs[channel] == on; })) << "input " << channel;
    }

    TwoModuleBus bus{sample};
    TestSupport::LogCapture log;
};

}  // namespace IOBusTest
