#include "common/Filesystem.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

#include "common/LogSingleton.h"

namespace Filesystem {

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool IsFile(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Delete(const std::string& path) {
    if (std::remove(path.c_str()) == 0) return true;
    const int err = errno;
    LogSingleton::instance()->addErrorFormat("Could not delete file '%s': %s", path, std::strerror(err));
    return false;
}

bool Move(const std::string& from, const std::string& to) {
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    const int err = errno;
    LogSingleton::instance()->addErrorFormat("Could not move file '%s' to '%s': %s", from, to, std::strerror(err));
    return false;
}

int32_t GetFileSize(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int32_t>(st.st_size);
}

}  // namespace Filesystem
