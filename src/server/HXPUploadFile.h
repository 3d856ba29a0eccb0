#pragma once
// The file of a remote upload. Lines go to a temporary file of its own beside
// the target (Filesystem::CreateTemporary); only Commit renames it into place,
// so an upload that is abandoned or fails half-way leaves an existing file
// whole, and two writers of one file never share a temporary.

#include <cstdio>
#include <string>

class HXPUploadFile {
public:
    HXPUploadFile() = default;
    // An open upload that was never committed is discarded.
    ~HXPUploadFile();
    HXPUploadFile(const HXPUploadFile&) = delete;
    HXPUploadFile& operator=(const HXPUploadFile&) = delete;

    // Discards any open upload, then opens the temporary file; false when it cannot be created.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_File != nullptr; }
    // Appends the bytes and a newline; false once a write failed.
    bool WriteLine(const std::string& line);
    // Flushes, syncs and renames into place; false (temporary removed) when any step failed.
    bool Commit();
    // Closes and removes the temporary file; the target stays as it was.
    void Discard();
    const std::string& Path() const { return m_Path; }

private:
    std::FILE* m_File = nullptr;
    std::string m_Path;
    std::string m_Temporary;
    bool m_Failed = false;
};
