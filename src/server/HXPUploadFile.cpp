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
    const std::string temporary = m_Temporary;
    bool ok = !m_Failed && std::fflush(m_File) == 0 && std::ferror(m_File) == 0 && fsync(fileno(m_File)) == 0;
    ok = std::fclose(m_File) == 0 && ok;
    m_File = nullptr;
    ok = ok && std::rename(temporary.c_str(), m_Path.c_str()) == 0;
    if (!ok) std::remove(temporary.c_str());
    return ok;
}

void HXPUploadFile::Discard() {
    if (m_File == nullptr) return;
    std::fclose(m_File);
    m_File = nullptr;
    std::remove(m_Temporary.c_str());
}
