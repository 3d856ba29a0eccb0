#include "controller/RobotMaster.h"

#include <cmath>
#include <unistd.h>

#include "common/LogSingleton.h"
#include "hardware/HardwareProtocol.h"
#include "kinematics/RobotKinematic.h"

RobotMaster::RobotMaster() {
    for (auto& state : doutOnReset) state = DOutTargetState::NoChange;
    for (auto& state : doutOnError) state = DOutTargetState::NoChange;
    for (auto& value : pendingDOut) value = -1;
    for (auto& value : pendingGlobalSignal) value = -1;

    // The three interpreters share the program memory and report errors back
    // here. Only stops of the main interpreter, which runs the cell's phase
    // programs, stop the cell: starting a phase program stops the direct one.
    for (IPO* ipo : {&ipoMain, &ipoLogic, &ipoDirect}) {
        ipo->SetMemory(&programMemory);
        ipo->SetErrorCallback(&RobotMaster::IPOErrorFunc, this);
    }
    ipoMain.SetStateMachine(&stateMachine);
    // Every pause of the robot program, its own included, keeps the external axes' velocities.
    ipoMain.SetPauseCallback([this](IPO::StopReason reason) { OnProgramPausing(reason); });
    ipoLogic.SetMainIPO(&ipoMain);
    stateMachine.SetRobotMaster(this);
    stateMachine.SetIPO(&ipoMain);
}

RobotMaster::~RobotMaster() {
    while (asyncLoads.load() > 0) usleep(1000);
    cycleSuspended = true;
    StopMainLoop();
    if (hardware) hardware->Disconnect();
}

// ---------------------------------------------------------------- state

DataTypes::RobotState RobotMaster::GetRobotState() const {
    std::lock_guard<std::mutex> lock(publishedMutex);
    return publishedState;
}

bool RobotMaster::IsZeroTorqueAllowed() const {
    for (bool allowed : zeroTorqueAllowed)
        if (allowed) return true;
    return false;
}

bool RobotMaster::OnRobotThreadOrIdle() const {
    // Before the thread starts and after it ended, the caller is the only one
    // touching the working state.
    return !robotThreadActive.load() || std::this_thread::get_id() == robotThreadId.load();
}

bool RobotMaster::IsEStopDetected() const { return DInChannel >= 0 && !lastEStopLevel.load(); }

bool RobotMaster::IsBrakeActive() const {
    const int32_t channel = DOutChannel.load();
    if (!IsValidIONum(channel)) return false;
    if (OnRobotThreadOrIdle()) return !workingState.digitalOutputs[channel];
    // Another thread: a release requested but not yet taken up still counts as active.
    const int8_t pending = pendingDOut[channel].load();
    if (pending >= 0) return pending == 0;
    std::lock_guard<std::mutex> lock(publishedMutex);
    return !publishedState.digitalOutputs[channel];
}

// ---------------------------------------------------------------- helpers

void RobotMaster::wait(int ms) {
    if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000u);
}

uint64_t RobotMaster::ToMicroSec(const timespec& time) {
    return static_cast<uint64_t>(time.tv_sec) * 1000000ull + static_cast<uint64_t>(time.tv_nsec) / 1000ull;
}

timespec RobotMaster::FromMicroSec(uint64_t us) {
    timespec time;
    time.tv_sec = static_cast<time_t>(us / 1000000ull);
    time.tv_nsec = static_cast<long>((us % 1000000ull) * 1000ull);
    return time;
}

bool RobotMaster::IsJogRequested(const float values[9]) {
    for (int i = 0; i < 9; ++i)
        if (std::fabs(values[i]) > 0.001f) return true;
    return false;
}

// ---------------------------------------------------------------- kinematic error texts

std::string RobotMaster::TranslateKinError(int code) const {
    switch (code) {
        case 0: return "No error";
        case 13: return "Joint limit min reached";
        case 14: return "Joint limit max reached";
        case 21: return "Center singularity";
        case 22: return "Out of reach";
        case 23: return "Wrist singularity";
        case 30: return "Virtual box violated in X+";
        case 31: return "Virtual box violated in X-";
        case 32: return "Virtual box violated in Y+";
        case 33: return "Virtual box violated in Y-";
        case 34: return "Virtual box violated in Z+";
        case 35: return "Virtual box violated in Z-";
        case 50: return "NAN value in joint position";
        case 98: return "Brake active";
        case 99: return "Motion not allowed";
        default: return "Unknown error";
    }
}

std::string RobotMaster::TranslateKinErrorLog(int code) const {
    switch (code) {
        case 0: return "KinOK";
        case 13:
        case 14: return "ERROR-JointLimit";
        case 21: return "ERROR-KinCenter";
        case 22: return "ERROR-KinReach";
        case 23: return "ERROR-KinWrist";
        case 30: return "ERROR-VBoxX+";
        case 31: return "ERROR-VBoxX-";
        case 32: return "ERROR-VBoxY+";
        case 33: return "ERROR-VBoxY-";
        case 34: return "ERROR-VBoxZ+";
        case 35: return "ERROR-VBoxZ-";
        case 50: return "ERROR-JointNAN";
        case 98: return "ERROR-BrakeActive";
        case 99: return "MotionNotAllowed";
        default: return "ERROR-" + std::to_string(code);
    }
}
