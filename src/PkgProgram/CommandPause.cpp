#include "PkgProgram/CommandPause.h"

#include <exception>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/IPO.h"
#include "common/LogSingleton.h"

CommandPause::CommandPause() {
    className = "CommandPause";
    combinable = false;
}

void CommandPause::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    try {
        const int nr = QueryInt(element, "Nr", 0);
        valid = true;
        if (!quiet) LogSingleton::instance()->addFormat("   Nr. %d: Pause", nr);
    } catch (const std::exception&) {
        LogSingleton::instance()->addError("ERROR - IPO: Could not read pause command");
    }
}

void CommandPause::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<Pause Nr=\"%d\" Descr=\"\" />", index));
}

int CommandPause::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    if (ipo != nullptr && ipo->IsReplayRunning()) {
        ipo->Pause(IPO::PROGRAM);
        // The next motion is planned again on resume.
        ipo->SetPathUnavailable();
    }
    return succ[0];
}
