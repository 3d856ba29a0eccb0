#include "PkgProgram/CommandWait.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <tinyxml2.h>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/XMLException.h"
#include "common/LogSingleton.h"

namespace {

// The wait time of a "Seconds" value, read both as a number and as an integer;
// false when it does not fit the millisecond counter.
bool SecondsToMs(double seconds, int secondsInt, int32_t& ms) {
    const double value = std::max(seconds, static_cast<double>(secondsInt)) * 1000.0;
    if (!(value > -2147483649.0 && value < 2147483648.0)) return false;
    ms = std::max(static_cast<int32_t>(value), 0);
    return true;
}

// A "Seconds" text that reads back to exactly `ms`.
std::string SecondsText(int32_t ms) {
    if (ms % 1000 == 0) return CommandSupport::Format("%d", ms / 1000);
    const std::string plain = CommandSupport::Format("%.3f", ms / 1000.0);
    double seconds = std::strtod(plain.c_str(), nullptr);
    int32_t back = 0;
    // Truncation on reading can land one below: step up to the next double that reads back right.
    for (int i = 0; i < 64; ++i) {
        if (SecondsToMs(seconds, 0, back) && back == ms) {
            return i == 0 ? plain : CommandSupport::Format("%.17g", seconds);
        }
        seconds = std::nextafter(seconds, HUGE_VAL);
    }
    return plain;
}

}  // namespace

CommandWait::CommandWait() : timeMs(0), elapsedMs(0), waitMode(WaitTime) {
    className = "CommandWait";
    combinable = false;
}

CommandWait::CommandWait(int ms) : CommandWait() { timeMs = std::max(ms, 0); }

void CommandWait::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        const std::string type = QueryString(element, "Type", "");
        if (type == "Time") {
            waitMode = WaitTime;
            int32_t ms = 0;
            // Read with double precision so that every written wait reads back to its milliseconds.
            double seconds = 0.0;
            if (element == nullptr || element->QueryDoubleAttribute("Seconds", &seconds) != tinyxml2::XML_SUCCESS ||
                !std::isfinite(seconds)) {
                seconds = 0.0;
            }
            if (!SecondsToMs(seconds, QueryInt(element, "Seconds", 0), ms)) {
                throw std::out_of_range("wait time out of range");
            }
            timeMs = ms;
            elapsedMs = 0;
            valid = true;
            if (!quiet) log->addFormat("   Nr. %d: Wait %ld ms", nr, static_cast<long>(timeMs));
        } else if (type == "Conditional" && CommandSupport::HasAttribute(element, "Condition")) {
            waitMode = WaitConditional;
            condition = ReadString(element, "Condition");
            elapsedMs = 0;
            valid = true;
            if (!quiet) log->addFormat("   Nr. %d: Wait conditional: %s", nr, condition);
        } else {
            Refuse(type == "Conditional" ? FirstMissing(element, {"Condition"})
                                         : "unknown wait type " + AttributeText(element, "Type"));
            log->addError("Could not read CommandWait, incomplete arguments");
        }
    } catch (const std::exception& e) {
        Refuse(AttributeText(element, "Seconds") + ": " + e.what());
        log->addError("ERROR - IPO: Could not read wait command");
    }
}

void CommandWait::WriteXML(std::ofstream* out, int index) {
    if (waitMode == WaitConditional) {
        CommandSupport::WriteLine(out,
                                  CommandSupport::Format("<Wait Nr=\"%d\" Type=\"Conditional\" Condition=\"%s\" Descr=\"\" />",
                                                         index, CommandSupport::EscapeXml(condition).c_str()));
    } else {
        CommandSupport::WriteLine(out, CommandSupport::Format("<Wait Nr=\"%d\" Type=\"Time\" Seconds=\"%s\" Descr=\"\" />",
                                                              index, SecondsText(timeMs).c_str()));
    }
}

int CommandWait::Interpolate(int cycleMs, float /*override*/, DataTypes::RobotState* state) {
    if (firstVisit) {
        firstVisit = false;
        elapsedMs = 0;
    }
    if (waitMode == WaitConditional) {
        if (CommandSupport::EvaluateCondition(condition, memory, state)) {
            elapsedMs = 0;
            firstVisit = true;
            return succ[0];
        }
        // A logic program may wait on a condition for months.
        elapsedMs = CommandSupport::SaturatingAdd(elapsedMs, cycleMs);
        return -1;
    }
    elapsedMs = CommandSupport::SaturatingAdd(elapsedMs, cycleMs);
    if (elapsedMs > timeMs) {
        elapsedMs = 0;
        firstVisit = true;
        return succ[0];
    }
    return -1;
}
