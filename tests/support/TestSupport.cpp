#include "support/TestSupport.h"

#include "common/LogSingleton.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace TestSupport {

ScratchRoot::ScratchRoot(bool withData) {
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof(cwd)) != nullptr) m_PreviousCwd = cwd;
    std::string tmpl = (std::filesystem::temp_directory_path() / "korvella-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_Path = tmpl;
    if (withData) std::filesystem::create_directories(m_Path + "/Data");
    if (chdir(m_Path.c_str()) != 0) throw std::runtime_error("chdir failed");
    m_PreviousRoot = LogSingleton::instance()->get_rootPath();
    LogSingleton::instance()->SetRootPath(m_Path + "/");
}

ScratchRoot::~ScratchRoot() {
    LogSingleton::instance()->SetRootPath(m_PreviousRoot);
    if (!m_PreviousCwd.empty() && chdir(m_PreviousCwd.c_str()) != 0) {
        // Nothing sensible to do in a destructor; the next test sets its own.
    }
    std::error_code ec;
    std::filesystem::remove_all(m_Path, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::filesystem::path p(path);
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string FixturePath(const std::string& fixture) {
    return std::string(KORVELLA_FIXTURES_DIR) + "/" + fixture;
}

void CopyFixture(const std::string& fixture, const std::string& target) {
    WriteFile(target, ReadFile(FixturePath(fixture)));
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return 0;
    }
    close(fd);
    return ntohs(address.sin_port);
}

TakenPort::TakenPort() : m_Fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof(address);
    if (m_Fd < 0 || bind(m_Fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(m_Fd, 1) != 0 ||
        getsockname(m_Fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Release();
        return;
    }
    m_Port = ntohs(address.sin_port);
}

TakenPort::~TakenPort() { Release(); }

void TakenPort::Release() {
    if (m_Fd >= 0) close(m_Fd);
    m_Fd = -1;
}

FileSizeLimit::FileSizeLimit() {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &m_Saved);
    rlimit small = m_Saved;
    small.rlim_cur = 8;
    setrlimit(RLIMIT_FSIZE, &small);
}

FileSizeLimit::~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_Saved); }

}  // namespace TestSupport
