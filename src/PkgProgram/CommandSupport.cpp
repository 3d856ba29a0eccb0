#include "PkgProgram/CommandSupport.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <tinyxml2.h>
#include <vector>

#include "PkgProgram/BooleanLogicParserFrontend.h"
#include "PkgProgram/Command.h"

namespace CommandSupport {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        text.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(args);
    return text;
}

std::string LinkText(const Command& command) {
    return Format(" - Pre: %d - Succ: %d %d %d", command.pre, command.succ[0], command.succ[1], command.succ[2]);
}

std::string EscapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    out += Format("&#x%X;", static_cast<unsigned>(static_cast<unsigned char>(c)));
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string FloatText(float value) {
    for (int precision = 1; precision < 9; ++precision) {
        const std::string text = Format("%.*g", precision, static_cast<double>(value));
        if (std::strtof(text.c_str(), nullptr) == value) return text;
    }
    return Format("%.9g", static_cast<double>(value));
}

void WriteLine(std::ofstream* out, const std::string& line) {
    if (out == nullptr) return;
    *out << line << "\n";
    out->flush();
}

bool EvaluateCondition(const std::string& condition, Programs::ProgramMemory* memory,
                       DataTypes::RobotState* state) {
    BooleanLogicParserFrontend parser;
    parser.SetExpression(condition);
    return parser.GetCurrentResult(memory, state);
}

bool HasAttribute(const tinyxml2::XMLElement* element, const char* name) {
    return element != nullptr && element->Attribute(name) != nullptr;
}

int32_t SaturatingAdd(int32_t a, int32_t b) {
    const int64_t sum = static_cast<int64_t>(a) + static_cast<int64_t>(b);
    if (sum > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (sum < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(sum);
}

}  // namespace CommandSupport
