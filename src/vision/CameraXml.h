#pragma once
// Attribute helpers shared by the camera drivers' configuration readers.

#include <string>

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

}  // namespace Camera
