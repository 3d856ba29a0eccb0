#pragma once
// Bezier curve of any dimension and any number of control points, evaluated
// with de Casteljau's scheme.

#include <vector>

#include "datatypes/Vector3.h"
#include "datatypes/VectorN.h"

namespace DataTypes {

class BezierCasteljau {
public:
    // A dimension below 1 throws std::invalid_argument.
    explicit BezierCasteljau(int dimension);
    ~BezierCasteljau();

    // Each form appends a control point at the end of the curve.
    void AddStartPoint(float value);
    void AddStartPoint(const float* values);
    void AddStartPoint(const Vector3& p);
    void AddStartPoint(const VectorN& p);

    // Writes the point at t (not clamped) as dimension floats; needs 2 points.
    void Interpolate(float t, float* out) const;
    // Polygon length over all coordinates with the given number of segments.
    float GetLength3D(int steps) const;
    // Advances *t in steps of 'step' until the chord length walked reaches
    // 'distance', then half a step back; returns the point at the new *t.
    VectorN ProceedCart(double* t, double distance, double step) const;
    // Prints the curve and 50 sample points to standard output.
    void Test() const;

private:
    VectorN InterpolateVector(float t) const;
    double Distance(const std::vector<float>& a, const std::vector<float>& b) const;

    int m_Dimension;
    std::vector<std::vector<float>> m_Points;
};

}  // namespace DataTypes
