#pragma once

#include <string>

#include "PkgProgram/XMLException.h"

// An attribute is present but its text is not a value of the requested type.
class XMLAttribParseException : public XMLException {
public:
    explicit XMLAttribParseException(const std::string& attributeName);
    // With what is wrong with the text, e.g. "4294967296 is out of range".
    XMLAttribParseException(const std::string& attributeName, const std::string& detail);
};
