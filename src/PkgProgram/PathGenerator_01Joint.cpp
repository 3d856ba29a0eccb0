#include "PkgProgram/PathGenerator_01Joint.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "PkgProgram/Command.h"
#include "common/LogSingleton.h"
#include "datatypes/BezierCasteljau.h"
#include "kinematics/RobotKinematic.h"

namespace {

// The robot's six joints keep the acceleration limits of the robot file, the wrist's as well: a
// drive lags (and faults) as much on joint 6 as on joint 1 when its set-points outrun it.
constexpr int LimitedJoints = 6;

// Real time in tenths of a millisecond.
long long TenthsOfMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<long long>(now.tv_sec) * 10000 + now.tv_nsec / 100000;
}

}  // namespace

JointSet::JointSet(int axes) : axisCount(axes) {}

JointSet::JointSet(int axes, const float* values, long /*time*/, long /*slicing*/, int command, int successor,
                   const float* limits)
    : axisCount(axes), commandIndex(command), successorIndex(successor) {
    for (int i = 0; i < 9 && i < axes; ++i) {
        joints[i] = values[i];
        accLimits[i] = limits != nullptr ? limits[i] : 0.0f;
    }
}

JointSet::JointSet(const JointSet& other)
    : axisCount(other.axisCount),
      peakAcceleration(0.0f),
      peakAxis(-1),
      commandIndex(other.commandIndex),
      successorIndex(other.successorIndex) {
    for (int i = 0; i < 9; ++i) {
        joints[i] = other.joints[i];
        velocities[i] = other.velocities[i];
        accelerations[i] = other.accelerations[i];
        accLimits[i] = other.accLimits[i];
    }
}

PathGenerator_01Joint::PathGenerator_01Joint(int look) : PathGenerator(look) { accHandler = AccHandler(300.0f, 2.0f); }

PathGenerator_01Joint::~PathGenerator_01Joint() { AbortAndWait(); }

void PathGenerator_01Joint::Init(bool optimizeFlag, int slicingMs, bool silentFlag) {
    LogSingleton* log = LogSingleton::instance();
    optimize = optimizeFlag;
    if (slicingMs >= slicingMin && slicingMs <= slicingMax) {
        slicingTime = 1000L * slicingMs;
    } else {
        log->addFormat("PathGenerator_01Joint: SlicingMS from ini File smaller/bigger than min/max: %ld <= %d <= %ld",
                       slicingMin, slicingMs, slicingMax);
    }
    if (!silentFlag)
        log->addFormat("PathGenerator_01Joint: Optimize: %d LookAhead: %d SlicingMS: %ld", optimize ? 1 : 0,
                       lookAhead, slicingTime / 1000);
}

float PathGenerator_01Joint::PeakVelocityRatio(std::size_t from, int& joint) const {
    const float f = 1000000.0f / static_cast<float>(slicingTime);
    float worst = 0.0f;
    for (std::size_t k = from + 1; k < rawPath.size(); ++k) {
        for (int i = 0; i < 6; ++i) {
            if (!(jointVelocityLimits[i] > 0.0f)) continue;
            const float ratio = std::fabs(rawPath[k].joints[i] - rawPath[k - 1].joints[i]) * f / jointVelocityLimits[i];
            if (ratio > worst) {
                worst = ratio;
                joint = i;
            }
        }
    }
    return worst;
}

void PathGenerator_01Joint::InitVelAcc(const float* jointVel, const float* jointAcc, const float* /*jointAccInc*/,
                                       double /*cartVel*/, double /*cartAcc*/, double /*cartAccInc*/,
                                       double /*oriVel*/, double /*oriAcc*/, double /*oriAccInc*/) {
    if (jointVel != nullptr)
        for (int i = 0; i < 9; ++i) jointVelocityLimits[i] = jointVel[i];
    if (jointAcc == nullptr) return;
    for (int i = 0; i < 9; ++i) accHandler.maximum[i] = jointAcc[i] < 5.0f ? 5.0f : jointAcc[i];
}

void PathGenerator_01Joint::SetFirstCmd(std::shared_ptr<Command> cmd, DataTypes::RobotState* start, int commandIndex,
                                        int successorIndex) {
    std::unique_lock<std::recursive_mutex> lock(planningMutex, std::defer_lock);
    while (!lock.try_lock()) {
        abortRequest = true;
        usleep(50000);
    }
    if (debug && cmd) {
        LogSingleton* log = LogSingleton::instance();
        log->add("");
        log->addFormat("PG: adding first point: %d VelDeg: %.1lf VelMms: %.1lf VelPer: %.1lf", commandIndex,
                       cmd->targetVelocity, cmd->cartVelocity, cmd->velocity);
    }
    rawPath.clear();
    forwardPath.clear();
    backwardPath.clear();
    finalPath.clear();
    cornerIndexList.clear();
    cornerSmoothingList.clear();
    SetPathUnavailable();
    commandQueue[0] = std::move(cmd);
    commandIndexList[0] = commandIndex;
    successorIndexList[0] = successorIndex;
    queuedCount = 1;
    errorCode = 0;
    if (start != nullptr) startState = *start;
}

void PathGenerator_01Joint::ReportError(int stage, const char* what) {
    char text[1024];
    std::snprintf(text, sizeof(text), "PG: Error in ComputePath (%d): %s", stage, what);
    if (eventCallback != nullptr) eventCallback(HXPEventError, -1, -1, text);
    LogSingleton::instance()->addError(text);
    SetGenerationError(text);
    SetFailed(true);
}

void PathGenerator_01Joint::ComputePath() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) log->add("PG: computing path...");
    const long long started = TenthsOfMs();
    SetPathUnavailable();
    pathTime = 0;
    DataTypes::RobotState working = startState;
    if (kinematic != nullptr) {
        kinematic->SetJoints(startState.jointSetPoint, false);
        // The pose of the set-point joints, so a Cartesian first motion starts where the joints are.
        kinematic->GetPosition(&working);
        working.UpdateABC();
    }
    const float* s = startState.jointSetPoint;
    if (debug)
        log->addFormat("PG StartPos: %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf - %.1lf %.1lf %.1lf", s[0], s[1], s[2],
                       s[3], s[4], s[5], s[6], s[7], s[8]);

    try {
        rawPath.emplace_back(axisCount, s, 0L, slicingTime, commandIndexList[0], successorIndexList[0],
                             accHandler.RequestAcc(0.0f));
        // A refused target leaves the path at the start sample: its code ends it before any motion.
        errorCode = CheckTargets(working, true);
        for (int i = 0; i < queuedCount && !abortRequest && errorCode == 0; ++i) {
            const std::size_t q = static_cast<std::size_t>(i);
            Command& command = *commandQueue[q];
            accHandler.percentage = command.acceleration;
            const bool joint = command.motionKind == 0;
            const int limit = joint ? 10001 : 5001;
            int samples = 0;
            int result = -1;
            // A Cartesian command that would drive a joint past its velocity limit is sampled again, slower.
            const std::size_t firstSample = rawPath.size();
            const DataTypes::RobotState before = working;
            const long timeBefore = pathTime;
            // The command keeps its taught velocity however the sampling ends.
            struct VelocityRestore {
                Command& command;
                const float taught;
                ~VelocityRestore() { command.cartVelocity = taught; }
            } restore{command, command.cartVelocity};
            for (int attempt = 0;; ++attempt) {
                while (result == -1 && !abortRequest && samples < limit) {
                    result = command.Interpolate(static_cast<int>(slicingTime / 1000), 100.0f, &working);
                    float* j = working.jointSetPoint;
                    if (joint) {
                        if (kinematic != nullptr) {
                            kinematic->SetJoints(j, true);
                            kinematic->GetPosition(&working);
                            working.UpdateABC();
                        }
                    } else {
                        if (kinematic == nullptr) throw std::runtime_error("no kinematic model for a Cartesian motion");
                        kinematic->SetPosition(working.pose, j);
                        kinematic->GetJoints(j);
                    }
                    rawPath.emplace_back(axisCount, j, pathTime, slicingTime, commandIndexList[q], successorIndexList[q],
                                         accHandler.RequestAcc(0.0f));
                    pathTime += slicingTime;
                    ++samples;
                    if (sampleTrace) {
                        if (joint) {
                            log->addFormat("PG-Joint: %ld - %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf -  %.1lf %.1lf %.1lf",
                                           pathTime, j[0], j[1], j[2], j[3], j[4], j[5], j[6], j[7], j[8]);
                        } else {
                            const DataTypes::Vector3 p = working.pose.GetTranslation();
                            log->addFormat(
                                "PG-Linear: %ld - Pos: %.1lf %.1lf %.1lf Ori:  %.1lf %.1lf %.1lf  Ext: %.1lf %.1lf %.1lf "
                                "Joints: %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf",
                                pathTime, p.x, p.y, p.z, working.A, working.B, working.C, j[6], j[7], j[8], j[0], j[1],
                                j[2], j[3], j[4], j[5]);
                        }
                    }
                }
                if (joint || result == -1 || abortRequest || attempt >= 6) break;
                int limiting = -1;
                const float worst = PeakVelocityRatio(firstSample - 1, limiting);
                if (!(worst > 1.0f)) break;
                command.cartVelocity *= 0.97f / worst;
                if (attempt == 0)
                    log->addFormat("PG: joint %d limits the velocity of command %d to %.1lf mm/s", limiting + 1,
                                   commandIndexList[q], static_cast<double>(command.cartVelocity));
                rawPath.resize(firstSample);
                working = before;
                pathTime = timeBefore;
                if (kinematic != nullptr) kinematic->SetJoints(before.jointSetPoint, false);
                samples = 0;
                result = -1;
            }
            if (result == -1 && samples >= limit)
                log->add(joint ? "PG: aborting interpolation Joint" : "PG: aborting interpolation Linear");
            if (i < queuedCount - 1) {
                cornerIndexList.push_back(static_cast<int>(rawPath.size()) - 1);
                cornerSmoothingList.push_back(command.smoothing);
            }
            if (debug) log->addFormat("PG: iterations: %d", samples);
        }
    } catch (int code) {
        // Plan up to the failing sample; the code reaches the interpreter at the end of the path.
        errorCode = code;
    } catch (const std::exception& e) {
        ReportError(1, e.what());
        return;
    }

    try {
        if (debug) log->addFormat("PG: path generation in ms: %.1lf", (TenthsOfMs() - started) / 10.0);
        if (optimize) {
            const long long t0 = TenthsOfMs();
            SmoothCorner();
            if (debug) log->addFormat("PG: smoothing in ms: %.1lf", (TenthsOfMs() - t0) / 10.0);
            LimitForward();
            LimitBackward();
            Turn();
        }
        if (kinematic != nullptr) kinematic->SetJoints(startState.jointSetPoint, false);
    } catch (const std::exception& e) {
        ReportError(2, e.what());
        return;
    }
    const double elapsed = (TenthsOfMs() - started) / 10.0;
    if (debug) log->addFormat("PG: computing path - done in ms: %.1lf", elapsed);
    if (elapsed > 500.0) log->addFormat("PG: DELAY in computing path - ms: %.1lf", elapsed);
    if (abortRequest) {
        // Never published: a cancelled path must not be sampled even for a moment.
        log->add("ComputePath: PathGeneration cancelled");
        SetPathUnavailable();
        return;
    }
    SetAvailable(true);
}

void PathGenerator_01Joint::SmoothCorner() {
    const int size = static_cast<int>(rawPath.size());
    for (std::size_t k = 0; k < cornerIndexList.size() && !abortRequest; ++k) {
        int half = static_cast<int>(cornerSmoothingList[k]);
        const int c = cornerIndexList[k];
        if (c < half) half = c;
        if (size - c <= half) half = size - c - 1;
        // At most half of each neighbouring command: a corner must not swallow a segment or
        // be built from samples that the next corner has smoothed already.
        const int previous = k > 0 ? cornerIndexList[k - 1] : 0;
        const int next = k + 1 < cornerIndexList.size() ? cornerIndexList[k + 1] : size - 1;
        half = std::min(half, std::min((c - previous) / 2, (next - c) / 2));
        if (half <= 0) continue;
        DataTypes::BezierCasteljau curve(axisCount);
        curve.AddStartPoint(rawPath[static_cast<std::size_t>(c - half)].joints);
        curve.AddStartPoint(rawPath[static_cast<std::size_t>(c)].joints);
        curve.AddStartPoint(rawPath[static_cast<std::size_t>(c + half)].joints);
        for (int j = 0; j < 2 * half; ++j) {
            const float t = static_cast<float>(j) / static_cast<float>(2 * half);
            curve.Interpolate(t, rawPath[static_cast<std::size_t>(c - half + j)].joints);
        }
    }
}

void PathGenerator_01Joint::ComputeAcceleration(JointSet& sample, const JointSet& previous) const {
    const float f = 1000000.0f / static_cast<float>(slicingTime);
    sample.peakAcceleration = 0.0f;
    sample.peakAxis = 0;
    for (int i = 0; i < 9; ++i) {
        if (i < LimitedJoints) {
            sample.velocities[i] = f * (sample.joints[i] - previous.joints[i]);
            sample.accelerations[i] = f * (sample.velocities[i] - previous.velocities[i]);
            if (std::fabs(sample.accelerations[i]) > std::fabs(sample.peakAcceleration)) {
                sample.peakAcceleration = sample.accelerations[i];
                sample.peakAxis = i;
            }
        } else {
            sample.velocities[i] = 0.0f;
            sample.accelerations[i] = 0.0f;
        }
    }
}

bool PathGenerator_01Joint::LimitFactor(const JointSet& candidate, const JointSet& previous, float& factor,
                                        int& limitingAxis) const {
    const float dt = static_cast<float>(slicingTime) / 1000000.0f;
    bool limited = false;
    for (int i = 0; i < LimitedJoints; ++i) {
        const float a = candidate.accelerations[i];
        const float v = candidate.velocities[i];
        const float sign = signum(a);
        if (sign == 0.0f || sign != signum(v)) continue;  // only an axis that speeds up
        const float limit = candidate.accLimits[i];
        if (std::fabs(a) < limit) continue;
        const float allowed = previous.velocities[i] + sign * limit * dt;
        const float ratio = std::fabs(allowed) / std::fabs(v);
        if (std::isnan(ratio)) continue;
        limited = true;
        if (ratio < factor) {
            factor = ratio;
            limitingAxis = i;
        }
    }
    return limited;
}

void PathGenerator_01Joint::LimitForward() {
    LogSingleton* log = LogSingleton::instance();
    const long long started = TenthsOfMs();
    forwardPath.clear();
    if (rawPath.empty()) return;
    const long total = slicingTime * static_cast<long>(rawPath.size() - 1);
    long t = 0;
    int steps = 0;
    int limitingAxis = -1;
    JointSet first(rawPath.front());
    for (int i = 0; i < 9; ++i) first.velocities[i] = 0.0f;
    forwardPath.push_back(first);
    while (t + slicingTime < total && !abortRequest) {
        JointSet candidate = GetJointsAt(t + slicingTime, rawPath);
        if (steps > 4999) {
            char text[128];
            std::snprintf(text, sizeof(text), "LimitForward: joint %d stalled at i=%d", limitingAxis, steps);
            log->add(text);
            throw std::runtime_error(text);
        }
        ++steps;
        ComputeAcceleration(candidate, forwardPath.back());
        float factor = 1.0f;
        if (LimitFactor(candidate, forwardPath.back(), factor, limitingAxis)) {
            t += static_cast<long>(static_cast<float>(slicingTime) * factor);
            candidate = GetJointsAt(t, rawPath);
            ComputeAcceleration(candidate, forwardPath.back());
        } else {
            t += slicingTime;
        }
        forwardPath.push_back(candidate);
    }
    forwardPath.push_back(rawPath.back());
    if (debug) log->addFormat("PG: LimitForward in %.1lf ms, %d steps", (TenthsOfMs() - started) / 10.0, steps);
}

void PathGenerator_01Joint::LimitBackward() {
    LogSingleton* log = LogSingleton::instance();
    const long long started = TenthsOfMs();
    backwardPath.clear();
    if (forwardPath.empty()) return;
    const long total = slicingTime * static_cast<long>(forwardPath.size() - 1);
    long t = 0;
    int steps = 0;
    int limitingAxis = -1;
    JointSet last(forwardPath.back());
    for (int i = 0; i < 9; ++i) last.velocities[i] = 0.0f;
    backwardPath.push_back(last);
    while (t + slicingTime < total && !abortRequest) {
        JointSet candidate = GetJointsAt(maximum(0, total - (t + slicingTime)), forwardPath);
        // The same step limit as the forward pass: a pass that cannot advance must end.
        if (steps > 4999) {
            char text[128];
            std::snprintf(text, sizeof(text), "LimitBackward: joint %d stalled at i=%d", limitingAxis, steps);
            log->add(text);
            throw std::runtime_error(text);
        }
        ++steps;
        ComputeAcceleration(candidate, backwardPath.back());
        float factor = 1.0f;
        if (LimitFactor(candidate, backwardPath.back(), factor, limitingAxis)) {
            t += static_cast<long>(static_cast<float>(slicingTime) * factor);
            candidate = GetJointsAt(maximum(0, total - t), forwardPath);
            ComputeAcceleration(candidate, backwardPath.back());
        } else {
            t += slicingTime;
        }
        backwardPath.push_back(candidate);
    }
    // End on the first sample: the path must start where the robot stands, not a step further on.
    if (forwardPath.size() > 1) backwardPath.push_back(forwardPath.front());
    if (debug) log->addFormat("PG: LimitBackward in %.1lf ms, %d steps", (TenthsOfMs() - started) / 10.0, steps);
}

void PathGenerator_01Joint::Turn() { finalPath.assign(backwardPath.rbegin(), backwardPath.rend()); }

JointSet PathGenerator_01Joint::GetJointsAt(long time, const std::vector<JointSet>& path) const {
    if (path.empty()) return JointSet(axisCount);
    if (time < 0) time = 0;
    const long size = static_cast<long>(path.size());
    const long index = time / slicingTime;
    if (time >= slicingTime * (size - 1)) return path.back();
    if (index >= size - 1) return path[static_cast<std::size_t>(index)];
    const float fraction = static_cast<float>(time - index * slicingTime) / static_cast<float>(slicingTime);
    const JointSet& a = path[static_cast<std::size_t>(index)];
    const JointSet& b = path[static_cast<std::size_t>(index + 1)];
    JointSet result(a);
    for (int i = 0; i < 9; ++i) result.joints[i] = (1.0f - fraction) * a.joints[i] + fraction * b.joints[i];
    return result;
}

int PathGenerator_01Joint::GetJointPosition(long timeFrom, long timeTo, long /*cycleTime*/,
                                            const DataTypes::RobotState& /*current*/, double /*velocityLimit*/,
                                            float* joints, int& commandIndex, long& usedTime) {
    const std::vector<JointSet>& path = SampledPath();
    // The time actually stepped, so the interpreter's window moves on.
    usedTime = timeTo - timeFrom;
    if (path.empty()) return -1;
    const JointSet sample = GetJointsAt(timeTo, path);
    for (int i = 0; i < 9; ++i) joints[i] = sample.joints[i];
    commandIndex = sample.commandIndex;
    if (timeTo < slicingTime * static_cast<long>(path.size())) return -1;
    if (errorCode != 0) {
        // A refused target is named by its own command, not by the one the path stands in.
        if (refusedCommand >= 0) commandIndex = refusedCommand;
        throw errorCode;
    }
    return sample.successorIndex;
}

void PathGenerator_01Joint::CheckPath(const std::vector<JointSet>* path) {
    LogSingleton* log = LogSingleton::instance();
    float maxima[5] = {};
    bool tooHigh = false;
    for (std::size_t i = 1; i < path->size(); ++i) {
        const JointSet& a = (*path)[i];
        const JointSet& b = (*path)[i - 1];
        for (int axis = 0; axis < 5; ++axis) {
            const float step = std::fabs(a.joints[axis] - b.joints[axis]);
            if (step > maxima[axis]) {
                maxima[axis] = step;
                if (step > 2.0f) {
                    tooHigh = true;
                    std::cout << "Jointset " << i << " max " << axis << ": " << step << " base: " << b.joints[axis]
                              << " new " << a.joints[axis] << " old" << std::endl;
                }
            }
        }
    }
    log->addFormat("Path length %d  Max: %.2lf  %.2lf   %.2lf  %.2lf   %.2lf", static_cast<int>(path->size()),
                   maxima[0], maxima[1], maxima[2], maxima[3], maxima[4]);
    if (tooHigh) {
        log->add("");
        log->add("ERROR IN PATH");
        PrintPath(path);
        log->add("");
        throw std::runtime_error("PG: Max path diff too high!");
    }
}

void PathGenerator_01Joint::PrintPath(const std::vector<JointSet>* path) {
    LogSingleton* log = LogSingleton::instance();
    long time = 0;
    for (const JointSet& s : *path) {
        log->addFormat("PG: %ld - %.2lf %.2lf %.2lf %.2lf %.2lf", time, s.joints[0], s.joints[1], s.joints[2],
                       s.joints[3], s.joints[4]);
        time += slicingTime;
    }
}
