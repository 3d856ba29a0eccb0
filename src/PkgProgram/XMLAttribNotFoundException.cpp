#include "PkgProgram/XMLAttribNotFoundException.h"

XMLAttribNotFoundException::XMLAttribNotFoundException(const std::string& attributeName)
    : XMLException("Could not find attribute '" + attributeName + "'") {}
