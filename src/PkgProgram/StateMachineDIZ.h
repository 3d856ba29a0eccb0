#pragma once
// The cell state machine that runs the robot as the part-removal handler of
// an injection-moulding machine (EM67 handshake on the digital I/O). The
// phase programs and the handshake join this class later; until then it
// stays in its start state and a cycle step does nothing.

#include <atomic>
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
    // Stopped from any interpreter's thread while the robot thread steps the cell.
    std::atomic<int> state{1};
    timespec waitUntil{0, 0};
    timespec now{0, 0};
    RobotMaster* robotMaster = nullptr;
    IPO* ipo = nullptr;
};

}  // namespace TavixStateMachine
