#pragma once
// Helpers of the drivers' readers of the robot file.

#include <tinyxml2.h>

#include <string>

namespace Hardware {

// A finite number, or false (absent, unparsable, "nan", "inf"); value is left alone then.
bool QueryFinite(const tinyxml2::XMLElement* element, const char* name, float& value);

// Logs the error line, sets the serious-fail reason and operation mode 1.
void SeriousFailure(const std::string& errorLine, const char* reason);

}  // namespace Hardware
