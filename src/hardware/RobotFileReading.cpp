#include "hardware/RobotFileReading.h"

#include "common/LogSingleton.h"

#include <cmath>

namespace Hardware {

bool QueryFinite(const tinyxml2::XMLElement* element, const char* name, float& value) {
    float v = 0.0f;
    if (element->QueryFloatAttribute(name, &v) != tinyxml2::XML_SUCCESS || !std::isfinite(v)) return false;
    value = v;
    return true;
}

void SeriousFailure(const std::string& errorLine, const char* reason) {
    LogSingleton* log = LogSingleton::instance();
    log->addError(errorLine);
    log->set_seriousFailReason(reason);
    log->set_opMode(opModeSeriousFail);
}

}  // namespace Hardware
