#pragma once
// The Cartesian path generator: turns a chain of queued motion commands of one
// kind into main elements (lines, arcs or joint moves) with a blend between
// each two, plans their profiles on the planning thread, and samples the path
// each cycle under a Cartesian speed limit.

#include <functional>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "PkgProgram/PathElement.h"
#include "PkgProgram/PathGenerator.h"
#include "datatypes/RobotState.h"

class CircleParameters;

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
    // What the last planning did: how often it built the whole path, and how many main elements it
    // planned in all (the whole paths and the elements planned on their own to decide a corner).
    struct PlanningWork {
        int wholePaths = 0;
        long mainElements = 0;
    };
    PlanningWork LastPlanningWork() const { return work; }
    const std::vector<float>& EndTimes() const { return endTimes; }
    int CurrentElement() const { return currentElement; }
    CommandType PathKind() const { return pathKind; }

private:
    // Joint path: slows each blend and the ends of the elements it joins until every joint keeps
    // its velocity and acceleration limits through the blend, entering and leaving at the
    // velocities those elements reach.
    struct MainSettings {
        DataTypes::RobotState target;
        std::shared_ptr<const CircleParameters> circle;  // a circular element's arc, else null
        DataTypes::RobotState segmentStart;  // before its cut
        float velocity = 0.0f;
        float startVelocity = 0.0f;
        float endVelocity = 0.0f;
        float acceleration = 0.0f;
        float cutStart = 0.0f;
        float cutEnd = 0.0f;
    };
    // Returns per blend the share of its neighbours' speed it is passed at. Each blend is checked
    // again only when an element beside it changed.
    std::vector<float> LimitJointBlends(const std::vector<MainSettings>& mains, const std::vector<bool>& stopCorner,
                                        const std::function<void(Programs::PathElement&)>& limits);
    // A main element planned on its own: slowed to `share` of its speed, with a stop at its start
    // or end in place of the blend there.
    std::shared_ptr<Programs::PathElement> PlanMain(const MainSettings& s, const Programs::PathElement& old,
                                                         float share, bool stopAtStart, bool stopAtEnd,
                                                         const std::function<void(Programs::PathElement&)>& limits);
    // Decides each slowed joint blend from the elements beside it: kept, or an exact stop at its
    // corner where that is quicker there or the blend would crawl. True when a corner became a stop.
    bool DecideJointCorners(const std::vector<MainSettings>& mains, std::vector<bool> stopCorner,
                            const std::vector<float>& scale, std::vector<bool>& forcedStop,
                            const std::function<void(Programs::PathElement&)>& limits);
    // Below this share of the taught speed a joint blend is an exact stop at its corner.
    static constexpr float MinimumBlendShare = 0.25f;
    // A whole plan, kept to compare it with the same path with a stop at every corner.
    struct JointPlan {
        std::vector<std::shared_ptr<Programs::PathElement>> elements;
        std::vector<float> endTimes;
        std::vector<float> reached;
        std::vector<float> scale;
        std::vector<bool> forcedStop;
        float total = std::numeric_limits<float>::max();
    };
    // One line per blend that was slowed or turned into a stop.
    void LogJointBlends(const std::vector<bool>& forcedStop, const std::vector<float>& scale);
    // Cartesian path: walks the planned path with the inverse kinematics and lowers the velocity
    // scale of each command whose path drives a joint past its velocity limit (logged once per
    // planning, with the joint); a blend that does becomes a stop at its corner (logged). A blend
    // that drives a joint past its acceleration limit is slowed, with the two commands it joins,
    // or becomes a stop at its corner, whichever is quicker there; on the last attempt it becomes
    // a stop. True when a command or blend was slowed or a blend stopped.
    bool SlowForJointLimits(std::vector<float>& velocityScale, std::vector<float>& blendShare,
                            std::vector<bool>& forcedStop, const std::vector<MainSettings>& mains,
                            const std::function<void(Programs::PathElement&)>& limits, bool lastAttempt);
    // Walks the planned path one 10 ms cycle of path time at a time with the inverse kinematics, as
    // the robot will run it, calling `visit` with the element, the joints and the time stepped (ms).
    // Returns the kinematic code where it fails (0: it reached the end), with the last time reached.
    int WalkPath(const std::function<void(std::size_t, const float*, double)>& visit, double& reached) const;
    // Walks the final Cartesian path with the inverse kinematics; where it fails, sets the braking below.
    void PlanBrakeBeforeFailure();
    // How far the blend goes past the joints' limits: the larger of the velocity ratio and the
    // square root of the acceleration ratio (a blend slowed by c accelerates by c squared); 1 or less is within.
    float JointBlendExcess(const Programs::PathElement& blend, const float* in, const float* out,
                           float accelerationFactor) const;
    float smoothDistCart;
    float smoothDistJoint;
    PlanningWork work;
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
    // A Cartesian path that fails between valid targets: the arm brakes within the joints'
    // acceleration and jerk limits to stand before the failing point, then the code is reported.
    int failCode = 0;
    double brakeStart = 0.0;  // path time, ms
    double stopTime = 0.0;    // path time of the last reachable cycle, ms
    // While braking: (path time, path speed there, 1 = as planned), by path time.
    std::vector<std::pair<double, double>> brakeSpeeds;
    // The path speed the braking allows at a path time (1 before it starts).
    double BrakeSpeedAt(double t) const;
};
