#pragma once
// A test fixture with the six-axis sample's robot master in this process on
// the simulated bus: the process-wide settings put back around each test, the
// server messages collected, and the steps every such test starts with.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/LogSingleton.h"
#include "common/PLCInterfaceSettings.h"
#include "controller/RobotMaster.h"
#include "controller/RobotMasterSimBus.h"
#include "controller/RobotMasterTestSupport.h"
#include "datatypes/RobotState.h"
#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocol.h"

namespace SimBusTest {

class LiveRobotTest : public ::testing::Test {
protected:
    void SetUp() override {
        RobotMasterTest::ResetLogState();
        LogSingleton::instance()->get_plcInterfaceNr() = PLCInterfaceSettings{};
        LogSingleton::instance()->serverMessageCallback = [this](const std::string& message) {
            std::lock_guard<std::mutex> lock(messageMutex);
            messages.push_back(message);
        };
    }
    void TearDown() override {
        rm.reset();
        LogSingleton::instance()->serverMessageCallback = nullptr;
        unsetenv(CANInterfaceSocketCAN::SimulatedBusVariable);
        LogSingleton::instance()->get_plcInterfaceNr() = PLCInterfaceSettings{};
        RobotMasterTest::ResetLogState();
    }

    // Referencing all joints walks the PLC sequence: the six joints without delays.
    static void ReferenceSixJointsWithoutDelays() {
        PLCInterfaceSettings& plc = LogSingleton::instance()->get_plcInterfaceNr();
        plc.JointToRef0 = 0;
        plc.JointToRef1 = 1;
        plc.JointToRef2 = 2;
        plc.JointToRef3 = 3;
        plc.JointToRef4 = 4;
        plc.JointToRef5 = 5;
        plc.RefDelay0 = plc.RefDelay1 = plc.RefDelay2 = plc.RefDelay3 = plc.RefDelay4 = plc.RefDelay5 = 0;
    }

    // The sample's robot master with DIO module 112, connected and cycling; the
    // modules report "motor not enabled" until enabled.
    void Start() {
        sample.StartBus();
        ASSERT_NO_FATAL_FAILURE(Connect());
        ASSERT_TRUE(WaitFor([&]() { return State().errorText.find("_MNE") != std::string::npos; }))
            << State().errorText;
    }
    // The robot master on the running bus, connected and cycling.
    void Connect() {
        setenv(CANInterfaceSocketCAN::SimulatedBusVariable, sample.Socket().c_str(), 1);
        rm = std::make_unique<RobotMaster>();
        rm->Init("Sample", "KorvellaSix", Sample::RobotRelative());
        ASSERT_NE(rm->GetHardware(), nullptr);
        rm->InitDIOModule(112);
        rm->FinishInit();
        ASSERT_TRUE(rm->GetHardware()->Connect());
    }
    void ResetAndEnable() {
        rm->Reset();
        rm->EnableMotors(true);
        ASSERT_TRUE(WaitFor([&]() { return State().errorText == "NoError"; })) << State().errorText;
    }
    // References all joints and waits until the sequence ended with each referenced.
    void ReferenceAll() {
        rm->ReferenceAllJoints();
        ASSERT_NO_FATAL_FAILURE(WaitReferenced());
    }
    void WaitReferenced() {
        ASSERT_TRUE(WaitFor(
            [&]() {
                const DataTypes::RobotState s = State();
                for (int j = 0; j < 6; ++j)
                    if (!s.jointsReferenced[j]) return false;
                return !rm->IsReferenceSequenceActive();
            },
            std::chrono::seconds(60)));
    }
    DataTypes::RobotState State() const { return rm->GetRobotState(); }

    std::vector<std::string> Messages() {
        std::lock_guard<std::mutex> lock(messageMutex);
        return messages;
    }
    void ClearMessages() {
        std::lock_guard<std::mutex> lock(messageMutex);
        messages.clear();
    }
    bool HasMessage(const std::string& text) {
        std::lock_guard<std::mutex> lock(messageMutex);
        return std::find(messages.begin(), messages.end(), text) != messages.end();
    }

    Sample sample;
    std::unique_ptr<RobotMaster> rm;

private:
    std::mutex messageMutex;
    std::vector<std::string> messages;
};

}  // namespace SimBusTest
