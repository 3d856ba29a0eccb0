#pragma once
// The process-wide log and settings object: log lines and rotating log files,
// the ring of recent lines for remote clients, process-wide state and message
// queues, and the persistent counters.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/PLCInterfaceSettings.h"
#include "common/SoftwareVersion.h"

// Operation mode of the whole controller (not the robot master's operating mode).
enum operationMode : int {
    opModeNormal = 0,
    opModeSeriousFail = 1,
    opModeCANBridge = 2,
};

// Identifiers of the persistent counters.
enum SystemVar : int {
    sysVarUpTimeComplete = 0,
    sysVarUpTimeLast = 1,
    sysVarUpTimeEnabled = 2,
    sysVarUpTimeMotion = 3,
    sysVarProgramStarts = 4,
    sysVarJ1 = 10,
    sysVarJ2 = 11,
    sysVarJ3 = 12,
    sysVarJ4 = 13,
    sysVarJ5 = 14,
    sysVarJ6 = 15,
    sysVarJ7 = 16,
    sysVarJ8 = 17,
    sysVarJ9 = 18,
};

namespace LogFormatDetail {

template <typename T, typename = void>
struct HasMagnitude : std::false_type {};
template <typename T>
struct HasMagnitude<T, std::void_t<decltype(std::declval<const T&>().Magnitude())>> : std::true_type {};

// std::atomic and RelaxedAtomic: read first.
template <typename T, typename = void>
struct HasLoad : std::false_type {};
template <typename T>
struct HasLoad<T, std::void_t<decltype(std::declval<const T&>().load())>> : std::true_type {};

template <typename>
inline constexpr bool AlwaysFalse = false;

// Turns one argument into what printf expects for it.
template <typename T>
auto Arg(const T& value) {
    using D = std::remove_cv_t<T>;
    if constexpr (std::is_array_v<D>) {
        return &value[0];
    } else if constexpr (std::is_same_v<D, std::string>) {
        return value.c_str();
    } else if constexpr (std::is_same_v<D, bool>) {
        return static_cast<int>(value);
    } else if constexpr (std::is_enum_v<D>) {
        return +static_cast<std::underlying_type_t<D>>(value);
    } else if constexpr (std::is_floating_point_v<D>) {
        return static_cast<double>(value);
    } else if constexpr (std::is_integral_v<D>) {
        return +value;
    } else if constexpr (std::is_pointer_v<D>) {
        return value;
    } else if constexpr (std::is_same_v<D, std::nullptr_t>) {
        return static_cast<const void*>(nullptr);
    } else if constexpr (HasLoad<D>::value) {
        return Arg(value.load());
    } else if constexpr (HasMagnitude<D>::value) {
        // A vector given to a numeric conversion shows its length.
        return static_cast<double>(value.Magnitude());
    } else {
        static_assert(AlwaysFalse<D>, "type cannot be passed to a log format");
        return 0;
    }
}

}  // namespace LogFormatDetail

class LogSingleton {
public:
    // Receives every finished log line (the message without time stamp).
    using LineObserver = std::function<void(const std::string& message, bool isError)>;
    // Reads a clock; the default is clock_gettime.
    using NowFunction = std::function<timespec(clockid_t clock)>;
    // Renames a file like rename(2): 0 on success, -1 with errno set.
    using RenameFunction = std::function<int(const char* from, const char* to)>;

    static LogSingleton* instance() { return &m_Instance; }

    virtual ~LogSingleton();
    LogSingleton(const LogSingleton&) = delete;
    LogSingleton& operator=(const LogSingleton&) = delete;

    // ---- Log lines and log files ----
    void add(const std::string& message);
    void addError(const std::string& message);
    void add(const std::string& message, int value);
    void add(const std::string& message, float value);

    template <typename... Args>
    void addFormat(const std::string& format, const Args&... args) {
        add(FormatText(format.c_str(), LogFormatDetail::Arg(args)...));
    }
    template <typename... Args>
    void addErrorFormat(const std::string& format, const Args&... args) {
        addError(FormatText(format.c_str(), LogFormatDetail::Arg(args)...));
    }

    std::string GetTimeString() const;
    // "%02d:%02d:%02d:%03d" of now - start (hours not wrapped).
    static std::string FormatTimeStamp(const timespec& start, const timespec& now);

    void SetLogFileCount(unsigned int count);
    int GetLogFileCount() const;
    void SetMaxEntries(unsigned int count);
    unsigned int GetMaxEntries() const;
    void Flush();
    int GetLogMessage(std::string* out);

    // Working directory, and root directory with a trailing slash, as of the last file header.
    std::string get_programPath() const;
    std::string get_rootPath() const;

    void changeFile();
    void addHeader();

    // ---- Process-wide state and message queues ----
    void set_softwareVersion(const std::string& text, const SoftwareVersion& version);
    std::string get_softwareVersion() const;
    // The number after "R980-" (13): what program headers carry and are checked against.
    int get_softwareVersionMajor() const;
    // The last number of the version (39).
    int get_softwreVersionMinor() const;
    SoftwareVersion get_softwareVersionRecord() const;

    void set_robotName(const std::string& text);
    void set_robotType(const std::string& text);
    void set_robotGripper(const std::string& text);
    std::string get_robotName() const;
    std::string get_robotType() const;
    std::string get_robotGripper() const;

    // Written by the project file reader at start-up, read by the robot thread.
    PLCInterfaceSettings& get_plcInterfaceNr() { return m_PLCInterface; }
    const PLCInterfaceSettings& get_plcInterfaceNr() const { return m_PLCInterface; }

    void set_pathGeneratorFlagOptimize(bool optimize);
    bool get_pathGeneratorFlagOptimize() const;
    void set_pathGeneratorSlicingMS(int slicingMS);
    int get_pathGeneratorSlicingMS() const;

    void set_opMode(operationMode mode);
    operationMode get_opMode() const;

    void set_seriousFailReason(const std::string& text);
    std::string get_seriousFailReason() const;

    void ServerSetMessage(const std::string& message);
    void DisplayAndServerSetMessage(const std::string& message);
    bool DisplayGetMessage(std::string* out);
    void DisplaySetFilename(const std::string& name);
    bool DisplayGetFilename(std::string* out);

    std::string getIPAdress();
    // The address list that getIPAdress builds from the output of "ifconfig".
    static std::string ParseIPAddresses(const std::string& ifconfigOutput);

    // Installed once at start-up by the remote-control server manager.
    std::function<void(const std::string&)> serverMessageCallback;

    // Operation-mode settings of the project.
    std::atomic<bool> Active{false};
    std::atomic<float> ManualMaxVelMMPerSec{250.0f};
    std::atomic<int32_t> DInEnableMotionInManualMode{-1};
    std::atomic<int32_t> DInOpModeAuto{-1};

    // ---- Persistent variables ----
    void ReadVariablesFromStorage();
    // Writes when at least 300 s have passed since the last write.
    void WriteVariablesToStorage();
    // Writes at once (shutdown).
    void ForceWriteVariablesToStorage();
    void IncreaseSystemVariables(int id, int amount);
    int GetSystemVar(SystemVar id) const;

    // Mirrors of the program variables "#parts-good" and "#parts-bad".
    std::atomic<int32_t> PartsGood{0};
    std::atomic<int32_t> PartsBad{0};

    // ---- Test seams ----
    void SetLineObserver(LineObserver observer);
    // An empty function restores the system clocks.
    void SetNowFunction(NowFunction now);
    // Renames used by log rotation; an empty function restores rename(2).
    void SetRenameFunction(RenameFunction rename);
    // Points the root directory elsewhere (ending in a slash), so tests that
    // write under Data/ work in a directory of their own.
    void SetRootPath(const std::string& rootPath);

private:
    LogSingleton();

    static LogSingleton m_Instance;

    static constexpr int RingCapacity = 500;
    static constexpr unsigned int MaxLogFileCount = 999;

    // Formats into a zero-filled 1024-byte buffer; longer texts are cut at 1023 characters.
    static std::string FormatText(const char* format, ...);

    timespec Now(clockid_t clock) const;
    void LogLine(const std::string& message, bool isError);
    // Writes one line to console, file and ring; the caller holds m_LogMutex.
    void WriteLineLocked(const std::string& stamp, const std::string& message, bool isError);
    // The caller holds m_LogMutex; rename failures are collected in reports.
    void ChangeFileLocked(std::vector<std::string>& reports);
    void AddHeaderLocked();
    void MoveFileLocked(const std::string& from, const std::string& to, std::vector<std::string>& reports);
    void Notify(const std::vector<std::pair<std::string, bool>>& lines);
    void WriteVariables(bool force);

    // Log (guarded by m_LogMutex).
    mutable std::mutex m_LogMutex;
    std::FILE* m_LogFile = nullptr;
    std::vector<std::string> m_LogFileNames;
    unsigned int m_LineCount = 0;
    unsigned int m_MaxEntries = 5000;
    std::array<std::string, RingCapacity> m_LogRing;
    int m_RingWrite = 0;
    int m_RingRead = 0;
    LineObserver m_Observer;
    RenameFunction m_Rename;

    // Paths (guarded by m_PathMutex, written under m_LogMutex as well).
    mutable std::mutex m_PathMutex;
    std::string m_ProgramPath;
    std::string m_RootPath;

    timespec m_StartTime{};

    // Clock seam.
    mutable std::mutex m_ClockMutex;
    std::atomic<bool> m_ClockOverridden{false};
    NowFunction m_Now;

    // Strings of the process-wide state (guarded by m_StateMutex).
    mutable std::mutex m_StateMutex;
    std::string m_SoftwareVersionText;
    SoftwareVersion m_SoftwareVersion{};
    std::string m_RobotName;
    std::string m_RobotType;
    std::string m_RobotGripper;
    std::string m_SeriousFailReason = "na";

    PLCInterfaceSettings m_PLCInterface;

    std::atomic<bool> m_PathGeneratorFlagOptimize{true};
    std::atomic<int> m_PathGeneratorSlicingMS{50};
    std::atomic<operationMode> m_OpMode{opModeNormal};

    // Display queue (guarded by m_DisplayMutex).
    mutable std::mutex m_DisplayMutex;
    std::deque<std::string> m_DisplayMessages;
    timespec m_DisplayShownSince{};
    bool m_DisplayHeadShown = false;
    std::string m_DisplayFilename = "n/a";
    bool m_DisplayFilenameNew = false;

    // Persistent variables.
    std::mutex m_StorageMutex;
    std::string m_PersistentFileName = "variableStorage.xml";
    int m_StorageIntervalS = 300;
    timespec m_LastWriteTime{};
    std::atomic<int32_t> m_UpTimeComplete{0};
    std::atomic<int32_t> m_UpTimeLast{0};
    std::atomic<int32_t> m_UpTimeEnabled{0};
    std::atomic<int32_t> m_UpTimeMotion{0};
    std::atomic<int32_t> m_ProgramStarts{0};
    std::array<std::atomic<int32_t>, 9> m_JointDirChanges{};
    std::atomic<int32_t> m_AccuComplete{0};
    std::atomic<int32_t> m_AccuLast{0};
    std::atomic<int32_t> m_AccuEnabled{0};
    std::atomic<int32_t> m_AccuMotion{0};
};

// True when the file can be opened for reading.
bool fileExists(const std::string& path);
// Removes the file when it exists; silent otherwise.
void deleteFile(const std::string& path);
// Renames only when from exists and to does not; logs a refused rename.
void moveFile(const std::string& from, const std::string& to);
// The nearest ancestor of start (itself included) holding a "Data" directory,
// with a trailing slash; start + "/" when there is none.
std::string findRootDirectory(const std::string& start);
// "%3.1d days   %.2d h   %.2d min" of a number of minutes.
std::string GetHourString(int minutes);
