#include "PkgProgram/CommandComment.h"

#include <exception>

#include "PkgProgram/CommandSupport.h"
#include "common/LogSingleton.h"

CommandComment::CommandComment() { className = "CommandComment"; }

void CommandComment::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        if (!CommandSupport::HasAttribute(element, "Descr")) {
            // A comment without text stays a valid command.
            valid = true;
            log->addError("Could not read CommandComment, incomplete arguments");
            if (!quiet) log->addFormat("  Nr. %d: Comment", nr);
            return;
        }
        description = ReadString(element, "Descr");
        valid = true;
        if (!quiet) log->addFormat("   Nr. %d: Comment %s", nr, description);
    } catch (const std::exception&) {
        log->addError("ERROR - IPO: Could not read comment command");
    }
}

void CommandComment::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<Comment Nr=\"%d\" Descr=\"%s\" />", index,
                                                          CommandSupport::EscapeXml(description).c_str()));
}

int CommandComment::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    return succ[0];
}
