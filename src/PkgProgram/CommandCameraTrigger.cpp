#include "PkgProgram/CommandCameraTrigger.h"

#include <stdexcept>

#include "PkgProgram/CommandSupport.h"
#include "common/LogSingleton.h"
#include "vision/CameraManager.h"

CommandCameraTrigger::CommandCameraTrigger() { className = "CommandCameraTrigger"; }

void CommandCameraTrigger::ReadXML(tinyxml2::XMLElement* element, bool quiet) {
    LogSingleton* log = LogSingleton::instance();
    const int nr = QueryInt(element, "Nr", 0);
    if (!CommandSupport::HasAttribute(element, "CameraName")) {
        Refuse(FirstMissing(element, {"CameraName"}));
        log->addError("Could not read CommandCameraTrigger, incomplete arguments");
        return;
    }
    cameraName = ReadString(element, "CameraName");
    valid = true;
    if (!quiet) log->addFormat("   Nr. %d: CameraTrigger: %s", nr, cameraName);
}

void CommandCameraTrigger::WriteXML(std::ofstream* out, int index) {
    CommandSupport::WriteLine(out, CommandSupport::Format("<CameraTrigger Nr=\"%d\" CameraName=\"%s\" Descr=\"\" />",
                                                          index, CommandSupport::EscapeXml(cameraName).c_str()));
}

int CommandCameraTrigger::Interpolate(int /*cycleMs*/, float /*override*/, DataTypes::RobotState* /*state*/) {
    const std::shared_ptr<Camera::CameraInterface> camera = Camera::CameraManager::Instance()->Get(cameraName);
    if (!camera) {
        const std::string text =
            CommandSupport::Format("CommandCameraTrigger: Camera %.90s does not exist", cameraName.c_str());
        LogSingleton::instance()->addError(text);
        throw std::invalid_argument(text);
    }
    camera->TriggerImageRecognition();
    return succ[0];
}

std::string CommandCameraTrigger::ToString() {
    return "Command CameraTrigger " + cameraName + CommandSupport::LinkText(*this);
}
