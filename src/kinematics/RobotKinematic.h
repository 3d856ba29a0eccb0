#pragma once
// Base of every robot geometry: joint conversions, limit and virtual-box
// checks, external axes and the velocity elements of the robot file.
//
// Errors of a set-point are thrown as plain int codes:
//   13 joint minimum, 14 joint maximum, 21 centre singularity, 22 out of reach,
//   23 wrist singularity, 30..35 virtual box (X+, X-, Y+, Y-, Z+, Z-), 50 NaN.
// Some geometries throw std::runtime_error as well; callers catch both.
// A thrown code never changes the committed joints, velocities or pose.

#include <string>

#include "datatypes/Matrix44.h"
#include "datatypes/RobotState.h"
#include "datatypes/Vector3.h"
#include "kinematics/Tool.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

class ExternalAxis;

class RobotKinematic {
public:
    static constexpr int maxJoints = 9;

    RobotKinematic();
    // Clones are owned and deleted through this base.
    virtual ~RobotKinematic();

    // Copies the shared fields of `from` (all but velocitySet and logLimitViolation).
    virtual void clone(RobotKinematic* from);
    // New object of the same geometry copied from this one; the caller owns it.
    virtual RobotKinematic* clone() = 0;
    // Internal joint values to motor values and back, in place.
    virtual void AdaptJointsToMotors(float* joints);
    virtual void AdaptMotorsToJoints(float* joints);
    virtual void Init(const std::string& robotName, const std::string& robotType,
                      const std::string& robotFile, int velocitySet);
    // Joint set-point in user units; with `check` the limits and the virtual box are checked.
    virtual void SetJoints(const float* userJoints, bool check);
    // Cartesian set-point (tool centre point); external axes at indices 6..8 of `joints`.
    virtual void SetPosition(const DataTypes::Matrix44& target, float* joints);
    virtual void UpdateConfigurationFile(tinyxml2::XMLDocument* doc, tinyxml2::XMLElement* robot);

    // User joint values of the last accepted set-point.
    void GetJoints(float* out) const;
    void GetPosition(DataTypes::RobotState* state) const;
    // Limits in user units.
    void SetMinMaxValues(float limits[maxJoints][2]);
    void GetMinMaxValues(float limits[maxJoints][2]) const;
    void AddExternalAxis(const ExternalAxis& axis);
    void ResetLastJoints(const float* userJoints);
    void KinAdaptorToInternalFormat(float* joints, float* z) const;
    // NaN (and infinity) and limit checks of internal values; on success the
    // joint velocities are stored. Throws 50, 13 or 14 and then stores nothing.
    void CheckJoints(float* internalJoints);
    void CheckVirtualBox(const DataTypes::Vector3& newPos, const DataTypes::Vector3& lastPos);
    DataTypes::Vector3 ComputeLinearAxisPositionOffset(const float* joints);
    DataTypes::Vector3 AddLinearAxisPositionOffset(const float* joints, DataTypes::Matrix44& m);
    DataTypes::Vector3 AddLinearAxisPositionOffset(const float* joints, const DataTypes::Vector3& v);
    DataTypes::Vector3 SubtractLinearAxisPositionOffset(const float* joints, DataTypes::Matrix44& m);
    DataTypes::Vector3 SubtractLinearAxisPositionOffset(const float* joints, const DataTypes::Vector3& v);
    void ReadIniFileVelocities(tinyxml2::XMLElement* robot);

    Tool tool;
    std::string robotName;
    std::string robotType;
    std::string kinematicTypeName;
    int nrOfJoints = 0;
    int nrOfExternalAxes = 0;
    int velocitySet = -1;
    DataTypes::Matrix44 pose;
    float poseExtra[3] = {0, 0, 0};
    float joints[maxJoints] = {};
    float jointVelocities[maxJoints] = {};
    float jointLimits[maxJoints][2] = {};
    float maxJointVelocities[maxJoints] = {};
    float maxJointAccelerations[maxJoints] = {};
    float maxJointAccelerationIncs[maxJoints] = {};
    double velTrans = 100;
    double accLin = 1000;
    double accLinInc = 3000;
    double accOri = 1000;
    double accOriInc = 3000;
    double velOri = 180;
    bool tcpXDirToFront = false;
    bool extAxisPresent[3] = {false, false, false};
    bool extAxisIndependent[3] = {true, true, true};
    DataTypes::Vector3 extAxisPositionOffset[3];
    DataTypes::Vector3 extAxisBaseOffset[3];
    int directionAngleToY[3] = {0, 0, 0};
    float zOffset = 0;
    float jointOffsets[maxJoints] = {};
    float jointDirections[maxJoints] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    double cycleTimeMs = 0;
    bool virtualBoxActive = false;
    DataTypes::Vector3 virtualBoxMin;
    DataTypes::Vector3 virtualBoxMax;
    bool logLimitViolation = true;

protected:
    // Start-up defaults of the arms whose robot file may leave them out: pose at
    // (400, 50, 300), 20 deg/s, 100 deg/s^2 and +-150 deg on every joint.
    void SetArmStartDefaults();
    // Building blocks of the set-point flows shared by the geometries.
    void UserToInternal(const float* userJoints, float* internal) const;
    // The checks of CheckJoints without storing anything; the velocities go to `velocities`.
    void CheckJointsPending(const float* internalJoints, float* velocities);
    // Commits robot joints 0..nrOfJoints-1 and 6..8; velocities may be null (unchecked set-point).
    void CommitJoints(const float* internalJoints, const float* velocities);

    // Robot file reading shared by the geometries. Every missing element sets
    // its serious-fail reason and switches to operation mode 1; nothing exits.
    // Opens and parses the file and returns "Robot", or null after reason 51, 52 or 53.
    tinyxml2::XMLElement* OpenRobotFile(tinyxml2::XMLDocument& doc, const std::string& robotFile,
                                        const char* reasonNotValid = "52 Robot Ini not correct");
    // The named child of "Robot"; missing: logs the line and sets `reason`.
    tinyxml2::XMLElement* RequireElement(tinyxml2::XMLElement* robot, const char* name,
                                         const char* reason, bool quoteName = false);
    // "SoftwareMinMax" A1Min..AnMax into jointLimits (user units); reason 55 when missing.
    void ReadSoftwareMinMax(tinyxml2::XMLElement* robot);
    // "ManufacturerJointConfig" zOffset, AnOffset, AnDir; reason 58 when missing.
    void ReadManufacturerJointConfig(tinyxml2::XMLElement* robot);

    // Attribute readers: a missing, unparsable or non-finite value leaves the field as it was.
    static bool ReadFloatAttribute(const tinyxml2::XMLElement* e, const char* name, float& value);
    static bool ReadDoubleAttribute(const tinyxml2::XMLElement* e, const char* name, double& value);
    static void SetSeriousFail(const std::string& reason);
};
