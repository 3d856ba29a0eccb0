#include "PkgProgram/CommandLinear.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iostream>

#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MemoryPosition.h"
#include "common/LogSingleton.h"

using MotionCommand::SafeDivide;

namespace {

// The pose's rotation block alone.
DataTypes::Matrix44 Rotation(const DataTypes::Matrix44& pose) {
    DataTypes::Matrix44 r = pose;
    r.SetTranslation(0.0f, 0.0f, 0.0f);
    return r;
}

}  // namespace

CommandLinear::CommandLinear() {
    className = "CommandLinear";
    motionKind = 1;
}

void CommandLinear::SetTarget(float x, float y, float z, float a, float b, float c) {
    target.A = a;
    target.B = b;
    target.C = c;
    target.pose.SetRotationABCDeg2(a, b, c);
    target.pose.SetTranslation(x, y, z);
    target.pose(3, 3) = 1.0f;
}

void CommandLinear::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    valid = false;
    sourceMode = MotionCommand::Lower(QueryString(element, "Source", "numerical"));
    number = QueryInt(element, "Nr", 0);
    if (sourceMode != "numerical" && sourceMode != "variable") {
        Refuse("unknown source " + AttributeText(element, "Source"));
        log->add("ERROR: could not read CommandLinear, wrong source type!");
        return;
    }
    if (!CommandSupport::HasAttribute(element, "AbortCondition")) {
        Refuse(FirstMissing(element, {"AbortCondition"}));
        log->addError("Could not read CommandLinear, incomplete arguments");
        return;
    }
    if (sourceMode == "variable") {
        if (!CommandSupport::HasAttribute(element, "VariableName")) {
            Refuse(FirstMissing(element, {"VariableName"}));
            return;
        }
        variableName = MotionCommand::Lower(ReadString(element, "VariableName"));
    } else {
        SetTarget(QueryFloat(element, "x", 0.0f), QueryFloat(element, "y", 0.0f), QueryFloat(element, "z", 0.0f),
                  QueryFloat(element, "a", 0.0f), QueryFloat(element, "b", 0.0f), QueryFloat(element, "c", 0.0f));
        target.jointSetPoint[6] = QueryFloat(element, "e1", 0.0f);
        target.jointSetPoint[7] = QueryFloat(element, "e2", 0.0f);
        target.jointSetPoint[8] = QueryFloat(element, "e3", 0.0f);
    }
    const float vel = QueryFloat(element, "vel", 0.0f);
    // A motion without velocity would never end.
    if (!(vel > 0.0f)) {
        Refuse(VelocityProblem(element, "vel"));
        log->addError("Could not read CommandLinear, velocity must be above 0");
        return;
    }
    cartVelocity = vel;
    acceleration = MotionCommand::AccelerationOrFull(QueryFloat(element, "acc", 0.0f));
    smoothing = QueryFloat(element, "smooth", 0.0f);
    abortCondition = ReadString(element, "AbortCondition");
    valid = true;
    if (quiet) return;
    if (sourceMode == "numerical") {
        const DataTypes::Vector3 p = target.pose.GetTranslation();
        const float* e = target.jointSetPoint + 6;
        log->addFormat(
            "   Nr. %d: Linear %.1lf %.1lf %.1lf -- %.1lf %.1lf %.1lf  Ext %.1lf %.1lf %.1lf   with %.1lf mm/s acc "
            "%.1lf%%, smooth %.1lf%%, abortcond %s",
            number, p.x, p.y, p.z, target.A, target.B, target.C, e[0], e[1], e[2], cartVelocity, acceleration,
            smoothing, abortCondition);
    } else {
        log->addFormat("   Nr. %d: Linear by Variable %s  with %.1lf mm/s acc %.1lf%%, smooth %.1lf%%, abortcond %s",
                       number, variableName, cartVelocity, acceleration, smoothing, abortCondition);
    }
}

void CommandLinear::WriteXML(std::ofstream* out, int index) {
    std::cout << "****************** Writing Linear motion*********************" << std::endl;
    // With its own acceleration, smoothing and abort condition, so that it loads again as it was.
    const std::string tail = CommandSupport::Format(" vel=\"%0.1f\" acc=\"%0.1f\" smooth=\"%0.1f\"",
                                                    static_cast<double>(cartVelocity),
                                                    static_cast<double>(acceleration), static_cast<double>(smoothing)) +
                             " AbortCondition=\"" + CommandSupport::EscapeXml(abortCondition) + "\" Descr=\"\" />";
    if (sourceMode == "variable") {
        CommandSupport::WriteLine(out, CommandSupport::Format("<Linear Nr=\"%d\" Source=\"variable\"", index) +
                                           " VariableName=\"" + CommandSupport::EscapeXml(variableName) + "\"" + tail);
        return;
    }
    const DataTypes::Vector3 p = target.pose.GetTranslation();
    const float* e = target.jointSetPoint + 6;
    CommandSupport::WriteLine(
        out, CommandSupport::Format("<Linear Nr=\"%d\" x=\"%0.1f\" y=\"%0.1f\" z=\"%0.1f\" a=\"%0.3f\" b=\"%0.3f\" "
                                    "c=\"%0.3f\" e1=\"%0.3f\" e2=\"%0.3f\" e3=\"%0.3f\"",
                                    index, static_cast<double>(p.x), static_cast<double>(p.y),
                                    static_cast<double>(p.z), static_cast<double>(target.A),
                                    static_cast<double>(target.B), static_cast<double>(target.C),
                                    static_cast<double>(e[0]), static_cast<double>(e[1]), static_cast<double>(e[2])) +
                 tail);
}

int CommandLinear::Interpolate(int cycleMs, float override, DataTypes::RobotState* state) {
    const bool fresh = firstVisit;
    if (firstVisit) {
        if (sourceMode == "variable") {
            Programs::MemoryPosition var;
            GetVariableFromProgramMemory(variableName, &var);
            target = *state;
            const DataTypes::Vector3 p = var.position.pose.GetTranslation();
            SetTarget(p.x, p.y, p.z, var.position.A, var.position.B, var.position.C);
            for (int i = 6; i < 9; ++i) target.jointSetPoint[i] = var.position.jointSetPoint[i];
        }
        EliminateNonexistentJoints(target.jointSetPoint);
        offsetTarget = target;
        const RelaxedAtomic<float>* c = cartOffsets;
        if (c != nullptr) {
            const DataTypes::Vector3 p = target.pose.GetTranslation();
            offsetTarget.A = target.A + c[3];
            offsetTarget.B = target.B + c[4];
            offsetTarget.C = target.C + c[5];
            offsetTarget.pose.SetRotationABCDeg2(offsetTarget.A, offsetTarget.B, offsetTarget.C);
            offsetTarget.pose.SetTranslation(p.x + c[0], p.y + c[1], p.z + c[2]);
        }
        if (jointOffsets != nullptr) {
            for (int i = 6; i < 9; ++i) offsetTarget.jointSetPoint[i] += jointOffsets[i];
        }
    }
    const DataTypes::Vector3 p = state->pose.GetTranslation();
    const DataTypes::Vector3 g = offsetTarget.pose.GetTranslation();

    if (fresh || override != storedOverride) {
        // Rotation still to go, as a turn about one axis in the base frame.
        const DataTypes::Matrix44 remaining = Rotation(state->pose).Inverse() * Rotation(offsetTarget.pose);
        remaining.GetAxisAngle(&rotationAxis, &remainingAngle);
        const float d = (g - p).Magnitude();
        float D = 0.0f;
        float T = 0.0f;
        const int leading = MotionCommand::LeadingExternalAxis(jointMaxVelocity, state->jointSetPoint,
                                                               offsetTarget.jointSetPoint, D, T);
        const float tLin = SafeDivide(d, cartVelocity);
        const float tRot = SafeDivide(remainingAngle, targetVelocity);
        const float cycle = static_cast<float>(cycleMs) / 1000.0f;
        if (tLin >= tRot && tLin >= T) {
            linearStep = cartVelocity * cycle;
            const float n = SafeDivide(d, linearStep);
            rotationStep = SafeDivide(remainingAngle, n);
            externalStep = SafeDivide(D, n);
        } else if (tRot >= T) {
            rotationStep = targetVelocity * cycle;
            const float n = SafeDivide(remainingAngle, rotationStep);
            linearStep = SafeDivide(d, n);
            externalStep = SafeDivide(D, n);
        } else {
            externalStep = jointMaxVelocity[6 + leading] * cycle;
            const float n = SafeDivide(D, externalStep);
            linearStep = SafeDivide(d, n);
            rotationStep = SafeDivide(remainingAngle, n);
        }
        linearStep *= override / 100.0f;
        rotationStep *= override / 100.0f;
        externalStep *= override / 100.0f;
        firstVisit = false;
        storedOverride = override;
    }

    const MotionCommand::Remaining left =
        MotionCommand::RemainingMotion(p, g, state->jointSetPoint, offsetTarget.jointSetPoint);
    const float dl = left.length;
    const float el = left.externalLength;
    if (dl > 0.1f || remainingAngle > 0.05f || el > 0.1f) {
        const DataTypes::Vector3 next = p + left.direction * std::min(linearStep, dl);
        const float r = std::min(rotationStep, remainingAngle);
        if (r > 0.0f) state->pose.RotateAxisAngle(rotationAxis, r);
        remainingAngle -= r;
        state->pose.SetTranslation(next);
        const float e = std::min(externalStep, el);
        for (int i = 0; i < 3; ++i) state->jointSetPoint[6 + i] += e * left.external[i];
        state->UpdateABC();
        return -1;
    }
    state->pose = offsetTarget.pose;
    state->A = offsetTarget.A;
    state->B = offsetTarget.B;
    state->C = offsetTarget.C;
    for (int i = 6; i < 9; ++i) state->jointSetPoint[i] = offsetTarget.jointSetPoint[i];
    firstVisit = true;
    return succ[0];
}

int CommandLinear::InterpolateLogic(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    return CommandSupport::EvaluateCondition(abortCondition, memory, state) ? succ[0] : -1;
}

void CommandLinear::GetTargetPosition(DataTypes::RobotState* /*start*/, DataTypes::RobotState* out, float& cartVel,
                                      float& jointVelPercent, float& acc, float& smooth) {
    if (sourceMode == "variable") {
        Programs::MemoryPosition var;
        GetVariableFromProgramMemory(variableName, &var);
        var.position.UpdateMatrixFromABC();
        *out = var.position;
    } else {
        *out = target;
    }
    EliminateNonexistentJoints(out->jointSetPoint);
    cartVel = cartVelocity;
    jointVelPercent = velocity;
    acc = acceleration;
    smooth = smoothing;
}
