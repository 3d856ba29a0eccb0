#include "PkgProgram/StateMachineDIZ.h"

#include "datatypes/RobotState.h"

namespace TavixStateMachine {

const char* const StateMachineDIZ::ProgramFiles[6] = {
    "EM67_01_moveToHomePos.xml",   "EM67_02_moveIntoMould.xml",   "EM67_03_grabPart.xml",
    "EM67_04_placePart.xml",       "EM67_05_moveOutOfMould.xml",  "EM67_06_placePartOnConv.xml",
};

StateMachineDIZ::StateMachineDIZ() = default;

StateMachineDIZ::~StateMachineDIZ() = default;

void StateMachineDIZ::SetRobotMaster(RobotMaster* master) { robotMaster = master; }

void StateMachineDIZ::SetIPO(IPO* interpreter) { ipo = interpreter; }

void StateMachineDIZ::Init() {
    // Starting the cell joins here with the phase programs.
}

void StateMachineDIZ::Stop() { state = 0; }

bool StateMachineDIZ::GetActive(const DataTypes::RobotState& robotState) const {
    if (autoInput < 0 || autoInput >= DataTypes::RobotState::maxIOs) return false;
    return robotState.digitalInputs[autoInput];
}

void StateMachineDIZ::SetManualMode() {
    // Manual operation joins here with the handshake outputs.
}

void StateMachineDIZ::ProcessFSM(const DataTypes::RobotState& /*robotState*/) {
    // The cell cycle joins here; until then a step changes nothing.
}

void StateMachineDIZ::SetWaitTime(int ms) {
    clock_gettime(CLOCK_REALTIME, &now);
    waitUntil = now;
    waitUntil.tv_sec += ms / 1000;
    waitUntil.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (waitUntil.tv_nsec >= 1000000000L) {
        waitUntil.tv_sec += 1;
        waitUntil.tv_nsec -= 1000000000L;
    }
}

void StateMachineDIZ::TriggerStartAction(const DataTypes::RobotState&) {}
void StateMachineDIZ::TriggerIdleAction(const DataTypes::RobotState&) {}
void StateMachineDIZ::TriggerInMouldAction(const DataTypes::RobotState&) {}
void StateMachineDIZ::TriggerInMouldEjectorFrontAction(const DataTypes::RobotState&) {}
void StateMachineDIZ::TriggerInMouldEjectorBackAction(const DataTypes::RobotState&) {}
void StateMachineDIZ::TriggerOutOfMouldAction(const DataTypes::RobotState&) {}
void StateMachineDIZ::TriggerFaultAction(const DataTypes::RobotState&) {}

}  // namespace TavixStateMachine
