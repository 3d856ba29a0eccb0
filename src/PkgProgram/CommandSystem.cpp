#include "PkgProgram/CommandSystem.h"

#include "PkgProgram/CommandSupport.h"
#include "common/LogSingleton.h"

CommandSystem::CommandSystem() { className = "CommandSystem"; }

void CommandSystem::ReadXML(tinyxml2::XMLElement* /*element*/, bool /*quiet*/) { valid = true; }

void CommandSystem::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<System Nr=\"%d\" Descr=\"\" />", index));
}

int CommandSystem::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    LogSingleton::instance()->add("System");
    return succ[0];
}

std::string CommandSystem::ToString() { return "CommandSystem" + CommandSupport::LinkText(*this); }
