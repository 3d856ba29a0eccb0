#pragma once
// Attribute helpers shared by the camera drivers' configuration readers.

#include <string>

#include "datatypes/Vector3.h"

namespace tinyxml2 {
class XMLElement;
}  // namespace tinyxml2

namespace Camera {

// An integer (non-zero true) or "true" / "false" in any letter case; false
// when the attribute is missing or neither.
bool QueryBoolAnyCase(const tinyxml2::XMLElement& element, const char* name, bool* value);
// A finite single-precision number; "nan" and "inf" count as unreadable.
bool QueryFiniteFloat(const tinyxml2::XMLElement& element, const char* name, float* value);
// The text of an attribute, empty when missing.
std::string AttributeText(const tinyxml2::XMLElement& element, const char* name);
// True when the attribute's text holds "true" in any letter case.
bool ContainsTrue(const tinyxml2::XMLElement& element, const char* name);
// A finite number filling the whole attribute; the value stays as it was when
// the attribute is missing or anything else (or, for a float, out of range).
void ReadFinite(const tinyxml2::XMLElement& element, const char* name, double& value);
void ReadFinite(const tinyxml2::XMLElement& element, const char* name, float& value);
// A network camera's frame in the robot base: "OriginX".."UpZ".
void ReadCameraFrame(const tinyxml2::XMLElement& element, DataTypes::Vector3& origin, DataTypes::Vector3& look,
                     DataTypes::Vector3& up);
void WriteCameraFrame(tinyxml2::XMLElement& element, const DataTypes::Vector3& origin, const DataTypes::Vector3& look,
                      const DataTypes::Vector3& up);

}  // namespace Camera
