#include "vision/CameraXml.h"

#include <cmath>

#include <tinyxml2.h>

#include "common/StringHelper.h"

namespace Camera {

bool QueryBoolAnyCase(const tinyxml2::XMLElement& element, const char* name, bool* value) {
    const char* text = element.Attribute(name);
    if (text == nullptr) return false;
    int number = 0;
    if (tinyxml2::XMLUtil::ToInt(text, &number)) {
        *value = number != 0;
        return true;
    }
    const std::string lower = StringHelper::ToLower(text);
    if (lower == "true" || lower == "false") {
        *value = lower == "true";
        return true;
    }
    return false;
}

bool QueryFiniteFloat(const tinyxml2::XMLElement& element, const char* name, float* value) {
    float number = 0.0f;
    if (element.QueryFloatAttribute(name, &number) != tinyxml2::XML_SUCCESS || !std::isfinite(number)) return false;
    *value = number;
    return true;
}

std::string AttributeText(const tinyxml2::XMLElement& element, const char* name) {
    const char* text = element.Attribute(name);
    return text == nullptr ? std::string() : std::string(text);
}

}  // namespace Camera
