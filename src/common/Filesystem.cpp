#include "common/Filesystem.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

bool AllDigits(const std::string& text, std::size_t from, std::size_t to) {
    if (from >= to || to - from > 20) return false;
    for (std::size_t i = from; i < to; ++i)
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// Whether `name` is exactly a temporary of `base`: base_<digits>_<digits>_tmp.
// Anything else that merely looks alike (a user's "x.xml_2_backup_tmp") is none.
bool IsTemporaryOf(const std::string& name, const std::string& base) {
    const std::string suffix = "_tmp";
    if (name.size() <= base.size() + 1 + suffix.size() || name.compare(0, base.size() + 1, base + "_") != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::size_t first = base.size() + 1;
    const std::size_t last = name.size() - suffix.size();
    const std::size_t separator = name.find('_', first);
    return separator < last && AllDigits(name, first, separator) && AllDigits(name, separator + 1, last);
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes the temporary `path` when no writer holds it. A writer keeps its
// temporary locked from creation until it is renamed or removed, and the
// kernel drops the lock when the writer ends however it ends: a lock we can
// take means the writer is gone, whatever its process id or pid namespace.
void RemoveIfAbandoned(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    struct stat opened;
    struct stat named;
    if (fstat(fd, &opened) == 0 && S_ISREG(opened.st_mode) && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        lstat(path.c_str(), &named) == 0 && SameFile(opened, named)) {
        // Removed while locked: a writer that created it just now sees it gone once it gets the lock.
        unlink(path.c_str());
    }
    close(fd);
}

// Removes what interrupted writes of `path` left behind: temporaries no
// writer holds and the plain "_tmp" name older versions used.
void RemoveStaleTemporaries(const std::string& path) {
    unlink((path + "_tmp").c_str());  // even if read-only
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return;
    while (const dirent* entry = readdir(listing)) {
        if (IsTemporaryOf(entry->d_name, base)) RemoveIfAbandoned(directory + entry->d_name);
    }
    closedir(listing);
}

// Takes the writer's lock on a temporary just created. False when a cleanup
// took it first and removed (or is removing) it: the caller tries a new name.
bool HoldTemporary(int fd, const std::string& name) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    struct stat opened;
    struct stat named;
    return fstat(fd, &opened) == 0 && opened.st_nlink > 0 && lstat(name.c_str(), &named) == 0 &&
           SameFile(opened, named);
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
        if (!HoldTemporary(fd, name)) {
            close(fd);
            continue;
        }
        std::FILE* file = fdopen(fd, "w");
        if (file == nullptr) {
            const int err = errno;
            unlink(name.c_str());
            close(fd);
            errno = err;
            return nullptr;
        }
        temporary = name;
        return file;
    }
    errno = EEXIST;
    return nullptr;
}

bool CommitTemporary(std::FILE* file, const std::string& temporary, const std::string& path) {
    // Renamed while still open: the lock keeps a cleanup off it until it has its place.
    const bool ok = std::rename(temporary.c_str(), path.c_str()) == 0;
    const int err = errno;
    if (!ok) std::remove(temporary.c_str());
    std::fclose(file);
    errno = err;
    return ok;
}

void DiscardTemporary(std::FILE* file, const std::string& temporary) {
    std::remove(temporary.c_str());
    std::fclose(file);
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
    struct stat written;
    // Never replace a file by an empty one.
    if (err == 0 && (fstat(fileno(file), &written) != 0 || written.st_size < 1)) err = EIO;
    if (err != 0) {
        DiscardTemporary(file, temporary);
        result.error = err;
        return result;
    }
    if (!CommitTemporary(file, temporary, path)) {
        result.error = errno;
        result.moveFailed = true;
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
