#include "PkgProgram/PathGenerator.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "PkgProgram/CircleParameters.h"
#include "PkgProgram/Command.h"
#include "PkgProgram/CommandCircular.h"
#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandLinear.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"
#include "kinematics/RobotKinematic.h"

AccHandler::AccHandler(float maxAcc, float extraValue) : extra(extraValue) {
    for (int i = 0; i < 9; ++i) {
        maximum[i] = maxAcc;
        current[i] = 0.0f;
    }
}

float* AccHandler::RequestAcc(float /*unused*/) {
    for (int i = 0; i < 9; ++i) current[i] = maximum[i] * (percentage / 100.0f);
    return current;
}

void AccHandler::ResetAcc() {
    for (float& v : current) v = 0.0f;
}

PathGenerator::PathGenerator(int look) : lookAhead(look < 0 ? 0 : look) {
    commandQueue.resize(static_cast<std::size_t>(lookAhead) + 1);
    commandIndexList.resize(static_cast<std::size_t>(lookAhead) + 1, -1);
    successorIndexList.resize(static_cast<std::size_t>(lookAhead) + 1, -1);
}

PathGenerator::~PathGenerator() { AbortAndWait(); }

namespace {

// The target with the offsets that the command adds on its way there.
void AddInterpreterOffsets(Command& command, DataTypes::RobotState& target) {
    if (auto* joint = dynamic_cast<CommandJoint*>(&command)) {
        if (joint->jointOffsets == nullptr) return;
        for (int i = 0; i < 9; ++i) target.jointSetPoint[i] += joint->jointOffsets[i];
    } else if (auto* linear = dynamic_cast<CommandLinear*>(&command)) {
        if (linear->cartOffsets != nullptr) {
            const RelaxedAtomic<float>* o = linear->cartOffsets;
            target.pose.SetTranslation(target.pose.GetTranslation() + DataTypes::Vector3(o[0], o[1], o[2]));
            target.A += o[3];
            target.B += o[4];
            target.C += o[5];
            const DataTypes::Vector3 p = target.pose.GetTranslation();
            target.pose.SetRotationABCDeg2(target.A, target.B, target.C);
            target.pose.SetTranslation(p);
        }
        if (linear->jointOffsets != nullptr)
            for (int i = 6; i < 9; ++i) target.jointSetPoint[i] += linear->jointOffsets[i];
    }
}

// Steps the kinematic from one pose to the next as a path between them goes: the tool centre point
// along the line between them or, for a circular move, along its arc; the orientation turning about
// one axis; the joints of each step seeded by the step before.
void FollowPoses(RobotKinematic& kinematic, const DataTypes::RobotState& from, const DataTypes::RobotState& to,
                 const CircleParameters* arc) {
    DataTypes::Matrix44 turnFrom = from.pose;
    turnFrom.SetTranslation(0.0f, 0.0f, 0.0f);
    DataTypes::Matrix44 turnTo = to.pose;
    turnTo.SetTranslation(0.0f, 0.0f, 0.0f);
    DataTypes::Vector3 axis;
    float angle = 0.0f;
    (turnFrom.Inverse() * turnTo).GetAxisAngle(&axis, &angle);
    const DataTypes::Vector3 a = from.pose.GetTranslation();
    const DataTypes::Vector3 b = to.pose.GetTranslation();
    const bool turns = std::fabs(angle) >= 0.0001f && std::fabs(axis.MagnitudeQ() - 1.0f) <= 0.0001f;
    // Steps of at most 2 degrees and 10 mm: far less than the half turn that decides a wrist's branch.
    double length = static_cast<double>((b - a).Magnitude());
    double arcDegrees = 0.0;
    if (arc != nullptr) {
        length = arc->radius * std::fabs(arc->angle);
        arcDegrees = std::fabs(arc->angle) * 180.0 / 3.14159265358979323846;
    }
    const double steps = std::ceil(
        std::max({std::fabs(static_cast<double>(angle)) / 2.0, length / 10.0, arcDegrees / 2.0}));
    if (!std::isfinite(steps) || steps < 2.0) return;
    const int count = static_cast<int>(std::min(steps, 2000.0));
    for (int k = 1; k < count; ++k) {
        const float f = static_cast<float>(k) / static_cast<float>(count);
        DataTypes::Matrix44 pose = from.pose;
        if (turns) pose.RotateAxisAngle(axis, angle * f);
        pose.SetTranslation(arc != nullptr ? arc->CalculatePosition(arc->angle * static_cast<double>(k) / count)
                                           : a + (b - a) * f);
        float joints[9];
        for (int i = 0; i < 9; ++i) joints[i] = from.jointSetPoint[i] + (to.jointSetPoint[i] - from.jointSetPoint[i]) * f;
        try {
            kinematic.SetPosition(pose, joints);
        } catch (int) {
            // Not the target's: the walked path meets it and brakes before it.
        } catch (const std::runtime_error&) {
            // Some geometries throw this instead; the same holds.
        }
    }
}

}  // namespace

int PathGenerator::CheckTargets(const DataTypes::RobotState& start, bool withOffsets) {
    refusedCommand = -1;
    if (kinematic == nullptr) return 0;
    int code = 0;
    DataTypes::RobotState previous = start;
    kinematic->SetJoints(start.jointSetPoint, false);
    kinematic->GetPosition(&previous);
    previous.UpdateABC();
    for (int q = 0; q < queuedCount && code == 0; ++q) {
        Command& command = *commandQueue[static_cast<std::size_t>(q)];
        if (command.motionKind == 2) continue;
        DataTypes::RobotState target = previous;
        float vel = 0.0f, percent = 0.0f, acc = 0.0f, smooth = 0.0f;
        command.GetTargetPosition(&previous, &target, vel, percent, acc, smooth);
        if (withOffsets) AddInterpreterOffsets(command, target);
        try {
            if (command.motionKind == 0) {
                kinematic->SetJoints(target.jointSetPoint, true);
                kinematic->GetPosition(&target);
                target.UpdateABC();
            } else {
                // Seeded by the joints the path reaches on its way, as the path's own are: an arc
                // is followed round the circle its command has just built from the pose before.
                const auto* circular = dynamic_cast<const CommandCircular*>(&command);
                FollowPoses(*kinematic, previous, target,
                            circular != nullptr && circular->circle ? circular->circle.get() : nullptr);
                kinematic->SetPosition(target.pose, target.jointSetPoint);
                kinematic->GetJoints(target.jointSetPoint);
            }
        } catch (int thrown) {
            code = thrown;
            refusedCommand = commandIndexList[static_cast<std::size_t>(q)];
        }
        previous = target;
    }
    kinematic->SetJoints(start.jointSetPoint, false);
    if (code != 0)
        LogSingleton::instance()->addFormat("PathGen: target of command %d refused: %s", refusedCommand,
                                            IPO::KinematicErrorText(code));
    return code;
}

void PathGenerator::AbortAndWait() {
    if (!working.load()) return;
    // The thread clears the request when it starts planning: keep asking.
    while (working.load()) {
        abortRequest = true;
        usleep(1000);
    }
}

void PathGenerator::SetNextCmd(std::shared_ptr<Command> cmd, int commandIndex, int successorIndex) {
    std::lock_guard<std::recursive_mutex> lock(planningMutex);
    if (queuedCount < lookAhead) {
        const std::size_t at = static_cast<std::size_t>(queuedCount);
        commandQueue[at] = std::move(cmd);
        commandIndexList[at] = commandIndex;
        successorIndexList[at] = successorIndex;
        ++queuedCount;
    } else {
        LogSingleton::instance()->addFormat("PathGen: Could not set Position, look-ahead is limited to %d",
                                            lookAhead);
    }
}

void PathGenerator::SetLookAhead(int n) {
    std::lock_guard<std::recursive_mutex> lock(planningMutex);
    lookAhead = n < 0 ? 0 : n;
    const std::size_t size = static_cast<std::size_t>(lookAhead) + 1;
    // Entries beyond the new size stay unused; the queue is never shorter than a full look-ahead.
    if (commandQueue.size() < size) {
        commandQueue.resize(size);
        commandIndexList.resize(size, -1);
        successorIndexList.resize(size, -1);
    }
}

void PathGenerator::SetPathUnavailable() {
    available = false;
    failed = false;
    SetGenerationError("");
}

std::string PathGenerator::GetGenerationError() const {
    std::lock_guard<std::mutex> lock(errorMutex);
    return errorText;
}

void PathGenerator::SetGenerationError(const std::string& text) {
    std::lock_guard<std::mutex> lock(errorMutex);
    errorText = text;
}

void PathGenerator::ComputePathStartThread() {
    LogSingleton* log = LogSingleton::instance();
    if (debug) log->add("PathGen: Computing path in seperate Thread...");
    std::unique_lock<std::recursive_mutex> lock(planningMutex, std::try_to_lock);
    if (!lock.owns_lock() || working.load()) {
        log->addError("PathGen: Could not start compute thread, already running. This should never happen.");
        return;
    }
    working = true;
    optimize = log->get_pathGeneratorFlagOptimize();
    std::thread(&PathGenerator::ThreadPathGeneration, this).detach();
}

void PathGenerator::ThreadPathGeneration() {
    LogSingleton* log = LogSingleton::instance();
    working = true;
    if (debug)
        log->add(optimize ? "Starting PathGen thread with optimization..."
                          : "Starting PathGen thread WITHOUT optimization...");
    std::unique_lock<std::recursive_mutex> lock(planningMutex, std::defer_lock);
    while (!lock.try_lock()) {
        abortRequest = true;
        usleep(5000);
    }
    available = false;
    failed = false;
    abortRequest = false;
    SetGenerationError("");
    auto fail = [&](const std::string& text) {
        available = false;
        SetGenerationError(text);
        failed = true;
        if (eventCallback != nullptr) eventCallback(HXPEventError, 0, 0, "PathGen ERROR: " + text);
    };
    try {
        ComputePath();
    } catch (const std::invalid_argument& e) {
        log->addFormat("Invalid argument during path generation: %s", e.what());
        fail(e.what());
    } catch (const std::exception& e) {
        log->addFormat("Exception during path generation: %s", e.what());
        fail(e.what());
    } catch (int code) {
        // A bare kinematic code must not end the process.
        const std::string text = "kinematic error " + std::to_string(code);
        log->addFormat("Exception during path generation: %s", text);
        fail(text);
    } catch (...) {
        log->add("Exception during path generation: unknown");
        fail("unknown exception");
    }
    if (debug) {
        log->add("PathGen thread finished...");
        log->add("");
    }
    // Let go of the mutex first: whoever waits for the working flag may destroy this object.
    lock.unlock();
    working = false;
}
