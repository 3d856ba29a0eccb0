#pragma once

#include <stdexcept>
#include <string>

// Base of the errors raised while reading program XML.
class XMLException : public std::runtime_error {
public:
    explicit XMLException(const std::string& message);
};
