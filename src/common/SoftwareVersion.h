#pragma once
// The controller's software version: one record of the three numbers.

#include <cstdio>
#include <string>

struct SoftwareVersion {
    int Major = 0;
    int Minor = 0;
    int Patch = 0;

    // "R<major>-<minor>-<patch, three digits>", e.g. R980-13-039.
    std::string ToString() const {
        char text[64];
        std::snprintf(text, sizeof(text), "R%d-%d-%03d", Major, Minor, Patch);
        return text;
    }

    bool operator==(const SoftwareVersion& other) const {
        return Major == other.Major && Minor == other.Minor && Patch == other.Patch;
    }
    bool operator!=(const SoftwareVersion& other) const { return !(*this == other); }
};

// The version this build reports everywhere (text, Modbus registers, program headers).
inline constexpr SoftwareVersion KorvellaSoftwareVersion{980, 13, 39};
