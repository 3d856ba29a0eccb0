#pragma once
// The program interpreter: holds the loaded robot programs and their run
// state and gives the robot thread one set-point per cycle. The robot master
// owns three: the robot program, the logic program and direct moves.
//
// Program loading, stepping and path planning join this class later; until
// then no program can be loaded, so the interpreter stays idle (run state 1)
// and its run control answers as it does without a program.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <stack>
#include <string>
#include <vector>

#include "common/RelaxedAtomic.h"
#include "PkgProgram/RobotProgram.h"
#include "vision/PluginManager.h"

class RobotKinematic;
namespace DataTypes {
class RobotState;
}
namespace Programs {
class ProgramMemory;
}
namespace TavixStateMachine {
class StateMachineDIZ;
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
    ~IPO();
    IPO(const IPO&) = delete;
    IPO& operator=(const IPO&) = delete;

    // ---- Wiring by the owner ----
    void SetMemory(Programs::ProgramMemory* memory);
    void SetErrorCallback(ErrorCallback callback, void* context);
    void SetStateMachine(TavixStateMachine::StateMachineDIZ* machine);
    // The logic interpreter's link to the robot-program interpreter.
    void SetMainIPO(IPO* mainIpo);
    void SetVelocitySetting(int32_t setting);
    // Takes ownership of the path generator's own copy of the kinematic model.
    void SetKinematic(RobotKinematic* kinematic);
    RobotKinematic* GetKinematic() const { return kinematic.get(); }

    void SendHXPServerCallback(HXPEventType event, int command, int program, const std::string& text);

    // ---- Run state ----
    bool IsReplayRunning() const { return replayRunning; }
    void SetReplayRunning(bool running);
    void UpdateRunstate();
    int32_t GetRunState() const;
    bool IsProgramLoaded() const { return !programs.empty(); }
    // Name, command count and current command of the active program; unchanged when none is loaded.
    void GetProgramInformation(std::string* name, int* count, int* index) const;
    // The file of the loaded main program; empty when none is loaded.
    std::string GetProgramFile() const;

    // ---- Run control ----
    void Start();
    void Pause(StopReason reason);
    void Stop(StopReason reason, const std::string& text = std::string());
    void ErrorState(StopReason reason, bool report, const std::string& text);
    void DeleteAll();
    void RestartCommand();
    // Makes the next motion step plan its command again (pause inside a program, step mode).
    void SetPathUnavailable();

    // ---- Loading: refuses while loading or for a name with a blank (2); 0 once started ----
    int LoadProgram(const std::string& file, bool quiet);

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

    static std::string StopReasonToString(StopReason reason);

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
    std::vector<RobotProgram> programs;
    RelaxedAtomic<int32_t> activeProgram{0};
    RelaxedAtomic<int32_t> currentCommand{-1};
    std::string loadedProgramName;
    std::string programFile;
    int32_t velocitySetting = -1;
    double cartMaxVelocity = 100.0;
    double jointMaxVelocities[9] = {10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0, 10.0};
    double jointMaxAccelerations[9] = {};
    float jointOffsets[9] = {};
    float cartOffsets[6] = {};
    bool loading = false;
    bool usesPlugins = false;
    PluginFramework::PluginManager pluginManager;

    // Path generator settings, kept until the generator exists.
    int32_t pathGenType = 0;
    float smoothDistCart = 0.0f;
    float smoothDistJoint = 0.0f;
    int32_t lookAhead = 0;

    static const std::chrono::nanoseconds m_MinimumExecutionTime;

private:
    void LogOffsets(const char* what) const;

    RelaxedAtomic<bool> replayRunning{false};
    Programs::ProgramMemory* memory = nullptr;
    std::function<void(bool)> runStateCallback;
    ErrorCallback errorCallback = nullptr;
    void* errorContext = nullptr;
    TavixStateMachine::StateMachineDIZ* stateMachine = nullptr;
    IPO* mainIpo = nullptr;
    double velocityLimit = -1.0;
    std::chrono::system_clock::time_point programStartTime;
    std::chrono::nanoseconds lastRunDuration{0};
    std::unique_ptr<RobotKinematic> kinematic;
};
