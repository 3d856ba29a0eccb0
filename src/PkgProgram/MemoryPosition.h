#pragma once

#include <cstdint>
#include <string>

#include "datatypes/RobotState.h"

namespace Programs {

// One program variable: a number or a robot position. A plain value type.
class MemoryPosition {
public:
    static constexpr int32_t TypeNone = 0;
    static constexpr int32_t TypePosition = 1;
    static constexpr int32_t TypeNumber = 2;

    MemoryPosition();
    MemoryPosition(const std::string& name, const DataTypes::RobotState& state, bool isStatic);
    MemoryPosition(const std::string& name, double number, bool isStatic);

    // Numbers equal within 0.01; positions by A, B, C (0.01) and the pose
    // matrix (0.0001 per element); joint values are not compared.
    bool operator==(const MemoryPosition& other) const;
    bool operator!=(const MemoryPosition& other) const;

    // Position elements "x", "y", "z", "a", "b", "c", "a1".."a6", "e1".."e3"
    // (lower case). Return false for any other element name.
    static bool IsElementName(const std::string& element);
    bool GetElement(const std::string& element, float& value) const;
    bool SetElement(const std::string& element, float value);

    std::string name;  // lower case
    int32_t type;
    DataTypes::RobotState position;
    double number;
    bool isStatic;  // survives ProgramMemory::Clear
};

}  // namespace Programs
