#include "PkgProgram/IPO.h"

#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "PkgProgram/Command.h"
#include "PkgProgram/PathGenerator_01Joint.h"
#include "PkgProgram/PathGenerator_02Linear.h"
#include "PkgProgram/ProgramMemory.h"
#include "PkgProgram/StateMachineDIZ.h"
#include "common/LogSingleton.h"
#include "kinematics/RobotKinematic.h"

const std::chrono::nanoseconds IPO::m_MinimumExecutionTime{500000000};

thread_local const IPO* IPO::steppingIpo = nullptr;

IPO::IPO(IpoType ipoType) : type(ipoType), programStartTime(std::chrono::system_clock::now()) {
    // A working joint generator until the robot set-up chooses one.
    LogSingleton* log = LogSingleton::instance();
    pathGenerator = std::make_unique<PathGenerator_01Joint>(lookAhead);
    pathGenerator->Init(log->get_pathGeneratorFlagOptimize(), log->get_pathGeneratorSlicingMS(), true);
}

IPO::~IPO() {
    // Loader and start-at threads are detached and work on this object.
    while (!ThreadsDone()) usleep(1000);
    pathGenerator->AbortAndWait();
    pathGenerator.reset();
}

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

void IPO::SetKinematic(RobotKinematic* model) {
    // A planning in progress works on the old model.
    pathGenerator->AbortAndWait();
    kinematic.reset(model);
    pathGenerator->kinematic = model;
}

int IPO::GetNrRobotJoints() const { return kinematic ? kinematic->nrOfJoints : 6; }

int IPO::GetNrExternalJoints() const { return kinematic ? kinematic->nrOfExternalAxes : 3; }

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

bool IPO::IsProgramLoaded() const {
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    return !programs.empty();
}

void IPO::GetProgramInformation(std::string* programName, int* count, int* index) const {
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    if (programs.empty()) return;
    const int32_t program = activeProgram;
    const std::size_t active =
        program >= 0 && static_cast<std::size_t>(program) < programs.size() ? static_cast<std::size_t>(program) : 0;
    if (programName != nullptr) *programName = programs[active].name;
    if (count != nullptr) *count = static_cast<int>(programs[active].commands.size());
    if (index != nullptr) *index = currentCommand;
}

std::string IPO::GetProgramFile() const {
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    return programs.empty() ? std::string() : programFile;
}

std::string IPO::GetLoadedProgramName() const {
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    return loadedProgramName;
}

void IPO::Start() {
    LogSingleton* log = LogSingleton::instance();
    if (loading) {
        log->add("IPO: Cannot start while loading!");
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    if (programs.empty() || programs[0].commands.empty()) {
        log->DisplayAndServerSetMessage("No Program loaded");
        log->addFormat("%s:    Cannot start, no Program loaded", name);
        return;
    }
    if (usesPlugins) pluginManager.StartPlugins();
    if (currentCommand == -1) {
        // A planning still running on these commands must end before they start afresh.
        pathGenerator->AbortAndWait();
        log->addFormat("%s: Starting program with %d points and %d subprograms, first: %s", name,
                       static_cast<int>(programs[0].commands.size()), static_cast<int>(programs.size()) - 1,
                       programs[0].commands[0]->className);
        for (RobotProgram& program : programs) {
            for (const std::shared_ptr<Command>& command : program.commands) command->Init();
        }
        activeProgram = 0;
        currentCommand = 0;
        lastReportedCommand = 0;
        lastReportedProgram = 0;
        preparedCommand = -1;
        restartWaitMs = 0;
        programStartTime = std::chrono::system_clock::now();
        SetPathUnavailable();
        if (type != IpoTypeLogic) {
            SendHXPServerCallback(HXPEventStart, currentCommand, activeProgram, "");
            log->IncreaseSystemVariables(4, 1);
        }
    } else if (type == IpoTypeMain) {
        log->addFormat("IPO: Resuming program at point %d of %d", currentCommand + 1,
                       static_cast<int>(programs[0].commands.size()));
        SendHXPServerCallback(HXPEventStart, currentCommand, activeProgram, "");
    }
    if (type == IpoTypeMain) log->DisplayAndServerSetMessage("Starting/Resuming robot program");
    replayRunning = true;
}

void IPO::Pause(StopReason reason) { PauseInternal(reason, true); }

void IPO::PauseInternal(StopReason reason, bool notify) {
    if (!replayRunning && currentCommand == -1) return;
    // The owner keeps what a pause keeps while the run state still reads running.
    if (notify && replayRunning && pauseCallback) pauseCallback(reason);
    if (type == IpoTypeMain) {
        LogSingleton* log = LogSingleton::instance();
        lastStopReason = reason;
        std::string text;
        bool show = true;
        if (reason == USER || reason == PLC || reason == PROGRAM) {
            text = StopReasonToString(reason);
        } else if (reason != REPLAY_STEP && reason != SHUTDOWN) {
            text = "ERROR";
            show = false;
        }
        SendHXPServerCallback(HXPEventPause, currentCommand, activeProgram, text);
        if (show) log->DisplayAndServerSetMessage("Pausing Program");
        log->add("IPO:    Pausing Program");
    }
    SetReplayRunning(false);
}

void IPO::Stop(StopReason reason, const std::string& text, int command) {
    // A client that saw the stop's event may position the program (start-at)
    // before the stop ends: that position stays.
    const uint32_t positioned = positionings.load();
    if (stateMachine != nullptr) stateMachine->Stop();
    if (replayRunning || currentCommand != -1) {
        lastStopReason = reason;
        const std::string reasonName = StopReasonToString(reason);
        const bool isError = reason >= ERROR;
        if (isError) ++errorStops;
        SendHXPServerCallback(isError ? HXPEventError : HXPEventStop,
                              command >= 0 ? command : static_cast<int>(currentCommand), activeProgram,
                              text.empty() ? reasonName : text);
        if (!isError && reason != REPLAY_STEP) LogSingleton::instance()->DisplayAndServerSetMessage("Stopping Program");
        if (text.empty()) {
            LogSingleton::instance()->addFormat("IPO:    Stopping Program by %s", reasonName);
        } else {
            LogSingleton::instance()->addFormat("IPO:    Stopping Program by %s, reason: %s", reasonName, text);
        }
    }
    // Run flag and position change together, after a step in progress: the
    // stop never reads as a pause.
    std::unique_lock<std::recursive_mutex> lock = WaitForStepToEnd();
    SetReplayRunning(false);
    if (positionings.load() != positioned) return;
    activeProgram = 0;
    currentCommand = -1;
}

void IPO::ErrorState(StopReason reason, bool report, const std::string& text, int command) {
    if (stopOnError != 0) {
        Stop(reason, text, command);
        if (errorCallback != nullptr) errorCallback(errorContext, this, report);
    } else {
        Pause(reason);
        if (errorCallback != nullptr) errorCallback(errorContext, this, false);
    }
}

void IPO::StartAt(const std::string& programName, int commandIndex) {
    LogSingleton* log = LogSingleton::instance();
    log->addFormat("Start command requested: program '%s', command %d", programName, commandIndex);
    if (GetRunState() == RunStateRunning) {
        log->addError("Can not set start command while program is running");
        throw std::runtime_error("program is running");
    }
    int found = -1;
    {
        std::lock_guard<std::recursive_mutex> lock(programsMutex);
        for (std::size_t p = 0; p < programs.size(); ++p) {
            if (programs[p].name == programName) {
                found = static_cast<int>(p);
                break;
            }
        }
    }
    if (found >= 0) {
        StartAtInternal(this, found, commandIndex, programName);
        return;
    }
    if (LoadProgram(programName, true) != 0) throw std::runtime_error("could not load program");
    ++helperThreads;
    std::thread([this, commandIndex, programName]() {
        StartAtInternal(this, 0, commandIndex, programName);
        --helperThreads;
    }).detach();
}

void IPO::StartAtInternal(IPO* ipo, int program, int command, const std::string& programName) {
    LogSingleton* log = LogSingleton::instance();
    while (ipo->loading) usleep(50000);
    {
        std::lock_guard<std::recursive_mutex> lock(ipo->programsMutex);
        // A refused load keeps the program loaded before: that one is not the one asked for.
        if (ipo->programs.empty() || program < 0 || static_cast<std::size_t>(program) >= ipo->programs.size() ||
            ipo->programs[static_cast<std::size_t>(program)].name != programName) {
            log->addError("could not set start command, program not loaded");
            return;
        }
    }
    if (ipo->GetRunState() == RunStateIdle) {
        // Only a positioning, not a pause of a running program for the owner.
        ipo->Start();
        ipo->PauseInternal(USER, false);
    }
    bool inProgram = false;
    {
        std::lock_guard<std::recursive_mutex> lock(ipo->programsMutex);
        if (static_cast<std::size_t>(program) >= ipo->programs.size()) return;
        RobotProgram& target = ipo->programs[static_cast<std::size_t>(program)];
        if (program != ipo->activeProgram) {
            target.parent = 0;
            target.returnIndex = -2;
            ipo->activeProgram = program;
        }
        if (command >= 0 && static_cast<std::size_t>(command) < target.commands.size()) {
            ipo->currentCommand = command;
            ++ipo->positionings;
            inProgram = true;
        }
    }
    if (!inProgram) {
        const std::string text = "Could not set start command, command index is not in program";
        log->addError(text);
        ipo->Stop(ERROR, text);
    }
}

void IPO::DeleteAll() {
    if (type != IpoTypeDirect) LogSingleton::instance()->add("IPO:    Deleting All Programs");
    SetReplayRunning(false);
    std::lock_guard<std::recursive_mutex> lock(programsMutex);
    pathGenerator->AbortAndWait();
    SetPathUnavailable();
    currentCommand = -1;
    programs.clear();
    if (type != IpoTypeDirect && memory != nullptr) memory->Clear();
    activeProgram = 0;
    programFile.clear();
    loadedProgramName.clear();
    usesPlugins = false;
}

void IPO::RestartCommand() {
    if (GetRunState() == RunStatePaused) SetPathUnavailable();
}

void IPO::SetPathUnavailable() {
    // The path generator's prepared path is dropped, so the current command is planned again.
    pathGenerator->SetPathUnavailable();
}

std::unique_lock<std::recursive_mutex> IPO::WaitForStepToEnd() {
    // On the thread that steps (inside a step, or the robot cycle around it)
    // nothing can be in progress, and the cycle must not be held up.
    if (steppingIpo == this || stepThread.load(std::memory_order_relaxed) == std::this_thread::get_id())
        return std::unique_lock<std::recursive_mutex>();
    // A step holds the list lock for its whole run.
    ++stepWaits;
    return std::unique_lock<std::recursive_mutex>(programsMutex);
}

void IPO::OffsetSet(const float* values) {
    if (values == nullptr) return;
    for (int i = 0; i < 9; ++i) jointOffsets[i] = values[i];
    for (int i = 0; i < 6; ++i) cartOffsets[i] = values[9 + i];
    LogOffsets("Offset defined");
}

void IPO::OffsetReset() {
    for (RelaxedAtomic<float>& v : jointOffsets) v = 0.0f;
    for (RelaxedAtomic<float>& v : cartOffsets) v = 0.0f;
    LogOffsets("Offset reset");
}

void IPO::LogOffsets(const char* what) const {
    if (type != IpoTypeMain) return;
    float j[9];
    float c[6];
    for (int i = 0; i < 9; ++i) j[i] = jointOffsets[i];
    for (int i = 0; i < 6; ++i) c[i] = cartOffsets[i];
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
    pathGenerator->AbortAndWait();
    std::unique_ptr<PathGenerator> generator;
    if (generatorType == 1) {
        generator = std::make_unique<PathGenerator_02Linear>(cart, joint, look);
    } else {
        generator = std::make_unique<PathGenerator_01Joint>(look);
    }
    generator->kinematic = kinematic.get();
    LogSingleton* log = LogSingleton::instance();
    generator->Init(log->get_pathGeneratorFlagOptimize(), log->get_pathGeneratorSlicingMS(), true);
    pathGenerator = std::move(generator);
}

void IPO::InitJointMaxValues(const float* jointVel, const float* jointAcc, const float* jointAccInc, float cartVel,
                             float cartAcc, float cartAccInc, double oriVel, double oriAcc, double oriAccInc) {
    for (int i = 0; i < 9; ++i) {
        if (jointVel != nullptr) jointMaxVelocities[i] = jointVel[i];
        if (jointAcc != nullptr) jointMaxAccelerations[i] = jointAcc[i];
    }
    cartMaxVelocity = cartVel;
    LogSingleton* log = LogSingleton::instance();
    pathGenerator->Init(log->get_pathGeneratorFlagOptimize(), log->get_pathGeneratorSlicingMS(), type != IpoTypeMain);
    pathGenerator->InitVelAcc(jointVel, jointAcc, jointAccInc, cartVel, cartAcc, cartAccInc, oriVel, oriAcc,
                              oriAccInc);
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

std::string IPO::KinematicErrorText(int code) {
    switch (code) {
        case 13: return "Joint Min";
        case 14: return "Joint Max";
        case 21: return "Center Sing.";
        case 22: return "Out of Reach";
        case 23: return "Hand Singularity";
        case 51: return "PathGen Error LF";
        case 61: return "Variable not found";
        default: return "unknown error " + std::to_string(code);
    }
}
