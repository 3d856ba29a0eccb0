#pragma once

#include <string>

#include "PkgProgram/XMLException.h"

// An attribute is present but its text is not a value of the requested type.
class XMLAttribParseException : public XMLException {
public:
    explicit XMLAttribParseException(const std::string& attributeName);
};
