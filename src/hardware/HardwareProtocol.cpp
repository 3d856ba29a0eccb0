#include "hardware/HardwareProtocol.h"

#include "common/LogSingleton.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace Hardware {

HardwareProtocol::HardwareProtocol(RobotKinematic* kinematic_) : kinematic(kinematic_) {}

HardwareProtocol::HardwareProtocol(RobotKinematic* kinematic_, CANInterfaceSocketCAN::ClockFunction clock)
    : canInterface(clock), kinematic(kinematic_) {}

HardwareProtocol::~HardwareProtocol() = default;

void HardwareProtocol::Init(const std::string&, const std::string&, const std::string&) {}
void HardwareProtocol::InitDIOModules(int) {}
void HardwareProtocol::InitTool(int, int, float, float) {}
void HardwareProtocol::InitExternalJoint(const ExternalAxis&) {}

bool HardwareProtocol::Connect() { return false; }
void HardwareProtocol::Disconnect() {}
bool HardwareProtocol::GetConnectionStatus() { return false; }

void HardwareProtocol::GetError(std::string&, std::string&) {}
void HardwareProtocol::GetError(std::string*) {}
void HardwareProtocol::GetErrorHexCode(int*) {}
void HardwareProtocol::GetCurrentValues(int*) {}
void HardwareProtocol::GetTempValues(float*) {}
void HardwareProtocol::GetReferenceStatus(bool*, int*) {}

void HardwareProtocol::ResetError() {}
void HardwareProtocol::AlignMotors() {}
void HardwareProtocol::ReferenceSingleJoint(int) {}

void HardwareProtocol::ReferenceReset() {
    LogSingleton* log = LogSingleton::instance();
    log->add("Resetting referencing state for all axes");
    const PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
    for (int step = 0; step < PLCInterfaceSettings::RefSteps; ++step) {
        const int n = plc.JointToRef(step);
        // Entries 6 to 8 name the external axes, whose records follow the
        // robot joints and the tool modules. In 64 bits: the entry comes from
        // the project file and may be as large as an int goes.
        const int64_t index = n <= 5 ? n : static_cast<int64_t>(n) + robotJointCount + toolJointCount - 6;
        if (index >= 0 && index < MaxModules && IsAxisModule(static_cast<int>(index))) {
            log->addFormat("Resetting ref status of joint %d", n);
            ReferenceSingleJoint(static_cast<int>(index));
        }
    }
    wait(20);
    ResetError();
}

void HardwareProtocol::EnableMotors(bool) {}
bool HardwareProtocol::GetMotorEnabled() { return false; }
bool HardwareProtocol::JointPositionsKnown() { return true; }

void HardwareProtocol::SendSync() {}
void HardwareProtocol::SetJoints(const DataTypes::RobotState&) {}
void HardwareProtocol::GetJoints(DataTypes::RobotState*) {}
void HardwareProtocol::SetJointMode(int, JointMode) {}
void HardwareProtocol::SetToZeroPos(int) {}
void HardwareProtocol::SetPlatformJointsToZeroPos() {}
void HardwareProtocol::RestartMotorController(int) {}
void HardwareProtocol::RestartModules() {}
void HardwareProtocol::SetCalibrationFlag(int) {}
void HardwareProtocol::GetVelocity(float*) {}
float HardwareProtocol::GetSupplyVoltage() { return static_cast<float>(mainIoState[1]); }
int HardwareProtocol::GetTotalCurrent() { return 0; }
int HardwareProtocol::GetEStop() { return 0; }
float HardwareProtocol::GetFrequency() { return 0.0f; }

void HardwareProtocol::SetIO(int, int, bool) {}
void HardwareProtocol::SetRailIO(int, int, bool) {}
bool HardwareProtocol::ReachesIO(int, int) const { return true; }
bool HardwareProtocol::ReachesRailIO(int, int) const { return true; }
void HardwareProtocol::GetDigitalIO(int, int*) {}
void HardwareProtocol::GetDigitalIORail(bool*) {}
void HardwareProtocol::GetDIOModuleIDs(unsigned char&, unsigned char&, unsigned char&) {}
void HardwareProtocol::SetDIOModuleIDs(unsigned char, unsigned char, unsigned char) {}

bool HardwareProtocol::GetZeroContact(int) { return false; }
bool HardwareProtocol::GetCalibFlag(int) { return false; }

bool HardwareProtocol::IsAxisModule(int index) {
    return index >= 0 && index < moduleCount && index < MaxModules && jointData[index].canId != 0 &&
           jointData[index].kind == 0;
}

bool HardwareProtocol::IsReferencing() {
    const int joints = std::min(moduleCount - dioModuleCount, MaxModules);
    for (int i = 0; i < joints; ++i) {
        if (jointData[i].referencing != 0) return true;
    }
    return false;
}

std::string HardwareProtocol::GetErrorShort() {
    std::string status;
    std::string shortCode;
    GetError(status, shortCode);
    return shortCode;
}

void HardwareProtocol::UpdateModuleCount() {
    moduleCount = robotJointCount + toolJointCount + dioModuleCount + externalJointCount + platformJointCount;
}

void HardwareProtocol::wait(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

namespace {

// Whole microseconds of ms; 0 for a negative or non-finite value.
int64_t Microseconds(float ms) {
    const double us = static_cast<double>(ms) * 1000.0;
    if (!std::isfinite(us) || us <= 0.0) return 0;
    return us >= 9.0e15 ? static_cast<int64_t>(9.0e15) : static_cast<int64_t>(us);
}

}  // namespace

void HardwareProtocol::wait(float ms) {
    const int64_t us = Microseconds(ms);
    if (us > 0) std::this_thread::sleep_for(std::chrono::microseconds(us));
}

void HardwareProtocol::waitActive(float ms) {
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const int64_t until = ToMicroSec(start) + Microseconds(ms);
    timespec now = start;
    while (ToMicroSec(now) < until) clock_gettime(CLOCK_MONOTONIC, &now);
}

int64_t HardwareProtocol::ToMicroSec(const timespec& time) {
    return static_cast<int64_t>(time.tv_sec) * 1000000 + time.tv_nsec / 1000;
}

}  // namespace Hardware
