#pragma once
// The Cartesian path generator: turns a chain of queued motion commands of one
// kind into main elements (lines, arcs or joint moves) with a blend between
// each two, plans their profiles on the planning thread, and samples the path
// each cycle under a Cartesian speed limit.

#include <memory>
#include <vector>

#include "PkgProgram/PathElement.h"
#include "PkgProgram/PathGenerator.h"
#include "datatypes/RobotState.h"

class PathGenerator_02Linear : public PathGenerator {
public:
    using CommandType = int32_t;

    PathGenerator_02Linear(float smoothDistCart, float smoothDistJoint, int lookAhead);
    // Waits for its planning thread before the elements it writes go away.
    ~PathGenerator_02Linear() override;

    void ComputePath() override;
    int GetJointPosition(long timeFrom, long timeTo, long cycleTime, const DataTypes::RobotState& current,
                         double velocityLimit, float* joints, int& commandIndex, long& usedTime) override;
    void InitVelAcc(const float* jointVel, const float* jointAcc, const float* jointAccInc, double cartVel,
                    double cartAcc, double cartAccInc, double oriVel, double oriAcc, double oriAccInc) override;
    void Init(bool optimize, int slicingMs, bool silent) override;
    // Throws std::logic_error while a planning holds the generator.
    void SetFirstCmd(std::shared_ptr<Command> cmd, DataTypes::RobotState* start, int commandIndex,
                     int successorIndex) override;
    void SetNextCmd(std::shared_ptr<Command> cmd, int commandIndex, int successorIndex) override;

    // Times in ms of path time; returns the element's result (0 inside the path, 1 past its end).
    int CalculatePosition(const DataTypes::RobotState& current, int startElement, double t0, double t1,
                          double cycleTime, double velocityLimit, float* joints, int& element, double& usedDt,
                          int recursionsLeft) const;
    // Completes a state an element produced: joints by inverse kinematics (Cartesian) or the pose
    // by forward kinematics (joint paths). Kinematic error codes pass to the caller.
    void TransformPosition(CommandType kind, DataTypes::RobotState& state) const;
    void DeleteElements();

    const std::vector<std::shared_ptr<Programs::PathElement>>& Elements() const { return elements; }
    const std::vector<float>& EndTimes() const { return endTimes; }
    int CurrentElement() const { return currentElement; }
    CommandType PathKind() const { return pathKind; }

private:
    float smoothDistCart;
    float smoothDistJoint;
    float jointVelocityLimits[9] = {};
    float jointAccelerationLimits[9] = {};
    float jointJerkLimits[9] = {};
    float cartVelocity = 0.0f;
    float cartAcceleration = 0.0f;
    float cartJerk = 0.0f;
    float oriVelocity = 0.0f;
    float oriAcceleration = 0.0f;
    float oriJerk = 0.0f;
    std::vector<std::shared_ptr<Programs::PathElement>> elements;
    std::vector<float> endTimes;
    int currentElement = 0;
    DataTypes::RobotState startState;
    CommandType pathKind = 1;
    bool chainBroken = false;
    int refusedCode = 0;  // kinematic code of a target refused at planning: the path ends before any motion
};
