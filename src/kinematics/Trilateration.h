#pragma once
// The point at given distances from three centres (the rods of a linear
// delta meeting on its platform). Of the two solutions the lower one (smaller
// Z) is taken, the platform hanging below its carriages. Each function returns
// false, leaving `out` as it was, when the spheres have no common point.
// Computed in double precision: with nearly equal centre heights the
// intermediate coefficients grow large.

#include "datatypes/Vector3.h"

// Chooses the variant below that suits the centres' heights.
bool Trilateration(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2, const DataTypes::Vector3& p3,
                   float r1, float r2, float r3, DataTypes::Vector3* out);

// All three centres at one height.
bool TrilaterationSameZHeight(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                              const DataTypes::Vector3& p3, float r1, float r2, float r3,
                              DataTypes::Vector3* out);

// p3 at another height than p1 and p2.
bool TrilaterationDifferentZHeight(const DataTypes::Vector3& p1, const DataTypes::Vector3& p2,
                                   const DataTypes::Vector3& p3, float r1, float r2, float r3,
                                   DataTypes::Vector3* out);
