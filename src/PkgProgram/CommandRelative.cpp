#include "PkgProgram/CommandRelative.h"

#include <algorithm>
#include <cmath>
#include <fstream>

#include "PkgProgram/CommandJoint.h"
#include "PkgProgram/CommandSupport.h"
#include "common/LogSingleton.h"

using MotionCommand::SafeDivide;

CommandRelative::CommandRelative() {
    className = "CommandRelative";
    SetMotionType(CartBase);
}

void CommandRelative::SetMotionType(MotionType type) {
    motionType = type;
    motionKind = type == Joint ? 0 : 1;
}

void CommandRelative::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    valid = false;
    number = QueryInt(element, "Nr", 0);
    const float acc = QueryFloat(element, "acc", 50.0f);
    const float smooth = QueryFloat(element, "smooth", 20.0f);
    if (!CommandSupport::HasAttribute(element, "AbortCondition")) {
        Refuse(FirstMissing(element, {"AbortCondition"}));
        log->addError("Could not read CommandRelative, incomplete arguments");
        return;
    }
    acceleration = MotionCommand::AccelerationOrFull(acc);
    smoothing = smooth;
    abortCondition = ReadString(element, "AbortCondition");
    if (!CommandSupport::HasAttribute(element, "MoType")) {
        Refuse(FirstMissing(element, {"MoType"}));
        log->addError("Command Relative: Attribute \"MoType\" not found! Cannot read command!");
        return;
    }
    const std::string type = MotionCommand::Lower(ReadString(element, "MoType"));
    offset = DataTypes::RobotState();
    if (type == "joint") {
        SetMotionType(Joint);
        static const char* const names[9] = {"a1", "a2", "a3", "a4", "a5", "a6", "e1", "e2", "e3"};
        for (int i = 0; i < 9; ++i) offset.jointSetPoint[i] = QueryFloat(element, names[i], 0.0f);
        velocity = QueryFloat(element, "velPercent", 0.0f);
        // A motion without velocity would never end.
        if (!(velocity > 0.0f)) {
            Refuse(VelocityProblem(element, "velPercent"));
            log->addError("Could not read CommandRelative, velocity must be above 0");
            return;
        }
        velocity = MotionCommand::PercentAtMost100(velocity, "CommandRelative");
        valid = true;
        if (quiet) return;
        const float* o = offset.jointSetPoint;
        log->addFormat(
            "   Nr. %d: Relative Joint %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf  ExtJoints %.1lf %.1lf %.1lf  with vel "
            "%.1lf%%, acc %.1lf%%, smooth %.1lf%%, abortcond %s",
            number, o[0], o[1], o[2], o[3], o[4], o[5], o[6], o[7], o[8], velocity, acceleration, smoothing,
            abortCondition);
        return;
    }
    SetMotionType(type == "cartbase" ? CartBase : CartTool);
    offset.pose.SetTranslation(QueryFloat(element, "x", 0.0f), QueryFloat(element, "y", 0.0f),
                               QueryFloat(element, "z", 0.0f));
    offset.jointSetPoint[6] = QueryFloat(element, "e1", 0.0f);
    offset.jointSetPoint[7] = QueryFloat(element, "e2", 0.0f);
    offset.jointSetPoint[8] = QueryFloat(element, "e3", 0.0f);
    cartVelocity = QueryFloat(element, "vel", 0.0f);
    if (!(cartVelocity > 0.0f)) {
        Refuse(VelocityProblem(element, "vel"));
        log->addError("Could not read CommandRelative, velocity must be above 0");
        return;
    }
    valid = true;
    if (quiet) return;
    const DataTypes::Vector3 t = offset.pose.GetTranslation();
    log->addFormat(motionType == CartBase
                       ? "   Nr. %d: Relative CartBase %.1lf %.1lf %.1lf with %.1lf mm/s, acc %.1lf%%, smooth %.1lf%%, "
                         "abortcond %s"
                       : "   Nr. %d: Relative CartTool %.1lf %.1lf %.1lf with %.1lf mm/s, acc %.1lf%%, smooth %.1lf%%, "
                         "abortcond %s",
                   number, t.x, t.y, t.z, cartVelocity, acceleration, smoothing, abortCondition);
}

void CommandRelative::WriteXML(std::ofstream* out, int index) {
    // Written so that an added relative motion survives a save.
    const float* o = offset.jointSetPoint;
    std::string line;
    if (motionType == Joint) {
        line = CommandSupport::Format(
            "<Relative Nr=\"%d\" MoType=\"joint\" a1=\"%0.3f\" a2=\"%0.3f\" a3=\"%0.3f\" a4=\"%0.3f\" a5=\"%0.3f\" "
            "a6=\"%0.3f\" e1=\"%0.3f\" e2=\"%0.3f\" e3=\"%0.3f\" velPercent=\"%0.1f\"",
            index, static_cast<double>(o[0]), static_cast<double>(o[1]), static_cast<double>(o[2]),
            static_cast<double>(o[3]), static_cast<double>(o[4]), static_cast<double>(o[5]), static_cast<double>(o[6]),
            static_cast<double>(o[7]), static_cast<double>(o[8]), static_cast<double>(velocity));
    } else {
        const DataTypes::Vector3 t = offset.pose.GetTranslation();
        line = CommandSupport::Format(
            "<Relative Nr=\"%d\" MoType=\"%s\" x=\"%0.3f\" y=\"%0.3f\" z=\"%0.3f\" e1=\"%0.3f\" e2=\"%0.3f\" "
            "e3=\"%0.3f\" vel=\"%0.1f\"",
            index, motionType == CartBase ? "cartbase" : "carttool", static_cast<double>(t.x),
            static_cast<double>(t.y), static_cast<double>(t.z), static_cast<double>(o[6]), static_cast<double>(o[7]),
            static_cast<double>(o[8]), static_cast<double>(cartVelocity));
    }
    line += CommandSupport::Format(" acc=\"%0.1f\" smooth=\"%0.1f\"", static_cast<double>(acceleration),
                                   static_cast<double>(smoothing)) +
            " AbortCondition=\"" + CommandSupport::EscapeXml(abortCondition) + "\" Descr=\"\" />";
    CommandSupport::WriteLine(out, line);
}

int CommandRelative::InterpolateLogic(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    return CommandSupport::EvaluateCondition(abortCondition, memory, state) ? succ[0] : -1;
}

int CommandRelative::Interpolate(int cycleMs, float override, DataTypes::RobotState* state) {
    return motionType == Joint ? InterpolateJoint(cycleMs, override, state)
                               : InterpolateLinear(cycleMs, override, state);
}

DataTypes::Vector3 CommandRelative::Rotate(const DataTypes::Matrix44& pose, const DataTypes::Vector3& v) {
    return pose * v - pose.GetTranslation();
}

int CommandRelative::InterpolateJoint(int cycleMs, float override, DataTypes::RobotState* state) {
    if (firstVisit) {
        EliminateNonexistentJoints(offset.jointSetPoint);
        goal = *state;
        for (int i = 0; i < 9; ++i) goal.jointSetPoint[i] = state->jointSetPoint[i] + offset.jointSetPoint[i];
        firstVisit = false;
    }
    stepFraction = (velocity / 100.0f) * static_cast<float>(cycleMs) / 1000.0f * override / 100.0f;
    largest = -1.0f;
    threshold = 0.001f;
    for (int i = 0; i < 9; ++i) {
        if (!(jointMaxVelocity[i] > 0.0f)) {
            work[i] = 0.0f;
            continue;
        }
        work[i] = (goal.jointSetPoint[i] - state->jointSetPoint[i]) / jointMaxVelocity[i];
        if (std::fabs(work[i]) > largest) {
            largest = std::fabs(work[i]);
            threshold = 0.1f / jointMaxVelocity[i];
        }
    }
    if (largest < threshold) {
        for (int i = 0; i < 9; ++i) {
            if (jointMaxVelocity[i] > 0.0f) state->jointSetPoint[i] = goal.jointSetPoint[i];
        }
        firstVisit = true;
        return succ[0];
    }
    if (largest < stepFraction) stepFraction = largest;
    for (int i = 0; i < 9; ++i) state->jointSetPoint[i] += work[i] / largest * stepFraction * jointMaxVelocity[i];
    return -1;
}

int CommandRelative::InterpolateLinear(int cycleMs, float override, DataTypes::RobotState* state) {
    const bool fresh = firstVisit;
    if (firstVisit) {
        EliminateNonexistentJoints(offset.jointSetPoint);
        goal = *state;
        const DataTypes::Vector3 p = state->pose.GetTranslation();
        const DataTypes::Vector3 move = offset.pose.GetTranslation();
        goal.pose.SetTranslation(motionType == CartBase ? p + move : p + Rotate(state->pose, move));
        for (int i = 6; i < 9; ++i) goal.jointSetPoint[i] = state->jointSetPoint[i] + offset.jointSetPoint[i];
        firstVisit = false;
    }
    const DataTypes::Vector3 p = state->pose.GetTranslation();
    const DataTypes::Vector3 g = goal.pose.GetTranslation();
    if (fresh || override != storedOverride) {
        const float d = (g - p).Magnitude();
        float D = 0.0f;
        float T = 0.0f;
        const int leading =
            MotionCommand::LeadingExternalAxis(jointMaxVelocity, state->jointSetPoint, goal.jointSetPoint, D, T);
        const float tLin = SafeDivide(d, cartVelocity);
        const float cycle = static_cast<float>(cycleMs) / 1000.0f;
        if (tLin >= T) {
            linearStep = cartVelocity * cycle;
            externalStep = SafeDivide(D, SafeDivide(d, linearStep));
        } else {
            externalStep = jointMaxVelocity[6 + leading] * cycle;
            linearStep = SafeDivide(d, SafeDivide(D, externalStep));
        }
        linearStep *= override / 100.0f;
        externalStep *= override / 100.0f;
        storedOverride = override;
    }
    const MotionCommand::Remaining left = MotionCommand::RemainingMotion(p, g, state->jointSetPoint, goal.jointSetPoint);
    const float dl = left.length;
    const float el = left.externalLength;
    if (dl > 0.1f || el > 0.1f) {
        state->pose.SetTranslation(p + left.direction * std::min(linearStep, dl));
        const float e = std::min(externalStep, el);
        for (int i = 0; i < 3; ++i) state->jointSetPoint[6 + i] += e * left.external[i];
        return -1;
    }
    state->pose = goal.pose;
    for (int i = 6; i < 9; ++i) state->jointSetPoint[i] = goal.jointSetPoint[i];
    firstVisit = true;
    return succ[0];
}

void CommandRelative::GetTargetPosition(DataTypes::RobotState* start, DataTypes::RobotState* out, float& cartVel,
                                        float& jointVelPercent, float& acc, float& smooth) {
    EliminateNonexistentJoints(offset.jointSetPoint);
    *out = *start;
    if (motionType == Joint) {
        for (int i = 0; i < 9; ++i) out->jointSetPoint[i] += offset.jointSetPoint[i];
    } else {
        const DataTypes::Vector3 move = offset.pose.GetTranslation();
        const DataTypes::Vector3 p = start->pose.GetTranslation();
        if (motionType == CartBase) {
            out->pose.SetTranslation(p + move);
        } else {
            out->pose.SetRotationABCDeg2(start->A, start->B, start->C);
            out->pose.SetTranslation(p + Rotate(out->pose, move));
        }
        for (int i = 6; i < 9; ++i) out->jointSetPoint[i] += offset.jointSetPoint[i];
    }
    cartVel = cartVelocity;
    jointVelPercent = velocity;
    acc = acceleration;
    smooth = smoothing;
}
