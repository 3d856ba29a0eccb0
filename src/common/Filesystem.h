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

// Replaces `path` with what `write` puts into a stream: written to a
// temporary file of its own beside it (CreateTemporary), flushed and synced,
// then renamed over the old file, so a crash or a failed write never leaves a
// half-written or empty file, and two writers of one file never share a
// temporary. `write` returns false when it could not write everything. The
// temporary file is removed on failure.
AtomicWriteResult WriteAtomically(const std::string& path, const std::function<bool(std::FILE*)>& write);

// Creates and opens ("w") a new temporary file for `path` in the same
// directory: path + "_" + process id + "_" + a counter + "_tmp". Its name is
// stored in `temporary`; nullptr (errno set) when none could be created. The
// temporary stays locked (flock) while it is open, which is how other writers
// tell it from one whose writer is gone. Temporaries of `path` that nobody
// holds locked, and the plain path + "_tmp" of older versions, are removed
// first; names that only resemble a temporary are left alone.
std::FILE* CreateTemporary(const std::string& path, std::string& temporary);

// Renames a temporary from CreateTemporary over `path`, then closes it; the
// caller has flushed and synced it. On failure (errno set) the temporary is
// removed. The file is closed either way.
bool CommitTemporary(std::FILE* file, const std::string& temporary, const std::string& path);

// Removes a temporary from CreateTemporary and closes it.
void DiscardTemporary(std::FILE* file, const std::string& temporary);

}  // namespace Filesystem
