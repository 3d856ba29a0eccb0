#pragma once
// Path rules for file names that the project files bring in.

#include <algorithm>
#include <string>

namespace ProjectManagerPaths {

inline std::string Slashes(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// A relative path without ".." components, so it cannot leave the folder it is taken from.
inline bool StaysInside(const std::string& path) {
    if (!path.empty() && path.front() == '/') return false;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end - start == 2 && path.compare(start, 2, "..") == 0) return false;
        start = end + 1;
    }
    return true;
}

}  // namespace ProjectManagerPaths
