#include "cloud/TelemetryData.h"

#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "PkgProgram/IPO.h"
#include "cloud/HwErrorText.h"
#include "common/LogSingleton.h"
#include "controller/RobotMaster.h"
#include "hardware/HardwareProtocol.h"

namespace Cloud {

namespace {

std::string AfterLast(const std::string& text, char separator) {
    const std::size_t at = text.rfind(separator);
    return at == std::string::npos ? text : text.substr(at + 1);
}

// What the telemetry needs of the interpreter's program list, copied at once.
struct ProgramSnapshot {
    int program = -1;
    int command = -1;
    std::vector<std::string> names;
    std::vector<int> commandCounts;
    std::string loadedName;
};

ProgramSnapshot ReadProgram(const IPO& ipo) {
    ProgramSnapshot snapshot;
    // The interpreter's guard: a load or delete never changes the list under the copy.
    const auto lock = ipo.LockPrograms();
    snapshot.program = ipo.activeProgram;
    snapshot.command = ipo.currentCommand;
    for (const RobotProgram& program : ipo.programs) {
        snapshot.names.push_back(program.name);
        snapshot.commandCounts.push_back(static_cast<int>(program.commands.size()));
    }
    snapshot.loadedName = ipo.GetLoadedProgramName();
    return snapshot;
}

}  // namespace

std::string ErrorCodesText(const std::string* moduleErrors, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0) text += "-";
        const std::string& error = moduleErrors[i];
        text += error.empty() || error == "na" ? "n/a" : error;
    }
    return text;
}

std::string TemperaturesText(const float* temperatures) {
    std::string text;
    for (int i = 0; i < Hardware::HardwareProtocol::MaxModules; ++i) {
        char value[32];
        std::snprintf(value, sizeof(value), "%.3g", static_cast<double>(temperatures[i]));
        if (i > 0) text += " ";
        text += value;
    }
    return text;
}

std::string ProgramRunningText(const std::string& name) {
    if (name == "n/a" || name == "na") return "none";
    return AfterLast(AfterLast(name, '/'), '\\');
}

std::string CurrentCommandText(int program, int command, int commandCount) {
    return "Cmd " + std::to_string(command) + " of " + std::to_string(commandCount) + " in Prog " +
           std::to_string(program);
}

std::string RobotTypeText(const std::string& robotType) {
    const std::size_t slash = robotType.rfind('/');
    const std::size_t backslash = robotType.rfind('\\');
    std::size_t at = std::string::npos;
    if (slash != std::string::npos) at = slash;
    if (backslash != std::string::npos && (at == std::string::npos || backslash > at)) at = backslash;
    if (at == std::string::npos || at + 1 >= robotType.size()) return robotType;
    return robotType.substr(at + 1);
}

std::string ModuleCountText(const Hardware::HardwareProtocol& hardware) {
    return "R=" + std::to_string(hardware.robotJointCount) + " E=" + std::to_string(hardware.externalJointCount) +
           " G=" + std::to_string(hardware.toolJointCount) + " P=" + std::to_string(hardware.platformJointCount) +
           " IO=" + std::to_string(hardware.dioModuleCount);
}

void TelemetryData::CollectData(RobotMaster* robotMaster) {
    if (robotMaster == nullptr) return;
    CollectData(robotMaster->GetHardware(), robotMaster->ipoMain);
}

void TelemetryData::CollectData(Hardware::HardwareProtocol* hardware, const IPO& ipo) {
    try {
        if (hardware != nullptr) {
            std::string status;
            std::string shortCode;
            hardware->GetError(status, shortCode);
            lastMessage = TranslateHwError(status);
            errorString = shortCode;

            std::string moduleErrors[Hardware::HardwareProtocol::MaxModules];
            hardware->GetError(moduleErrors);
            int count = hardware->moduleCount - hardware->dioModuleCount;
            if (count > Hardware::HardwareProtocol::MaxModules) count = Hardware::HardwareProtocol::MaxModules;
            errorCodes = ErrorCodesText(moduleErrors, count);

            float temperatures[Hardware::HardwareProtocol::MaxModules] = {};
            hardware->GetTempValues(temperatures);
            temperaturesPCB = TemperaturesText(temperatures);
        }

        const ProgramSnapshot program = ReadProgram(ipo);
        const int command = program.command + 1 < 0 ? 0 : program.command + 1;
        const int count = program.program >= 0 && static_cast<std::size_t>(program.program) < program.commandCounts.size()
                              ? program.commandCounts[static_cast<std::size_t>(program.program)]
                              : 0;
        programRunning = ProgramRunningText(program.loadedName);
        currentCommand = CurrentCommandText(program.program, command, count);
        std::string names;
        for (std::size_t i = 1; i < program.names.size(); ++i) {
            if (i > 1) names += ";";
            names += program.names[i];
        }
        subPrograms = names;

        const LogSingleton* log = LogSingleton::instance();
        upTimeComplete = std::to_string(log->GetSystemVar(sysVarUpTimeComplete));
        upTimeLast = std::to_string(log->GetSystemVar(sysVarUpTimeLast));
        upTimeEnabled = std::to_string(log->GetSystemVar(sysVarUpTimeEnabled));
        upTimeMotion = std::to_string(log->GetSystemVar(sysVarUpTimeMotion));
        programStarts = std::to_string(log->GetSystemVar(sysVarProgramStarts));
    } catch (const std::exception& e) {
        LogSingleton::instance()->addFormat("Cloud: Exception while collecting data: %s", e.what());
    }
}

bool TelemetryData::operator==(const TelemetryData& other) const {
    return lastMessage == other.lastMessage && errorString == other.errorString && errorCodes == other.errorCodes &&
           temperaturesPCB == other.temperaturesPCB && programRunning == other.programRunning &&
           subPrograms == other.subPrograms && currentCommand == other.currentCommand &&
           upTimeComplete == other.upTimeComplete && upTimeLast == other.upTimeLast &&
           upTimeEnabled == other.upTimeEnabled && upTimeMotion == other.upTimeMotion &&
           programStarts == other.programStarts;
}

void TelemetryData::swap(TelemetryData& other) {
    std::swap(lastMessage, other.lastMessage);
    std::swap(errorString, other.errorString);
    std::swap(errorCodes, other.errorCodes);
    std::swap(temperaturesPCB, other.temperaturesPCB);
    std::swap(programRunning, other.programRunning);
    std::swap(subPrograms, other.subPrograms);
    std::swap(currentCommand, other.currentCommand);
    std::swap(upTimeComplete, other.upTimeComplete);
    std::swap(upTimeLast, other.upTimeLast);
    std::swap(upTimeEnabled, other.upTimeEnabled);
    std::swap(upTimeMotion, other.upTimeMotion);
    std::swap(programStarts, other.programStarts);
}

}  // namespace Cloud
