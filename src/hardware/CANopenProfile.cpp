#include "hardware/CANopenProfile.h"

namespace Hardware {

std::string CANopenProfileToString(uint32_t profile) {
    switch (profile) {
        case CANopenProfilePosition: return "Position";
        case CANopenProfileIPO: return "IPO";
        case CANopenProfileCSP: return "CSP";
        case CANopenProfileVelocity: return "Velocity";
        case CANopenProfileCSV: return "CSV";
        case CANopenProfileHoming: return "Homing";
        case CANopenProfileHomingSetToZero: return "Homing (set-to-zero)";
        default: return "unknown";
    }
}

}  // namespace Hardware

namespace Hardware {

int CANopenModeOfProfile(uint32_t profile) {
    switch (profile) {
        case CANopenProfilePosition: return 1;
        case CANopenProfileIPO: return 7;
        case CANopenProfileCSP: return 8;
        case CANopenProfileVelocity: return 3;
        case CANopenProfileCSV: return 9;
        case CANopenProfileHoming:
        case CANopenProfileHomingSetToZero: return 6;
        default: return -1;
    }
}

uint32_t CANopenProfileFromMode(int mode) {
    switch (mode) {
        case 1: return CANopenProfilePosition;
        case 3: return CANopenProfileVelocity;
        case 6: return CANopenProfileHoming;
        case 7: return CANopenProfileIPO;
        case 8: return CANopenProfileCSP;
        case 9: return CANopenProfileCSV;
        default: return CANopenProfileNone;
    }
}

}  // namespace Hardware
