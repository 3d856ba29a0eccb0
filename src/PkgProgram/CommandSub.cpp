#include "PkgProgram/CommandSub.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "PkgProgram/XMLException.h"
#include "common/Filesystem.h"
#include "common/LogSingleton.h"

CommandSub::CommandSub() : subProgramNumber(0) { className = "CommandSub"; }

void CommandSub::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        std::string file = ReadString(element, "File");
        std::replace(file.begin(), file.end(), '\\', '/');
        fileName = file;
        if (!Filesystem::StaysInside(fileName)) {
            throw std::invalid_argument("sub program file outside the program directory: " + fileName);
        }
        valid = true;
        if (!quiet) log->addFormat("   Nr. %d: Sub file %s", nr, fileName);
    } catch (const XMLException& e) {
        Refuse(e.what());
        log->addError("Could not read CommandSub, incomplete arguments");
    } catch (const std::exception& e) {
        Refuse(e.what());
        log->addError(e.what());
        log->addError("Error: could not read Sub command...");
    }
}

void CommandSub::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<Sub Nr=\"%d\" File=\"%s\" Descr=\"\" />", index,
                                                          CommandSupport::EscapeXml(fileName).c_str()));
}

int CommandSub::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    // -10 - n must name a real call: 0 would leave the program stuck on this command.
    if (subProgramNumber < 1 || subProgramNumber > std::numeric_limits<int>::max() - 10) {
        throw std::runtime_error(CommandSupport::Format("Sub program %s is not loaded", fileName.c_str()));
    }
    const std::string text = CommandSupport::Format("Subprog nr %d: %s", subProgramNumber, fileName.c_str());
    LogSingleton::instance()->add(text);
    LogSingleton::instance()->DisplayAndServerSetMessage(text);
    return -10 - subProgramNumber;
}

std::string CommandSub::ToString() { return "Command Sub " + fileName + CommandSupport::LinkText(*this); }
