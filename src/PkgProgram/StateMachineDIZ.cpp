#include "PkgProgram/StateMachineDIZ.h"

#include <unistd.h>

#include "PkgProgram/IPO.h"
#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "datatypes/RobotState.h"

namespace TavixStateMachine {

namespace {

int64_t MonotonicNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

}  // namespace

const char* const StateMachineDIZ::ProgramFiles[6] = {
    "EM67_01_moveToHomePos.xml",   "EM67_02_moveIntoMould.xml",   "EM67_03_grabPart.xml",
    "EM67_04_placePart.xml",       "EM67_05_moveOutOfMould.xml",  "EM67_06_placePartOnConv.xml",
};

StateMachineDIZ::StateMachineDIZ() = default;

StateMachineDIZ::~StateMachineDIZ() = default;

void StateMachineDIZ::SetRobotMaster(RobotMaster* master) { robotMaster = master; }

void StateMachineDIZ::SetIPO(IPO* interpreter) { ipo = interpreter; }

void StateMachineDIZ::SetOutput(int channel, bool on) {
    if (robotMaster != nullptr && RobotMaster::IsValidIONum(channel)) robotMaster->SetManualDOut(channel, on);
}

bool StateMachineDIZ::Input(const DataTypes::RobotState& robotState, int channel) {
    return RobotMaster::IsValidIONum(channel) && robotState.digitalInputs[channel];
}

void StateMachineDIZ::Init() {
    for (int channel : {ejectorBackOutput, ejectorFrontOutput, releaseOutput1, releaseOutput2, spareOutput,
                        manualOutput, failureOutput})
        SetOutput(channel, false);
    ++run;
    if (robotMaster != nullptr) robotMaster->SetMotionMode(MotionTypeFSM);
    if (ipo != nullptr) ipo->replayMode = IPO::ReplaySingle;
    state = StateStart;
    // A cell stopped in the middle of a phase starts again with the home program.
    subStep = 0;
    waitUntilNs = 0;
    if (robotMaster != nullptr) robotMaster->fsmActive = true;
    LogSingleton* log = LogSingleton::instance();
    log->add("FSM EM67 initialized.");
    log->add("FSM running in state ", static_cast<int>(state));
}

void StateMachineDIZ::Stop() {
    ++run;
    state = StateStart;
    subStep = 0;
    if (robotMaster == nullptr) return;
    bool active = true;
    if (!robotMaster->fsmActive.compare_exchange_strong(active, false)) return;
    SetOutput(manualOutput, false);
    SetOutput(failureOutput, false);
    robotMaster->SetMotionMode(static_cast<MotionType>(savedMotionType.load()));
}

bool StateMachineDIZ::GetActive(const DataTypes::RobotState& robotState) const {
    return Input(robotState, autoInput);
}

void StateMachineDIZ::SetManualMode() {
    LogSingleton::instance()->DisplayAndServerSetMessage("EM67 Manual Mode activated");
    for (bool on : {false, true, false}) {
        SetOutput(20, on);
        usleep(100000);
    }
    for (int channel : {releaseOutput1, releaseOutput2, manualOutput}) SetOutput(channel, true);
}

void StateMachineDIZ::ProcessFSM(const DataTypes::RobotState& robotState) {
    stepRun = run;
    const int previous = state;
    nowNs = MonotonicNs();
    if (nowNs < waitUntilNs) return;
    if (RobotMaster::IsValidIONum(failureOutput) && robotState.digitalOutputs[failureOutput]) {
        if (state != StateFault)
            LogSingleton::instance()->add("DIZ-FSM: Received robot failure state, proceed to fail mode!");
        Advance(StateFault);
    }
    switch (state) {
        case StateStart: TriggerStartAction(robotState); break;
        case StateIdle: TriggerIdleAction(robotState); break;
        case StateInMould: TriggerInMouldAction(robotState); break;
        case StateEjectorFront: TriggerInMouldEjectorFrontAction(robotState); break;
        case StateEjectorBack: TriggerInMouldEjectorBackAction(robotState); break;
        case StateOutOfMould: TriggerOutOfMouldAction(robotState); break;
        case StateFault: TriggerFaultAction(robotState); break;
        default: break;
    }
    if (state != previous) LogSingleton::instance()->add("FSM running in state ", static_cast<int>(state));
}

void StateMachineDIZ::SetWaitTime(int ms) {
    nowNs = MonotonicNs();
    waitUntilNs = nowNs + static_cast<int64_t>(ms) * 1000000LL;
}

// A paused phase program has not ended: the cell waits for it as for a running one.
bool StateMachineDIZ::IsBusy() const {
    return ipo != nullptr && (ipo->IsLoading() || ipo->GetRunState() != IPO::RunStateIdle);
}

void StateMachineDIZ::Advance(int nextState) {
    if (run != stepRun) return;
    subStep = 0;
    state = nextState;
}

void StateMachineDIZ::Fault(const std::string& reason) {
    LogSingleton::instance()->addError("DIZ-FSM: " + reason + ", proceed to fail mode!");
    Advance(StateFault);
}

bool StateMachineDIZ::RunPhase(const char* file, bool busyBeforeFirstStep, bool waitAfterStart) {
    if (ipo == nullptr || robotMaster == nullptr) return false;
    const bool busy = IsBusy();
    switch (subStep) {
        case 0:
            if (busyBeforeFirstStep && busy) return false;
            subStep = 1;
            SetWaitTime(50);
            return false;
        case 1:
            if (busy) return false;
            ipo->DeleteAll();
            if (ipo->LoadProgram(file, true) != 0) {
                Fault(std::string("Could not load program ") + file);
                return false;
            }
            SetWaitTime(50);
            subStep = 2;
            return false;
        case 2:
            if (busy) return false;
            // Its outputs must not say the phase is done when its program never ran.
            if (!ipo->IsProgramLoaded() || ipo->GetProgramFile() != file) {
                Fault(std::string("Could not load program ") + file);
                return false;
            }
            robotMaster->StartProgram();
            if (run != stepRun) return false;
            if (!ipo->IsReplayRunning()) {
                Fault(std::string("Program ") + file + " did not start");
                return false;
            }
            errorStopsAtStart = ipo->GetErrorStops();
            subStep = 3;
            if (waitAfterStart) SetWaitTime(50);
            return false;
        case 3:
            if (busy) return false;
            // Ended by an error: the phase is not done.
            if (ipo->GetErrorStops() != errorStopsAtStart) {
                Fault(std::string("Program ") + file + " ended by an error");
                return false;
            }
            return run == stepRun;
        default:
            return false;
    }
}

void StateMachineDIZ::TriggerStartAction(const DataTypes::RobotState&) {
    if (!RunPhase(ProgramFiles[0], true, false)) return;
    SetOutput(releaseOutput1, true);
    SetOutput(releaseOutput2, true);
    Advance(StateIdle);
}

void StateMachineDIZ::TriggerIdleAction(const DataTypes::RobotState&) {
    if (!RunPhase(ProgramFiles[5], false, false)) return;
    Advance(StateInMould);
}

void StateMachineDIZ::TriggerInMouldAction(const DataTypes::RobotState& robotState) {
    if (!Input(robotState, autoInput)) {
        LogSingleton::instance()->add("DIZ: BA Auto nicht gesetzt --> Abbruch des Zyklus!");
        Stop();
        return;
    }
    if (!Input(robotState, input31) || Input(robotState, input30) || !Input(robotState, input34)) return;
    SetOutput(releaseOutput1, false);
    SetOutput(releaseOutput2, false);
    if (!RunPhase(ProgramFiles[1], false, false)) return;
    SetOutput(ejectorFrontOutput, true);
    Advance(StateEjectorFront);
}

void StateMachineDIZ::TriggerInMouldEjectorFrontAction(const DataTypes::RobotState& robotState) {
    if (!Input(robotState, input33) || Input(robotState, input34)) return;
    SetOutput(ejectorFrontOutput, false);
    if (!RunPhase(ProgramFiles[2], false, false)) return;
    SetOutput(ejectorBackOutput, true);
    Advance(StateEjectorBack);
}

void StateMachineDIZ::TriggerInMouldEjectorBackAction(const DataTypes::RobotState& robotState) {
    if (Input(robotState, input33) || !Input(robotState, input34)) return;
    SetOutput(ejectorBackOutput, false);
    if (!RunPhase(ProgramFiles[3], false, false)) return;
    Advance(StateOutOfMould);
}

void StateMachineDIZ::TriggerOutOfMouldAction(const DataTypes::RobotState&) {
    if (!RunPhase(ProgramFiles[4], false, true)) return;
    SetOutput(releaseOutput1, true);
    SetOutput(releaseOutput2, true);
    Advance(StateIdle);
}

void StateMachineDIZ::TriggerFaultAction(const DataTypes::RobotState&) {
    SetOutput(releaseOutput1, false);
    SetOutput(releaseOutput2, false);
    SetWaitTime(100);
}

}  // namespace TavixStateMachine
