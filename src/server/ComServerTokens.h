#pragma once
// Reading the blank-separated tokens of a remote frame after its keyword:
// the end token is no value, and numbers count only as whole tokens.

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "server/HXPScanner.h"

namespace ComServerTokens {

// The next token, or an empty text when the frame has no more (the end token counts as none).
inline std::string NextValueToken(char** save) {
    const char* token = strtok_r(nullptr, " ", save);
    if (token == nullptr || std::strcmp(token, "HXPEND") == 0) return std::string();
    return token;
}

// A whole decimal integer of 32 bits.
inline bool ParseInt(const std::string& text, int32_t& out) {
    if (text.empty()) return false;
    int32_t value = 0;
    HXPScanner scan(text.c_str());
    scan.Int(value);
    if (scan.Count() != 1 || !scan.NextIs("")) return false;
    out = value;
    return true;
}

// A whole finite number.
inline bool ParseDouble(const std::string& text, double& out) {
    if (text.empty()) return false;
    double value = 0.0;
    HXPScanner scan(text.c_str());
    scan.Double(value);
    if (scan.Count() != 1) return false;
    out = value;
    return true;
}

// A whole number that is finite as a float too (1e300 would be stored as inf).
inline bool ParseFloat(const std::string& text, double& out) {
    double value = 0.0;
    if (!ParseDouble(text, value) || !(std::fabs(value) <= static_cast<double>(FLT_MAX))) return false;
    out = value;
    return true;
}

// Control characters make an XML file unreadable and a log line misleading.
inline bool HasControlCharacter(const std::string& text) {
    for (const char c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return true;
    }
    return false;
}

// Backslashes of a file name from a client turned into slashes.
inline std::string Slashes(std::string path) {
    for (char& c : path)
        if (c == '\\') c = '/';
    return path;
}

}  // namespace ComServerTokens
