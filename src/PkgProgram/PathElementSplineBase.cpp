#include "PkgProgram/PathElementSplineBase.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "datatypes/BezierCasteljau.h"

namespace Programs {

namespace {

// Polygon length of the curve between two parameters, in parameter steps of 0.0001.
double CurveDistance(const DataTypes::BezierCasteljau& curve, double from, double to) {
    std::vector<float> a(16);
    std::vector<float> b(16);
    curve.Interpolate(static_cast<float>(from), a.data());
    double sum = 0.0;
    for (double u = from; u < to;) {
        u = std::min(to, u + 0.0001);
        curve.Interpolate(static_cast<float>(u), b.data());
        double d = 0.0;
        for (std::size_t i = 0; i < 16; ++i) d += static_cast<double>(b[i] - a[i]) * (b[i] - a[i]);
        sum += std::sqrt(d);
        a.swap(b);
    }
    return sum;
}

}  // namespace

void PathElementSplineBase::BuildLookUpTable(const DataTypes::BezierCasteljau& curve,
                                             const std::function<float(float)>& speedAt, double* durationOut,
                                             double* lengthOut) {
    const double dt = 5.0;
    double u = 0.0;
    double walked = 0.0;
    double time = 0.0;
    lookUpTable.clear();
    const float speedStart = speedAt(0.0f);
    const float speedEnd = speedAt(1.0f);
    // A blend that stands still at both ends would creep through ten thousand rows of no time.
    if (!(speedStart > 0.0f) && !(speedEnd > 0.0f)) {
        lookUpTable.push_back({0.0f, 0.0f, 0.0f});
        lookUpTable.push_back({1.0f, 0.0f, 0.0f});
        *durationOut = 0.0;
        *lengthOut = 0.0;
        return;
    }
    while (u < 1.0) {
        lookUpTable.push_back({static_cast<float>(u), static_cast<float>(walked), static_cast<float>(time)});
        float v = speedAt(static_cast<float>(u));
        // A negative or NaN speed would walk backwards for ever: it counts as standing still.
        if (!(v > 0.0f)) v = 0.0f;
        const double step = dt * static_cast<double>(v) / 1000.0;
        const double before = u;
        curve.ProceedCart(&u, step, 0.0001);
        // The walk came back half a parameter step from the curve's end: it ran out of curve.
        if (u >= 1.0 - 0.00005 - 1e-9 && step > 0.0) {
            // The walk ran out of curve: the last row takes only the time of the distance left,
            // or the blend would crawl through its last milliseconds.
            const double left = CurveDistance(curve, before, 1.0);
            const double share = std::min(1.0, left / step);
            time += dt * share;
            walked += left;
            u = 1.0;
            break;
        }
        if (step > 0.0) time += dt;
        walked += step;
        if (step == 0.0) u += 0.0001;
    }
    if (u > 1.0) u = 1.0;
    lookUpTable.push_back({static_cast<float>(u), static_cast<float>(walked), static_cast<float>(time)});
    *durationOut = time;
    *lengthOut = walked;
}

float PathElementSplineBase::ParameterAt(float t, bool inRange, const DataTypes::BezierCasteljau& curve,
                                         int dimension) const {
    if (!inRange) return 1.0f;
    std::size_t i = 0;
    while (i < lookUpTable.size() && !(lookUpTable[i].time > t)) ++i;
    if (i == lookUpTable.size()) return 1.0f;
    if (i == 0) return 0.0f;
    const TableElem& r0 = lookUpTable[i - 1];
    const TableElem& r1 = lookUpTable[i];
    if (r1.time - r0.time <= 0.0f) return r1.parameter;
    const float w = (t - r0.time) / (r1.time - r0.time);
    // Equal distances in equal times inside the row: the parameter does not run evenly along
    // the curve, least of all where a sharp corner makes it turn back.
    constexpr int Parts = 8;
    float points[Parts + 1][9];
    float along[Parts + 1];
    along[0] = 0.0f;
    const float du = (r1.parameter - r0.parameter) / Parts;
    curve.Interpolate(r0.parameter, points[0]);
    for (int k = 1; k <= Parts; ++k) {
        curve.Interpolate(r0.parameter + du * static_cast<float>(k), points[k]);
        float d = 0.0f;
        for (int j = 0; j < dimension; ++j) d += (points[k][j] - points[k - 1][j]) * (points[k][j] - points[k - 1][j]);
        along[k] = along[k - 1] + std::sqrt(d);
    }
    if (!(along[Parts] > 0.0f)) return (1.0f - w) * r0.parameter + w * r1.parameter;
    const float goal = w * along[Parts];
    int k = 1;
    while (k < Parts && along[k] < goal) ++k;
    const float span = along[k] - along[k - 1];
    const float inside = span > 0.0f ? (goal - along[k - 1]) / span : 0.0f;
    return r0.parameter + du * (static_cast<float>(k - 1) + inside);
}

}  // namespace Programs
