#pragma once
// What the line and the arc share: the orientation and external-axis profiles
// that follow the translation, the choice of the leading profile, the cuts at
// the blends and the sampling of a fraction of the motion.

#include "PkgProgram/PathBasicCurve.h"
#include "PkgProgram/PathElement.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"

namespace Programs {
namespace ElementSupport {

// The orientation and external-axis state of a main element between its start and end.
struct Motion {
    PathBasicCurve* profiles;  // [5]: translation, orientation, external axes 1 to 3
    float* lengths;            // [5]
    float* durations;          // [5]
    DataTypes::Vector3& rotationAxis;
    float& rotationAngle;
    float* externalStart;  // [3]
    float* externalEnd;    // [3]
    float* externalSign;   // [3]
};

// Profiles of an element's Init: translation at `velocity`, the others at their limits,
// all starting and ending at rest or at cruise as the translation does.
void InitProfiles(const PathElement& element, PathBasicCurve* profiles, float velocity, float startVelocity,
                  float endVelocity, float accelerationFactor);
// Init of a line or an arc: the end state, the external axes' ends and the profiles.
void InitMain(const PathElement& element, const DataTypes::RobotState& target, DataTypes::RobotState& endState,
              float* externalEnd, PathBasicCurve* profiles, float velocity, float startVelocity, float endVelocity,
              float accelerationFactor);
// Limits both blend distances to a third of the length and gives the fractions they cut.
void LimitCuts(float length, float& distStart, float& distEnd, float& fStart, float& fEnd, bool debug);
// Plans the profiles; with the debug flag logs the element and its translation profile.
void PrepareWithLog(const Motion& m, bool debug, const char* name, const DataTypes::RobotState& start,
                    const DataTypes::RobotState& end);
// The rotation block of a pose.
DataTypes::Matrix44 Rotation(const DataTypes::Matrix44& pose);
// lengths[k] x 1000 / velocity, 0 for a quantity that does not move.
float NominalDuration(float length, float velocity);
// Rotation from the start to the end orientation and the external-axis travels (lengths and
// durations 1 to 4).
void MeasureOrientationAndExternal(const DataTypes::RobotState& start, const DataTypes::RobotState& end,
                                   const Motion& m);
// Index of the longest duration; the first of equal ones, 0 when none is above 0.
int Leading(const float* durations);
// Cuts orientation and external axes by the fractions, writes the cut poses (with the given
// positions) into start and end, and the lengths into the profiles.
void CutOrientationAndExternal(DataTypes::RobotState& start, DataTypes::RobotState& end,
                               const DataTypes::Vector3& pStart, const DataTypes::Vector3& pEnd, float fStart,
                               float fEnd, const Motion& m);
// The leading profile's progress at t: 0..1, 1 outside the element.
float Progress(const PathBasicCurve& leading, float length, float t, bool inRange);
// Orientation turned by the fraction f from the start pose, and the external axes, into out.
void SampleOrientationAndExternal(const DataTypes::RobotState& startState, const DataTypes::Vector3& rotationAxis,
                                  float rotationAngle, const float* externalStart, const float* externalSign,
                                  const PathBasicCurve* profiles, float f, const DataTypes::Vector3& position,
                                  DataTypes::RobotState& out);
// The end state exactly, not a sum that rounds near it.
void WriteEnd(const DataTypes::RobotState& endState, DataTypes::RobotState& out);
// Path velocity stretched to the leading profile's time.
float PathVelocity(const PathBasicCurve* profiles, const float* durations, int leading);

}  // namespace ElementSupport
}  // namespace Programs
