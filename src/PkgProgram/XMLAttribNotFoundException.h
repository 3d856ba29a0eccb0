#pragma once

#include <string>

#include "PkgProgram/XMLException.h"

// A mandatory attribute is absent from its element.
class XMLAttribNotFoundException : public XMLException {
public:
    explicit XMLAttribNotFoundException(const std::string& attributeName);
};
