#include "PkgProgram/Command.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <iostream>
#include <stdexcept>
#include <tinyxml2.h>

#include "PkgProgram/MemoryPosition.h"
#include "PkgProgram/ProgramMemory.h"
#include "PkgProgram/XMLAttribNotFoundException.h"
#include "PkgProgram/XMLAttribParseException.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace {

std::string Lower(const std::string& s) {
    std::string r = s;
    for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
}

const char* Attribute(const tinyxml2::XMLElement* element, const std::string& name) {
    return element != nullptr ? element->Attribute(name.c_str()) : nullptr;
}

}  // namespace

Command::Command()
    : combinable(true),
      ipo(nullptr),
      memory(nullptr),
      motionKind(2),
      valid(true),
      pre(-42),
      succ{-2, -2, -2},
      firstVisit(true),
      nrRobotJoints(6),
      nrExternalJoints(3),
      jointMaxVelocity{45.0f, 45.0f, 45.0f, 45.0f, 45.0f, 45.0f, 45.0f, 45.0f, 45.0f},
      velocity(30.0f),
      cartVelocity(10.0f),
      targetVelocity(90.0f),
      acceleration(30.0f),
      smoothing(30.0f) {}

Command::~Command() = default;

void Command::WriteXML(std::ofstream* /*out*/, int /*index*/) {}

void Command::Init() { firstVisit = true; }

bool Command::IsCombinable() { return motionKind == 2 && combinable; }

int Command::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    std::cerr << "IpoMotionStd" << std::endl;
    return -1;
}

int Command::InterpolateLogic(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    std::cerr << "IpoLogicStd" << std::endl;
    return -1;
}

void Command::GetTargetPosition(DataTypes::RobotState* /*start*/, DataTypes::RobotState* /*target*/,
                                float& /*cartVel*/, float& /*jointVelPercent*/, float& /*acc*/,
                                float& /*smooth*/) {
    LogSingleton::instance()->addError("Command::GetTargetPosition called but not implemented!");
}

std::string Command::ToString() {
    char text[512];
    std::snprintf(text, sizeof(text), "VCmd %s: %d %d %d", className.c_str(), succ[0], succ[1], succ[2]);
    LogSingleton::instance()->add(text);
    return text;
}

int Command::ReadInt(const tinyxml2::XMLElement* element, const std::string& name) {
    if (Attribute(element, name) == nullptr) throw XMLAttribNotFoundException(name);
    // The whole text is the number: a scan would wrap values beyond the int range.
    const char* text = Attribute(element, name);
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text) throw XMLAttribParseException(name);
    if (errno == ERANGE || value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
        const std::string digits(text, static_cast<std::size_t>(end - text));
        throw XMLAttribParseException(name, (digits.size() > 24 ? digits.substr(0, 24) + "..." : digits) +
                                                " is out of range");
    }
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0') throw XMLAttribParseException(name);
    return static_cast<int>(value);
}

float Command::ReadFloat(const tinyxml2::XMLElement* element, const std::string& name) {
    if (Attribute(element, name) == nullptr) throw XMLAttribNotFoundException(name);
    float value = 0.0f;
    if (element->QueryFloatAttribute(name.c_str(), &value) != tinyxml2::XML_SUCCESS || !std::isfinite(value)) {
        throw XMLAttribParseException(name);
    }
    return value;
}

bool Command::ReadBool(const tinyxml2::XMLElement* element, const std::string& name) {
    if (Attribute(element, name) == nullptr) throw XMLAttribNotFoundException(name);
    bool value = false;
    if (element->QueryBoolAttribute(name.c_str(), &value) != tinyxml2::XML_SUCCESS) {
        throw XMLAttribParseException(name);
    }
    return value;
}

std::string Command::ReadString(const tinyxml2::XMLElement* element, const std::string& name) {
    const char* text = Attribute(element, name);
    if (text == nullptr) throw XMLAttribNotFoundException(name);
    return text;
}

int Command::QueryInt(const tinyxml2::XMLElement* element, const std::string& name, int defaultValue) {
    try {
        return ReadInt(element, name);
    } catch (const XMLException&) {
        return defaultValue;
    }
}

float Command::QueryFloat(const tinyxml2::XMLElement* element, const std::string& name, float defaultValue) {
    try {
        return ReadFloat(element, name);
    } catch (const XMLException&) {
        return defaultValue;
    }
}

bool Command::QueryBool(const tinyxml2::XMLElement* element, const std::string& name, bool defaultValue) {
    try {
        return ReadBool(element, name);
    } catch (const XMLException&) {
        return defaultValue;
    }
}

std::string Command::QueryString(const tinyxml2::XMLElement* element, const std::string& name,
                                 const std::string& defaultValue) {
    const char* text = Attribute(element, name);
    return text != nullptr ? std::string(text) : defaultValue;
}

void Command::Refuse(const std::string& reason) {
    if (valid || invalidReason.empty()) invalidReason = reason;
    valid = false;
}

std::string Command::AttributeText(const tinyxml2::XMLElement* element, const std::string& name) {
    const char* text = Attribute(element, name);
    if (text == nullptr) return XMLAttribNotFoundException(name).what();
    constexpr std::size_t Longest = 40;
    std::string shown;
    for (const char* c = text; *c != '\0' && shown.size() < Longest; ++c)
        shown += std::iscntrl(static_cast<unsigned char>(*c)) ? '?' : *c;
    if (std::char_traits<char>::length(text) > Longest) shown += "...";
    return name + "=\"" + shown + "\"";
}

std::string Command::IntAttributeProblem(const tinyxml2::XMLElement* element, const std::string& name,
                                         const std::string& rule) {
    try {
        ReadInt(element, name);
    } catch (const XMLException& e) {
        return e.what();
    }
    return AttributeText(element, name) + " " + rule;
}

std::string Command::VelocityProblem(const tinyxml2::XMLElement* element, const std::string& name) {
    return "invalid velocity " + AttributeText(element, name) + ", it must be above 0";
}

std::string Command::FirstMissing(const tinyxml2::XMLElement* element, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (Attribute(element, name) == nullptr) return XMLAttribNotFoundException(name).what();
    return "";
}

void Command::InitJointMaxVelocities(const double* v) {
    for (int i = 0; i < 9; ++i) jointMaxVelocity[i] = static_cast<float>(v[i]);
}

void Command::EliminateNonexistentJoints(float* joints) const {
    for (int i = nrRobotJoints < 0 ? 0 : nrRobotJoints; i <= 5; ++i) joints[i] = 0.0f;
    for (int i = 6 + (nrExternalJoints < 0 ? 0 : nrExternalJoints); i <= 8; ++i) joints[i] = 0.0f;
}

bool Command::GetVariableFromProgramMemory(const std::string& name, Programs::MemoryPosition* out) {
    if (memory == nullptr) {
        LogSingleton::instance()->addError("ERROR in CMD: memory not initialized!");
        throw std::runtime_error("Command: memory not initialized");
    }
    const std::shared_ptr<const Programs::MemoryPosition> entry = memory->Get(name);
    if (!entry) {
        const std::string text = "Command: Could not find variable \"" + name + "\"!";
        LogSingleton::instance()->addError(text);
        throw std::invalid_argument(text);
    }
    if (out != nullptr) *out = *entry;
    return true;
}

float Command::GetVariableNumberValue(const std::string& name) {
    Programs::MemoryPosition var;
    GetVariableFromProgramMemory(name, &var);
    if (var.type != Programs::MemoryPosition::TypeNumber) {
        LogSingleton::instance()->addError("Memory: Variable " + name + " is not a number variable!");
        throw std::invalid_argument("GetFromMemory: wrong var type");
    }
    return static_cast<float>(var.number);
}

void Command::SetVariableNumberValue(const std::string& name, float value) {
    Programs::MemoryPosition var;
    GetVariableFromProgramMemory(name, &var);
    if (var.type != Programs::MemoryPosition::TypeNumber) {
        LogSingleton::instance()->addError("Memory SetVarNumberValue: Variable " + name +
                                           " is not a number variable!");
        throw std::invalid_argument("GetFromMemory: wrong var type");
    }
    var.number = value;
    memory->SetVariable(var, Programs::StoreAsGiven);
}

float Command::GetVariablePositionElement(const std::string& name, const std::string& element) {
    Programs::MemoryPosition var;
    GetVariableFromProgramMemory(name, &var);
    if (var.type != Programs::MemoryPosition::TypePosition) {
        LogSingleton::instance()->addError("Memory: Variable " + name + " is not a position variable!");
        throw std::invalid_argument("GetFromMemory: wrong var type");
    }
    float value = 0.0f;
    if (!var.GetElement(Lower(element), value)) {
        LogSingleton::instance()->addError("Memory: wrong element access: " + element);
        throw std::invalid_argument("GetFromMemory: wrong element access");
    }
    return value;
}

void Command::SetVariablePositionElement(const std::string& name, const std::string& element, float value) {
    Programs::MemoryPosition var;
    GetVariableFromProgramMemory(name, &var);
    if (var.type != Programs::MemoryPosition::TypePosition) {
        LogSingleton::instance()->addError("Memory SetElement: Variable " + name + " is not a position variable!");
        throw std::invalid_argument("GetFromMemory: wrong var type");
    }
    if (!var.SetElement(Lower(element), value)) {
        LogSingleton::instance()->addError("Memory SetElement: wrong element access: " + element);
        throw std::invalid_argument("GetFromMemory: wrong element access");
    }
    memory->SetVariable(var, Programs::StoreBoth);
}
