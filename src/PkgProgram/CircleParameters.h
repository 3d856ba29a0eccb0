#pragma once
// A circle through three points: start P1, via P2 and end P3, with the arc to
// travel from P1 (positive towards the frame's +x).

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"

class CircleParameters {
public:
    // The arc runs from P1 through P2 to P3. Geometric failures throw std::runtime_error.
    CircleParameters(const DataTypes::Vector3& P1, const DataTypes::Vector3& P2, const DataTypes::Vector3& P3);
    // The arc runs angleDeg degrees from P1; |angle| below 0.001 rad throws.
    CircleParameters(const DataTypes::Vector3& P1, const DataTypes::Vector3& P2, const DataTypes::Vector3& P3,
                     double angleDeg);

    void CalculateCircle(const DataTypes::Vector3& P1, const DataTypes::Vector3& P2, const DataTypes::Vector3& P3);
    // Point at t rad from P1 along the circle.
    DataTypes::Vector3 CalculatePosition(double t) const;
    // Unit tangent at t in the direction of travel.
    DataTypes::Vector3 CalculateDirection(double t) const;

    DataTypes::Vector3 P1;
    DataTypes::Vector3 P2;
    DataTypes::Vector3 P3;
    DataTypes::Vector3 centre;
    double radius = 0.0;
    DataTypes::Vector3 normal;
    DataTypes::Matrix44 frame;  // x, y (centre to P1), z (normal), centre as translation
    double angle = 0.0;         // rad
};
