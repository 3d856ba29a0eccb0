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
