#include "PkgProgram/XMLAttribParseException.h"

XMLAttribParseException::XMLAttribParseException(const std::string& attributeName)
    : XMLException("Could not parse attribute '" + attributeName + "'") {}

XMLAttribParseException::XMLAttribParseException(const std::string& attributeName, const std::string& detail)
    : XMLException("Could not parse attribute '" + attributeName + "': " + detail) {}
