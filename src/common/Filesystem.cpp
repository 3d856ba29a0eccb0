#include "common/Filesystem.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

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

namespace {

// The process id in a temporary's name of `base`, or 0 when the name is none.
pid_t TemporaryOwner(const std::string& name, const std::string& base) {
    const std::string suffix = "_tmp";
    if (name.size() <= base.size() + 1 + suffix.size() || name.compare(0, base.size() + 1, base + "_") != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return 0;
    const std::string middle = name.substr(base.size() + 1, name.size() - base.size() - 1 - suffix.size());
    const std::size_t separator = middle.find('_');
    if (separator == 0 || separator == std::string::npos || middle.find('_', separator + 1) != std::string::npos)
        return 0;
    long pid = 0;
    for (std::size_t i = 0; i < separator; ++i) {
        if (middle[i] < '0' || middle[i] > '9' || pid > 100000000L) return 0;
        pid = pid * 10 + (middle[i] - '0');
    }
    return static_cast<pid_t>(pid);
}

// Removes what interrupted writes of `path` left behind: temporaries of
// processes that are gone and the plain "_tmp" name older versions used.
void RemoveStaleTemporaries(const std::string& path) {
    unlink((path + "_tmp").c_str());  // even if read-only
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(listing)) {
        const pid_t owner = TemporaryOwner(entry->d_name, base);
        if (owner <= 0 || owner == self) continue;
        if (kill(owner, 0) == 0 || errno != ESRCH) continue;  // its writer may still be at work
        unlink((directory + entry->d_name).c_str());
    }
    closedir(listing);
}

}  // namespace

std::FILE* CreateTemporary(const std::string& path, std::string& temporary) {
    RemoveStaleTemporaries(path);
    // A name of this process's own per write; O_EXCL makes it ours alone, and
    // the usual mode (umask applied) lets it replace the target as it is.
    static std::atomic<unsigned> writes{0};
    const std::string prefix = path + "_" + std::to_string(getpid()) + "_";
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string name = prefix + std::to_string(writes.fetch_add(1)) + "_tmp";
        const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        std::FILE* file = fdopen(fd, "w");
        if (file == nullptr) {
            const int err = errno;
            close(fd);
            unlink(name.c_str());
            errno = err;
            return nullptr;
        }
        temporary = name;
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

AtomicWriteResult WriteAtomically(const std::string& path, const std::function<bool(std::FILE*)>& write) {
    AtomicWriteResult result;
    std::string temporary;
    std::FILE* file = CreateTemporary(path, temporary);
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
