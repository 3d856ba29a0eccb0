#pragma once
// What the simulated bus needs from a robot configuration file (the
// Data/Robots/ format): the bus protocol and the joint modules on it.

#include <string>
#include <vector>

namespace CanSim {

class SimRobotConfig {
public:
    struct Joint {
        int canId = 0;
        float gearScale = 190.0f;
        float gearZero = 0.0f;
        float acceleration = 0.0f;  // "JointAccelerations" A<n>, joint units/s^2; 0: not given
    };

    std::string protocol;            // "BusConfiguration" "Protocol"
    std::vector<Joint> joints;       // "Joint0" .. "Joint<NrOfJoints-1>"
    std::vector<int> dioModuleIds;   // not in the robot file: from the project or the command line
    // Where the joint modules stand at power-on, in joint units: the project's home position.
    std::vector<float> home;
    bool mainIOModule = true;

    // Reads "Robot"/"BusConfiguration". False with a reason when the file
    // cannot be read or names no usable joints.
    static bool Load(const std::string& path, SimRobotConfig& out, std::string& error);
    // Reads "ProjectFile"/"Robot" "Homepos" into `home` (blank-separated; a value
    // that is no number counts as 0, as the controller takes it). False with a
    // reason when the file cannot be read or has no Robot element.
    static bool LoadHome(const std::string& projectPath, SimRobotConfig& out, std::string& error);
    // True for the protocols whose modules the simulation provides.
    bool IsVQTCANV2() const { return protocol == "VQTCANV2" || protocol == "VQTCANV3"; }
    bool IsVQTCAN() const { return protocol == "VQTCAN"; }
    bool IsCANopen() const { return protocol.compare(0, 7, "CANopen") == 0; }
};

}  // namespace CanSim
