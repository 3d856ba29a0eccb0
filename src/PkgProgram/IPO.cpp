#include "PkgProgram/IPO.h"

#include <unistd.h>

#include "PkgProgram/ProgramMemory.h"
#include "PkgProgram/StateMachineDIZ.h"
#include "common/LogSingleton.h"
#include "kinematics/RobotKinematic.h"

const std::chrono::nanoseconds IPO::m_MinimumExecutionTime{500000000};

IPO::IPO(IpoType ipoType) : type(ipoType), programStartTime(std::chrono::system_clock::now()) {}

IPO::~IPO() = default;

void IPO::SetMemory(Programs::ProgramMemory* programMemory) {
    memory = programMemory;
    runStateCallback = nullptr;
    if (memory == nullptr) return;
    if (type == IpoTypeMain) {
        runStateCallback = [programMemory](bool running) { programMemory->OnProgramRunStateChanged(running); };
    } else if (type == IpoTypeLogic) {
        runStateCallback = [programMemory](bool running) { programMemory->OnLogicProgramRunStateChanged(running); };
    }
}

void IPO::SetErrorCallback(ErrorCallback callback, void* context) {
    errorCallback = callback;
    errorContext = context;
}

void IPO::SetStateMachine(TavixStateMachine::StateMachineDIZ* machine) { stateMachine = machine; }

void IPO::SetMainIPO(IPO* ipo) { mainIpo = ipo; }

void IPO::SetVelocitySetting(int32_t setting) { velocitySetting = setting; }

void IPO::SetKinematic(RobotKinematic* model) { kinematic.reset(model); }

void IPO::SendHXPServerCallback(HXPEventType event, int command, int program, const std::string& text) {
    if (hxpCallback != nullptr) hxpCallback(event, command, program, text);
}

void IPO::SetReplayRunning(bool running) {
    replayRunning = running;
    UpdateRunstate();
}

void IPO::UpdateRunstate() {
    if (runStateCallback) runStateCallback(replayRunning);
}

int32_t IPO::GetRunState() const {
    if (replayRunning) return RunStateRunning;
    return currentCommand == -1 ? RunStateIdle : RunStatePaused;
}

void IPO::GetProgramInformation(std::string* programName, int* count, int* index) const {
    if (programs.empty()) return;
    const int32_t program = activeProgram;
    const std::size_t active =
        program >= 0 && static_cast<std::size_t>(program) < programs.size() ? static_cast<std::size_t>(program) : 0;
    if (programName != nullptr) *programName = programs[active].name;
    if (count != nullptr) *count = static_cast<int>(programs[active].commands.size());
    if (index != nullptr) *index = currentCommand;
}

std::string IPO::GetProgramFile() const { return programs.empty() ? std::string() : programFile; }

void IPO::Start() {
    LogSingleton* log = LogSingleton::instance();
    if (loading) {
        log->add("IPO: Cannot start while loading!");
        return;
    }
    if (programs.empty() || programs[0].commands.empty()) {
        log->DisplayAndServerSetMessage("No Program loaded");
        log->addFormat("%s:    Cannot start, no Program loaded", name);
        return;
    }
    // Starting a loaded program joins here with the program loader and the per-cycle step.
}

void IPO::Pause(StopReason reason) {
    if (!replayRunning && currentCommand == -1) return;
    if (type == IpoTypeMain) lastStopReason = reason;
    SetReplayRunning(false);
}

void IPO::Stop(StopReason reason, const std::string& text) {
    if (stateMachine != nullptr) stateMachine->Stop();
    if (replayRunning || currentCommand != -1) {
        lastStopReason = reason;
        const std::string reasonName = StopReasonToString(reason);
        const bool isError = reason >= ERROR;
        SendHXPServerCallback(isError ? HXPEventError : HXPEventStop, currentCommand, activeProgram,
                              text.empty() ? reasonName : text);
        if (!isError && reason != REPLAY_STEP) LogSingleton::instance()->DisplayAndServerSetMessage("Stopping Program");
        if (text.empty()) {
            LogSingleton::instance()->addFormat("IPO:    Stopping Program by %s", reasonName);
        } else {
            LogSingleton::instance()->addFormat("IPO:    Stopping Program by %s, reason: %s", reasonName, text);
        }
    }
    SetReplayRunning(false);
    usleep(50000);
    activeProgram = 0;
    currentCommand = -1;
}

void IPO::ErrorState(StopReason reason, bool report, const std::string& text) {
    if (stopOnError != 0) {
        Stop(reason, text);
        if (errorCallback != nullptr) errorCallback(errorContext, this, report);
    } else {
        Pause(reason);
        if (errorCallback != nullptr) errorCallback(errorContext, this, false);
    }
}

void IPO::DeleteAll() {
    if (type != IpoTypeDirect) LogSingleton::instance()->add("IPO:    Deleting All Programs");
    SetReplayRunning(false);
    currentCommand = -1;
    programs.clear();
    if (type != IpoTypeDirect && memory != nullptr) memory->Clear();
    activeProgram = 0;
    programFile.clear();
    loadedProgramName.clear();
    usesPlugins = false;
}

void IPO::RestartCommand() {
    // Replanning the current command on resume joins here with the path generator.
}

void IPO::SetPathUnavailable() {
    // The path generator joins here.
}

int IPO::LoadProgram(const std::string& file, bool /*quiet*/) {
    LogSingleton* log = LogSingleton::instance();
    if (loading) {
        log->add("IPO: Cannot load a new program while loading!");
        return 2;
    }
    if (file.find(' ') != std::string::npos) {
        log->add("IPO: Cannot load program, whitespace in filename not allowed!");
        return 2;
    }
    // The program file loader joins here; until then nothing is loaded.
    return 2;
}

bool IPO::GetNextPosition(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    // The per-cycle step joins here; an idle interpreter writes nothing.
    return false;
}

void IPO::OffsetSet(const float* values) {
    if (values == nullptr) return;
    for (int i = 0; i < 9; ++i) jointOffsets[i] = values[i];
    for (int i = 0; i < 6; ++i) cartOffsets[i] = values[9 + i];
    LogOffsets("Offset defined");
}

void IPO::OffsetReset() {
    for (float& v : jointOffsets) v = 0.0f;
    for (float& v : cartOffsets) v = 0.0f;
    LogOffsets("Offset reset");
}

void IPO::LogOffsets(const char* what) const {
    if (type != IpoTypeMain) return;
    const float* j = jointOffsets;
    const float* c = cartOffsets;
    LogSingleton::instance()->addFormat(
        std::string("%s: ") + what +
            ": joint %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf   %0.1lf %0.1lf %0.1lf   cart %0.1lf %0.1lf "
            "%0.1lf   %0.1lf %0.1lf %0.1lf ",
        name, j[0], j[1], j[2], j[3], j[4], j[5], j[6], j[7], j[8], c[0], c[1], c[2], c[3], c[4], c[5]);
}

void IPO::SetVelocityLimit(double limit) { velocityLimit = limit; }

void IPO::VelocityLimitDisable() { velocityLimit = -1.0; }

void IPO::InitPathGen(int32_t generatorType, float cart, float joint, int32_t look) {
    pathGenType = generatorType;
    smoothDistCart = cart;
    smoothDistJoint = joint;
    lookAhead = look;
}

void IPO::InitJointMaxValues(const float* jointVel, const float* jointAcc, const float* /*jointAccInc*/,
                             float cartVel, float /*cartAcc*/, float /*cartAccInc*/, double /*oriVel*/,
                             double /*oriAcc*/, double /*oriAccInc*/) {
    for (int i = 0; i < 9; ++i) {
        if (jointVel != nullptr) jointMaxVelocities[i] = jointVel[i];
        if (jointAcc != nullptr) jointMaxAccelerations[i] = jointAcc[i];
    }
    cartMaxVelocity = cartVel;
}

std::string IPO::StopReasonToString(StopReason reason) {
    switch (reason) {
        case USER: return "USER";
        case PLC: return "PLC";
        case PROGRAM: return "PROGRAM";
        case REPLAY_STEP: return "REPLAY_STEP";
        case SHUTDOWN: return "SHUTDOWN";
        case REFERENCING: return "REFERENCING";
        case ERROR: return "ERROR";
        case PATHGEN_ERROR: return "PATHGEN_ERROR";
        case COMMAND_ERROR: return "PATHGEN_ERROR";
        case FSM_ERROR: return "FSM_ERROR";
    }
    return "ERROR";
}
