// Program control through the robot master: the start checks, pause and stop
// of the interpreters and the external-axis velocities kept across a pause.

#include <cmath>
#include <thread>

#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "hardware/HardwareProtocol.h"

void RobotMaster::StartProgram() {
    LogSingleton* log = LogSingleton::instance();
    const bool connected = hardware && hardware->GetConnectionStatus();
    std::string errorText;
    {
        std::unique_lock<std::mutex> lock = LockWorkingState();
        errorText = workingState.errorText;
    }
    const bool cartAllowed = IsCartesianMotionAllowed();
    const bool ready = !connected || DebugMode || errorText == "NoError" || errorText == "operation_enabled";

    if (IsBrakeActive()) {
        log->add("Can not start program while brake is enabled");
        log->DisplayAndServerSetMessage("Can not start, brake enabled!");
        return;
    }
    if (refSequenceActive || (hardware && hardware->IsReferencing())) {
        log->add("Can not start program while referencing");
        return;
    }
    if (cartAllowed && ready) {
        log->DisplayAndServerSetMessage("Starting Program");
        log->add("Starting Program");
        if (ipoMain.GetRunState() == IPO::RunStatePaused) RestoreProgramVelocities();
        ipoDirect.Stop(IPO::USER, "");
        ipoMain.Start();
        return;
    }
    log->DisplayAndServerSetMessage("Cannot start, not referenced/enabled!");
    log->addFormat("Cannot start program, not referenced/enabled: cartAllowed=%d, ready=%d", cartAllowed ? 1 : 0,
                   ready ? 1 : 0);
    log->addFormat("cartAllowed: connected=%d, referencing mandatory=%d, referenced=%d", connected ? 1 : 0,
                   hardware && hardware->referencingMandatory ? 1 : 0, hardware && hardware->referencedAll ? 1 : 0);
    log->addFormat("ready: debugMode=%d, errorState=%s", DebugMode ? 1 : 0, errorText);
}

void RobotMaster::PauseProgram(IPO::StopReason reason) {
    // The velocities are kept by OnProgramPausing, called by the pause while the program still runs.
    ipoMain.Pause(reason);
    ipoDirect.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::OnProgramPausing(IPO::StopReason reason) {
    StoreProgramVelocities();
    lastRunState = IPO::RunStatePaused;
    // A program that paused itself (or an error that paused it) gets the rest of a pause here.
    ipoDirect.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::StopProgram(IPO::StopReason reason) {
    ipoMain.Stop(reason, "");
    ipoDirect.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::OperatorStop(IPO::StopReason reason, uint64_t sequence) {
    if (sequence == 0) sequence = NextCommandSequence();
    uint64_t horizon = stopHorizon.load();
    while (horizon < sequence && !stopHorizon.compare_exchange_weak(horizon, sequence)) {
    }
    {
        // Jog values gathered before this point are not handed on after it.
        std::lock_guard<std::mutex> lock(jogMutex);
        ++operatorStops;
        for (float& v : currentJogValues) v = 0.0f;
    }
    StopProgram(reason);
    std::vector<std::function<void(uint64_t)>> listeners;
    {
        std::lock_guard<std::mutex> lock(stopListenersMutex);
        listeners = stopListeners;
    }
    for (const auto& listener : listeners) listener(sequence);
}

void RobotMaster::AddOperatorStopListener(std::function<void(uint64_t)> listener) {
    std::lock_guard<std::mutex> lock(stopListenersMutex);
    stopListeners.push_back(std::move(listener));
}

bool RobotMaster::StartProgramUnlessStopped(uint64_t sequence) {
    if (StoppedSince(sequence)) return false;
    StartProgram();
    // A stop that raced the start has stopped the program before it started, or stops it now.
    if (!StoppedSince(sequence)) return true;
    StopProgram(IPO::USER);
    return false;
}

void RobotMaster::SetJogValuesUnlessStopped(const float values[9], uint64_t stopsSeen) {
    {
        std::lock_guard<std::mutex> lock(jogMutex);
        if (operatorStops.load() != stopsSeen) return;
    }
    // A stop between here and the hand-over clears the values again after it.
    SetJogValues(values);
    std::lock_guard<std::mutex> lock(jogMutex);
    if (operatorStops.load() != stopsSeen)
        for (float& v : currentJogValues) v = 0.0f;
}

void RobotMaster::StopLogicProgram(IPO::StopReason reason) {
    ipoLogic.Stop(reason, "");
    ipoDirect.Stop(reason, "");
    ResetVelocities();
}

void RobotMaster::ErrorStateProgram(IPO::StopReason reason, bool flag, const std::string& text) {
    ipoMain.ErrorState(reason, flag, text);
    ResetVelocities();
}

void RobotMaster::DeleteProgram() { ipoMain.DeleteAll(); }

void RobotMaster::DeleteLogicProgram() { ipoLogic.DeleteAll(); }

void RobotMaster::CheckRunStateChanged() {
    // Pauses are reported by the interpreter itself (OnProgramPausing); a run
    // state read between two steps of a stop or a start must not be taken for one.
    lastRunState = ipoMain.GetRunState();
}

void RobotMaster::LoadProgramAndStartAsync(const std::string& file, IPO::StopReason reason) {
    StopProgram(reason);
    ++asyncLoads;
    std::thread([this, file]() {
        LoadProgramAndStartAsyncThread(this, file);
        --asyncLoads;
    }).detach();
}

void RobotMaster::LoadProgramAndStartAsyncThread(RobotMaster* robotMaster, std::string file) {
    LogSingleton* log = LogSingleton::instance();
    IPO& ipo = robotMaster->ipoMain;
    if (ipo.IsLoading()) {
        log->addError("RobotMaster: Could not load program, IPO is still loading a program!");
        return;
    }
    ipo.DeleteAll();
    ipo.LoadProgramSynchronous(file, false);
    if (ipo.IsProgramLoaded()) {
        robotMaster->StartProgram();
    } else {
        log->addFormat("RobotMaster: Could not load program '%s'", file);
    }
}

void RobotMaster::StartStopEM67FSM() {
    LogSingleton* log = LogSingleton::instance();
    const bool connected = hardware && hardware->GetConnectionStatus();
    std::string errorText;
    DataTypes::RobotState state;
    {
        std::unique_lock<std::mutex> lock = LockWorkingState();
        errorText = workingState.errorText;
        state = workingState;
    }
    const bool ready = !connected || DebugMode || errorText == "NoError" || errorText == "operation_enabled";
    if (!IsCartesianMotionAllowed() || !ready) {
        log->DisplayAndServerSetMessage("Error EM67, robot not referenced!");
        return;
    }
    if (!stateMachine.GetActive(state)) {
        log->DisplayAndServerSetMessage("Error EM67, no Auto signal!");
        return;
    }
    if (fsmActive) {
        log->DisplayAndServerSetMessage("Starting EM67");
        ipoDirect.Stop(IPO::USER, "");
        ipoMain.Start();
    } else {
        stateMachine.SetMotionTypeToRestore(motionType);
        stateMachine.Init();
    }
}

void RobotMaster::SetEM67ManualOperation() {
    ErrorStateProgram(IPO::USER, false, "");
    stateMachine.SetManualMode();
}

void RobotMaster::StoreProgramVelocities() {
    if (ipoMain.GetRunState() != IPO::RunStateRunning) return;
    std::unique_lock<std::mutex> lock = LockWorkingState();
    for (int k = 0; k < 3; ++k) pausedVelocities[k] = workingState.jointVelocitySetPoint[6 + k];
}

void RobotMaster::RestoreProgramVelocities() {
    if (ipoMain.GetRunState() != IPO::RunStatePaused) return;
    std::unique_lock<std::mutex> lock = LockWorkingState();
    for (int k = 0; k < 3; ++k) {
        workingState.jointVelocitySetPoint[6 + k] = pausedVelocities[k];
        pausedVelocities[k] = 0.0f;
    }
}

bool RobotMaster::IsMoving() const {
    if (ipoMain.IsReplayRunning() || ipoDirect.IsReplayRunning()) return true;
    float jog[9];
    GetJogValues(jog);
    for (float v : jog) {
        if (std::fabs(v) > 0.001f) return true;
    }
    return false;
}
