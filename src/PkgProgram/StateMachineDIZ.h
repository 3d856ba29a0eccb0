#pragma once
// The cell state machine that runs the robot as the part-removal handler of
// an injection-moulding machine (EM67 handshake on the digital I/O): six
// phase programs run through the main interpreter as the machine's signals
// allow, and the handshake outputs are set when a phase is done.
//
// ProcessFSM runs on the robot thread; Init, Stop and SetManualMode run on
// their callers' threads, and Stop also from inside ProcessFSM. The fields
// they share are atomics, so no lock is held that the robot thread waits on.

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

class RobotMaster;
class IPO;
namespace DataTypes {
class RobotState;
}

namespace TavixStateMachine {

class StateMachineDIZ {
public:
    StateMachineDIZ();
    virtual ~StateMachineDIZ();

    // Set by the owner: outputs, motion mode and program start go through the
    // robot master, the phase programs through its main interpreter.
    void SetRobotMaster(RobotMaster* robotMaster);
    void SetIPO(IPO* ipo);
    // The motion type that Stop restores (the robot master's when the cell starts).
    void SetMotionTypeToRestore(int32_t motionType) { savedMotionType = motionType; }

    void Init();
    void Stop();
    // The machine's automatic-mode signal in the given state.
    bool GetActive(const DataTypes::RobotState& state) const;
    void SetManualMode();
    // One step; called by the robot thread while the cell is active.
    void ProcessFSM(const DataTypes::RobotState& state);
    void SetWaitTime(int ms);

    void TriggerStartAction(const DataTypes::RobotState& state);
    void TriggerIdleAction(const DataTypes::RobotState& state);
    void TriggerInMouldAction(const DataTypes::RobotState& state);
    void TriggerInMouldEjectorFrontAction(const DataTypes::RobotState& state);
    void TriggerInMouldEjectorBackAction(const DataTypes::RobotState& state);
    void TriggerOutOfMouldAction(const DataTypes::RobotState& state);
    void TriggerFaultAction(const DataTypes::RobotState& state);

    int GetState() const { return state; }
    int GetSubStep() const { return subStep; }

    static constexpr int StateStart = 0;
    static constexpr int StateIdle = 1;
    static constexpr int StateInMould = 2;
    static constexpr int StateEjectorFront = 3;
    static constexpr int StateEjectorBack = 4;
    static constexpr int StateOutOfMould = 5;
    static constexpr int StateFault = 6;

    // Channels of the handshake (indexes into the 64 digital outputs / inputs).
    int releaseOutput1 = 30;
    int releaseOutput2 = 31;
    int spareOutput = 0;
    int manualOutput = 32;
    int ejectorBackOutput = 33;
    int ejectorFrontOutput = 34;
    int failureOutput = 25;
    int input30 = 30;
    int input31 = 31;
    int autoInput = 32;
    int input34 = 34;
    int input33 = 33;

    static const char* const ProgramFiles[6];

private:
    // The phase sequence of the state's program: load, start, wait for its end.
    // True once the program has ended; the caller then sets the phase's outputs.
    bool RunPhase(const char* file, bool busyBeforeFirstStep, bool waitAfterStart);
    // Loading, or the program still running.
    bool IsBusy() const;
    void Fault(const std::string& reason);
    // Moves on unless Init or Stop started a new run meanwhile.
    void Advance(int nextState);
    void SetOutput(int channel, bool on);
    static bool Input(const DataTypes::RobotState& state, int channel);

    std::atomic<int> state{StateIdle};
    std::atomic<int64_t> waitUntilNs{0};  // monotonic clock
    std::atomic<int64_t> nowNs{0};
    RobotMaster* robotMaster = nullptr;
    IPO* ipo = nullptr;
    std::atomic<int> subStep{0};
    std::atomic<int32_t> savedMotionType{0};
    // Counts Init and Stop; a step that began under an older count changes nothing.
    std::atomic<uint32_t> run{0};
    uint32_t errorStopsAtStart = 0;  // robot thread: the interpreter's error stops when the phase program started
    uint32_t stepRun = 0;  // robot thread: the count the running step began under
};

}  // namespace TavixStateMachine
