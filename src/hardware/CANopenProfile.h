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

namespace Hardware {

// CiA 402 mode of operation (0x6060) of a profile; -1 for none.
int CANopenModeOfProfile(uint32_t profile);
// Profile of a mode read back from 0x6060, 0x6061 or a transmit PDO; 0 for an unknown mode.
uint32_t CANopenProfileFromMode(int mode);

}  // namespace Hardware
