// File upload: "UploadFileInit" names a file under Data/ and the number of
// lines, each "UploadFileLine" carries one line as typed, "UploadFileFinish"
// puts the file in place. None is answered; results go to the log and, for
// path errors and the end, to every client as a server message.

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "common/LogSingleton.h"
#include "server/ComServer.h"
#include "server/ComServerTokens.h"
#include "server/HXPScanner.h"

namespace {

using ComServerTokens::HasControlCharacter;

void Report(const std::string& text, bool error) {
    LogSingleton* log = LogSingleton::instance();
    if (error)
        log->addError(text);
    else
        log->add(text);
    log->ServerSetMessage(text);
}

// Checks the whole path before anything is created; the text of the first fault, or empty.
std::string PathFault(const std::string& name, const std::string& path) {
    // Without a name the scan takes the end token for it.
    if (name.empty() || name == "HXPEND") return "HXP-Server: Invalid path: no file name given";
    if (HasControlCharacter(name)) return "HXP-Server: Invalid path: " + path + ", holds control characters";
    if (name.find("..") != std::string::npos) return "HXP-Server: Invalid path: " + path + ", must not be relative!";
    // A leading "/" gives two in a row after "Data/"; an empty last part names no file.
    if (path.find("//", 1) != std::string::npos || name.back() == '/')
        return "HXP-Server: Invalid path: " + path;
    return std::string();
}

// Creates the missing directories of the path (not its last part); false after a reported failure.
bool CreateDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        struct stat info {};
        if (stat(prefix.c_str(), &info) != 0) {
            if (mkdir(prefix.c_str(), 0777) != 0) {
                Report("HXP-Server: Could not create path '" + prefix + "'", true);
                return false;
            }
        } else if (!S_ISDIR(info.st_mode)) {
            Report("HXP-Server: Could not create path '" + prefix + "': exists but is no directory", true);
            return false;
        }
    }
    return true;
}

}  // namespace

void ComServer::CmdUploadFileInit(const char* message, int, char**) {
    LogSingleton* log = LogSingleton::instance();
    if (m_Upload.IsOpen()) {
        // Its lines must not run on into the new file.
        log->addFormat("HXP-Server: Discarding unfinished upload: %s", m_UploadName);
        m_Upload.Discard();
    }
    m_UploadLineCount = 0;
    m_UploadLinesWritten = 0;
    int32_t counter = 0;
    int32_t lines = 0;
    std::string name;
    HXPScanner::Command(message, "UploadFileInit", counter).Word(name, 511).Int(lines);
    m_UploadName = name;
    log->add("");
    log->addFormat("HXP-Server: Starting file upload: %s, %d", name, static_cast<int>(lines));
    m_UploadLineCount = lines;

    const std::string path = log->get_rootPath() + "Data/" + name;
    const std::string fault = PathFault(name, path);
    if (!fault.empty()) {
        Report(fault, false);
        return;
    }
    if (!CreateDirectories(path)) return;
    if (!m_Upload.Open(path)) {
        Report("HXP-Server: Could not open file '" + path + "': " + std::strerror(errno), true);
        return;
    }
    log->addFormat("   Full path: %s", path);
}

void ComServer::CmdUploadFileLine(const char* message, int, char**) {
    if (!m_Upload.IsOpen()) return;
    // The line follows "HXPSTART <counter> CMD UploadFileLine " typed with single blanks
    // and ends before " HXPEND"; its own blanks are kept.
    const std::size_t length = std::strlen(message);
    std::size_t counterLength = 0;
    if (length > 9) {
        std::size_t at = 9;
        while (at < length && message[at] == ' ') ++at;
        while (at + counterLength < length && message[at + counterLength] != ' ') ++counterLength;
    }
    const std::size_t start = 29 + counterLength;
    std::string line;
    if (start < length) {
        line = length >= start + 7 ? std::string(message + start, length - start - 7) : std::string(message + start);
    }
    LogSingleton::instance()->addFormat("   File upload line %d: %s", static_cast<int>(m_UploadLinesWritten), line);
    m_Upload.WriteLine(line);
    ++m_UploadLinesWritten;
}

void ComServer::CmdUploadFileFinish(const char*, int, char**) {
    if (!m_Upload.IsOpen()) return;
    LogSingleton* log = LogSingleton::instance();
    const std::string path = m_Upload.Path();
    if (!m_Upload.Commit()) {
        Report("HXP-Server: Could not write uploaded file '" + path + "'", true);
        return;
    }
    // The count announced by the init, as the client expects it back.
    const std::string text = m_UploadName + " uploaded, " + std::to_string(m_UploadLineCount) + " lines";
    log->add(text);
    log->add("");
    log->DisplayAndServerSetMessage(text);
}
