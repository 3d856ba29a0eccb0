#pragma once
// Start-up log lines that several geometries write alike.

class RobotKinematic;

class KinematicLog {
public:
    // "   Joint %d: ..." for joints 0..count-1 and "   ExtJoint %d: ..." for
    // each external axis added, limits as read (user units).
    static void JointLines(const RobotKinematic& kin, int count);
};
