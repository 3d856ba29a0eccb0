// The robot master in this process against the simulated bus program with
// the six-axis sample: jogging per joint and Cartesian in both frames, the
// velocity-limited mode, reset, enable, referencing, set to zero, E-stop and
// the delayed brake release, as the simulated modules see them.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
#include "support/LogCapture.h"

using SimBusTest::WaitFor;

namespace {

// From one angle to another the short way round, degrees.
float AngleStep(float from, float to) { return std::remainder(to - from, 360.0f); }

class RobotMasterBus : public SimBusTest::LiveRobotTest {
protected:
    static std::string Joints(const DataTypes::RobotState& s) {
        std::string text = "set-points";
        for (int j = 0; j < 6; ++j) text += " " + std::to_string(s.jointSetPoint[j]);
        text += ", actual";
        for (int j = 0; j < 6; ++j) text += " " + std::to_string(s.jointActual[j]);
        return text + ", error " + s.errorText + ", kinematic " + std::to_string(s.kinematicState);
    }

    // Keeps jogging (values are held for 30 cycles only) until the condition holds.
    bool JogUntil(const std::vector<float>& values, const std::function<bool(const DataTypes::RobotState&)>& done) {
        float jog[9] = {};
        for (std::size_t i = 0; i < values.size() && i < 9; ++i) jog[i] = values[i];
        const bool reached = WaitFor([&]() {
            rm->SetJogValues(jog);
            return done(State());
        });
        Release();
        return reached;
    }
    // Lets go of every key and waits until the set-points stand still and the joints got there.
    void Release() {
        const float none[9] = {};
        rm->SetJogValues(none);
        ASSERT_TRUE(WaitFor([&]() {
            const DataTypes::RobotState before = State();
            RobotMaster::wait(50);
            const DataTypes::RobotState after = State();
            for (int j = 0; j < 6; ++j) {
                if (after.jointSetPoint[j] != before.jointSetPoint[j]) return false;
                if (std::fabs(after.jointActual[j] - after.jointSetPoint[j]) > 0.05f) return false;
            }
            return true;
        })) << "the arm did not come to a stop where it was sent: " << Joints(State());
    }
    void JogJointTo(int joint, float target) {
        const float start = State().jointSetPoint[joint];
        std::vector<float> jog(9, 0.0f);
        jog[joint] = target > start ? 60.0f : -60.0f;
        ASSERT_TRUE(JogUntil(jog, [&](const DataTypes::RobotState& s) {
            return target > start ? s.jointSetPoint[joint] >= target : s.jointSetPoint[joint] <= target;
        })) << "joint " << joint;
    }
    // Out of the wrist and centre singularities of the all-zero start.
    void MoveToWorkingPose() {
        JogJointTo(1, 30.0f);
        JogJointTo(2, 60.0f);
        JogJointTo(4, 60.0f);
    }

    TestSupport::LogCapture log;
};

TEST_F(RobotMasterBus, EachJointJogsBothWaysAndStopsWhereReleased) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    EXPECT_TRUE(log.Has("RobotMaster:  Resetting Joints"));
    EXPECT_TRUE(log.Has("RobotMaster: Enabling Motors"));
    EXPECT_TRUE(rm->GetHardware()->GetMotorEnabled());

    for (int joint = 0; joint < 6; ++joint) {
        for (float direction : {1.0f, -1.0f}) {
            const DataTypes::RobotState before = State();
            std::vector<float> jog(9, 0.0f);
            jog[joint] = 30.0f * direction;
            ASSERT_TRUE(JogUntil(jog, [&](const DataTypes::RobotState& s) {
                return (s.jointSetPoint[joint] - before.jointSetPoint[joint]) * direction > 1.0f;
            })) << "joint " << joint;
            const DataTypes::RobotState after = State();
            for (int other = 0; other < 9; ++other) {
                if (other == joint) continue;
                EXPECT_FLOAT_EQ(after.jointSetPoint[other], before.jointSetPoint[other]) << joint << " moved " << other;
            }
            // The simulated module followed the set-point.
            EXPECT_NEAR(after.jointActual[joint], after.jointSetPoint[joint], 0.05f) << joint;
            EXPECT_EQ(after.kinematicState, 0);
        }
    }
}

TEST_F(RobotMasterBus, CartesianJogInTheBaseAndTheToolFrame) {
    // Without mandatory referencing, Cartesian jogging needs no referencing run.
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("Referencing")->SetAttribute("Mandatory", "false");
    });
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    ASSERT_NO_FATAL_FAILURE(MoveToWorkingPose());

    rm->SetMotionMode(MotionTypeRobotCartBase);
    EXPECT_TRUE(log.Has("RobotMaster:  Changing motion mode to ROBOT-CART-BASE"));
    // Base frame: +Y moves along the base's Y axis only; the orientation stays.
    DataTypes::RobotState before = State();
    ASSERT_TRUE(JogUntil({0, 20, 0}, [&](const DataTypes::RobotState& s) {
        return s.pose(1, 3) - before.pose(1, 3) > 5.0f;
    }));
    DataTypes::RobotState after = State();
    EXPECT_NEAR(after.pose(0, 3), before.pose(0, 3), 0.05f);
    EXPECT_NEAR(after.pose(2, 3), before.pose(2, 3), 0.05f);
    EXPECT_NEAR(AngleStep(before.A, after.A), 0.0f, 0.05f);
    EXPECT_NEAR(AngleStep(before.B, after.B), 0.0f, 0.05f);
    EXPECT_NEAR(AngleStep(before.C, after.C), 0.0f, 0.05f);
    for (int j = 0; j < 6; ++j) EXPECT_NEAR(after.jointActual[j], after.jointSetPoint[j], 0.05f);

    // Base frame orientation: A turns about the base's Z axis, the TCP stays where it is.
    before = State();
    ASSERT_TRUE(JogUntil({0, 0, 0, 30}, [&](const DataTypes::RobotState& s) { return AngleStep(before.A, s.A) > 3.0f; }));
    after = State();
    EXPECT_NEAR((after.pose.GetTranslation() - before.pose.GetTranslation()).Magnitude(), 0.0f, 0.1f);
    EXPECT_NEAR(AngleStep(before.B, after.B), 0.0f, 0.05f);
    EXPECT_NEAR(AngleStep(before.C, after.C), 0.0f, 0.05f);

    // Tool frame: +Z moves along the tool's own Z axis.
    rm->SetMotionMode(MotionTypeRobotCartTool);
    EXPECT_TRUE(log.Has("RobotMaster:  Changing motion mode to ROBOT-CART-TOOL"));
    before = State();
    const DataTypes::Vector3 toolZ(before.pose(0, 2), before.pose(1, 2), before.pose(2, 2));
    ASSERT_TRUE(JogUntil({0, 0, 20}, [&](const DataTypes::RobotState& s) {
        return (s.pose.GetTranslation() - before.pose.GetTranslation()).Magnitude() > 5.0f;
    }));
    after = State();
    const DataTypes::Vector3 moved = after.pose.GetTranslation() - before.pose.GetTranslation();
    EXPECT_NEAR(moved.x * toolZ.x + moved.y * toolZ.y + moved.z * toolZ.z, moved.Magnitude(), 0.05f)
        << "moved along the tool's Z axis";
    EXPECT_NEAR(AngleStep(before.A, after.A), 0.0f, 0.05f);
}

TEST_F(RobotMasterBus, CartesianJogNeedsReferencingWhenItIsMandatory) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    ASSERT_NO_FATAL_FAILURE(MoveToWorkingPose());
    rm->SetMotionMode(MotionTypeRobotCartBase);
    const DataTypes::RobotState before = State();
    float jog[9] = {50, 0, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 20; ++i) {
        rm->SetJogValues(jog);
        RobotMaster::wait(10);
    }
    for (int j = 0; j < 6; ++j) EXPECT_FLOAT_EQ(State().jointSetPoint[j], before.jointSetPoint[j]) << j;
}

TEST_F(RobotMasterBus, VelocityLimitedModeCapsTheTcpSpeedOfEveryJog) {
    sample.EditRobot([](tinyxml2::XMLElement* robot) {
        robot->FirstChildElement("Referencing")->SetAttribute("Mandatory", "false");
    });
    // Operation modes from the switch on inputs 24 (automatic) and 25 (manual motion enabled).
    LogSingleton::instance()->Active = true;
    LogSingleton::instance()->ManualMaxVelMMPerSec = 50.0f;
    LogSingleton::instance()->DInOpModeAuto = 24;
    LogSingleton::instance()->DInEnableMotionInManualMode = 25;
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_TRUE(WaitFor([&]() { return rm->GetOperationMode() == RobotMaster::OperationModeNoMotion; }));
    sample.Bus().Line("inputs 112 0x10");
    ASSERT_TRUE(WaitFor([&]() { return rm->GetOperationMode() == RobotMaster::OperationModeNotLimited; }));
    EXPECT_TRUE(log.Has("Operation mode changed to not limited"));
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    ASSERT_NO_FATAL_FAILURE(MoveToWorkingPose());
    sample.Bus().Line("inputs 112 0x20");
    ASSERT_TRUE(WaitFor([&]() { return rm->GetOperationMode() == RobotMaster::OperationModeVelocityLimited; }));
    EXPECT_TRUE(log.Has("Operation mode changed to velocity limited (50.0 mm/s)"));

    // Full speed on joint 1 would move the TCP far faster than 50 mm/s.
    log.Clear();
    float fastest = 0.0f;
    DataTypes::RobotState before = State();
    ASSERT_TRUE(JogUntil({100}, [&](const DataTypes::RobotState& s) {
        fastest = std::max(fastest, s.cartSpeed);
        return s.jointSetPoint[0] - before.jointSetPoint[0] > 3.0f;
    }));
    EXPECT_LE(fastest, 50.5f);
    EXPECT_GT(fastest, 40.0f);
    EXPECT_EQ(log.Count("Safety speed reduction getting active: 50.00 mm/s maximum!"), 1);

    // Cartesian: 100 % of 200 mm/s is capped at 50 mm/s.
    rm->SetMotionMode(MotionTypeRobotCartBase);
    fastest = 0.0f;
    before = State();
    ASSERT_TRUE(JogUntil({0, 100}, [&](const DataTypes::RobotState& s) {
        fastest = std::max(fastest, s.cartSpeed);
        return s.pose(1, 3) - before.pose(1, 3) > 20.0f;
    }));
    EXPECT_LE(fastest, 50.5f);
    EXPECT_GT(fastest, 40.0f);
}

TEST_F(RobotMasterBus, EStopResetsOutputsAppliesTheBrakeAndRefusesReset) {
    sample.AddEStopAndBrake(100);
    ASSERT_NO_FATAL_FAILURE(Start());
    rm->SetDOutOnError(22, DOutTargetState::True);
    rm->SetDOutOnError(23, DOutTargetState::False);
    // The E-stop input is active low: released is "on".
    sample.Bus().Line("inputs 112 0x01");
    ASSERT_TRUE(WaitFor([&]() { return !rm->IsEStopDetected(); }));
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    EXPECT_TRUE(log.Has("Releasing brake (delayed)"));
    ASSERT_TRUE(WaitFor([&]() { return State().digitalOutputs[21]; })) << "brake released after its delay";
    EXPECT_TRUE(log.Has("Releasing brake"));
    rm->SetManualDOut(23, true);
    ASSERT_TRUE(WaitFor([&]() { return State().digitalOutputs[23]; }));

    sample.Bus().Line("inputs 112 0x00");
    ASSERT_TRUE(WaitFor([&]() { return log.Has("RobotMaster: ***** ESTOP DETECTED! ***** Resetting outputs and applying brake!"); }));
    EXPECT_TRUE(HasMessage("EStop detected! Resetting outputs and applying brake!"));
    ASSERT_TRUE(WaitFor([&]() { return State().errorText.find("ESTOP") != std::string::npos; }));
    ASSERT_TRUE(WaitFor([&]() { return State().kinematicState == 99; })) << "no motion";
    DataTypes::RobotState s = State();
    EXPECT_FALSE(s.digitalOutputs[21]) << "brake applied";
    EXPECT_TRUE(s.digitalOutputs[22]);
    EXPECT_FALSE(s.digitalOutputs[23]);
    EXPECT_TRUE(log.Has("Enabling brake"));

    rm->Reset();
    EXPECT_TRUE(log.Has("RobotMaster: Can not reset errors, EStop detected"));
    EXPECT_TRUE(HasMessage("Cannot reset motors, EStop detected!"));
    rm->EnableMotors(true);
    EXPECT_TRUE(log.Has("RobotMaster: Can not enable motors, EStop detected"));
    EXPECT_TRUE(HasMessage("Cannot enable motors, EStop detected!"));
    rm->ReferenceJoint(2);
    EXPECT_TRUE(log.HasError("Can not reference joint 3, brake active"));
    EXPECT_TRUE(HasMessage("Can not reference, brake active!"));
    RobotMaster::wait(300);
    EXPECT_FALSE(State().digitalOutputs[21]) << "the brake stays applied";

    // Released again: reset and enable work and the brake opens after its delay.
    sample.Bus().Line("inputs 112 0x01");
    ASSERT_TRUE(WaitFor([&]() { return !rm->IsEStopDetected(); }));
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    EXPECT_TRUE(WaitFor([&]() { return State().digitalOutputs[21]; }));
}

TEST_F(RobotMasterBus, ResetAndEnableWaitUntilEveryJointReportedItsPosition) {
    // Until joint 3 reports, its actual value is a placeholder 0 that a reset
    // would make its set-point and an enable would drive to.
    sample.StartBus();
    sample.Bus().Line("silence 48");
    ASSERT_TRUE(WaitFor([&]() { return TestSupport::ReadFile(sample.File("cansim.txt")).find("OK") != std::string::npos; }));
    ASSERT_NO_FATAL_FAILURE(Connect());
    ASSERT_TRUE(WaitFor([&]() { return State().errorText.find("_MNE") != std::string::npos; })) << State().errorText;

    rm->Reset();
    EXPECT_TRUE(log.Has("RobotMaster: Can not reset errors, joint positions not received"));
    EXPECT_TRUE(HasMessage("Cannot reset motors, joint positions not received!"));
    EXPECT_FALSE(log.Has("RobotMaster: Resetting DOuts on reset"));
    rm->EnableMotors(true);
    EXPECT_TRUE(log.Has("RobotMaster: Can not enable motors, joint positions not received"));
    EXPECT_TRUE(HasMessage("Cannot enable motors, joint positions not received!"));
    EXPECT_FALSE(log.Has("RobotMaster: Enabling Motors"));

    // Reset right after the module speaks again: it waits for the first report.
    sample.Bus().Line("silence 48 off");
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
}

TEST_F(RobotMasterBus, DelayedBrakeReleaseWaitsForDrivesWithoutError) {
    sample.AddEStopAndBrake(3000);
    ASSERT_NO_FATAL_FAILURE(Start());
    sample.Bus().Line("inputs 112 0x01");
    ASSERT_TRUE(WaitFor([&]() { return !rm->IsEStopDetected(); }));
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    EXPECT_TRUE(log.Has("Releasing brake (delayed)"));
    // A module reports an error before the delay is over: the release keeps waiting.
    sample.Bus().Line("errorbits 0x10 0x01");
    ASSERT_TRUE(WaitFor([&]() {
        const std::string text = State().errorText;
        return text != "NoError" && text != "operation_enabled" && text != "Homing";
    })) << State().errorText;
    RobotMaster::wait(3500);
    EXPECT_FALSE(State().digitalOutputs[21]) << "no release while the drives report " << State().errorText;
    EXPECT_FALSE(log.Has("Releasing brake"));

    // A reset clears the error and applies the brake; the next enable releases it after the delay.
    rm->Reset();
    EXPECT_TRUE(log.Has("Brake is already enabled"));
    rm->EnableMotors(true);
    EXPECT_TRUE(WaitFor([&]() { return State().digitalOutputs[21]; }, std::chrono::seconds(20)));
    EXPECT_TRUE(log.Has("Releasing brake"));
    // Disabling applies it at once.
    rm->EnableMotors(false);
    EXPECT_TRUE(log.Has("RobotMaster: Disabling Motors"));
    EXPECT_TRUE(log.Has("Enabling brake"));
    EXPECT_TRUE(WaitFor([&]() { return !State().digitalOutputs[21]; }));
}

TEST_F(RobotMasterBus, ReferencingSingleJointsAndAllJoints) {
    ReferenceSixJointsWithoutDelays();
    ASSERT_NO_FATAL_FAILURE(Start());

    // With the motors off, reference all does nothing.
    rm->ReferenceAllJoints();
    EXPECT_FALSE(HasMessage("Ref All Joints"));
    EXPECT_FALSE(rm->IsReferenceSequenceActive());

    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    rm->ReferenceJointAlt(2);
    EXPECT_TRUE(HasMessage("Ref Joint 3"));
    ASSERT_TRUE(WaitFor([&]() { return State().jointsReferenced[2]; }));
    EXPECT_FALSE(State().jointsReferenced[0]);
    rm->ReferenceJointAlt(6);  // no external axis: nothing on the bus answers
    rm->ReferenceJointAlt(9);  // not a joint
    EXPECT_FALSE(HasMessage("Ref Joint 10"));

    rm->ReferenceAllJoints();
    EXPECT_TRUE(HasMessage("Ref All Joints"));
    EXPECT_TRUE(log.Has("Resetting referencing state for all axes"));
    ASSERT_TRUE(WaitFor([&]() {
        const DataTypes::RobotState s = State();
        for (int j = 0; j < 6; ++j)
            if (!s.jointsReferenced[j]) return false;
        return true;
    }));
    for (int j = 0; j < 6; ++j) EXPECT_TRUE(log.Has("Referencing joint " + std::to_string(j))) << j;
    EXPECT_TRUE(WaitFor([&]() { return !rm->IsReferenceSequenceActive(); })) << "a step of -1 ends the sequence";
}

TEST_F(RobotMasterBus, SetToZeroMakesThePresentPositionZeroWithoutAJump) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    ASSERT_NO_FATAL_FAILURE(JogJointTo(0, 5.0f));
    ASSERT_NO_FATAL_FAILURE(JogJointTo(3, -4.0f));

    rm->ResetAllJointsToZero();
    rm->Reset();
    EXPECT_TRUE(HasMessage("Set Joints to Zero.."));
    for (int j = 0; j < 6; ++j)
        EXPECT_TRUE(log.Has("ProtocolVQTCANV2: Setting joint " + std::to_string(j) + " to zero pos")) << j;
    ASSERT_TRUE(WaitFor([&]() {
        const DataTypes::RobotState s = State();
        return std::fabs(s.jointActual[0]) < 0.01f && std::fabs(s.jointActual[3]) < 0.01f;
    }));
    // Enabled again, the arm stays where it is: the set-points follow the new zero.
    rm->EnableMotors(true);
    RobotMaster::wait(300);
    const DataTypes::RobotState s = State();
    for (int j = 0; j < 6; ++j) {
        EXPECT_NEAR(s.jointSetPoint[j], 0.0f, 0.01f) << j;
        EXPECT_NEAR(s.jointActual[j], 0.0f, 0.01f) << j;
    }
}


// The main loop hands the robot master the jog values of the console, the
// display and the active remote client on every pass, whatever the robot does.
class JogSource {
public:
    explicit JogSource(RobotMaster& rm) : m_Thread([this, &rm]() {
        while (!m_Stop.load()) {
            float values[9] = {};
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                std::copy(std::begin(m_Values), std::end(m_Values), values);
            }
            rm.SetJogValues(values);
            RobotMaster::wait(28);
        }
    }) {}
    ~JogSource() {
        m_Stop = true;
        m_Thread.join();
    }
    JogSource(const JogSource&) = delete;
    JogSource& operator=(const JogSource&) = delete;
    void Set(int axis, float value) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Values[axis] = value;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::fill(std::begin(m_Values), std::end(m_Values), 0.0f);
    }

private:
    std::mutex m_Mutex;
    float m_Values[9] = {};
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

class RobotMasterBusProgram : public RobotMasterBus {
protected:
    void SetUp() override {
        RobotMasterBus::SetUp();
        // The sample's program runs without a referencing run first.
        sample.EditRobot([](tinyxml2::XMLElement* robot) {
            robot->FirstChildElement("Referencing")->SetAttribute("Mandatory", "false");
        });
    }
    // The sample's program, under way: the arm has left its start.
    void StartDemo() {
        ASSERT_EQ(rm->ipoMain.LoadProgramSynchronous("Demo.xml", true), 0);
        rm->ipoMain.replayMode = IPO::ReplaySingle;
        rm->StartProgram();
        ASSERT_TRUE(rm->ipoMain.IsReplayRunning());
        const float start = State().jointSetPoint[4];
        ASSERT_TRUE(WaitFor([&]() { return std::fabs(State().jointSetPoint[4] - start) > 2.0f; }))
            << "the program does not move the arm";
    }
    // The largest change of any joint set-point over ms, degrees.
    float SetPointTravel(int ms) {
        const DataTypes::RobotState first = State();
        float largest = 0.0f;
        for (int t = 0; t < ms; t += 20) {
            RobotMaster::wait(20);
            const DataTypes::RobotState now = State();
            for (int j = 0; j < 6; ++j)
                largest = std::max(largest, std::fabs(now.jointSetPoint[j] - first.jointSetPoint[j]));
        }
        return largest;
    }
};

// A jog key pressed while the program runs is refused; the stop that follows
// may leave the key's value with its source (the Modbus stop coil and the PLC
// stop do not clear jog values, the console's and the remote client's stops
// do). Either way the refused jog is dropped: after the stop nothing moves,
// and the next jog starts only once the key was let go and pressed again.
TEST_F(RobotMasterBusProgram, ARefusedJogIsDroppedWhicheverPathStopsTheProgram) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    struct Path {
        const char* what;
        IPO::StopReason reason;
        bool clearsJogValues;
        bool directMove;  // refused because a direct move runs, not the program
    };
    const Path paths[] = {{"Modbus stop coil 124", IPO::USER, false, false},
                          {"PLC stop input", IPO::PLC, false, false},
                          {"console stop, remote StopProgram (the main loop clears the jog values)", IPO::USER, true, false},
                          {"a direct move, Modbus stop coil 124", IPO::USER, false, true}};
    for (const Path& path : paths) {
        SCOPED_TRACE(path.what);
        JogSource keys(*rm);
        if (path.directMove) {
            const DataTypes::RobotState s = State();
            float target[9];
            std::copy(std::begin(s.jointSetPoint), std::end(s.jointSetPoint), target);
            target[4] += 60.0f;
            rm->ipoDirect.MoveJoint(target, 5.0f);
            rm->ipoDirect.Start();
            ASSERT_TRUE(WaitFor([&]() { return std::fabs(State().jointSetPoint[4] - s.jointSetPoint[4]) > 1.0f; }))
                << "the direct move does not move the arm";
        } else {
            ASSERT_NO_FATAL_FAILURE(StartDemo());
        }
        ClearMessages();
        keys.Set(0, 30.0f);
        ASSERT_TRUE(WaitFor([&]() {
            return HasMessage(path.directMove ? "Cannot jog while moving to position" : "Cannot jog while program is running");
        }));
        RobotMaster::wait(100);
        if (path.clearsJogValues) keys.Clear();
        rm->StopProgram(path.reason);
        ASSERT_FALSE(rm->ipoMain.IsReplayRunning());
        ASSERT_FALSE(rm->ipoDirect.IsReplayRunning());
        // The program's own braking ends within a few cycles.
        RobotMaster::wait(300);
        EXPECT_LT(SetPointTravel(1500), 0.001f) << "the refused jog moved the arm: " << Joints(State());

        // Let go and pressed again: a fresh request jogs.
        keys.Clear();
        ASSERT_TRUE(WaitFor([&]() {
            float jog[9];
            rm->GetJogValues(jog);
            return std::all_of(std::begin(jog), std::end(jog), [](float v) { return v == 0.0f; });
        }));
        RobotMaster::wait(200);  // cycles that see the key let go
        const float before = State().jointSetPoint[0];
        keys.Set(0, 30.0f);
        EXPECT_TRUE(WaitFor([&]() { return std::fabs(State().jointSetPoint[0] - before) > 0.5f; }))
            << "a fresh jog request after the stop does not jog";
        keys.Clear();
        ASSERT_NO_FATAL_FAILURE(Release());
    }
}

// Referencing one joint or all (Modbus coils 60 to 72, the display, the
// console, the function button, the PLC sequence) ends a running or a paused
// program first, as set to zero does: a paused program would resume planning
// from the joints as they were before.
TEST_F(RobotMasterBusProgram, ReferencingEndsARunningOrPausedProgramFirst) {
    ReferenceSixJointsWithoutDelays();
    ASSERT_NO_FATAL_FAILURE(Start());
    ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
    struct Path {
        const char* what;
        std::function<void()> reference;
    };
    const Path paths[] = {
        {"one joint (Modbus coils 70 to 72, the PLC sequence's steps)", [&]() { rm->ReferenceJoint(1); }},
        {"one joint by number (display, Modbus coils 61 to 69)", [&]() { rm->ReferenceJointAlt(2); }},
        {"all joints (console, function button, Modbus coil 60)", [&]() { rm->ReferenceAllJoints(); }},
        {"referencing reset", [&]() { rm->ReferenceJointsReset(); }},
    };
    for (bool paused : {true, false}) {
        for (const Path& path : paths) {
            SCOPED_TRACE(std::string(path.what) + (paused ? ", program paused" : ", program running"));
            ASSERT_NO_FATAL_FAILURE(StartDemo());
            if (paused) {
                rm->PauseProgram(IPO::USER);
                ASSERT_TRUE(WaitFor([&]() { return rm->ipoMain.GetRunState() == IPO::RunStatePaused; }));
            }
            log.Clear();
            path.reference();
            EXPECT_EQ(rm->ipoMain.GetRunState(), IPO::RunStateIdle);
            EXPECT_TRUE(log.Has("IPO:    Stopping Program by REFERENCING")) << "stopped for the referencing";
            // The operator's reset ends the referencing; the next program may start.
            ASSERT_NO_FATAL_FAILURE(ResetAndEnable());
        }
    }
}

}  // namespace
