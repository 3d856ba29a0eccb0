#include "PkgProgram/PathElementCircular.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "PkgProgram/PathElementSupport.h"
#include "common/LogSingleton.h"

namespace Programs {

namespace {

ElementSupport::Motion MotionOf(PathElementCircular& e) {
    return {e.profiles, e.lengths, e.durations, e.rotationAxis, e.rotationAngle, e.externalStart, e.externalEnd,
            e.externalSign};
}

}  // namespace

PathElementCircular::PathElementCircular(int commandIndex, int successorIndex,
                                         std::shared_ptr<const CircleParameters> circleParameters)
    : PathElementMainBase(commandIndex, successorIndex), circle(std::move(circleParameters)) {}

void PathElementCircular::Init(const DataTypes::RobotState& target, float velocity, float startVelocity,
                               float endVelocity, float accelerationFactor, float /*unused1*/, float /*unused2*/) {
    ElementSupport::InitMain(*this, target, endState, externalEnd, profiles, velocity, startVelocity, endVelocity,
                             accelerationFactor);
}

void PathElementCircular::PrepareGeometry(DataTypes::RobotState& start, float distStart, float distEnd,
                                          DataTypes::RobotState& end) {
    if (!circle) throw std::invalid_argument("PathElementCircular: no circle");
    LogSingleton* log = LogSingleton::instance();
    const ElementSupport::Motion m = MotionOf(*this);
    startState = start;
    lengths[0] = static_cast<float>(circle->radius * std::fabs(circle->angle));
    durations[0] = ElementSupport::NominalDuration(lengths[0], profiles[0].Vel);
    ElementSupport::MeasureOrientationAndExternal(start, endState, m);
    leadingProfile = ElementSupport::Leading(durations);
    if (debug) log->addFormat("Circlie: longest is %d with %lf ms", leadingProfile, durations[leadingProfile]);

    float fStart = 0.0f;
    float fEnd = 0.0f;
    ElementSupport::LimitCuts(lengths[0], distStart, distEnd, fStart, fEnd, debug);
    startAngle = static_cast<double>(fStart) * circle->angle;
    endAngle = (1.0 - static_cast<double>(fEnd)) * circle->angle;
    const DataTypes::Vector3 pStart = circle->CalculatePosition(startAngle);
    // The uncut end is the target itself: the arc lands on it exactly.
    const DataTypes::Vector3 pEnd = fEnd > 0.0f ? circle->CalculatePosition(endAngle) : endState.pose.GetTranslation();
    lengths[0] = lengths[0] - distStart - distEnd;
    startDirection = circle->CalculateDirection(startAngle);
    endDirection = circle->CalculateDirection(endAngle);
    end = endState;
    ElementSupport::CutOrientationAndExternal(start, end, pStart, pEnd, fStart, fEnd, m);
    startState = start;
    endState = end;
    if (debug)
        log->addFormat("PathElementCircular Smoothing: before %lf A=%lf, after %lf A=%lf", distStart, start.A,
                       distEnd, end.A);
}

void PathElementCircular::PrepareAcceleration() {
    ElementSupport::PrepareWithLog(MotionOf(*this), debug, "PathElementCircular", startState, endState);
}

PathElement::GetPositionResult PathElementCircular::GetPosition(float t, DataTypes::RobotState& out) const {
    if (!IsTimeInRange(t)) {
        ElementSupport::WriteEnd(endState, out);
        return OutOfRange;
    }
    const float f = ElementSupport::Progress(profiles[leadingProfile], lengths[leadingProfile], t, true);
    double a = startAngle + static_cast<double>(f) * (endAngle - startAngle);
    a = circle->angle > 0.0 ? std::min(a, endAngle) : std::max(a, endAngle);
    ElementSupport::SampleOrientationAndExternal(startState, rotationAxis, rotationAngle, externalStart, externalSign,
                                                 profiles, f, circle->CalculatePosition(a), out);
    return InRange;
}

float PathElementCircular::GetVel() const { return ElementSupport::PathVelocity(profiles, durations, leadingProfile); }

float PathElementCircular::GetDuration() const { return profiles[leadingProfile].GetDurationInMs(); }

bool PathElementCircular::IsTimeInRange(float t) const { return t >= 0.0f && t < durations[leadingProfile]; }

std::string PathElementCircular::ToString() const {
    return "PathElementCircular from " + startState.pose.GetTranslation().ToString() + " to " +
           endState.pose.GetTranslation().ToString();
}

}  // namespace Programs
