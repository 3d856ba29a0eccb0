#pragma once
// Thin file-system calls; Delete and Move log their failures and never throw.

#include <cstdint>
#include <string>

namespace Filesystem {

bool Exists(const std::string& path);
bool IsFile(const std::string& path);
bool IsDirectory(const std::string& path);
bool Delete(const std::string& path);
bool Move(const std::string& from, const std::string& to);
// Size in bytes, or -1 when the path cannot be examined.
int32_t GetFileSize(const std::string& path);

}  // namespace Filesystem
