#pragma once
// Path rules for file names that the project files bring in.

#include <algorithm>
#include <string>

#include "common/Filesystem.h"

namespace ProjectManagerPaths {

inline std::string Slashes(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

using Filesystem::StaysInside;

}  // namespace ProjectManagerPaths
