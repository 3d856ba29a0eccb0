#include "PkgProgram/CommandLoop.h"

#include <exception>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/XMLException.h"
#include "common/LogSingleton.h"

CommandLoop::CommandLoop() : times(0), counter(0), loopMode(LoopCounting) { className = "CommandLoop"; }

void CommandLoop::ReadXML(tinyxml2::XMLElement* element, bool /*quiet*/) {
    // The listing is written even for a quiet load.
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        const std::string mode = ReadString(element, "Mode");
        if (mode == "Count") {
            loopMode = LoopCounting;
            times = QueryInt(element, "Times", -1);
            if (times < 0) {
                Refuse(IntAttributeProblem(element, "Times", "is below 0"));
                log->addErrorFormat("   Nr. %d: ERROR Loop counting: %d iterations", nr, times);
                return;
            }
            valid = true;
            log->addFormat("   Nr. %d: Loop counting: %d iterations", nr, times);
        } else if (mode == "DIn") {
            loopMode = LoopConditional;
            condition = ReadString(element, "Condition");
            valid = true;
            log->addFormat("   Nr. %d: Loop conditional: %s", nr, condition);
        } else {
            Refuse("unknown loop mode " + AttributeText(element, "Mode"));
            log->addErrorFormat("   Nr. %d: ERROR unknown loop mode: %s", nr, mode);
        }
    } catch (const XMLException& e) {
        Refuse(e.what());
        log->addError("Could not read CommandLoop, incomplete arguments");
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addError("Error: could not read Loop command...");
    }
}

void CommandLoop::WriteXML(std::ofstream* out, int index) {
    if (loopMode == LoopConditional) {
        CommandSupport::WriteLine(out, CommandSupport::Format("<Loop Nr=\"%d\" Mode=\"DIn\" Condition=\"%s\" Descr=\"\" />",
                                                              index, CommandSupport::EscapeXml(condition).c_str()));
    } else {
        CommandSupport::WriteLine(
            out, CommandSupport::Format("<Loop Nr=\"%d\" Mode=\"Count\" Times=\"%d\" Descr=\"\" />", index, times));
    }
}

int CommandLoop::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    if (firstVisit) {
        firstVisit = false;
        counter = 0;
    }
    const bool done = loopMode == LoopConditional ? CommandSupport::EvaluateCondition(condition, memory, state)
                                                  : counter >= times;
    if (done) {
        counter = 0;
        firstVisit = true;
        return succ[0];
    }
    // A conditional loop of a logic program may run for months.
    counter = CommandSupport::SaturatingAdd(counter, 1);
    return succ[1];
}

std::string CommandLoop::ToString() {
    if (loopMode == LoopConditional) {
        return "Command Loop condition " + condition + CommandSupport::LinkText(*this);
    }
    return CommandSupport::Format("Command Loop counting to %d", times) + CommandSupport::LinkText(*this);
}
