#pragma once
// Builds the joint-bus driver that the robot configuration's
// "BusConfiguration" "Protocol" names.

#include "hardware/HardwareProtocol.h"

#include <memory>
#include <string>

class RobotKinematic;

namespace Hardware {

class HardwareProtocolFactory {
public:
    // What a protocol name asks for.
    struct Selection {
        enum Driver { None, VQTCAN, VQTCANV2, CANopen };
        Driver driver = None;
        int protocolVersion = 0;                      // VQTCANV2: 2 or 3
        CANopenProfile profile = CANopenProfileNone;  // CANopen
    };

    // Names compared exactly: "VQTCAN", "VQTCANV2", "VQTCANV3", "CANopen_CSP",
    // "CANopen_IPO", "CANopen", "CANopen_Position"; anything else gives None.
    static Selection Select(const std::string& protocolName);

    // The driver for the protocol name, built with the robot's kinematic
    // object (not owned), not yet initialised. A name without a driver in this
    // build logs the error "RobotMaster: could not recognize protocol type "
    // with the name, sets the serious-fail reason "11 protocol type unknown"
    // and operation mode 1, and returns null.
    static std::unique_ptr<HardwareProtocol> Create(const std::string& protocolName, RobotKinematic* kinematic);
};

}  // namespace Hardware
