#include "PkgProgram/MemoryPosition.h"

#include <cctype>
#include <cmath>

namespace Programs {

namespace {

std::string Lower(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

// Joint index of "a1".."a6" / "e1".."e3", or -1.
int JointIndex(const std::string& element) {
    if (element.size() != 2) return -1;
    const char kind = element[0];
    const char digit = element[1];
    if (kind == 'a' && digit >= '1' && digit <= '6') return digit - '1';
    if (kind == 'e' && digit >= '1' && digit <= '3') return 6 + (digit - '1');
    return -1;
}

}  // namespace

MemoryPosition::MemoryPosition() : type(TypeNone), number(0.0), isStatic(false) {}

MemoryPosition::MemoryPosition(const std::string& n, const DataTypes::RobotState& state, bool s)
    : name(Lower(n)), type(TypePosition), position(state), number(0.0), isStatic(s) {}

MemoryPosition::MemoryPosition(const std::string& n, double value, bool s)
    : name(Lower(n)), type(TypeNumber), number(value), isStatic(s) {}

bool MemoryPosition::operator==(const MemoryPosition& other) const {
    if (name != other.name || type != other.type) return false;
    if (type == TypeNumber) return std::fabs(number - other.number) <= 0.01;
    return std::fabs(position.A - other.position.A) <= 0.01f && std::fabs(position.B - other.position.B) <= 0.01f &&
           std::fabs(position.C - other.position.C) <= 0.01f && position.pose.Equals(other.position.pose, 0.0001f);
}

bool MemoryPosition::operator!=(const MemoryPosition& other) const { return !(*this == other); }

bool MemoryPosition::IsElementName(const std::string& element) {
    return element == "x" || element == "y" || element == "z" || element == "a" || element == "b" ||
           element == "c" || JointIndex(element) >= 0;
}

bool MemoryPosition::GetElement(const std::string& element, float& value) const {
    if (element == "x") value = position.pose(0, 3);
    else if (element == "y") value = position.pose(1, 3);
    else if (element == "z") value = position.pose(2, 3);
    else if (element == "a") value = position.A;
    else if (element == "b") value = position.B;
    else if (element == "c") value = position.C;
    else {
        const int j = JointIndex(element);
        if (j < 0) return false;
        value = position.jointSetPoint[j];
    }
    return true;
}

bool MemoryPosition::SetElement(const std::string& element, float value) {
    if (element == "x") position.pose(0, 3) = value;
    else if (element == "y") position.pose(1, 3) = value;
    else if (element == "z") position.pose(2, 3) = value;
    else if (element == "a") position.A = value;
    else if (element == "b") position.B = value;
    else if (element == "c") position.C = value;
    else {
        const int j = JointIndex(element);
        if (j < 0) return false;
        position.jointSetPoint[j] = value;
    }
    return true;
}

}  // namespace Programs
