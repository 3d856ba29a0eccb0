#pragma once
// Base of the path planners an interpreter owns. The interpreter queues the
// motion command about to run plus its look-ahead, then starts planning on a
// detached thread; the robot thread polls the atomic flags and samples the
// path once it is available.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PkgProgram/IPO.h"

class Command;
class RobotKinematic;
namespace DataTypes {
class RobotState;
}

// Per-axis acceleration limits, scaled by the running command's percentage.
class AccHandler {
public:
    AccHandler() = default;
    AccHandler(float maxAcc, float extra);
    // current[i] := maximum[i] x percentage / 100; the argument is not used.
    float* RequestAcc(float unused);
    void ResetAcc();

    float current[9] = {};
    float percentage = 100.0f;
    float maximum[9] = {};
    float extra = 0.0f;
};

class PathGenerator {
public:
    explicit PathGenerator(int lookAhead);
    // Waits for a running planning to end: the thread works on this object. A
    // derived generator waits in its own destructor, before its members go.
    virtual ~PathGenerator();
    PathGenerator(const PathGenerator&) = delete;
    PathGenerator& operator=(const PathGenerator&) = delete;

    virtual void ComputePath() = 0;
    // Returns -1 while the path is not finished, else the successor of its last command.
    virtual int GetJointPosition(long timeFrom, long timeTo, long cycleTime, const DataTypes::RobotState& current,
                                 double velocityLimit, float* joints, int& commandIndex, long& usedTime) = 0;
    virtual void InitVelAcc(const float* jointVel, const float* jointAcc, const float* jointAccInc, double cartVel,
                            double cartAcc, double cartAccInc, double oriVel, double oriAcc, double oriAccInc) = 0;
    virtual void Init(bool optimize, int slicingMs, bool silent) = 0;
    virtual void SetFirstCmd(std::shared_ptr<Command> cmd, DataTypes::RobotState* start, int commandIndex,
                             int successorIndex) = 0;
    virtual void SetNextCmd(std::shared_ptr<Command> cmd, int commandIndex, int successorIndex);

    void ComputePathStartThread();
    void SetLookAhead(int n);
    int GetLookAhead() const { return lookAhead; }
    void SetPathUnavailable();
    bool IsPathGenWorking() const { return working.load(); }
    bool IsPathAvailable() const { return available.load(); }
    bool IsPathGenerationFailed() const { return failed.load(); }
    void ResetError() { failed = false; }
    std::string GetGenerationError() const;
    // Asks a running planning to stop and waits until its thread has let go.
    void AbortAndWait();

    static float signum(float v) { return v > 0.0f ? 1.0f : (v < 0.0f ? -1.0f : 0.0f); }
    static long maximum(long a, long b) { return a > b ? a : b; }

    IPO::HXPCallback eventCallback = nullptr;
    RobotKinematic* kinematic = nullptr;  // owned by the interpreter
    int axisCount = 9;
    int queuedCount = 0;
    std::vector<std::shared_ptr<Command>> commandQueue;
    std::vector<int> commandIndexList;
    std::vector<int> successorIndexList;
    bool silent = true;
    bool debug = false;
    bool optimize = false;
    AccHandler accHandler;

protected:
    void ThreadPathGeneration();
    void SetGenerationError(const std::string& text);
    // The queued targets as the kinematics take them (joint limits and virtual box of a joint
    // target, inverse kinematics of a Cartesian one), in queue order from the start state, so
    // that an invalid target is refused before any motion. With offsets, the interpreter's
    // offsets that the commands themselves apply are added. Returns the kinematic code of the
    // first refused target (0 when all are valid; its index in refusedCommand), logs it, and
    // leaves the kinematic on the start joints. A Cartesian target's joints are followed along
    // the move from the one before (a line, or a circular move's arc), as the path turns them:
    // the wrist and the base end on the turn the arm really reaches. Failures on the way are
    // left to the walked path, which brakes before them.
    int CheckTargets(const DataTypes::RobotState& start, bool withOffsets);
    void SetAvailable(bool value) { available = value; }
    void SetFailed(bool value) { failed = value; }

    int lookAhead;
    int refusedCommand = -1;  // index of the command whose target CheckTargets refused
    std::recursive_mutex planningMutex;
    std::atomic<bool> abortRequest{false};
    std::atomic<bool> working{false};
    std::atomic<bool> available{false};
    std::atomic<bool> failed{false};

private:
    mutable std::mutex errorMutex;  // the text is read on the robot thread while planning writes it
    std::string errorText;
};
