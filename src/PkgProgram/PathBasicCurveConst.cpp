#include "PkgProgram/PathBasicCurveConst.h"

#include <sstream>

#include "common/LogSingleton.h"

namespace Programs {

void PathBasicCurveConst::PrepareAcceleration() {
    // Nothing to cover takes no time, whatever the velocity.
    duration = length == 0.0f ? 0.0f : length / velocity * 1000.0f;
    if (debug)
        LogSingleton::instance()->addFormat(
            "PathBasicCurveConst - PrepareAcceleration: Length %.2f with %.2f units/s in %.2f ms", length, velocity,
            duration);
}

float PathBasicCurveConst::GetValue(float t) const {
    if (t >= duration) return length;
    if (t > 0.0f) return velocity * t / 1000.0f;
    return 0.0f;
}

std::string PathBasicCurveConst::ToString() const {
    std::ostringstream out;
    out.precision(2);
    out << "From 0 to " << length << " with " << velocity << " units/s in " << duration << " ms";
    return out.str();
}

}  // namespace Programs
