#include "PkgProgram/CommandDIO.h"

#include <exception>
#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"

namespace {

int ChannelCount(bool isDigitalOut) {
    return isDigitalOut ? DataTypes::RobotState::maxIOs : DataTypes::RobotState::maxSignals;
}

// The 1-based number after the four kind characters; the whole rest must be the number.
int ParseChannelNumber(const std::string& rest) {
    std::size_t used = 0;
    int number = 0;
    try {
        number = std::stoi(rest, &used, 10);
    } catch (const std::logic_error&) {
        throw std::invalid_argument("invalid channel name in DIO command");
    }
    if (used != rest.size()) throw std::invalid_argument("invalid channel name in DIO command");
    return number;
}

}  // namespace

CommandDIO::CommandDIO() : channel(0), outputState(false), isDigitalOut(true) { className = "CommandDIO"; }

void CommandDIO::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    try {
        const int nr = QueryInt(element, "Nr", 0);
        if (!CommandSupport::HasAttribute(element, "Channel") || !CommandSupport::HasAttribute(element, "State")) {
            Refuse(FirstMissing(element, {"Channel", "State"}));
            log->addError("Could not read CommandDIO, incomplete arguments");
            return;
        }
        const std::string name = ReadString(element, "Channel");
        const std::string state = ReadString(element, "State");
        if (name.size() <= 4) throw std::invalid_argument("invalid channel name in DIO command");
        const std::string kind = name.substr(0, 4);
        const bool digitalOut = kind != "GSig" && kind != "gsig";
        const int number = ParseChannelNumber(name.substr(4));
        const int count = ChannelCount(digitalOut);
        if (number < 1 || number > count) {
            throw std::out_of_range(
                CommandSupport::Format("channel %d out of range in DIO command (1..%d)", number, count));
        }
        isDigitalOut = digitalOut;
        channel = number - 1;
        outputState = state == "True" || state == "true";
        valid = true;
        if (!quiet) {
            log->addFormat(isDigitalOut ? "   Nr. %d: DOut channel %d state %d" : "   Nr. %d: GSig channel %d state %d",
                           nr, channel, outputState ? 1 : 0);
        }
    } catch (const std::exception& e) {
        // An output that cannot be set must not load.
        Refuse(AttributeText(element, "Channel") + ": " + e.what());
        log->addErrorFormat("Error: could not read Digital-Out command: %s", e.what());
    }
}

void CommandDIO::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<Output Nr=\"%d\" Channel=\"%s%ld\" State=\"%s\" Descr=\"\" />",
                                                          index, isDigitalOut ? "DOut" : "GSig", static_cast<long>(channel) + 1,
                                                          outputState ? "True" : "False"));
}

int CommandDIO::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* state) {
    // Direct commands set the channel without reading XML.
    if (channel < 0 || channel >= ChannelCount(isDigitalOut)) {
        throw std::out_of_range(CommandSupport::Format("channel %ld out of range in DIO command",
                                                         static_cast<long>(channel) + 1));
    }
    if (state != nullptr) {
        if (isDigitalOut) state->digitalOutputs[channel] = outputState;
        else state->globalSignals[channel] = outputState;
    }
    return succ[0];
}

std::string CommandDIO::ToString() {
    return CommandSupport::Format(isDigitalOut ? "Command DIO %d to %d" : "Command GSig %d to %d", channel,
                                  outputState ? 1 : 0) +
           CommandSupport::LinkText(*this);
}
