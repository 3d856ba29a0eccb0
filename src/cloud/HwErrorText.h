#pragma once
// Readable wording for the short status texts of the joint-bus drivers,
// before they are published to the cloud as the last message.

#include <string>

namespace Cloud {

// Every non-overlapping match of the ECMAScript pattern (case-sensitive)
// replaced by the replacement format.
std::string Replace(const std::string& text, const std::string& pattern, const char* replacement);

// Applies the fixed, ordered list of word replacements.
std::string TranslateHwError(const std::string& text);

}  // namespace Cloud
