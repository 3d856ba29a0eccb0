#include "common/StringHelper.h"

#include <cctype>
#include <strings.h>

namespace StringHelper {

std::string SplitGetLast(const std::string& text, const std::string& separator) {
    if (separator.empty()) return text;
    const std::string::size_type pos = text.rfind(separator);
    if (pos == std::string::npos) return text;
    return text.substr(pos + separator.size());
}

std::string ToLower(const std::string& text) {
    std::string result(text);
    // tolower is only defined for unsigned char values.
    for (char& c : result) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

bool FileComparator(const std::string& a, const std::string& b) {
    // Two empty names are equivalent: never report a < a.
    if (b.empty()) return false;
    if (a.empty()) return true;
    const bool aDir = a.back() == '/';
    const bool bDir = b.back() == '/';
    if (aDir != bDir) return aDir;
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

}  // namespace StringHelper
