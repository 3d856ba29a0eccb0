#pragma once
// The program interpreter: holds the loaded robot programs (a main program and
// the sub-programs it calls) and their run state, and gives the robot thread
// one set-point per cycle. The robot master owns three: the robot program, the
// logic program and direct moves.
//
// The program list is changed by loads, deletes and added commands on other
// threads while the robot thread steps it: those changes take the list's lock,
// and the robot thread only try-locks it, skipping a cycle's step rather than
// waiting. A load builds the new list aside and swaps it in whole.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <stack>
#include <string>
#include <thread>
#include <vector>

#include "common/RelaxedAtomic.h"
#include "PkgProgram/RobotProgram.h"
#include "vision/PluginManager.h"

class Command;
class CommandRelative;
class PathGenerator;
class RobotKinematic;
namespace DataTypes {
class RobotState;
class Vector3;
}
namespace Programs {
class ProgramMemory;
}
namespace TavixStateMachine {
class StateMachineDIZ;
}
namespace tinyxml2 {
class XMLElement;
}

// Events of an interpreter to the remote clients.
enum HXPEventType : int32_t {
    HXPEventStart = 10,  // run started or command changed
    HXPEventPause = 11,
    HXPEventStop = 12,  // stopped or program done
    HXPEventError = 13,
};

class IPO {
public:
    enum IpoType : int32_t { IpoTypeMain = 0, IpoTypeLogic = 1, IpoTypeDirect = 2 };
    enum StopReason : int32_t {
        USER = 0,
        PLC = 1,
        PROGRAM = 2,
        REPLAY_STEP = 3,
        SHUTDOWN = 4,
        REFERENCING = 5,
        ERROR = 6,
        PATHGEN_ERROR = 7,
        COMMAND_ERROR = 8,
        FSM_ERROR = 9,
    };
    enum ReplayMode : int32_t { ReplaySingle = 0, ReplayRepeat = 1, ReplayStep = 2 };
    enum RunState : int32_t { RunStatePaused = 0, RunStateIdle = 1, RunStateRunning = 2 };

    using HXPCallback = void (*)(HXPEventType event, int command, int program, const std::string& text);
    using ErrorCallback = void (*)(void* context, IPO* ipo, bool resetOutputs);

    explicit IPO(IpoType type);
    // Waits for its own loader and start-at threads.
    ~IPO();
    IPO(const IPO&) = delete;
    IPO& operator=(const IPO&) = delete;

    // ---- Wiring by the owner ----
    void SetMemory(Programs::ProgramMemory* memory);
    Programs::ProgramMemory* GetMemory() const { return memory; }
    void SetErrorCallback(ErrorCallback callback, void* context);
    void SetStateMachine(TavixStateMachine::StateMachineDIZ* machine);
    // The logic interpreter's link to the robot-program interpreter.
    void SetMainIPO(IPO* mainIpo);
    void SetVelocitySetting(int32_t setting);
    // The thread that steps this interpreter (the robot thread): its stops never wait for a step.
    void SetStepThread(std::thread::id id) { stepThread.store(id, std::memory_order_relaxed); }
    // Called with the reason before a running program pauses, by any pause
    // (its own Pause command, step mode, an error, a client): the run state still reads running.
    void SetPauseCallback(std::function<void(StopReason)> callback) { pauseCallback = std::move(callback); }
    // How many stops waited for a step of the robot thread to end (never the robot thread's own).
    uint64_t GetStepWaits() const { return stepWaits.load(); }
    // How many stops had an error reason (a program that ended by an error).
    uint32_t GetErrorStops() const { return errorStops.load(); }
    // Takes ownership of the path generator's own copy of the kinematic model.
    void SetKinematic(RobotKinematic* kinematic);
    RobotKinematic* GetKinematic() const { return kinematic.get(); }
    int GetNrRobotJoints() const;
    int GetNrExternalJoints() const;

    void SendHXPServerCallback(HXPEventType event, int command, int program, const std::string& text);

    // ---- Run state ----
    bool IsReplayRunning() const { return replayRunning; }
    void SetReplayRunning(bool running);
    void UpdateRunstate();
    int32_t GetRunState() const;
    bool IsProgramLoaded() const;
    bool IsLoading() const { return loading.load(); }
    // No detached loader or start-at thread works on this object any more.
    bool ThreadsDone() const { return !loading.load() && helperThreads.load() == 0; }
    // Name, command count and current command of the active program; unchanged when none is loaded.
    void GetProgramInformation(std::string* name, int* count, int* index) const;
    // The file of the loaded main program; empty when none is loaded.
    std::string GetProgramFile() const;
    std::string GetLoadedProgramName() const;
    std::chrono::nanoseconds GetLastProgramDuration() const { return lastRunDuration.load(); }
    // Holds the program list still while the caller reads it (program names, commands).
    std::unique_lock<std::recursive_mutex> LockPrograms() const {
        return std::unique_lock<std::recursive_mutex>(programsMutex);
    }

    // ---- Run control ----
    void Start();
    void Pause(StopReason reason);
    // An error stop's event names `command` when it is given, else the current command.
    void Stop(StopReason reason, const std::string& text = std::string(), int command = -1);
    // Positions a program at a command, paused; loads it first when it is not in the list.
    // Throws std::runtime_error when running or when the load is refused.
    void StartAt(const std::string& programName, int commandIndex);
    void ErrorState(StopReason reason, bool report, const std::string& text, int command = -1);
    void DeleteAll();
    void RestartCommand();
    // Makes the next motion step plan its command again (pause inside a program, step mode).
    void SetPathUnavailable();

    // ---- Loading: refuses while loading or for a name with a blank (2); 0 once started ----
    int LoadProgram(const std::string& file, bool quiet);
    // The same on the calling thread: 0 when a program was loaded.
    int LoadProgramSynchronous(const std::string& file, bool quiet);
    // Runs on the loader thread of LoadProgram before the load ends (tests hold a load with it).
    void SetLoadHold(std::function<void()> hold) { loadHold = std::move(hold); }
    // Writes the main program under the program directory; false when nothing was written.
    bool WriteXMLFile(int unused, const std::string& name);
    int PrintCommands(int program);

    // ---- Per cycle: true when it wrote a Cartesian pose, false for joints ----
    bool GetNextPosition(int cycleMs, float override, DataTypes::RobotState* state);

    // ---- Offsets and limits ----
    void OffsetSet(const float* values);
    void OffsetReset();
    void SetVelocityLimit(double limit);
    void VelocityLimitDisable();
    double GetVelocityLimit() const { return velocityLimit; }
    void InitPathGen(int32_t generatorType, float smoothDistCart, float smoothDistJoint, int32_t lookAhead);
    void InitJointMaxValues(const float* jointVel, const float* jointAcc, const float* jointAccInc, float cartVel,
                            float cartAcc, float cartAccInc, double oriVel, double oriAcc, double oriAccInc);
    PathGenerator* GetPathGenerator() const { return pathGenerator.get(); }

    // ---- Direct moves: each replaces the programs by one motion; the caller starts it ----
    void MoveJoint(const float* joints, float velocity);
    void MoveRelativeJoint(const float* deltas, float velocity);
    void MoveLinear(const DataTypes::Vector3& position, const DataTypes::Vector3& orientation,
                    const DataTypes::Vector3& external, float velocity);
    void MoveRelativeBase(const DataTypes::Vector3& translation, const DataTypes::Vector3& rotation,
                          const DataTypes::Vector3& external, float velocity);
    void MoveRelativeTool(const DataTypes::Vector3& translation, const DataTypes::Vector3& rotation,
                          const DataTypes::Vector3& external, float velocity);

    // ---- Single commands appended to the in-memory program "new.xml" (teach-in) ----
    void AddCommandJoint(int nr, int count, const float* joints, float velocity);
    void AddCommandRelativeJoint(int nr, int count, const float* deltas, float velocity);
    void AddCommandRelativeLinear(int nr, float dx, float dy, float dz, float velocity);
    void AddCommandRelativeTool(int nr, float dx, float dy, float dz, float velocity);
    void AddCommandLinear(int nr, float x, float y, float z, float a, float b, float c, float e1, float e2, float e3,
                          float velocityPercent);
    void AddCommandDIO(int nr, int channel, bool state);
    void AddCommandGripper(int nr, const float* values);
    void AddCommandWait(int nr, long ms);
    void TouchUpLastCommand();

    static std::string StopReasonToString(StopReason reason);
    // Text of a kinematic error code thrown while stepping.
    static std::string KinematicErrorText(int code);

    // ---- Program directory browser (display, remote and Modbus clients; own lock) ----
    // Lists the current sub-directory; *out := entry `index` or "n/a". Returns the entry count.
    int GetFilename(int index, std::string* out);
    std::string GetCurrentProgShowName();
    void SendCurrentProgShowName();
    void ProgShowCntIncrease();
    void ProgShowCntDecrease();
    // "../" leaves the sub-directory; any other path (relative to the program directory) enters it.
    void SetProgPath(const std::string& path);
    int LoadCurrentDirectoryOrProgram(std::function<void()> onLoaded = {});
    // -1 for a directory, else LoadProgram's result; 2 for a name outside the program directory.
    // A program replaces the loaded one only when it loaded; `onLoaded` then runs on the loader thread.
    int LoadDirectoryOrProgram(const std::string& name, std::function<void()> onLoaded = {});
    std::string GetProgramsDirectoryAbsolute() const;
    bool IsSelectedEntryAFile();
    void GotoBasedir();
    // Name relative to the program directory; false when nothing was removed.
    bool DeleteProgramFile(const char* name);
    int GetBrowserCursor() const;
    int GetBrowserEntryCount() const;
    std::string GetBrowserDirectory() const;

private:
    int ListLocked(int index, std::string* out);
    bool SetProgPathLocked(const std::string& path);
    mutable std::mutex browserMutex;
    std::string browserDirectory;  // relative to the program directory, ends in "/", empty at the base
    int browserCursor = 0;
    int browserEntryCount = 0;
    std::vector<int> browserCursorStack;  // cursors of the parent directories

public:

    // ---- Fields other parts read in place ----
    std::string programDirectory = "Data/Programs/";
    const IpoType type;
    std::string name = "IPO";
    HXPCallback hxpCallback = nullptr;
    RelaxedAtomic<ReplayMode> replayMode{ReplayRepeat};  // set by the main loop, read by the robot thread
    uint32_t programLimit = 200;
    int32_t stopOnError = 1;
    // Changed by stops from other threads while the robot thread steps.
    RelaxedAtomic<StopReason> lastStopReason{SHUTDOWN};
    bool flagIgnoreConsistencyCheck = false;
    // Guarded by the list lock (LockPrograms) for anyone but the robot thread's step.
    std::vector<RobotProgram> programs;
    RelaxedAtomic<int32_t> activeProgram{0};
    RelaxedAtomic<int32_t> currentCommand{-1};
    int32_t commandsOfProgram = 0;
    std::string loadedProgramName;  // guarded like the list
    int32_t velocitySetting = -1;
    double cartMaxVelocity = 100.0;
    double jointMaxVelocities[9] = {10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0};
    double jointMaxAccelerations[9] = {};
    // Set and reset from client and loader threads, read by planning on the robot thread.
    RelaxedAtomic<float> jointOffsets[9] = {};
    RelaxedAtomic<float> cartOffsets[6] = {};
    RelaxedAtomic<bool> usesPlugins{false};
    PluginFramework::PluginManager pluginManager;

    // Path generator settings, kept until the generator exists.
    int32_t pathGenType = 0;
    float smoothDistCart = 0.0f;
    float smoothDistJoint = 0.0f;
    int32_t lookAhead = 0;

    static const std::chrono::nanoseconds m_MinimumExecutionTime;

private:
    // ---- Stepping (robot thread, list lock held) ----
    bool StepLogic(int cycleMs, float override, DataTypes::RobotState* state);
    void StepCommands(int cycleMs, float override, DataTypes::RobotState* state);
    // Runs up to ten combinable non-motion commands; returns the motion kind last read.
    int32_t StepCombinable(int cycleMs, float override, DataTypes::RobotState* state, bool resetPrepared);
    void StepMotion(int cycleMs, float override, DataTypes::RobotState* state);
    int Interpolate(int cycleMs, float override, DataTypes::RobotState* state);
    int InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state);
    void HandleResult(int result);
    // The event names `command` when it is given, else the current command.
    void ReportStepError(const std::string& message, bool withBlankLines, bool toDisplay, int command = -1);
    Command& CurrentCommand(const char* where);
    void ResetPathWindow();
    // Hands the current motion command and its look-ahead to the path generator and starts planning.
    void PreparePath(DataTypes::RobotState* state);
    // Whether the step should plan the current command now.
    bool NeedsPath() const;

    // ---- Motion commands built here or by the loader ----
    // Joint counts, joint maximum velocities, memory and the links to the offsets.
    void SetupMotionCommand(Command& command);
    static void LinkOffsets(Command& command, const RelaxedAtomic<float>* joints, const RelaxedAtomic<float>* cart);
    void CapCartVelocity(Command& command) const;
    // Replaces the programs by one program holding `command`, unless the velocity is too small.
    void MoveWith(const std::shared_ptr<Command>& command, float velocity);
    // Appends to the in-memory program as the next command of a straight chain.
    void AppendCommand(const std::shared_ptr<Command>& command);
    // A relative move in the base (1) or tool (2) frame, velocity capped.
    std::shared_ptr<CommandRelative> RelativeCartesian(int type, const DataTypes::Vector3& translation,
                                                       const DataTypes::Vector3& external, float velocity);
    void AddRelativeCartesian(int type, int nr, float dx, float dy, float dz, float velocity);

    // ---- Loading (loader thread) ----
    static void threadLoadProg(IPO* ipo);
    static void StartAtInternal(IPO* ipo, int program, int command, const std::string& programName);
    // Refuses a load while one runs or for a name with a blank; else marks the interpreter loading.
    bool BeginLoad(const std::string& file, bool quiet, std::function<void()> onLoaded = {});
    // 0 when a program was loaded and swapped in.
    int RunLoad();
    void SwapInStaged();
    int LoadXMLFile2(int index, const std::string& file, bool quiet, int parent);
    int CheckHeaderConsistency(tinyxml2::XMLElement* header, bool quiet);
    bool SetupAndAddCommand(int program, const std::shared_ptr<Command>& command, tinyxml2::XMLElement* element,
                            bool quiet);
    void WriteCommands(std::ostream& out, const std::vector<std::shared_ptr<Command>>& commands, int from, int to,
                       int& written) const;

    void LogOffsets(const char* what) const;
    // Holds the list once a step in progress on the robot thread ended; returns an
    // empty lock inside a step or on the thread that steps (nothing can be in progress).
    std::unique_lock<std::recursive_mutex> WaitForStepToEnd();
    void PauseInternal(StopReason reason, bool notify);

    // The interpreter whose step runs on this thread, if any.
    static thread_local const IPO* steppingIpo;
    // The thread that last stepped this interpreter.
    std::atomic<std::thread::id> stepThread{};
    mutable std::recursive_mutex programsMutex;
    std::atomic<bool> loading{false};
    std::atomic<int> helperThreads{0};
    // Counts start-at positionings, so that a stop still waiting for its step
    // does not undo one that came in meanwhile.
    std::atomic<uint32_t> positionings{0};
    std::string fileToLoad;
    bool loadQuiet = false;
    std::function<void()> loadHold;
    // The browser's load: offsets reset and the caller told only once the new program is in.
    std::function<void()> onLoadedOnce;
    std::vector<RobotProgram> staging;  // the list a running load builds
    std::string programFile;

    RelaxedAtomic<bool> replayRunning{false};
    Programs::ProgramMemory* memory = nullptr;
    std::function<void(bool)> runStateCallback;
    std::function<void(StopReason)> pauseCallback;
    std::atomic<uint64_t> stepWaits{0};
    std::atomic<uint32_t> errorStops{0};
    ErrorCallback errorCallback = nullptr;
    void* errorContext = nullptr;
    TavixStateMachine::StateMachineDIZ* stateMachine = nullptr;
    IPO* mainIpo = nullptr;
    RelaxedAtomic<double> velocityLimit{-1.0};

    // Position bookkeeping of the robot thread.
    int32_t lastReportedCommand = -1;
    int32_t lastReportedProgram = 0;
    int32_t preparedCommand = -1;
    int64_t timeFromUs = 0;
    int64_t timeToUs = 0;
    RelaxedAtomic<int32_t> restartWaitMs{0};
    std::chrono::system_clock::time_point programStartTime;
    RelaxedAtomic<std::chrono::nanoseconds> lastRunDuration{std::chrono::nanoseconds(0)};
    std::unique_ptr<RobotKinematic> kinematic;
    // After the kinematic model: its planning thread uses the model until it is destroyed.
    std::unique_ptr<PathGenerator> pathGenerator;
};
