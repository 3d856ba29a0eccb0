#pragma once
// Text, XML and counting helpers shared by the program commands.

#include <cstdint>
#include <iosfwd>
#include <string>

class Command;
namespace tinyxml2 {
class XMLElement;
}
namespace DataTypes {
class RobotState;
}
namespace Programs {
class ProgramMemory;
}

namespace CommandSupport {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// " - Pre: %d - Succ: %d %d %d" of the command's links.
std::string LinkText(const Command& command);
// An attribute value with &, <, >, " and control characters escaped.
std::string EscapeXml(const std::string& text);
// The shortest text that reads back to the same float.
std::string FloatText(float value);
// Writes one element line and a line feed, then flushes; nothing without a stream.
void WriteLine(std::ofstream* out, const std::string& line);
// Evaluates a condition afresh against memory and state; throws as the parser does.
bool EvaluateCondition(const std::string& condition, Programs::ProgramMemory* memory,
                       DataTypes::RobotState* state);
bool HasAttribute(const tinyxml2::XMLElement* element, const char* name);
// a + b held at the int32 limits: counters of commands that may wait for months.
int32_t SaturatingAdd(int32_t a, int32_t b);

}  // namespace CommandSupport
