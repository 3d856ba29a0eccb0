#include "PkgProgram/CommandIf.h"

#include <exception>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/XMLException.h"
#include "common/LogSingleton.h"

CommandIf::CommandIf() { className = "CommandIf"; }

void CommandIf::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        condition = ReadString(element, "Condition");
        valid = true;
        if (!quiet) log->addFormat("   Nr. %d: If Condition %s", nr, condition);
    } catch (const XMLException& e) {
        Refuse(e.what());
        log->addError("Could not read CommandIf, incomplete arguments");
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addError("Error: could not read If command...");
    }
}

void CommandIf::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<If Nr=\"%d\" Condition=\"%s\" Descr=\"\" />", index,
                                                          CommandSupport::EscapeXml(condition).c_str()));
}

int CommandIf::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    if (firstVisit) {
        firstVisit = false;
        return CommandSupport::EvaluateCondition(condition, memory, state) ? succ[1] : succ[2];
    }
    firstVisit = true;
    return succ[0];
}

std::string CommandIf::ToString() { return "Command IF" + CommandSupport::LinkText(*this); }
