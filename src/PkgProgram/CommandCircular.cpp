#include "PkgProgram/CommandCircular.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/PathElementSupport.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

CommandCircular::CommandCircular() {
    className = "CommandCircular";
    motionKind = 1;
}

void CommandCircular::Init() {
    Command::Init();
    circularFirstVisit = true;
}

void CommandCircular::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    valid = false;
    abortCondition = ReadString(element, "AbortCondition");
    number = ReadInt(element, "Nr");
    const float vel = ReadFloat(element, "vel");
    const float acc = ReadFloat(element, "acc");
    const float smooth = ReadFloat(element, "smooth");
    useAngle = ReadBool(element, "useAngle");
    angle = ReadFloat(element, "angle");
    variableSource = MotionCommand::Lower(ReadString(element, "Source")) == "variable";
    if (!variableSource) {
        viaPoint = DataTypes::Vector3(ReadFloat(element, "p1x"), ReadFloat(element, "p1y"), ReadFloat(element, "p1z"));
        endPoint = DataTypes::Vector3(ReadFloat(element, "p2x"), ReadFloat(element, "p2y"), ReadFloat(element, "p2z"));
        targetOrientation = DataTypes::Vector3(ReadFloat(element, "a"), ReadFloat(element, "b"), ReadFloat(element, "c"));
        targetExternal = DataTypes::Vector3(ReadFloat(element, "e1"), ReadFloat(element, "e2"), ReadFloat(element, "e3"));
    } else {
        viaVariableName = ReadString(element, "VariableHelperName");
        endVariableName = ReadString(element, "VariableEndName");
    }
    // An arc without velocity would never end.
    if (!(vel > 0.0f)) {
        Refuse(VelocityProblem(element, "vel"));
        log->addError("Could not read CommandCircular, velocity must be above 0");
        return;
    }
    cartVelocity = vel;
    acceleration = MotionCommand::AccelerationOrFull(acc);
    smoothing = smooth;
    valid = true;
    if (quiet) return;
    if (!variableSource) {
        const DataTypes::Vector3& p = viaPoint;
        const DataTypes::Vector3& e = endPoint;
        const DataTypes::Vector3& o = targetOrientation;
        const DataTypes::Vector3& x = targetExternal;
        const std::string angleText = useAngle ? CommandSupport::Format(", angle %.1lf", angle) : "";
        log->addFormat(
            "   Nr. %d: Circular %.1lf %.1lf %.1lf, %.1lf %.1lf %.1lf, Ori %.1lf %.1lf %.1lf Ext %.1lf %.1lf %.1lf%s   "
            "with %.1lf mm/s acc %.1lf%%, smooth %.1lf%%, abortcond %s",
            number, p.x, p.y, p.z, e.x, e.y, e.z, o.x, o.y, o.z, x.x, x.y, x.z, angleText, cartVelocity, acceleration,
            smoothing, abortCondition);
    } else if (useAngle) {
        log->addFormat(
            "   Nr. %d: Circular var helper=\"%s\", var target=\"%s\", angle %.1lf   with %.1lf mm/s acc %.1lf%%, "
            "smooth %.1lf%%, abortcond %s",
            number, viaVariableName, endVariableName, angle, cartVelocity, acceleration, smoothing, abortCondition);
    } else {
        log->addFormat(
            "   Nr. %d: Circular var helper=\"%s\", var target=\"%s\"   with %.1lf mm/s acc %.1lf%%, smooth %.1lf%%, "
            "abortcond %s",
            number, viaVariableName, endVariableName, cartVelocity, acceleration, smoothing, abortCondition);
    }
}

void CommandCircular::CalculateCircleParameters(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                                const DataTypes::Vector3& p3) {
    circle = useAngle ? std::make_shared<CircleParameters>(p1, p2, p3, angle)
                      : std::make_shared<CircleParameters>(p1, p2, p3);
}

DataTypes::Vector3 CommandCircular::EndOfArc() const {
    // Through three points the arc ends on the end point itself, not on its float reconstruction.
    return useAngle ? circle->CalculatePosition(circle->angle) : circle->P3;
}

void CommandCircular::TakeTargets() {
    if (!variableSource) return;
    const std::shared_ptr<const Programs::MemoryPosition> via =
        memory != nullptr ? memory->Get(viaVariableName) : nullptr;
    const std::shared_ptr<const Programs::MemoryPosition> end =
        memory != nullptr ? memory->Get(endVariableName) : nullptr;
    if (!via || !end) throw std::runtime_error("CommandCircular: Variable is not defined");
    viaPoint = via->position.pose.GetTranslation();
    endPoint = end->position.pose.GetTranslation();
    targetOrientation = DataTypes::Vector3(end->position.A, end->position.B, end->position.C);
    targetExternal = DataTypes::Vector3(end->position.jointSetPoint[6], end->position.jointSetPoint[7],
                                        end->position.jointSetPoint[8]);
}

void CommandCircular::GetTargetPosition(DataTypes::RobotState* start, DataTypes::RobotState* target, float& cartVel,
                                        float& jointVelPercent, float& acc, float& smooth) {
    TakeTargets();
    CalculateCircleParameters(start->pose.GetTranslation(), viaPoint, endPoint);
    target->pose.SetRotationABCDeg2(targetOrientation.x, targetOrientation.y, targetOrientation.z);
    target->A = targetOrientation.x;
    target->B = targetOrientation.y;
    target->C = targetOrientation.z;
    target->pose.SetTranslation(EndOfArc());
    target->pose(3, 3) = 1.0f;
    for (int i = 0; i < 3; ++i) target->jointSetPoint[6 + i] = targetExternal[static_cast<unsigned>(i)];
    EliminateNonexistentJoints(target->jointSetPoint);
    cartVel = cartVelocity;
    jointVelPercent = velocity;
    acc = acceleration;
    smooth = smoothing;
}

int CommandCircular::InterpolateLogic(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    return CommandSupport::EvaluateCondition(abortCondition, memory, state) ? succ[0] : -1;
}

int CommandCircular::Interpolate(int cycleMs, float override, DataTypes::RobotState* state) {
    const DataTypes::Vector3 p0 = state->pose.GetTranslation();
    const double cycle = static_cast<double>(cycleMs) * override / 100.0 / 1000.0;  // s per call
    if (circularFirstVisit) {
        circularFirstVisit = false;
        currentAngle = 0.0;
        state->pose.GetABCDeg(&startOrientation.x, &startOrientation.y, &startOrientation.z);
        startExternal = DataTypes::Vector3(state->jointSetPoint[6], state->jointSetPoint[7], state->jointSetPoint[8]);
        TakeTargets();
        // Axes the robot lacks stay where they are.
        goalExternal = targetExternal;
        for (int i = nrExternalJoints < 0 ? 0 : nrExternalJoints; i < 3; ++i)
            goalExternal[static_cast<unsigned>(i)] = startExternal[static_cast<unsigned>(i)];
        CalculateCircleParameters(p0, viaPoint, endPoint);
        angleStep = cartVelocity * cycleMs * override / (circle->radius * 200000.0);
        const double nArc = angleStep > 0.0 ? std::fabs(circle->angle / angleStep) : 0.0;
        DataTypes::Matrix44 goal;
        goal.SetRotationABCDeg2(targetOrientation.x, targetOrientation.y, targetOrientation.z);
        startRotation = Programs::ElementSupport::Rotation(state->pose);
        float turn = 0.0f;
        (startRotation.Inverse() * goal).GetAxisAngle(&rotationAxis, &turn);
        rotationAngle = turn;
        const double rotationPerCall = targetVelocity * cycle;
        const double nRot = rotationPerCall > 0.0 ? rotationAngle / rotationPerCall : 0.0;
        double nExt = 0.0;
        for (int i = 6; i < 9; ++i) {
            const double perCall = jointMaxVelocity[i] * cycle;
            if (perCall > 0.0)
                nExt = std::max(nExt, std::fabs((goalExternal[static_cast<unsigned>(i - 6)] -
                                                 startExternal[static_cast<unsigned>(i - 6)]) /
                                                perCall));
        }
        // Whichever needs most calls sets the pace; every quantity moves its share per call.
        const double n = std::ceil(std::max({nArc, nRot, nExt, 1.0}));
        callCount = n < 1e9 ? static_cast<int64_t>(n) : static_cast<int64_t>(1e9);
        callsDone = 0;
        angleStep = circle->angle / static_cast<double>(callCount);
        rotationStep = rotationAngle / static_cast<double>(callCount);
        externalStep = (goalExternal - startExternal) / static_cast<double>(callCount);
    }
    ++callsDone;
    if (callsDone >= callCount) {
        // The last call lands on the targets exactly.
        currentAngle = circle->angle;
        state->pose.SetRotationABCDeg2(targetOrientation.x, targetOrientation.y, targetOrientation.z);
        state->pose.SetTranslation(EndOfArc());
        state->A = targetOrientation.x;
        state->B = targetOrientation.y;
        state->C = targetOrientation.z;
        for (int i = 0; i < 3; ++i) state->jointSetPoint[6 + i] = goalExternal[static_cast<unsigned>(i)];
        circularFirstVisit = true;
        return succ[0];
    }
    const double share = static_cast<double>(callsDone) / static_cast<double>(callCount);
    currentAngle = circle->angle * share;
    DataTypes::Matrix44 pose = startRotation;
    if (std::fabs(rotationAngle * share) >= 0.0001)
        pose.RotateAxisAngle(rotationAxis, static_cast<float>(rotationAngle * share));
    pose.SetTranslation(circle->CalculatePosition(currentAngle));
    state->pose = pose;
    state->UpdateABC();
    for (int i = 0; i < 3; ++i)
        state->jointSetPoint[6 + i] =
            startExternal[static_cast<unsigned>(i)] + externalStep[static_cast<unsigned>(i)] * static_cast<float>(callsDone);
    return -1;
}
