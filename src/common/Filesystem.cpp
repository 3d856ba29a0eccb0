#include "common/Filesystem.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

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

AtomicWriteResult WriteAtomically(const std::string& path, const std::function<bool(std::FILE*)>& write) {
    AtomicWriteResult result;
    const std::string temporary = path + "_tmp";
    unlink(temporary.c_str());  // a stale file from an interrupted write, even if read-only
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        result.error = errno;
        return result;
    }
    errno = 0;
    int err = 0;
    if (!write(file) || std::fflush(file) != 0 || std::ferror(file) || fsync(fileno(file)) != 0) {
        err = errno != 0 ? errno : EIO;
    }
    if (std::fclose(file) != 0 && err == 0) err = errno != 0 ? errno : EIO;
    if (err == 0 && GetFileSize(temporary) < 1) err = EIO;  // never replace a file by an empty one
    if (err == 0 && std::rename(temporary.c_str(), path.c_str()) != 0) {
        err = errno;
        result.moveFailed = true;
    }
    if (err != 0) {
        std::remove(temporary.c_str());
        result.error = err;
        return result;
    }
    result.ok = true;
    return result;
}

bool StaysInside(const std::string& path) {
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

}  // namespace Filesystem
