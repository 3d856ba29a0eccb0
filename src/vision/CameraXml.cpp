#include "vision/CameraXml.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>

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

bool ContainsTrue(const tinyxml2::XMLElement& element, const char* name) {
    return StringHelper::ToLower(AttributeText(element, name)).find("true") != std::string::npos;
}

void ReadFinite(const tinyxml2::XMLElement& element, const char* name, double& value) {
    const std::string text = AttributeText(element, name);
    if (text.empty()) return;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end == text.c_str() + text.size() && std::isfinite(parsed)) value = parsed;
}

void ReadFinite(const tinyxml2::XMLElement& element, const char* name, float& value) {
    double parsed = value;
    ReadFinite(element, name, parsed);
    if (std::fabs(parsed) <= FLT_MAX) value = static_cast<float>(parsed);
}

void ReadCameraFrame(const tinyxml2::XMLElement& element, DataTypes::Vector3& origin, DataTypes::Vector3& look,
                     DataTypes::Vector3& up) {
    ReadFinite(element, "OriginX", origin.x);
    ReadFinite(element, "OriginY", origin.y);
    ReadFinite(element, "OriginZ", origin.z);
    ReadFinite(element, "LookX", look.x);
    ReadFinite(element, "LookY", look.y);
    ReadFinite(element, "LookZ", look.z);
    ReadFinite(element, "UpX", up.x);
    ReadFinite(element, "UpY", up.y);
    ReadFinite(element, "UpZ", up.z);
}

void WriteCameraFrame(tinyxml2::XMLElement& element, const DataTypes::Vector3& origin, const DataTypes::Vector3& look,
                      const DataTypes::Vector3& up) {
    element.SetAttribute("OriginX", origin.x);
    element.SetAttribute("OriginY", origin.y);
    element.SetAttribute("OriginZ", origin.z);
    element.SetAttribute("LookX", look.x);
    element.SetAttribute("LookY", look.y);
    element.SetAttribute("LookZ", look.z);
    element.SetAttribute("UpX", up.x);
    element.SetAttribute("UpY", up.y);
    element.SetAttribute("UpZ", up.z);
}

}  // namespace Camera
