#pragma once
// Helpers shared by all test binaries.

#include <sys/resource.h>

#include <string>

namespace TestSupport {

// A fresh directory holding Data/; while the object lives the process works
// inside it and the log's root directory points at it; both are restored
// afterwards.
class ScratchRoot {
public:
    explicit ScratchRoot(bool withData = true);
    ~ScratchRoot();
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    // Absolute path, without a trailing slash.
    const std::string& Path() const { return m_Path; }
    std::string File(const std::string& relative) const { return m_Path + "/" + relative; }

private:
    std::string m_Path;
    std::string m_PreviousCwd;
    std::string m_PreviousRoot;
};

// Whole file as a string; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes a file, creating its parent directories.
void WriteFile(const std::string& path, const std::string& content);
// Copies a fixture file from tests/fixtures into a target path.
void CopyFixture(const std::string& fixture, const std::string& target);
std::string FixturePath(const std::string& fixture);

// While it lives, no file of the process can grow past a few bytes: the way to make
// a write fail that works for root too (each write has a temporary file of its own).
class FileSizeLimit {
public:
    FileSizeLimit();
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit m_Saved{};
};

// A loopback TCP port that was free a moment ago; 0 when none could be found.
int FreeLoopbackPort();

// A port on every address that a listener of the test's own holds while the
// object lives (a server started on it fails to bind); Port() is 0 when none.
class TakenPort {
public:
    TakenPort();
    ~TakenPort();
    TakenPort(const TakenPort&) = delete;
    TakenPort& operator=(const TakenPort&) = delete;
    int Port() const { return m_Port; }
    // Frees the port before the object ends.
    void Release();

private:
    int m_Fd = -1;
    int m_Port = 0;
};

}  // namespace TestSupport
