#include "controller/PLCInterfaceTrigger.h"

#include <algorithm>
#include <utility>

#include "controller/ProjectManagerPaths.h"

namespace PLCTrigger {

namespace {

// Strips everything up to and including the first occurrence of the folder.
void StripThroughFolder(std::string& path, const std::string& folder) {
    const std::string::size_type pos = path.find(folder);
    if (pos != std::string::npos) path.erase(0, pos + folder.size());
}

}  // namespace

char OpReplaceBackslashWithSlash(char ch) {
    return ch == '\\' ? '/' : ch;
}

PLCInterfaceTrigger::PLCInterfaceTrigger(bool active, SignalType signalType, int32_t channel,
                                         TargetType targetType, std::string file)
    : active(active), signalType(signalType), channel(channel), targetType(targetType),
      targetFile(std::move(file)) {
    Validate();
}

bool PLCInterfaceTrigger::ChannelInRange(SignalType signalType, int32_t channel) {
    return channel >= 0 && channel <= LastChannel(signalType);
}

void PLCInterfaceTrigger::Validate() {
    if (!ChannelInRange(signalType, channel)) active = false;
    if (targetFile.empty()) {
        active = false;
        return;
    }
    std::transform(targetFile.begin(), targetFile.end(), targetFile.begin(), OpReplaceBackslashWithSlash);
    StripThroughFolder(targetFile, "/Programs/");
    StripThroughFolder(targetFile, "/Missions/");
    // The target must stay inside the programs or missions folder.
    if (targetFile.empty() || !ProjectManagerPaths::StaysInside(targetFile)) active = false;
}

std::string PLCInterfaceTrigger::ToString() const {
    std::string text;
    text += "Active=";
    text += active ? "True" : "False";
    text += ", SignalType=";
    text += signalType == GSig ? "GSig" : "DIn";
    text += ", Channel=";
    text += std::to_string(channel);
    text += ", TargetType=";
    text += targetType == Mission ? "Mission" : "Program";
    text += ", FileName=";
    text += targetFile;
    return text;
}

}  // namespace PLCTrigger
