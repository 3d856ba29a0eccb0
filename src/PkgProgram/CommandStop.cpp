#include "PkgProgram/CommandStop.h"

#include <exception>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/IPO.h"
#include "common/LogSingleton.h"

CommandStop::CommandStop() {
    className = "CommandStop";
    combinable = false;
}

void CommandStop::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    try {
        const int nr = QueryInt(element, "Nr", 0);
        valid = true;
        if (!quiet) LogSingleton::instance()->addFormat("   Nr. %d: Stop", nr);
    } catch (const std::exception&) {
        LogSingleton::instance()->addError("ERROR - IPO: Could not read stop command");
    }
}

void CommandStop::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<Stop Nr=\"%d\" Descr=\"\" />", index));
}

int CommandStop::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    if (ipo != nullptr && ipo->GetRunState() != IPO::RunStateIdle) ipo->Stop(IPO::PROGRAM, "");
    return -2;
}
