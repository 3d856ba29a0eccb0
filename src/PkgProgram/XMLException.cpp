#include "PkgProgram/XMLException.h"

XMLException::XMLException(const std::string& message) : std::runtime_error(message) {}
