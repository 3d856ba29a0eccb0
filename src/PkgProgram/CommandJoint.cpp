#include "PkgProgram/CommandJoint.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/MemoryPosition.h"
#include "common/LogSingleton.h"

namespace MotionCommand {

float AccelerationOrFull(float acceleration) { return acceleration > 0.0f ? acceleration : 100.0f; }

float PercentAtMost100(float velocityPercent, const char* command) {
    if (!(velocityPercent > 100.0f)) return velocityPercent;
    LogSingleton::instance()->addFormat("%s: velPercent %.1lf above 100, taken as 100", command,
                                        static_cast<double>(velocityPercent));
    return 100.0f;
}

std::string Lower(const std::string& text) {
    std::string r = text;
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

float SafeDivide(float a, float b) { return b != 0.0f ? a / b : 0.0f; }

int LeadingExternalAxis(const float* maxVelocity, const float* from, const float* to, float& D, float& T) {
    int leading = -1;
    D = 0.0f;
    T = 0.0f;
    for (int i = 0; i < 3; ++i) {
        const float vmax = maxVelocity[6 + i];
        if (vmax <= 0.0f) continue;
        const float t = std::fabs(to[6 + i] - from[6 + i]) / vmax;
        if (t > T) {
            T = t;
            D = std::fabs(to[6 + i] - from[6 + i]);
            leading = i;
        }
    }
    return leading;
}

Remaining RemainingMotion(const DataTypes::Vector3& from, const DataTypes::Vector3& to, const float* fromExternal,
                          const float* toExternal) {
    Remaining r;
    r.direction = to - from;
    // In double: the square of a huge finite distance overflows float and would leave no direction.
    const double dx = r.direction.x, dy = r.direction.y, dz = r.direction.z;
    const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
    r.length = static_cast<float>(length);
    if (r.length > 0.1f) {
        r.direction = DataTypes::Vector3(static_cast<float>(dx / length), static_cast<float>(dy / length),
                                         static_cast<float>(dz / length));
    } else {
        r.length = 0.0f;
    }
    double sum = 0.0;
    for (int i = 0; i < 3; ++i) {
        r.external[i] = toExternal[6 + i] - fromExternal[6 + i];
        sum += static_cast<double>(r.external[i]) * r.external[i];
    }
    r.externalLength = static_cast<float>(std::sqrt(sum));
    if (r.externalLength > 0.1f) {
        for (float& v : r.external) v /= r.externalLength;
    } else {
        r.externalLength = 0.0f;
    }
    return r;
}

}  // namespace MotionCommand

CommandJoint::CommandJoint() {
    className = "CommandJoint";
    motionKind = 0;
}

void CommandJoint::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    valid = false;
    sourceMode = MotionCommand::Lower(QueryString(element, "Source", "numerical"));
    number = QueryInt(element, "Nr", 0);
    const float vel = QueryFloat(element, "velPercent", 0.0f);
    const float acc = QueryFloat(element, "acc", 50.0f);
    const float smooth = QueryFloat(element, "smooth", 20.0f);
    if (!CommandSupport::HasAttribute(element, "AbortCondition")) {
        Refuse(FirstMissing(element, {"AbortCondition"}));
        log->addError("Could not read CommandJoint, incomplete arguments");
        return;
    }
    // A motion without velocity would never end.
    if (!(vel > 0.0f)) {
        Refuse(VelocityProblem(element, "velPercent"));
        log->addError("Could not read CommandJoint, velocity must be above 0");
        return;
    }
    velocity = MotionCommand::PercentAtMost100(vel, "CommandJoint");
    acceleration = MotionCommand::AccelerationOrFull(acc);
    smoothing = smooth;
    abortCondition = ReadString(element, "AbortCondition");
    static const char* const names[9] = {"a1", "a2", "a3", "a4", "a5", "a6", "e1", "e2", "e3"};
    if (sourceMode == "numerical") {
        for (int i = 0; i < 9; ++i) target.jointSetPoint[i] = QueryFloat(element, names[i], 0.0f);
        valid = true;
    } else if (sourceMode == "variable") {
        if (!CommandSupport::HasAttribute(element, "VariableName")) {
            Refuse(FirstMissing(element, {"VariableName"}));
            return;
        }
        variableName = MotionCommand::Lower(ReadString(element, "VariableName"));
        valid = true;
    } else {
        Refuse("unknown source " + AttributeText(element, "Source"));
        log->add("ERROR: could not read Joint cmd, wrong source type!");
        return;
    }
    if (quiet) return;
    const float* t = target.jointSetPoint;
    if (sourceMode == "numerical") {
        log->addFormat(
            "   Nr. %d: Joint %.1lf %.1lf %.1lf %.1lf %.1lf %.1lf  ExtJoints %.1lf %.1lf %.1lf  with vel %.1lf%%, acc "
            "%.1lf%%, smooth %.1lf%%, abortcond %s",
            number, t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], velocity, acceleration, smoothing,
            abortCondition);
    } else {
        log->addFormat("   Nr. %d: JointbyVar %s with vel %.1lf%%, acc %.1lf%%, smooth %.1lf%%, abortcond %s", number,
                       variableName, velocity, acceleration, smoothing, abortCondition);
    }
}

void CommandJoint::WriteXML(std::ofstream* out, int index) {
    // Written so that it loads again: taught points must survive a save.
    const std::string tail = CommandSupport::Format(" velPercent=\"%0.1f\" acc=\"%0.1f\" smooth=\"%0.1f\"",
                                                    static_cast<double>(velocity), static_cast<double>(acceleration),
                                                    static_cast<double>(smoothing)) +
                             " AbortCondition=\"" + CommandSupport::EscapeXml(abortCondition) + "\" Descr=\"\" />";
    if (sourceMode == "variable") {
        CommandSupport::WriteLine(out, CommandSupport::Format("<Joint Nr=\"%d\" Source=\"variable\"", index) +
                                           " VariableName=\"" + CommandSupport::EscapeXml(variableName) + "\"" + tail);
        return;
    }
    const float* t = target.jointSetPoint;
    CommandSupport::WriteLine(
        out, CommandSupport::Format("<Joint Nr=\"%d\" a1=\"%0.3f\" a2=\"%0.3f\" a3=\"%0.3f\" a4=\"%0.3f\" a5=\"%0.3f\" "
                                    "a6=\"%0.3f\" e1=\"%0.3f\" e2=\"%0.3f\" e3=\"%0.3f\"",
                                    index, static_cast<double>(t[0]), static_cast<double>(t[1]),
                                    static_cast<double>(t[2]), static_cast<double>(t[3]), static_cast<double>(t[4]),
                                    static_cast<double>(t[5]), static_cast<double>(t[6]), static_cast<double>(t[7]),
                                    static_cast<double>(t[8])) +
                 tail);
}

int CommandJoint::Interpolate(int cycleMs, float override, DataTypes::RobotState* state) {
    if (firstVisit) {
        if (sourceMode == "variable") {
            Programs::MemoryPosition var;
            GetVariableFromProgramMemory(variableName, &var);
            target = *state;
            for (int i = 0; i < 9; ++i) target.jointSetPoint[i] = var.position.jointSetPoint[i];
        }
        EliminateNonexistentJoints(target.jointSetPoint);
        for (int i = 0; i < 9; ++i) goal[i] = target.jointSetPoint[i] + (jointOffsets != nullptr ? jointOffsets[i].load() : 0.0f);
        firstVisit = false;
    }
    if (override != storedOverride) storedOverride = override;
    stepFraction = (velocity / 100.0f) * static_cast<float>(cycleMs) / 1000.0f * override / 100.0f;
    largest = 0.0f;
    for (int i = 0; i < 9; ++i) {
        if (jointMaxVelocity[i] == 0.0f) {
            work[i] = 0.0f;
            continue;
        }
        work[i] = (goal[i] - state->jointSetPoint[i]) / jointMaxVelocity[i];
        if (std::fabs(work[i]) > largest) largest = std::fabs(work[i]);
    }
    // At the goal (largest 0) the motion arrives at once: no 0 / 0.
    if (largest <= 0.0f || largest < stepFraction) {
        for (int i = 0; i < 9; ++i) {
            if (jointMaxVelocity[i] != 0.0f) state->jointSetPoint[i] = goal[i];
        }
        firstVisit = true;
        return succ[0];
    }
    for (int i = 0; i < 9; ++i) state->jointSetPoint[i] += work[i] / largest * stepFraction * jointMaxVelocity[i];
    return -1;
}

int CommandJoint::InterpolateLogic(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    return CommandSupport::EvaluateCondition(abortCondition, memory, state) ? succ[0] : -1;
}

void CommandJoint::GetTargetPosition(DataTypes::RobotState* /*start*/, DataTypes::RobotState* out, float& cartVel,
                                     float& jointVelPercent, float& acc, float& smooth) {
    if (sourceMode == "variable") {
        Programs::MemoryPosition var;
        GetVariableFromProgramMemory(variableName, &var);
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

std::string CommandJoint::ToString() {
    return CommandSupport::Format("Command Joint  - Pre: %d - Succ: %d %d %d", pre, succ[0], succ[1], succ[2]);
}
