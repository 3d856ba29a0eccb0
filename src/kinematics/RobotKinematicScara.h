#pragma once
// What the three SCARA geometries share: start-up and robot file reading,
// the planar two-link solution with its arm configuration, the reach check
// with its once-only log line, and the joint and Cartesian set-point flows.
// The arm configuration (elbow side) follows the joints last given to
// SetJoints, which the robot thread calls with the actual joints every cycle.

#include <string>

#include "kinematics/RobotKinematic.h"

class RobotKinematicScara : public RobotKinematic {
public:
    ~RobotKinematicScara() override;

    void Init(const std::string& robotName, const std::string& robotType, const std::string& robotFile,
              int velocitySet) override;
    void SetJoints(const float* userJoints, bool check) override;
    // Throws 22 when the target is out of reach, and the base codes.
    void SetPosition(const DataTypes::Matrix44& target, float* joints) override;

    void ReadIniFile(const std::string& robotFile);
    // Tool pose for internal joints.
    virtual void ForwardKin(float* joints, DataTypes::Matrix44* pose) = 0;

    float hbase = 200;
    float distx1 = 70;
    float radius1 = 120;
    float radius2 = 100;
    float radius3 = 30;
    bool elbowNegative = true;
    bool reachErrorLogged = false;

protected:
    // `elbowJoint`: the joint whose sign tells the elbow side.
    RobotKinematicScara(const char* typeName, int elbowJoint);

    // The start-up header line's format (robot name and type), or null for none.
    virtual const char* HeaderFormat() const = 0;
    // The geometry's own attributes of "Kinematic" besides the shared lengths.
    virtual void ReadKinematic(tinyxml2::XMLElement* kinematic) = 0;
    // Joints for a target whose external axes' shift is already taken off;
    // this default takes the tool off and solves for the flange.
    virtual void SolveTarget(const DataTypes::Matrix44& target, float* joints);
    virtual void InverseKin(const DataTypes::Matrix44& frame, float* joints) = 0;
    // The pose committed by SetPosition; `shift` is the external axes' shift.
    virtual DataTypes::Matrix44 PoseAfterSolve(const DataTypes::Matrix44& target, float* joints,
                                               const DataTypes::Vector3& shift);

    // Shoulder, elbow and last joint (degrees, written to q[0..2]) for the
    // flange point p whose last arm points along the horizontal part of
    // `lastArm`; without `withLast` the flange sits on the elbow's arm and
    // q[2] is 0. The arm bends to the elbow side of the last SetJoints;
    // shoulder and elbow are the equivalents nearest the current joints, the
    // last joint lies in (-180, 180]. Throws 22 (logged once) when the point
    // is out of reach.
    void SolvePlanar(const DataTypes::Vector3& p, const DataTypes::Vector3& lastArm, bool withLast, float* q);
    [[noreturn]] void OutOfReach();

    // Horizontal flange position and direction of the last arm (degrees) for
    // shoulder, elbow and, with `withLast`, last joint angles.
    void PlanarForward(float shoulder, float elbow, float last, bool withLast, double* x, double* y,
                       double* directionDeg) const;
    // Flange pose: position, and the arm direction (degrees) as the flange's
    // X axis (tool down) or Z axis (tool horizontal); the tool then follows.
    DataTypes::Matrix44 ToolPose(double x, double y, double z, double directionDeg, bool toolDown) const;

    // Integer (non-zero true) or "true"/"false" in any letter case; anything else leaves `value`.
    static bool ReadBoolAttribute(const tinyxml2::XMLElement* e, const char* name, bool& value);

private:
    int m_ElbowJoint;
};
