#pragma once

#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <string>

namespace tinyxml2 {
class XMLElement;
}
namespace DataTypes {
class RobotState;
}
namespace Programs {
class ProgramMemory;
class MemoryPosition;
}
class IPO;

// Base of every robot-program command. A program is a graph of commands
// linked by successor indices; the interpolator steps the current command
// once per cycle.
//
// Interpolate returns: >= 0 the index of the next command, -1 stay on this
// command, -2 end of the current program, -10 - n call sub-program n (n >= 1);
// -3 to -10 have no effect.
class Command {
public:
    Command();
    Command(const Command& other) = default;
    Command& operator=(const Command& other) = default;
    virtual ~Command();

    // Reads the command's attributes; never throws, sets `valid`.
    virtual void ReadXML(tinyxml2::XMLElement* element, bool quiet) = 0;
    virtual void WriteXML(std::ofstream* out, int index);
    virtual void Init();
    virtual bool IsCombinable();
    virtual int Interpolate(int cycleMs, float override, DataTypes::RobotState* state);
    virtual int InterpolateLogic(int cycleMs, float override, DataTypes::RobotState* state);
    virtual void GetTargetPosition(DataTypes::RobotState* start, DataTypes::RobotState* target,
                                   float& cartVel, float& jointVelPercent, float& acc, float& smooth);
    virtual std::string ToString();

    // Typed attribute readers: absent throws XMLAttribNotFoundException,
    // unconvertible (non-finite numbers included) XMLAttribParseException.
    static int ReadInt(const tinyxml2::XMLElement* element, const std::string& name);
    static float ReadFloat(const tinyxml2::XMLElement* element, const std::string& name);
    static bool ReadBool(const tinyxml2::XMLElement* element, const std::string& name);
    static std::string ReadString(const tinyxml2::XMLElement* element, const std::string& name);
    // Lenient readers: the default when absent or unconvertible; never throw.
    static int QueryInt(const tinyxml2::XMLElement* element, const std::string& name, int defaultValue);
    static float QueryFloat(const tinyxml2::XMLElement* element, const std::string& name, float defaultValue);
    static bool QueryBool(const tinyxml2::XMLElement* element, const std::string& name, bool defaultValue);
    static std::string QueryString(const tinyxml2::XMLElement* element, const std::string& name,
                                   const std::string& defaultValue);

    // Marks the command invalid for `reason` (which attribute, what is wrong
    // with it); the first reason of a read is kept for the loader's error.
    void Refuse(const std::string& reason);
    // name="text" as the element holds it (long texts cut), or the text of a
    // missing attribute.
    static std::string AttributeText(const tinyxml2::XMLElement* element, const std::string& name);
    // Why an integer attribute that was read leniently cannot be used: the
    // reader's own text when it is missing or no int, else name="text" and `rule`.
    static std::string IntAttributeProblem(const tinyxml2::XMLElement* element, const std::string& name,
                                           const std::string& rule);
    // Why a velocity attribute cannot be used: a motion without velocity would never end.
    static std::string VelocityProblem(const tinyxml2::XMLElement* element, const std::string& name);
    // The missing-attribute text of the first of `names` the element lacks; empty when it has them all.
    static std::string FirstMissing(const tinyxml2::XMLElement* element, std::initializer_list<const char*> names);

    // Copies nine joint velocity limits (6 robot joints, 3 external axes).
    void InitJointMaxVelocities(const double* v);
    // Zeroes the entries of a nine-value joint array that this robot lacks.
    void EliminateNonexistentJoints(float* joints) const;

    // Program-memory access used by the commands while stepping.
    bool GetVariableFromProgramMemory(const std::string& name, Programs::MemoryPosition* out);
    float GetVariableNumberValue(const std::string& name);
    void SetVariableNumberValue(const std::string& name, float value);
    float GetVariablePositionElement(const std::string& name, const std::string& element);
    void SetVariablePositionElement(const std::string& name, const std::string& element, float value);

    bool combinable;
    IPO* ipo;
    Programs::ProgramMemory* memory;
    int32_t motionKind;  // 0 joint motion, 1 Cartesian motion, 2 anything else
    std::string className;
    bool valid;
    // Why ReadXML left `valid` false; empty when the reader gave no reason.
    std::string invalidReason;
    int32_t pre;  // -42: not set
    int32_t succ[3];
    bool firstVisit;
    int32_t nrRobotJoints;
    int32_t nrExternalJoints;
    float jointMaxVelocity[9];
    float velocity;        // joint velocity, percent
    float cartVelocity;    // mm/s
    float targetVelocity;  // orientation velocity, degrees per second
    float acceleration;    // percent
    float smoothing;       // percent
};
