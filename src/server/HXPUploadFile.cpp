#include "server/HXPUploadFile.h"

#include <unistd.h>

#include "common/Filesystem.h"

HXPUploadFile::~HXPUploadFile() { Discard(); }

bool HXPUploadFile::Open(const std::string& path) {
    Discard();
    m_File = Filesystem::CreateTemporary(path, m_Temporary);
    if (m_File == nullptr) return false;
    m_Path = path;
    m_Failed = false;
    return true;
}

bool HXPUploadFile::WriteLine(const std::string& line) {
    if (m_File == nullptr) return false;
    if (std::fwrite(line.data(), 1, line.size(), m_File) != line.size() || std::fputc('\n', m_File) == EOF)
        m_Failed = true;
    return !m_Failed;
}

bool HXPUploadFile::Commit() {
    if (m_File == nullptr) return false;
    std::FILE* file = m_File;
    m_File = nullptr;
    const bool written =
        !m_Failed && std::fflush(file) == 0 && std::ferror(file) == 0 && fsync(fileno(file)) == 0;
    if (!written) {
        Filesystem::DiscardTemporary(file, m_Temporary);
        return false;
    }
    return Filesystem::CommitTemporary(file, m_Temporary, m_Path);
}

void HXPUploadFile::Discard() {
    if (m_File == nullptr) return;
    Filesystem::DiscardTemporary(m_File, m_Temporary);
    m_File = nullptr;
}
