#pragma once
// What the arms with parallel shoulder, elbow and wrist-pitch axes share
// (three-axis planar arm, Dravo4, Dravo5): their links and flags, the robot
// file, the joint set-point with the configuration flags it records, the
// shoulder and elbow from the wrist centre, the turning of an orientation
// into the arm's vertical plane, and errors that are logged once per series
// of refused targets.

#include <functional>
#include <string>

#include "kinematics/KinMath.h"
#include "kinematics/RobotKinematic.h"

class PlanarArm : public RobotKinematic {
public:
    ~PlanarArm() override;
    // The base fields and the links and flags below.
    void clone(RobotKinematic* from) override;

    // Flange pose (tool included) of internal joints; records the wrist centre.
    void ForwardKin(const float* internalJoints, DataTypes::Matrix44* pose);
    void ForwardKinJ1toJ3(const float* internalJoints, DataTypes::Matrix44* m);
    void ForwardKinJ4toJ6(const float* internalJoints, DataTypes::Matrix44* w);
    // Internal robot joints for a tool centre point pose, without turning
    // its orientation; throws 21, 22.
    virtual void InverseKin(const DataTypes::Matrix44& target, float* internalJoints);
    // The arm joints (A1 to A3) for a flange pose, each nearest the current joint.
    void ComputeA1toA3(const DataTypes::Matrix44& flange, float* internalJoints);
    // Turns the flange's orientation into the vertical plane through the base axis and the flange.
    void LimitOrientation(DataTypes::Matrix44* flange);

    float lz0 = 158;
    float lz1 = 60;
    float lz2 = 190;  // upper arm
    float lz3 = 220;  // forearm, up to the wrist centre
    float lz4 = 46;   // wrist centre towards the flange
    float singularityCenter = 5;
    float singularityEllbow = 30;
    DataTypes::Vector3 wristPoint;
    bool elbowUp = true;
    bool armFront = true;
    bool errorLogged = false;

    // Logs `text` as an error unless a refusal was logged since the last
    // accepted Cartesian set-point, then throws `code`.
    [[noreturn]] static void Refuse(bool& errorLogged, int code, const std::string& text);

    // Throws 21 with the centre-axis message.
    [[noreturn]] static void RefuseCentre(double px, double py, float center, bool& errorLogged);
    // Throws 21 when the wrist centre lies within `center` of the base axis in both X and Y.
    static void CheckCentre(double px, double py, float center, bool& errorLogged);

    // Shoulder angle (from vertical towards the front) and elbow angle
    // (relative to the upper arm), degrees, for a wrist centre r (>= 0) in
    // front of the shoulder axis and h above it. Throws 22 beyond
    // upper + fore - ellbow and where no triangle closes.
    static void SolveShoulderElbow(double r, double h, double upper, double fore, float ellbow, bool elbowUp,
                                   bool& errorLogged, double* shoulder, double* elbow);

    // Flags of a committed joint set-point: the elbow joint's sign gives the
    // branch; a wrist centre behind the base axis (wristFront < 0, seen in
    // the arm's own direction) clears armFront and inverts the branch.
    static void UpdateConfiguration(double elbowJoint, double wristFront, bool& elbowUp, bool& armFront);

    // Turns the approach (column 2) of `f` into the vertical plane of
    // azimuth phi (radians); X becomes the in-plane axis and Y the plane's
    // horizontal normal. An approach with (almost) no part in that plane
    // has no nearest orientation: throws 22.
    static void LimitOrientation(KinMath::Frame& f, double phi, bool& errorLogged);

    // Azimuth (radians) of the vertical plane through the base axis and the
    // flange of `f`. Close to the axis the flange's own azimuth is mere
    // rounding; the plane then goes through the wrist centre, `wristDistance`
    // back along the approach, which lies in the same plane when the pose is
    // reachable.
    static double PlaneAzimuth(const KinMath::Frame& f, double wristDistance);

    // The approach direction's part in the vertical plane of azimuth phi,
    // normalised and turned back; throws 22 when it is (almost) zero.
    static void ApproachInPlane(const KinMath::Frame& f, double phi, bool& errorLogged, double a[3]);

    // Azimuth (radians) of the vertical plane through the horizontal point
    // (px, py) that lies `lateral` beside the base axis, of the two such
    // planes the one nearest the direction (dx, dy). Throws 21 when the
    // point lies within `lateral` of the axis.
    static double OffsetPlaneAzimuth(double px, double py, double lateral, double dx, double dy, float center,
                                     bool& errorLogged);

    // How far (radians, 0..pi/2) the horizontal direction (dx, dy) is turned
    // from the nearer of those two planes; pi/2 when there is none.
    static double OffsetPlaneError(double px, double py, double lateral, double dx, double dy);

    static constexpr const char* kOutOfReach = "InvKin: OutofReach";

protected:
    // turnsAboutZ: A1 turns the arm about the base axis (else A1 is the
    // shoulder); elbowJoint: index of the joint whose sign gives the branch.
    PlanarArm(bool turnsAboutZ, int elbowJoint);

    // The arm joints q[0..2] from a flange pose, each nearest the current joint.
    virtual void SolveArm(const KinMath::Frame& flange, double* q) = 0;
    // The robot joints for a tool centre point pose (external-axis shift
    // taken off): the orientation turned into the arm's plane, the arm, and
    // the wrist pitch as the last joint.
    virtual void SolveTarget(const KinMath::Frame& tcp, double* q);
    // Wrist pitch q[pitch] from the flange's approach seen from the arm frame of q.
    void SolvePitch(const KinMath::Frame& flange, double* q, int pitch) const;
    // The Cartesian set-point flow. commitAll takes all nine values (the
    // unsolved ones 0); storeReached stores the pose the arm takes, else the target.
    void ArmSetPosition(const DataTypes::Matrix44& target, float* extJoints, bool commitAll, bool storeReached);

    // Shoulder frame to wrist centre (translation) and the wrist from there to the flange.
    virtual KinMath::Frame ArmFrame(const float* q) const = 0;
    virtual KinMath::Frame WristFrame(const float* q) const = 0;
    // Arm frame of the arms whose A1 turns about the base axis, A2 and A3 about its Y.
    KinMath::Frame TurnedArmFrame(const float* q) const;
    // Flange pose with the tool, as a matrix.
    DataTypes::Matrix44 PoseOf(const float* q) const;

    // The joint set-point flow; commitAll takes all nine values, else the
    // robot joints and E1 to E3. Records the configuration flags.
    void ArmSetJoints(const float* userJoints, bool check, bool commitAll);

    // Start-up of the three-axis planar arm and the Dravo4, after the base
    // Init and the header line: their defaults, the robot file ("52 Robot
    // Ini not valid"), the converted limits and the log lines.
    void InitLinkedArm(const std::string& robotFile, bool withIncrements, bool logSingularities);

    // The robot file: "Kinematic" lz0 to lz4 and what `kinematicExtra`
    // reads, "SoftwareMinMax", the velocities, "ManufacturerJointConfig" and
    // "SINGULARITIES" Center and Ellbow.
    void ReadArmFile(const std::string& robotFile, const char* reasonNotValid,
                     const std::function<void(tinyxml2::XMLElement*)>& kinematicExtra = nullptr);

private:
    bool m_TurnsAboutZ;
    int m_ElbowJoint;
};
