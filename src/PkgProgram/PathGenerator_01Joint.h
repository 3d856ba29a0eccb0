#pragma once
// The joint path generator: plans by running each queued command's own
// interpolation at a fixed slicing period, stores the joint samples, and with
// optimisation rounds the corners and re-times the samples so the six robot
// joints stay inside their acceleration limits. Sampled by time at run time.

#include <vector>

#include "PkgProgram/PathGenerator.h"
#include "datatypes/RobotState.h"

class JointSet {
public:
    JointSet() = default;
    explicit JointSet(int axes);
    JointSet(int axes, const float* joints, long time, long slicing, int commandIndex, int successorIndex,
             const float* accLimits);
    JointSet(const JointSet& other);
    JointSet& operator=(const JointSet& other) = default;
    virtual ~JointSet() = default;

    int axisCount = 9;
    float joints[9] = {};
    float velocities[9] = {};
    float accelerations[9] = {};
    float accLimits[9] = {};
    float peakAcceleration = -1.0f;  // largest by magnitude of the limited joints
    int peakAxis = -1;
    int commandIndex = -1;
    int successorIndex = -1;
};

class PathGenerator_01Joint : public PathGenerator {
public:
    explicit PathGenerator_01Joint(int lookAhead);
    // Waits for its planning thread before the paths it writes go away.
    ~PathGenerator_01Joint() override;

    void ComputePath() override;
    int GetJointPosition(long timeFrom, long timeTo, long cycleTime, const DataTypes::RobotState& current,
                         double velocityLimit, float* joints, int& commandIndex, long& usedTime) override;
    void InitVelAcc(const float* jointVel, const float* jointAcc, const float* jointAccInc, double cartVel,
                    double cartAcc, double cartAccInc, double oriVel, double oriAcc, double oriAccInc) override;
    void Init(bool optimize, int slicingMs, bool silent) override;
    void SetFirstCmd(std::shared_ptr<Command> cmd, DataTypes::RobotState* start, int commandIndex,
                     int successorIndex) override;

    // Diagnostics: throws when consecutive samples jump by more than 2 units.
    void CheckPath(const std::vector<JointSet>* path);
    void PrintPath(const std::vector<JointSet>* path);

    long GetSlicingTime() const { return slicingTime; }
    // The path that run-time sampling reads (final with optimisation, else raw).
    const std::vector<JointSet>& SampledPath() const { return optimize ? finalPath : rawPath; }

    bool sampleTrace = false;

private:
    // The largest joint speed over its limit between the raw samples from `from` on, with its joint.
    float PeakVelocityRatio(std::size_t from, int& joint) const;
    float jointVelocityLimits[9] = {};  // 0: not limited
    void SmoothCorner();
    void ComputeAcceleration(JointSet& sample, const JointSet& previous) const;
    void LimitForward();
    void LimitBackward();
    void Turn();
    JointSet GetJointsAt(long time, const std::vector<JointSet>& path) const;
    // Re-times one sample against its predecessor; true when an axis had to be slowed.
    bool LimitFactor(const JointSet& candidate, const JointSet& previous, float& factor, int& limitingAxis) const;
    void ReportError(int stage, const char* what);

    int errorCode = 0;
    DataTypes::RobotState startState;
    std::vector<int> cornerIndexList;
    std::vector<float> cornerSmoothingList;
    long slicingTime = 50000;
    long slicingMin = 5;
    long slicingMax = 100;
    long pathTime = 0;
    std::vector<JointSet> rawPath;
    std::vector<JointSet> forwardPath;
    std::vector<JointSet> backwardPath;
    std::vector<JointSet> finalPath;
};
