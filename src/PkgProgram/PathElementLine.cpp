#include "PkgProgram/PathElementLine.h"

#include "PkgProgram/PathElementSupport.h"
#include "common/LogSingleton.h"

namespace Programs {

namespace {

ElementSupport::Motion MotionOf(PathElementLine& e) {
    return {e.profiles, e.lengths, e.durations, e.rotationAxis, e.rotationAngle, e.externalStart, e.externalEnd,
            e.externalSign};
}

}  // namespace

PathElementLine::PathElementLine(int commandIndex, int successorIndex)
    : PathElementMainBase(commandIndex, successorIndex) {}

void PathElementLine::Init(const DataTypes::RobotState& target, float velocity, float startVelocity,
                           float endVelocity, float accelerationFactor, float /*unused1*/, float /*unused2*/) {
    ElementSupport::InitMain(*this, target, endState, externalEnd, profiles, velocity, startVelocity, endVelocity,
                             accelerationFactor);
}

void PathElementLine::PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                                      DataTypes::RobotState& end) {
    LogSingleton* log = LogSingleton::instance();
    const ElementSupport::Motion m = MotionOf(*this);
    startState = start;
    const DataTypes::Vector3 from = start.pose.GetTranslation();
    const DataTypes::Vector3 to = endState.pose.GetTranslation();
    direction = to - from;
    lengths[0] = direction.Magnitude();
    if (lengths[0] > 0.0001f) {
        direction.Normalize();
    } else {
        direction = DataTypes::Vector3();
    }
    durations[0] = ElementSupport::NominalDuration(lengths[0], profiles[0].Vel);
    ElementSupport::MeasureOrientationAndExternal(start, endState, m);
    leadingProfile = ElementSupport::Leading(durations);
    if (debug) log->addFormat("Line: longest is %d with %lf ms", leadingProfile, durations[leadingProfile]);

    float fStart = 0.0f;
    float fEnd = 0.0f;
    ElementSupport::LimitCuts(lengths[0], distStart, distEnd, fStart, fEnd, debug);
    const DataTypes::Vector3 pStart = from + direction * distStart;
    const DataTypes::Vector3 pEnd = to - direction * distEnd;
    lengths[0] = lengths[0] - distStart - distEnd;
    // A line onto its own start (within what the profiles plan) arrives at once; any other
    // line needs a translation to follow.
    const bool moves = (pEnd - pStart).Magnitude() > 0.0001f || lengths[1] >= 0.01f || lengths[2] >= 0.01f ||
                       lengths[3] >= 0.01f || lengths[4] >= 0.01f;
    if (moves) {
        startDirection = (pEnd - pStart).Normalized();
    } else {
        startDirection = DataTypes::Vector3();
    }
    endDirection = startDirection;
    end = endState;
    ElementSupport::CutOrientationAndExternal(start, end, pStart, pEnd, fStart, fEnd, m);
    startState = start;
    endState = end;
    if (debug)
        log->addFormat("PathElementLine Smoothing: before %lf A=%lf, after %lf A=%lf", distStart, start.A, distEnd,
                       end.A);
}

void PathElementLine::PrepareAcceleration() {
    ElementSupport::PrepareWithLog(MotionOf(*this), debug, "PathElementLine", startState, endState);
}

PathElement::GetPositionResult PathElementLine::GetPosition(float t, DataTypes::RobotState& out) const {
    if (!IsTimeInRange(t)) {
        ElementSupport::WriteEnd(endState, out);
        return OutOfRange;
    }
    const float f = ElementSupport::Progress(profiles[leadingProfile], lengths[leadingProfile], t, true);
    const DataTypes::Vector3 p = startState.pose.GetTranslation() + direction * (profiles[0].Length * f);
    ElementSupport::SampleOrientationAndExternal(startState, rotationAxis, rotationAngle, externalStart, externalSign,
                                                 profiles, f, p, out);
    return InRange;
}

float PathElementLine::GetVel() const {
    return ElementSupport::PathVelocity(profiles, durations, leadingProfile);
}

float PathElementLine::GetDuration() const { return profiles[leadingProfile].GetDurationInMs(); }

bool PathElementLine::IsTimeInRange(float t) const { return t >= 0.0f && t < durations[leadingProfile]; }

std::string PathElementLine::ToString() const {
    return "PathElementLine from " + startState.pose.GetTranslation().ToString() + " to " +
           endState.pose.GetTranslation().ToString();
}

}  // namespace Programs
