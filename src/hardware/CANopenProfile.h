#pragma once
// Operating profile of a CANopen drive.

#include <cstdint>
#include <string>

namespace Hardware {

enum CANopenProfile : uint32_t {
    CANopenProfileNone = 0,
    CANopenProfilePosition = 1,
    CANopenProfileIPO = 2,
    CANopenProfileCSP = 3,
    CANopenProfileVelocity = 4,
    CANopenProfileCSV = 5,
    CANopenProfileHoming = 6,
    CANopenProfileHomingSetToZero = 7,
};

// "Position", "IPO", "CSP", "Velocity", "CSV", "Homing",
// "Homing (set-to-zero)" for 1 to 7, "unknown" otherwise.
std::string CANopenProfileToString(uint32_t profile);

}  // namespace Hardware
