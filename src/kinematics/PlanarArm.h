#pragma once
// What the arms with parallel shoulder, elbow and wrist-pitch axes share
// (three-axis planar arm, Dravo4, Dravo5): the shoulder and elbow from the
// wrist centre, the configuration flags taken from a joint set-point, the
// turning of an orientation into the arm's vertical plane, and errors that
// are logged once per series of refused targets.

#include <string>

#include "kinematics/KinMath.h"

class PlanarArm {
public:
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
};
