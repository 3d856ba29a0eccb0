#include "PkgProgram/XMLAttribParseException.h"

XMLAttribParseException::XMLAttribParseException(const std::string& attributeName)
    : XMLException("Could not parse attribute '" + attributeName + "'") {}
