#include "common/LogSingleton.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

#include "common/Filesystem.h"

// Built before every other global object of the program, so that their
// constructors may log; destroyed after them for the same reason.
LogSingleton LogSingleton::m_Instance __attribute__((init_priority(101)));

namespace {

std::string LogFileName(unsigned int number) {
    char name[64];
    std::snprintf(name, sizeof(name), "logMessages%02u.txt", number);
    return name;
}

std::string CurrentDirectory() {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) return std::string();
    std::string result(cwd);
    std::free(cwd);
    return result;
}

bool StartupWaitDisabled() {
    const char* value = std::getenv("KORVELLA_LOG_NO_WAIT");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace

LogSingleton::LogSingleton() {
    std::fputs("Korvella initing, wait a few seconds...\n", stdout);
    std::fflush(stdout);
    if (!StartupWaitDisabled()) std::this_thread::sleep_for(std::chrono::seconds(2));

    m_StartTime = Now(CLOCK_REALTIME);
    m_LastWriteTime = m_StartTime;

    SetLogFileCount(5);
    changeFile();

    std::string firstName;
    {
        std::lock_guard<std::mutex> lock(m_LogMutex);
        m_LineCount = 0;
        firstName = m_LogFileNames.front();
    }
    std::printf("LogSingleton:%s\n", firstName.c_str());
    std::fflush(stdout);

    std::lock_guard<std::mutex> lock(m_LogMutex);
    m_RingWrite = 0;
    m_RingRead = 0;
}

LogSingleton::~LogSingleton() {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    if (m_LogFile != nullptr) {
        std::fflush(m_LogFile);
        std::fclose(m_LogFile);
        m_LogFile = nullptr;
        sync();
    }
}

// ---------------------------------------------------------------- lines

void LogSingleton::add(const std::string& message) { LogLine(message, false); }

void LogSingleton::addError(const std::string& message) { LogLine(message, true); }

void LogSingleton::add(const std::string& message, int value) {
    char text[512];
    std::snprintf(text, sizeof(text), "%s %d", message.c_str(), value);
    add(std::string(text));
}

void LogSingleton::add(const std::string& message, float value) {
    char text[512];
    std::snprintf(text, sizeof(text), "%s %.1f", message.c_str(), static_cast<double>(value));
    add(std::string(text));
}

std::string LogSingleton::FormatText(const char* format, ...) {
    char text[1024] = {};
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void LogSingleton::LogLine(const std::string& message, bool isError) {
    std::vector<std::pair<std::string, bool>> finished;
    {
        std::lock_guard<std::mutex> lock(m_LogMutex);
        WriteLineLocked(GetTimeString(), message, isError);
        if (m_Observer) finished.emplace_back(message, isError);
        if (m_LineCount > m_MaxEntries) {
            std::vector<std::string> reports;
            ChangeFileLocked(reports);
            if (m_Observer) {
                for (const std::string& report : reports) finished.emplace_back(report, true);
            }
        }
    }
    Notify(finished);
}

void LogSingleton::WriteLineLocked(const std::string& stamp, const std::string& message, bool isError) {
    const std::string line = stamp + "     " + message + "\n";
    std::FILE* console = isError ? stderr : stdout;
    std::fwrite(line.data(), 1, line.size(), console);
    std::fflush(console);
    if (m_LogFile != nullptr) {
        std::fwrite(line.data(), 1, line.size(), m_LogFile);
        std::fflush(m_LogFile);
    }
    ++m_LineCount;

    m_LogRing[m_RingWrite] = stamp + " " + message;
    m_RingWrite = (m_RingWrite + 1) % RingCapacity;
    if (m_RingWrite == m_RingRead) m_RingRead = (m_RingRead + 1) % RingCapacity;
}

void LogSingleton::Notify(const std::vector<std::pair<std::string, bool>>& lines) {
    if (lines.empty()) return;
    LineObserver observer;
    {
        std::lock_guard<std::mutex> lock(m_LogMutex);
        observer = m_Observer;
    }
    if (!observer) return;
    for (const auto& line : lines) observer(line.first, line.second);
}

std::string LogSingleton::GetTimeString() const { return FormatTimeStamp(m_StartTime, Now(CLOCK_REALTIME)); }

std::string LogSingleton::FormatTimeStamp(const timespec& start, const timespec& now) {
    // 64 bits: a 32-bit millisecond count overflows after 24 days of up-time.
    long long seconds = static_cast<long long>(now.tv_sec) - static_cast<long long>(start.tv_sec);
    long long nanoseconds = static_cast<long long>(now.tv_nsec) - static_cast<long long>(start.tv_nsec);
    if (nanoseconds < 0) {
        seconds -= 1;
        nanoseconds += 1000000000LL;
    }
    long long total = seconds * 1000 + nanoseconds / 1000000;
    if (total < 0) total = 0;  // the real-time clock was set back
    char text[64];
    std::snprintf(text, sizeof(text), "%02lld:%02lld:%02lld:%03lld", total / 3600000, (total / 60000) % 60,
                  (total / 1000) % 60, total % 1000);
    return text;
}

timespec LogSingleton::Now(clockid_t clock) const {
    if (m_ClockOverridden.load(std::memory_order_acquire)) {
        NowFunction now;
        {
            std::lock_guard<std::mutex> lock(m_ClockMutex);
            now = m_Now;
        }
        if (now) return now(clock);
    }
    timespec ts{};
    clock_gettime(clock, &ts);
    return ts;
}

// ---------------------------------------------------------------- files

void LogSingleton::SetLogFileCount(unsigned int count) {
    if (count < 2) count = 2;
    // The count comes from the front-end file; a wild value (a negative
    // number read as unsigned) must not build billions of names.
    if (count > MaxLogFileCount) count = MaxLogFileCount;
    {
        std::lock_guard<std::mutex> lock(m_LogMutex);
        const std::size_t current = m_LogFileNames.size();
        if (count == current) return;
        if (count > current) {
            m_LogFileNames.clear();
            for (unsigned int i = 1; i <= count; ++i) m_LogFileNames.push_back(LogFileName(i));
        } else {
            for (std::size_t i = count; i < current; ++i) deleteFile(m_LogFileNames[i]);
            m_LogFileNames.resize(count);
        }
    }
    addFormat("Log file count set to %d", count);
}

int LogSingleton::GetLogFileCount() const {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    return static_cast<int>(m_LogFileNames.size());
}

void LogSingleton::SetMaxEntries(unsigned int count) {
    if (count < 250) count = 250;
    {
        std::lock_guard<std::mutex> lock(m_LogMutex);
        if (count == m_MaxEntries) return;
        m_MaxEntries = count;
    }
    addFormat("Log entry count set to %d", count);
}

unsigned int LogSingleton::GetMaxEntries() const {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    return m_MaxEntries;
}

void LogSingleton::Flush() {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    if (m_LogFile != nullptr) std::fflush(m_LogFile);
}

int LogSingleton::GetLogMessage(std::string* out) {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    int unread = m_RingWrite - m_RingRead;
    if (unread < 0) unread += RingCapacity;
    if (unread < 1) return unread;
    if (out != nullptr) *out = m_LogRing[m_RingRead];
    m_RingRead = (m_RingRead + 1) % RingCapacity;
    return unread;
}

std::string LogSingleton::get_programPath() const {
    std::lock_guard<std::mutex> lock(m_PathMutex);
    return m_ProgramPath;
}

std::string LogSingleton::get_rootPath() const {
    std::lock_guard<std::mutex> lock(m_PathMutex);
    return m_RootPath;
}

void LogSingleton::SetRootPath(const std::string& rootPath) {
    std::lock_guard<std::mutex> lock(m_PathMutex);
    m_RootPath = rootPath;
}

void LogSingleton::changeFile() {
    std::vector<std::pair<std::string, bool>> finished;
    {
        std::lock_guard<std::mutex> lock(m_LogMutex);
        std::vector<std::string> reports;
        ChangeFileLocked(reports);
        if (m_Observer) {
            for (const std::string& report : reports) finished.emplace_back(report, true);
        }
    }
    Notify(finished);
}

void LogSingleton::ChangeFileLocked(std::vector<std::string>& reports) {
    const int n = static_cast<int>(m_LogFileNames.size());
    if (n <= 1) return;

    deleteFile(m_LogFileNames[n - 1]);
    for (int i = n - 2; i >= 1; --i) MoveFileLocked(m_LogFileNames[i], m_LogFileNames[i + 1], reports);

    if (m_LogFile != nullptr) {
        std::fflush(m_LogFile);
        std::fclose(m_LogFile);
        m_LogFile = nullptr;
    }
    MoveFileLocked(m_LogFileNames[0], m_LogFileNames[1], reports);
    sync();

    // Appending: when the current file could not be moved away its lines stay.
    m_LogFile = std::fopen(m_LogFileNames[0].c_str(), "a");
    m_LineCount = 0;
    AddHeaderLocked();

    // The log mutex is held here: refused renames go straight to standard
    // error, the new file and the ring instead of through add().
    if (!reports.empty()) {
        const std::string stamp = GetTimeString();
        for (const std::string& report : reports) WriteLineLocked(stamp, report, true);
    }
}

void LogSingleton::MoveFileLocked(const std::string& from, const std::string& to, std::vector<std::string>& reports) {
    if (!fileExists(from) || fileExists(to)) return;
    const int result = m_Rename ? m_Rename(from.c_str(), to.c_str()) : std::rename(from.c_str(), to.c_str());
    if (result != 0) {
        const int err = errno;
        reports.push_back(FormatText("Moving file '%s' to '%s' failed: %s", from.c_str(), to.c_str(), std::strerror(err)));
    }
}

void LogSingleton::addHeader() {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    AddHeaderLocked();
}

void LogSingleton::AddHeaderLocked() {
    if (m_LogFile != nullptr) std::fputs("VQT Korvella LogFile.\n", m_LogFile);
    std::fputs("VQT Korvella\n", stdout);

    if (m_LogFile != nullptr) {
        // The asctime form, e.g. "Mon Jan  1 00:00:00 2024".
        const time_t seconds = Now(CLOCK_REALTIME).tv_sec;
        struct tm local{};
        char date[128] = {};
        if (localtime_r(&seconds, &local) != nullptr) std::strftime(date, sizeof(date), "%a %b %e %H:%M:%S %Y\n", &local);
        std::fputs(date, m_LogFile);
    }

    const std::string programPath = CurrentDirectory();
    const std::string rootPath = findRootDirectory(programPath);
    {
        std::lock_guard<std::mutex> lock(m_PathMutex);
        m_ProgramPath = programPath;
        m_RootPath = rootPath;
    }
    std::printf("Program path: %s\n", programPath.c_str());
    std::printf("Root path: %s\n", rootPath.c_str());
    std::fflush(stdout);

    if (m_LogFile != nullptr) std::fputs("\n", m_LogFile);
    m_LineCount += 3;
}

// ---------------------------------------------------------------- seams

void LogSingleton::SetLineObserver(LineObserver observer) {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    m_Observer = std::move(observer);
}

void LogSingleton::SetNowFunction(NowFunction now) {
    std::lock_guard<std::mutex> lock(m_ClockMutex);
    const bool overridden = static_cast<bool>(now);
    m_Now = std::move(now);
    m_ClockOverridden.store(overridden, std::memory_order_release);
}

void LogSingleton::SetRenameFunction(RenameFunction rename) {
    std::lock_guard<std::mutex> lock(m_LogMutex);
    m_Rename = std::move(rename);
}

// ---------------------------------------------------------------- free functions

bool fileExists(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) return false;
    std::fclose(file);
    return true;
}

void deleteFile(const std::string& path) {
    if (fileExists(path)) std::remove(path.c_str());
}

void moveFile(const std::string& from, const std::string& to) {
    if (!fileExists(from) || fileExists(to)) return;
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        const int err = errno;
        LogSingleton::instance()->addFormat("Moving file '%s' to '%s' failed: %s", from, to, std::strerror(err));
    }
}

std::string findRootDirectory(const std::string& start) {
    std::string current = start;
    for (;;) {
        if (Filesystem::IsDirectory(current + "/Data")) return current + "/";
        const std::string::size_type slash = current.rfind('/');
        if (slash == std::string::npos || slash == 0) return start + "/";
        current.erase(slash);
    }
}

std::string GetHourString(int minutes) {
    char text[128];
    std::snprintf(text, sizeof(text), "%3.1d days   %.2d h   %.2d min", minutes / 1440, (minutes / 60) % 24,
                  minutes % 60);
    return text;
}
