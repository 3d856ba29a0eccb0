#pragma once
// The one object that stands for the robot arm. It owns the kinematic model
// and the joint-bus driver, the three interpreters, the program memory, the
// cell state machine, the digital I/O images, the PLC triggers and the cyclic
// robot thread with its timing and statistics.
//
// Threads: the robot thread writes the working state and publishes a copy at
// the end of every cycle under a lock; every other thread reads that copy
// (GetRobotState). Values that other threads hand to the cycle (jog values,
// outputs, global signals, override, flags) go through atomics or locked
// mailboxes, which the cycle picks up at its start.

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PkgProgram/IPO.h"
#include "PkgProgram/ProgramMemory.h"
#include "PkgProgram/StateMachineDIZ.h"
#include "common/RepeatedEventLog.h"
#include "controller/CycleWait.h"
#include "controller/DOutTargetState.h"
#include "controller/JogAccelControlCart.h"
#include "controller/JogAccelControlJoint.h"
#include "controller/PLCInterfaceTrigger.h"
#include "controller/ProjectTarget.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"
#include "hardware/ExternalAxis.h"

class RobotKinematic;
namespace Hardware {
class HardwareProtocol;
}
namespace tinyxml2 {
class XMLElement;
}

// Jog motion type of the robot master.
enum MotionType : int32_t {
    MotionTypeRobotJoint = 0,     // "ROBOT-JOINT"
    MotionTypeRobotCartBase = 1,  // "ROBOT-CART-BASE"
    MotionTypeRobotCartTool = 2,  // "ROBOT-CART-TOOL"
    MotionTypePlatform = 3,       // "PLATFORM"
    MotionTypeFSM = 4,            // "FSM"
};

class RobotMaster : public ProjectTarget {
public:
    // Wall-clock seconds, like time(); replaceable so tests need not sleep.
    using Clock = std::function<std::time_t()>;

    // Operating mode of the arm (from two digital inputs when configured).
    static constexpr int32_t OperationModeNotLimited = 0;
    static constexpr int32_t OperationModeVelocityLimited = 1;
    static constexpr int32_t OperationModeNoMotion = 2;

    static constexpr uint32_t MaxPLCTriggers = 10;

    RobotMaster();
    ~RobotMaster() override;
    RobotMaster(const RobotMaster&) = delete;
    RobotMaster& operator=(const RobotMaster&) = delete;

    // ---- Set-up (main thread, before the robot thread runs) ----
    void SetVelocitySetting(int32_t velocitySetting) override { VelocitySetting = velocitySetting; }
    int32_t GetVelocitySetting() const override { return VelocitySetting; }
    // Reads the robot file (relative to Data/Robots/), creates model and driver.
    void Init(const std::string& robotName, const std::string& robotType,
              const std::string& robotFileName) override;
    void InitExternalJoints() override;
    void InitDIOModule(int32_t id) override;
    void InitGripper(const std::string& name);
    void SyncJointVelData();
    // Copies the operation-mode settings, hands out the kinematic copies and starts the robot thread.
    void FinishInit();

    // ---- Robot configuration file ----
    // 0 success, 2 missing, 3 not valid XML, 4 no Robot, 5 no BusConfiguration,
    // 6 no Protocol, 7 bad CycleTimeMS, 8 no Kinematic, 9 no Type.
    int ReadConfigFile(const std::string& path);
    void UpdateTimingMode();
    // Rewrites Brake, EStopMonitoring and SoftwareMinMax (temporary file, then rename).
    void UpdateConfigurationFile();
    void QueueUpdateRobotFile();
    // Delayed rewrite: due more than 15 s after the first or 3 s after the last request.
    void UpdateConfiguration();
    // Records a delayed rewrite request.
    void RequestRobotFileUpdate();
    void SetClock(Clock clock);

    // ---- Robot thread ----
    void StartMainLoop();
    // Ends the robot thread after its current cycle and waits for it.
    void StopMainLoop();
    bool IsMainLoopRunning() const { return robotThread.joinable(); }
    void ThreadRobotLoop();

    // ---- Kinematic error texts ----
    std::string TranslateKinError(int code) const;
    std::string TranslateKinErrorLog(int code) const;

    // ---- State and statistics ----
    // A copy of the state published at the end of the last cycle.
    DataTypes::RobotState GetRobotState() const;
    bool IsZeroTorqueEnabled() const { return zeroTorqueEnabled.load(); }
    bool IsZeroTorqueAllowed() const;
    bool IsOperationModesEnabled() const { return operationModesEnabled.load(); }
    int32_t GetOperationMode() const { return currentOperationMode.load(); }
    // Microseconds.
    float GetMaxCycleTime() const { return static_cast<float>(maxCycleTime.load()); }
    float GetMinCycleTime() const { return static_cast<float>(minCycleTime.load()); }
    void ResetMaxCycleTime() { maxCycleTime = 0; }
    void ResetMinCycleTime() { minCycleTime = 99999999; }
    float GetFrequency() const { return frequency.load(); }
    // Busy share of the last 50 cycles, 0..1.
    float GetWorkload() const { return workload.load(); }
    float GetCycleTime() const { return static_cast<float>(CycleTimeMS); }
    // Told by the robot thread at every cycle start: that start and the work of the
    // cycle before it (everything but the wait) in monotonic microseconds, and the
    // processor time of that work. For timing measurements; set before FinishInit.
    using CycleObserver = std::function<void(uint64_t startUs, uint64_t busyUs, uint64_t busyCpuUs)>;
    void SetCycleObserver(CycleObserver observer) { cycleObserver = std::move(observer); }
    int32_t GetTimingMode() const { return TimingMode; }
    bool IsPreciseTiming() const { return PreciseTiming; }
    // Microseconds before each cycle start that the robot thread busy-waits instead of sleeping.
    int32_t GetSpinMarginUs() const { return SpinMarginUs; }
    // How the robot thread sleeps to an absolute monotonic time, and the clock that paces
    // its late-cycle log lines. For tests; set before FinishInit.
    void SetCycleSleeper(CycleWait::SleepUntilFunction sleeper) { cycleSleeper = std::move(sleeper); }
    void SetLateCycleLogClock(RepeatedEventLog::NowFunction now) { lateCycleLogNow = std::move(now); }
    std::string GetDisplayPortDefault() const { return DisplayPort; }
    std::string GetFunctionButtonRefAll() const { return FunctionButtonRefAll; }
    bool IsDebugMode() const { return DebugMode; }
    const std::string& GetProtocolType() const { return protocolType; }
    const std::string& GetKinematicType() const { return kinematicType; }
    const std::string& GetRobotFile() const { return robotFile; }
    bool IsCycleSuspended() const { return cycleSuspended.load() || cycleSuspensions.load() > 0; }

    // Settings of the robot file as read.
    int32_t GetBrakeChannel() const { return DOutChannel; }
    int32_t GetBrakeDelayMS() const { return DelayMS; }
    int32_t GetEStopChannel() const { return DInChannel; }
    int32_t GetGeneratorType() const { return GeneratorType; }
    int32_t GetLookAhead() const { return LookAhead; }
    float GetSmoothDistCart() const { return SmoothDistCart; }
    float GetSmoothDistJoint() const { return SmoothDistJoint; }
    float GetJogCart(int axis) const { return axis >= 0 && axis < 3 ? JogCart[axis] : 0.0f; }
    float GetJogOri(int axis) const { return axis >= 0 && axis < 3 ? JogOri[axis] : 0.0f; }
    float GetJogJoint() const { return JogJoint; }
    bool IsAccelerationJogActive() const { return AccelerationJogActive; }
    float GetJogAcceleration(int joint) const { return joint >= 0 && joint < 9 ? AccelJogJoint[joint] : 0.0f; }
    float GetJogFastDeceleration(int joint) const {
        return joint >= 0 && joint < 9 ? FastDecelJogJoint[joint] : 0.0f;
    }
    bool IsZeroTorqueAllowed(int joint) const {
        return joint >= 0 && joint < 16 && zeroTorqueAllowed[static_cast<std::size_t>(joint)];
    }
    // Velocity limits after SyncJointVelData (external axes in 6..8).
    double GetJointMaxVelocity(int joint) const { return joint >= 0 && joint < 9 ? jointMaxVelocity[joint] : 0.0; }

    // The driver and the model that Init created; null when set-up could not create them.
    Hardware::HardwareProtocol* GetHardware() const { return hardware.get(); }
    RobotKinematic* GetKinematic() const { return kinematic.get(); }

    // ---- Small helpers ----
    static bool IsValidIONum(int n) { return n >= 0 && n < 64; }
    bool IsEStopDetected() const;
    bool IsBrakeActive() const;
    static void wait(int ms);
    static uint64_t ToMicroSec(const timespec& time);
    static timespec FromMicroSec(uint64_t us);
    static bool IsJogRequested(const float values[9]);

    // ---- Operations ----
    void Reset();
    void EnableMotors(bool on);
    void AlignMotors();
    // Driver joint index, 0-based; refused while the brake is active.
    void ReferenceJoint(int joint);
    // 0..5 robot joints, 6..8 external axes (after the robot and tool joints).
    void ReferenceJointAlt(int n);
    // Only with the motors on: reference reset, enable, then the referencing sequence.
    void ReferenceAllJoints();
    void ReferenceJointsReset();
    void ResetAllJointsToZero();
    bool IsReferenceSequenceActive() const { return refSequenceActive.load(); }
    void ToggleMotionMode();
    void SetMotionMode(MotionType type);
    MotionType GetMotionType() const { return static_cast<MotionType>(motionType.load()); }
    void SetZeroTorqueMode(bool on);
    // Velocities of the external joints 7 to 9 (velocity mode), limited to their maximum;
    // only while the motors are on and no program runs.
    void SetVelocities(float joint7, float joint8, float joint9);
    void GetVelocities(float& joint7, float& joint8, float& joint9);
    // ---- Program control: the one door to the interpreters, with the start checks ----
    void StartProgram();
    void PauseProgram(IPO::StopReason reason);
    void StopProgram(IPO::StopReason reason);
    void StopLogicProgram(IPO::StopReason reason);
    // ---- The operator's stop, whatever its source (remote client, console, display, PLC,
    // Modbus, function button). Stops the program and any direct move, clears the jog values
    // and, through the listeners, every source's jog values and the start-like commands
    // still waiting, so a stop always wins over a start given before it. Any thread.
    // `sequence` is the stop's place among the commands (NextCommandSequence); 0: now.
    void OperatorStop(IPO::StopReason reason, uint64_t sequence = 0);
    // Called by every operator stop, on the stopping thread, with the stop's sequence.
    void AddOperatorStopListener(std::function<void(uint64_t)> listener);
    // Places commands in time: one taken before an operator stop has a smaller number.
    uint64_t NextCommandSequence() { return ++commandSequence; }
    // True when an operator stop came after the command numbered `sequence`.
    bool StoppedSince(uint64_t sequence) const { return stopHorizon.load() > sequence; }
    // Counts operator stops, for the jog values gathered before one.
    uint64_t GetOperatorStops() const { return operatorStops.load(); }
    // Starts the program unless an operator stop came after the command numbered
    // `sequence`; a stop that comes during the start stops it again.
    bool StartProgramUnlessStopped(uint64_t sequence);
    // Hands the jog values on unless an operator stop came after `stopsSeen` was read.
    void SetJogValuesUnlessStopped(const float values[9], uint64_t stopsSeen);
    // Stops the program, then loads the file and starts it on a detached thread.
    void LoadProgramAndStartAsync(const std::string& file, IPO::StopReason reason);
    static void LoadProgramAndStartAsyncThread(RobotMaster* robotMaster, std::string file);
    void StartStopEM67FSM();
    void SetEM67ManualOperation();
    // External-axis velocities kept across a pause of the program.
    void StoreProgramVelocities();
    void RestoreProgramVelocities();
    bool IsMoving() const;
    void ErrorStateProgram(IPO::StopReason reason, bool flag, const std::string& text);
    void DeleteProgram();
    void DeleteLogicProgram();
    void SetBrake(bool release, bool now);
    void DOutResetOnError(bool applyBrake);
    void DOutResetOnReset();
    void IPOError(IPO* ipo, bool resetOutputs);
    static void IPOErrorFunc(void* context, IPO* ipo, bool resetOutputs);
    // Output 0..63 of the robot; from another thread it takes effect in the next cycle.
    void SetManualDOut(int channel, bool value);
    // Global signal 0..99; from another thread it takes effect in the next cycle.
    void SetGlobalSignal(int index, bool value);
    // Gripper opening 0..100, only while no interpreter has a command active;
    // from another thread it takes effect in the next cycle.
    void SetGripperPosition(float value);
    // Jog values in percent, each limited to -100..100, held for 30 cycles.
    void SetJogValues(const float values[9]);
    void GetJogValues(float values[9]) const;
    // Every cycle: counts the hold down, then lets the values decay by 0.05.
    void CheckJogValues();
    void ResetVelocities();

    // ---- ProjectTarget: values of the project file ----
    void SetHomePos(const double joints[9]) override;
    void SetVirtualBox(bool active, const DataTypes::Vector3& min, const DataTypes::Vector3& max) override;
    void SetProgramDefaultState(int32_t state) override;
    void SetExternalAxis(const ExternalAxis& axis) override;
    void SetDOutOnReset(int32_t channel, DOutTargetState state) override;
    void SetDOutOnError(int32_t channel, DOutTargetState state) override;
    void AddPLCTrigger(const PLCTrigger::PLCInterfaceTrigger& trigger) override;
    std::vector<PLCTrigger::PLCInterfaceTrigger> GetPLCTriggers() const override;
    bool HasExternalAxis(int32_t index) const override;
    // Throws std::out_of_range outside 0..2 and std::invalid_argument for an undefined slot.
    ExternalAxis GetExternalAxis(int32_t index) const override;
    DOutTargetState GetDOutOnReset(int32_t channel) const override;
    DOutTargetState GetDOutOnError(int32_t channel) const override;
    bool GetVirtualBox(bool& active, DataTypes::Vector3& min, DataTypes::Vector3& max) const override;
    bool GetDIOModuleIDs(uint8_t& id1, uint8_t& id2, uint8_t& id3) const override;
    std::string GetProgramFile() const override;
    std::string GetLogicProgramFile() const override;
    int32_t GetReplayMode() const override;
    float GetOverride() const override { return override.load(); }
    int32_t GetProgramDefaultState() const override;

    // Runs `change` with the working state locked, so the robot thread sees a
    // changed group of settings (limits, virtual box, PLC record, brake,
    // output states) whole, never half of it; also for another thread's work
    // that reads the working state.
    void ChangeSettings(const std::function<void()>& change);
    // Brake output and E-stop input (-1 none, else 0..63); a negative delay keeps the delay.
    void SetBrakeSettings(int32_t doutChannel, int32_t delayMs, int32_t dinChannel);

    void RemoveExternalAxis(int32_t index);
    void ClearExternalAxes();
    void ClearPLCTriggers();
    void GetHomePos(double joints[9]) const;

    // ---- Interpreters, program memory, cell state machine ----
    Programs::ProgramMemory programMemory;
    IPO ipoMain{IPO::IpoTypeMain};
    IPO ipoLogic{IPO::IpoTypeLogic};
    IPO ipoDirect{IPO::IpoTypeDirect};
    TavixStateMachine::StateMachineDIZ stateMachine;

    // Program velocity override, percent.
    std::atomic<float> override{100.0f};
    std::atomic<int32_t> motionType{MotionTypeRobotJoint};
    std::atomic<bool> fsmActive{false};
    // The display's jog bias from the robot file, kept for the display link.
    std::atomic<int32_t> jogBias{30};

private:
    void MoveModelTo(const float* joints, const char* during);

    // ---- Robot thread ----
    struct CycleClock;
    // Steps 5..23 of a cycle with the working state locked; sets `waited` once
    // the end-of-cycle wait of timing mode 2 ran (the lock is let go meanwhile).
    void RunCycle(CycleClock& clock, std::unique_lock<std::mutex>& lock, bool& waited);
    // The operating mode this cycle uses (0 when operation modes are not configured).
    int32_t UpdateOperationMode();
    void HandleErrorStateChange();
    void SelectMotionSource(int32_t operationMode);
    void RunInterpreter(IPO& ipo);
    void RunLogicProgram();
    void UpdateTool();
    void WriteOutputsToBus();
    void ReadInputsAndEStop();
    void ReadBack();
    void WaitEndOfCycle(CycleClock& clock);
    void SendAndReadJoints();
    void UpdateStatistics(CycleClock& clock);
    void ApplyMailboxes();
    bool OnRobotThreadOrIdle() const;
    // True once every joint reported its position; off the robot thread it
    // gives the cycle up to a second to read them.
    bool WaitForJointPositions();
    // Referencing and set to zero: a running or paused program and a move end first (REFERENCING).
    void StopMotionForReferencing();
    // Locks the working state unless the caller is the robot thread, which holds it during a cycle.
    std::unique_lock<std::mutex> LockWorkingState();
    // The output as the caller's thread sees it (the working state on the robot thread).
    bool GetOutput(int channel) const;
    void StoreCycleTime(int64_t cycleTimeUs);
    // Motion sources and PLC steps that the cycle calls at their place.
    void JogMotion(int32_t operationMode);
    // A jog requested while a program or a move claims the cycle: shown once, and dropped.
    void RefuseJog(const float jog[9], const char* message);
    void JogJoints(const float jog[9], int32_t operationMode);
    void JogCartesian(const float jog[9], int32_t operationMode, bool toolFrame);
    // The Modbus velocity of every external axis in velocity mode into the state.
    void TakeModbusVelocities();
    bool IsExternalVelocityAxis(int slot) const;
    // Not connected, or referencing not mandatory, or referenced.
    bool IsCartesianMotionAllowed();
    void StepPLCReferencing();
    void WritePLCOutputs();
    void ServePLCInputs();
    void ScanPLCTriggers();
    void CheckRunStateChanged();
    // Called by the robot program's interpreter before it pauses a running program.
    void OnProgramPausing(IPO::StopReason reason);
    std::time_t Now() const;

    // ---- Set-up ----
    void CreatePlaceholderObjects();

    // ---- Texts of the project and of the robot file ----
    std::string robotName;
    std::string robotType;
    std::string kinematicType = "Delta";
    std::string protocolType = "VQTCAN";
    std::string robotFile;
    int32_t VelocitySetting = 0;

    // ---- Operator stops ----
    std::atomic<uint64_t> commandSequence{0};
    std::atomic<uint64_t> stopHorizon{0};    // the latest operator stop's sequence
    std::atomic<uint64_t> operatorStops{0};  // raised under jogMutex
    std::mutex stopListenersMutex;
    std::vector<std::function<void(uint64_t)>> stopListeners;
    // ---- Jogging ----
    bool jogMessageShown = false;
    // Robot thread: a refused jog is still requested; no jog until it is let go.
    bool jogRefused = false;
    mutable std::mutex jogMutex;  // guards currentJogValues and jogHoldCycles
    int32_t jogHoldCycles = 0;
    float currentJogValues[9] = {};
    float JogJoint = 1.0f;
    float JogCart[3] = {100.0f, 100.0f, 100.0f};
    float JogOri[3] = {30.0f, 30.0f, 30.0f};
    double jointMaxVelocity[9] = {};
    double jointMaxAcceleration[9] = {};
    double jointMaxAccelerationInc[9] = {};
    double cartTransVelocity = 0.0;
    double cartLinearAcceleration = 0.0;
    double cartLinearAccelerationInc = 0.0;
    double cartOriVelocity = 0.0;
    double cartOriAcceleration = 0.0;
    double cartOriAccelerationInc = 0.0;

    // ---- External axes (guarded by axesMutex) ----
    mutable std::mutex axesMutex;
    ExternalAxis externalAxes[3];
    bool externalAxisDefined[3] = {false, false, false};

    // ---- Zero torque ----
    std::vector<bool> zeroTorqueAllowed = std::vector<bool>(16, false);
    std::atomic<bool> zeroTorqueEnabled{false};

    // ---- Jog ramps (robot thread; other threads reset them with the working state locked) ----
    JogAccelControlJoint jogAccelJoint;
    JogAccelControlCart jogAccelCart;
    // A copy of the model on which the velocity-limited joint jog tries its step.
    std::unique_ptr<RobotKinematic> jogTrialKinematic;

    // ---- Jog ramps (robot file "AccelerationJog") ----
    bool AccelerationJogActive = false;
    float AccelJogJointDegPerSec2 = 90.0f;
    float FastDecelJogJointDegPerSec2 = 360.0f;
    float AccelJogCartMMPerSec2 = 500.0f;
    float FastDecelJogCartMMPerSec2 = 1500.0f;
    float AccelJogCartDegPerSec2 = 45.0f;
    float FastDecelJogCartDegPerSec2 = 180.0f;
    float AccelJogJoint[9] = {};   // AJJA0..AJJA5, AJJE0..AJJE2
    float FastDecelJogJoint[9] = {};  // DJJA0..DJJA5, DJJE0..DJJE2

    DataTypes::Vector3 lastTcpPosition;
    float tcpSpeed = 0.0f;

    // ---- Operation modes ----
    std::atomic<bool> operationModesEnabled{false};
    std::atomic<int32_t> currentOperationMode{OperationModeNoMotion};
    float ManualMaxVelMMPerSec = 250.0f;
    int32_t DInEnableMotionInManualMode = -1;
    int32_t DInOpModeAuto = -1;
    bool speedReductionMessageArmed = true;

    // ---- PLC triggers (guarded by plcMutex) ----
    mutable std::mutex plcMutex;
    std::vector<PLCTrigger::PLCInterfaceTrigger> plcTriggers;
    uint32_t plcTriggerCount = 0;
    // Per slot, the invalid channel already reported (channel * 2 + signal type), else -1.
    std::array<int32_t, MaxPLCTriggers> invalidTriggerReported = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

    // ---- Path generation ----
    int32_t GeneratorType = 0;
    int32_t LookAhead = 3;
    float SmoothDistCart = 100.0f;
    float SmoothDistJoint = 10.0f;

    // ---- Robot states ----
    // Held by the robot thread during a cycle and by other threads that change the working state.
    std::mutex workingMutex;
    DataTypes::RobotState workingState;
    DataTypes::RobotState logicState;
    mutable std::mutex publishedMutex;  // guards publishedState
    DataTypes::RobotState publishedState;
    // Written by a pause from the main loop too.
    std::atomic<int32_t> lastRunState{1};
    // Velocities of the external joints 7 to 9 kept while the program is paused.
    float pausedVelocities[3] = {};
    // Detached program loads in progress; the destructor waits for them.
    std::atomic<int32_t> asyncLoads{0};

    // ---- Controller settings of the robot file ----
    bool DebugMode = false;
    std::string DisplayPort = "/dev/ttyO1";
    bool IgnoreConsistencyCheck = false;
    std::string FunctionButtonRefAll = "refall";

    // ---- Timing and statistics ----
    int32_t CycleTimeMS = 200;
    std::atomic<float> frequency{0.0f};
    std::atomic<int32_t> maxCycleTime{0};
    // Starts high so the first measured cycle sets it.
    std::atomic<int32_t> minCycleTime{99999999};
    std::atomic<float> workload{0.0f};
    float busyTimeSum = 0.0f;
    CycleObserver cycleObserver;
    int32_t spare = 0;
    int32_t TimingMode = 0;
    bool PreciseTiming = false;
    int32_t SpinMarginUs = CycleWait::DefaultMarginUs;
    CycleWait::SleepUntilFunction cycleSleeper = CycleWait::SleepUntilMonotonicUs;
    RepeatedEventLog::NowFunction lateCycleLogNow = RepeatedEventLog::Clock::now;
    std::atomic<bool> stopLoop{false};
    std::atomic<bool> cycleSuspended{true};
    // Driver operations of other threads in progress; each suspends the cycle too.
    std::atomic<int32_t> cycleSuspensions{0};

    // ---- PLC interface ----
    bool plcInputLevels[7] = {false, false, false, false, false, false, false};
    std::atomic<bool> refSequenceActive{false};
    bool wasReferencing = false;
    timespec lastRefTime{0, 0};
    int32_t refStep = 0;
    int32_t refRetryCount = 0;

    // ---- Model and driver (the driver holds a pointer to the model, so it goes first) ----
    std::unique_ptr<RobotKinematic> kinematic;
    std::unique_ptr<RobotKinematic> kinematicCopy;
    std::unique_ptr<Hardware::HardwareProtocol> hardware;

    // Outputs set once that no module of this robot receives (robot thread).
    std::array<bool, 64> unreachableOutputReported{};

    // ---- Brake and E-stop ----
    std::atomic<bool> brakeReleasePending{false};
    std::atomic<uint64_t> brakeReleaseRequestTime{0};  // monotonic microseconds
    // Read by every thread; a remote change writes all three under the working-state lock.
    std::atomic<int32_t> DelayMS{500};
    std::atomic<int32_t> DOutChannel{-1};
    std::atomic<int32_t> DInChannel{-1};
    std::atomic<bool> lastEStopLevel{false};
    std::array<std::atomic<DOutTargetState>, 64> doutOnReset;
    std::array<std::atomic<DOutTargetState>, 64> doutOnError;

    double homePosition[9] = {};

    // ---- Delayed robot-file rewrite ----
    int32_t robotFileMaxDelay = 15;
    int32_t robotFileQuietTime = 3;
    std::atomic<int64_t> robotFileFirstRequest{0};
    std::atomic<int64_t> robotFileLastRequest{0};
    std::mutex robotFileMutex;  // serialises rewrites of the robot file
    Clock clock;

    // ---- Mailboxes from other threads: -1 nothing pending, else the value ----
    std::array<std::atomic<int8_t>, 64> pendingDOut;
    std::array<std::atomic<int8_t>, 100> pendingGlobalSignal;
    std::atomic<float> pendingGripper{-1.0f};  // below 0: nothing pending

    std::thread robotThread;
    // Set while the robot thread exists; other threads then use the mailboxes.
    std::atomic<bool> robotThreadActive{false};
    std::atomic<std::thread::id> robotThreadId{};
};
