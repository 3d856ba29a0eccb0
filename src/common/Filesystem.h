#pragma once
// Thin file-system calls; Delete and Move log their failures and never throw.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace Filesystem {

bool Exists(const std::string& path);
bool IsFile(const std::string& path);
bool IsDirectory(const std::string& path);
bool Delete(const std::string& path);
bool Move(const std::string& from, const std::string& to);
// Size in bytes, or -1 when the path cannot be examined.
int32_t GetFileSize(const std::string& path);


// A relative path without ".." components: names from outside stay below the folder they are joined to.
bool StaysInside(const std::string& path);

// How a replacement by WriteAtomically went: ok, or the step that failed and
// the system's error number.
struct AtomicWriteResult {
    bool ok = false;
    bool moveFailed = false;  // the new content was complete but could not replace the file
    int error = 0;
};

// Replaces `path` with what `write` puts into a stream: written to path +
// "_tmp", flushed and synced, then renamed over the old file, so a crash or a
// failed write never leaves a half-written or empty file. `write` returns false
// when it could not write everything. The temporary file is removed on failure.
AtomicWriteResult WriteAtomically(const std::string& path, const std::function<bool(std::FILE*)>& write);

}  // namespace Filesystem
