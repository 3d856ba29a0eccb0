// korvella-soak: drives a running controller the way a cell does for a set
// time, injects faults at random moments and judges whether the controller
// leaked, stalled or lost anything. tools/soak.sh starts the processes.

#include <modbus.h>
#include <tinyxml2.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "korvella-soak/SoakClients.h"

namespace {

using namespace Soak;
using namespace std::chrono_literals;

// ---------------------------------------------------------------- settings

struct Settings {
    pid_t pid = 0;
    int hxpPort = 0;
    int modbusPort = 0;
    std::string log;
    std::string faults;
    std::string brokerRestart;
    std::string projectFile;
    std::string camera;
    std::string silenceId = "0x30";
    int seconds = 60;
    unsigned seed = 0;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: korvella-soak --pid PID --hxp-port N --modbus-port N --log FILE --faults FIFO\n"
                 "                     --broker-restart CMD --project FILE [--camera NAME] [--silence ID]\n"
                 "                     [--seconds S] [--seed N]\n"
                 "       korvella-soak --free-port\n"
                 "       korvella-soak --check-files PROJECT ROBOTFILE COUNTERS|-\n");
    return 2;
}

bool ParseArgs(int argc, char** argv, Settings& s) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--pid") s.pid = std::atoi(value.c_str());
        else if (key == "--hxp-port") s.hxpPort = std::atoi(value.c_str());
        else if (key == "--modbus-port") s.modbusPort = std::atoi(value.c_str());
        else if (key == "--log") s.log = value;
        else if (key == "--faults") s.faults = value;
        else if (key == "--broker-restart") s.brokerRestart = value;
        else if (key == "--project") s.projectFile = value;
        else if (key == "--camera") s.camera = value;
        else if (key == "--silence") s.silenceId = value;
        else if (key == "--seconds") s.seconds = std::atoi(value.c_str());
        else if (key == "--seed") s.seed = static_cast<unsigned>(std::strtoul(value.c_str(), nullptr, 10));
        else return false;
    }
    return argc % 2 == 1 && s.pid > 0 && s.hxpPort > 0 && s.modbusPort > 0 && !s.log.empty() && !s.faults.empty() &&
           !s.brokerRestart.empty() && !s.projectFile.empty() && s.seconds > 0;
}

double Since(Clock::time_point start) { return Seconds(Clock::now() - start).count(); }

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
    static std::mutex mutex;
    static const Clock::time_point start = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    std::printf("soak %7.1f s: ", Since(start));
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    std::fflush(stdout);
}

// The texts of the controller's log that the run waits for or counts.
const char* const BusConnected = "ProtocolVQTCANV2: Connection succeeded";
const char* const Referenced = "VQTCANV2 protocol: robot is referenced now";
const char* const CanStatusChanged = "CAN status changed:";
const char* const HxpClosed = "HXP-Server: connection closed";
const char* const ModbusBadHeader = "Modbus: Dropping client, invalid frame header";
const char* const MqttConnected = "MQTT-Client: Connected";
const char* const MqttLost = "MQTT-Client: Connection lost";
const char* const ProjectUpdated = "ProjectManager: Project file * updated";
const char* const MainLoopException = "MAIN LOOP EXCEPTION";
const char* const SeriousFailure = "Serious Failure";
const char* const PartsGood = "#parts-good";
const char* const CycleDone = "MESSAGE Program done, restarting";
const char* const CameraResult = "CAMINFO CameraResult";
const char* const PlcPause = "PLCInterface: Pause";
const char* const PlcContinue = "PLCInterface: Continue";

// ---------------------------------------------------------------- Modbus client

// Polls the robot thread's figures at 100 Hz and writes the override now and then.
class ModbusPoller {
public:
    struct Interval {
        uint64_t reads = 0;
        uint64_t failures = 0;
        double frequencySum = 0.0;
        double frequencyMin = 1e9;
        double workloadSum = 0.0;
        double workloadMax = 0.0;
        double maxCycleMs = 0.0;
        int cycleTimeMs = 0;
    };

    explicit ModbusPoller(int port) : m_Port(port) { m_Thread = std::thread([this]() { Run(); }); }
    ~ModbusPoller() {
        m_Stop = true;
        if (m_Thread.joinable()) m_Thread.join();
    }

    Interval Take() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        Interval taken = m_Interval;
        m_Interval = Interval{};
        m_Interval.cycleTimeMs = taken.cycleTimeMs;
        return taken;
    }
    uint64_t Reads() const { return m_Reads.load(); }
    uint64_t OverrideWrites() const { return m_Writes.load(); }
    void HoldOverride(bool hold) { m_Hold = hold; }

private:
    void Run() {
        modbus_t* ctx = nullptr;
        auto nextWrite = Clock::now() + 5s;
        bool high = false;
        while (!m_Stop.load()) {
            const auto start = Clock::now();
            if (ctx == nullptr) {
                ctx = modbus_new_tcp("127.0.0.1", m_Port);
                if (ctx != nullptr) {
                    modbus_set_response_timeout(ctx, 1, 0);
                    if (modbus_connect(ctx) != 0) {
                        modbus_free(ctx);
                        ctx = nullptr;
                    }
                }
                if (ctx == nullptr) {
                    std::lock_guard<std::mutex> lock(m_Mutex);
                    ++m_Interval.failures;
                    std::this_thread::sleep_for(200ms);
                    continue;
                }
            }
            uint16_t regs[5] = {};
            const bool ok = modbus_read_input_registers(ctx, 12, 5, regs) == 5;
            if (ok && !m_Hold.load() && Clock::now() >= nextWrite) {
                // Override 80 % and 100 % in turn; each change queues a project rewrite.
                high = !high;
                if (modbus_write_register(ctx, 187, high ? 10000 : 8000) == 1) ++m_Writes;
                nextWrite = Clock::now() + 5s;
            }
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                if (ok) {
                    ++m_Interval.reads;
                    ++m_Reads;
                    m_Interval.cycleTimeMs = regs[1] / 10;
                    const double frequency = regs[3] / 100.0;
                    m_Interval.frequencySum += frequency;
                    m_Interval.frequencyMin = std::min(m_Interval.frequencyMin, frequency);
                    m_Interval.workloadSum += regs[4];
                    m_Interval.workloadMax = std::max<double>(m_Interval.workloadMax, regs[4]);
                    m_Interval.maxCycleMs = std::max(m_Interval.maxCycleMs, regs[2] / 100.0);
                } else {
                    ++m_Interval.failures;
                }
            }
            if (!ok) {
                modbus_close(ctx);
                modbus_free(ctx);
                ctx = nullptr;
            }
            std::this_thread::sleep_until(start + 10ms);
        }
        if (ctx != nullptr) {
            modbus_close(ctx);
            modbus_free(ctx);
        }
    }

    int m_Port;
    std::thread m_Thread;
    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_Hold{false};
    std::atomic<uint64_t> m_Reads{0};
    std::atomic<uint64_t> m_Writes{0};
    std::mutex m_Mutex;
    Interval m_Interval;
};

// ---------------------------------------------------------------- the cell

struct Cell {
    Settings settings;
    std::unique_ptr<LogWatch> log;
    HxpClient active{"active"};
    HxpClient passive1{"passive1"};
    HxpClient passive2{"passive2"};
    std::unique_ptr<ModbusPoller> modbus;
    std::atomic<bool> stopPolling{false};
    std::thread poller;
    std::mutex activeMutex;  // one conversation with the active client at a time
};

bool WriteFault(const Settings& s, const std::string& line) {
    std::ofstream fifo(s.faults);
    fifo << line << "\n";
    fifo.flush();
    return static_cast<bool>(fifo);
}

// Asks the active client for a number variable; -1 when no answer came.
double ReadNumber(Cell& cell, const std::string& name) {
    std::lock_guard<std::mutex> lock(cell.activeMutex);
    const uint64_t since = cell.active.Seq();
    cell.active.Send("VAR GetNrVariable " + name);
    std::string body;
    const std::string prefix = "VARINFO ValueNrVariable " + name + " ";
    if (!cell.active.WaitFor(since, prefix, 10s, &body)) return -1.0;
    return std::atof(body.c_str() + prefix.size());
}

bool AllReferenced(Cell& cell) {
    const uint64_t since = cell.active.Seq();
    cell.active.Send("CMD GetReferencingInfo");
    std::string body;
    if (!cell.active.WaitFor(since, "INFO ReferencingInfo", 10s, &body)) return false;
    // "INFO ReferencingInfo <state> Joints j1 .. j6 ..": the six arm joints.
    std::istringstream in(body);
    std::string word;
    for (int i = 0; i < 4; ++i) in >> word;
    for (int j = 0; j < 6; ++j) {
        int flag = 0;
        if (!(in >> flag) || flag != 1) return false;
    }
    return true;
}

// Reset, enable, reference when needed and start the program from the active client.
bool EnableAndStart(Cell& cell, std::string& why) {
    std::lock_guard<std::mutex> lock(cell.activeMutex);
    HxpClient& a = cell.active;
    a.Send("CMD Reset");
    std::this_thread::sleep_for(500ms);
    const auto noError = [](const std::string& body) { return body.find(" ERROR NoError ") != std::string::npos; };
    bool enabled = false;
    for (int attempt = 0; attempt < 6 && !enabled; ++attempt) {
        const uint64_t since = a.Seq();
        a.Send("CMD Enable");
        enabled = a.WaitFor(since, "STATUS", 10s, nullptr, noError);
    }
    if (!enabled) {
        why = "motors not enabled, last error " + a.LastError();
        return false;
    }
    if (!AllReferenced(cell)) {
        const uint64_t before = cell.log->Count(Referenced);
        a.Send("CMD ReferenceAllJoints");
        if (!cell.log->WaitCount(Referenced, before + 1, 120s)) {
            why = "referencing did not end";
            return false;
        }
    }
    for (int attempt = 0; attempt < 30; ++attempt) {
        const uint64_t since = a.Seq();
        a.Send("CMD StartProgram");
        if (a.WaitFor(since, "EXECACK", 3s)) return true;
    }
    why = "program did not start";
    return false;
}

// ---------------------------------------------------------------- injected faults

// A fault in progress: Step answers 0 while it is pending, 1 once the
// controller reported it and recovered, -1 when it did not.
struct Fault {
    std::string name;
    Clock::time_point start;
    Clock::time_point deadline;
    std::function<int(std::string&)> step;
    int result = 0;
    std::string detail;
    double seconds = 0.0;
    bool holdsProgram = false;  // the program may stand still meanwhile
};

Fault MakeFault(const std::string& name, Clock::duration limit) {
    Fault f;
    f.name = name;
    f.start = Clock::now();
    f.deadline = f.start + limit;
    return f;
}

Fault DisconnectMidFrame(Cell& cell) {
    Fault f = MakeFault("client disconnects mid-frame", 30s);
    const uint64_t closedBefore = cell.log->Count(HxpClosed);
    {
        HxpClient d("dropped");
        if (d.Connect(cell.settings.hxpPort)) {
            d.WaitFor(0, "MESSAGE Client accepted!", 10s);
            d.SendRaw("HXPSTART 7 CMD GetProgra");
        }
    }
    f.step = [&cell, closedBefore](std::string& detail) {
        if (cell.log->Count(HxpClosed) <= closedBefore) {
            detail = "no \"" + std::string(HxpClosed) + "\"";
            return 0;
        }
        // A new client is still served.
        HxpClient e("after");
        if (!e.Connect(cell.settings.hxpPort) || !e.WaitFor(0, "STATUS", 10s)) {
            detail = "a new client got no status line";
            return -1;
        }
        return 1;
    };
    return f;
}

Fault ModbusGarbage(Cell& cell) {
    Fault f = MakeFault("Modbus garbage", 30s);
    const uint64_t before = cell.log->Count(ModbusBadHeader);
    const int fd = ConnectLoopback(cell.settings.modbusPort);
    if (fd >= 0) {
        // A frame header with a foreign protocol id, then noise.
        const unsigned char junk[] = {0x13, 0x37, 0xBE, 0xEF, 0x00, 0x06, 0xFF, 0x42, 0x00, 0x00, 0xFF, 0xFF,
                                      0xDE, 0xAD, 0x00, 0x00, 0x00, 0x00, 0x7F, 0x80};
        send(fd, junk, sizeof(junk), MSG_NOSIGNAL);
        std::this_thread::sleep_for(300ms);
    }
    if (fd >= 0) close(fd);
    const uint64_t readsBefore = cell.modbus->Reads();
    f.step = [&cell, before, readsBefore](std::string& detail) {
        if (cell.log->Count(ModbusBadHeader) <= before) {
            detail = "no \"" + std::string(ModbusBadHeader) + "\"";
            return 0;
        }
        if (cell.modbus->Reads() < readsBefore + 50) {
            detail = "the polling client stopped getting answers";
            return 0;
        }
        return 1;
    };
    return f;
}

// A fault whose course runs on a thread of its own: `course` answers "" once
// the controller reported the fault and recovered, else what went wrong.
Fault InBackground(const std::string& name, Clock::duration limit, std::function<std::string()> course) {
    Fault f = MakeFault(name, limit);
    f.holdsProgram = true;
    struct Progress {
        std::atomic<int> result{0};
        std::string why;
        std::thread worker;
        ~Progress() {
            // The worker may hold the last reference itself.
            if (!worker.joinable()) return;
            if (worker.get_id() == std::this_thread::get_id())
                worker.detach();
            else
                worker.join();
        }
    };
    auto progress = std::make_shared<Progress>();
    progress->worker = std::thread([progress, course]() {
        progress->why = course();
        progress->result = progress->why.empty() ? 1 : -1;
    });
    f.step = [progress](std::string& detail) {
        const int r = progress->result.load();
        if (r == 0) detail = "recovery still running";
        if (r < 0) detail = progress->why;
        if (r != 0 && progress->worker.joinable()) progress->worker.join();
        return r;
    };
    return f;
}

// Recovered once the program completes a cycle again.
std::string NextCycle(Cell& cell, uint64_t cycles, Seconds limit) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(limit);
    while (Clock::now() < end) {
        if (cell.active.Count(CycleDone) > cycles) return "";
        std::this_thread::sleep_for(100ms);
    }
    return "the program completed no cycle afterwards";
}

Fault SilenceJoint(Cell& cell) {
    const uint64_t statusBefore = cell.log->Count(CanStatusChanged);
    WriteFault(cell.settings, "silence " + cell.settings.silenceId + " on");
    return InBackground("joint module silenced and back", 240s, [&cell, statusBefore]() -> std::string {
        const Settings& set = cell.settings;
        // The error reaches the log and the active client's status lines.
        const bool logged = cell.log->WaitCount(CanStatusChanged, statusBefore + 1, 30s);
        bool seen = false;
        for (int i = 0; i < 300 && !seen; ++i) {
            const std::string error = cell.active.LastError();
            seen = !error.empty() && error != "NoError";
            if (!seen) std::this_thread::sleep_for(100ms);
        }
        WriteFault(set, "silence " + set.silenceId + " off");
        if (!logged) return "no \"" + std::string(CanStatusChanged) + "\"";
        if (!seen) return "the active client saw no error";
        std::this_thread::sleep_for(1s);
        const uint64_t cycles = cell.active.Count(CycleDone);
        std::string why;
        if (!EnableAndStart(cell, why)) return why;
        return NextCycle(cell, cycles, 120s);
    });
}

// The PLC's pause input: one edge pauses the program, the next continues it.
Fault PlcPauseAndContinue(Cell& cell) {
    const uint64_t pauses = cell.log->Count(PlcPause);
    const uint64_t continues = cell.log->Count(PlcContinue);
    const uint64_t paused = cell.active.Count("EXECPAUSE");
    WriteFault(cell.settings, "inputs 112 0x04");
    return InBackground("PLC pauses and continues", 150s, [&cell, pauses, continues, paused]() -> std::string {
        const Settings& set = cell.settings;
        const bool logged = cell.log->WaitCount(PlcPause, pauses + 1, 20s);
        bool seen = false;
        for (int i = 0; i < 200 && !seen; ++i) {
            seen = cell.active.Count("EXECPAUSE") > paused;
            if (!seen) std::this_thread::sleep_for(100ms);
        }
        WriteFault(set, "inputs 112 0x00");
        if (!logged) return "no \"" + std::string(PlcPause) + "\"";
        if (!seen) return "the clients heard of no pause";
        std::this_thread::sleep_for(2s);
        const uint64_t cycles = cell.active.Count(CycleDone);
        WriteFault(set, "inputs 112 0x04");
        const bool resumed = cell.log->WaitCount(PlcContinue, continues + 1, 20s);
        std::this_thread::sleep_for(300ms);
        WriteFault(set, "inputs 112 0x00");
        if (!resumed) return "no \"" + std::string(PlcContinue) + "\"";
        return NextCycle(cell, cycles, 120s);
    });
}

Fault RestartBroker(Cell& cell) {
    // The client retries 15 s after a lost link, then waits longer each time.
    Fault f = MakeFault("broker restarted", 150s);
    const uint64_t lost = cell.log->Count(MqttLost);
    const uint64_t connected = cell.log->Count(MqttConnected);
    const int status = std::system(cell.settings.brokerRestart.c_str());
    if (status != 0) {
        f.step = [](std::string& detail) {
            detail = "the broker restart command failed";
            return -1;
        };
        return f;
    }
    f.step = [&cell, lost, connected](std::string& detail) {
        if (cell.log->Count(MqttLost) <= lost) {
            detail = "no \"" + std::string(MqttLost) + "\"";
            return 0;
        }
        if (cell.log->Count(MqttConnected) <= connected) {
            detail = "lost, not connected again";
            return 0;
        }
        return 1;
    };
    return f;
}

float ProjectOverride(const std::string& path) {
    tinyxml2::XMLDocument document;
    if (document.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return -1.0f;
    const tinyxml2::XMLElement* root = document.FirstChildElement("ProjectFile");
    const tinyxml2::XMLElement* program = root != nullptr ? root->FirstChildElement("Program") : nullptr;
    float value = -1.0f;
    if (program == nullptr || program->QueryFloatAttribute("Override", &value) != tinyxml2::XML_SUCCESS) return -1.0f;
    return value;
}

Fault RemoteProjectChange(Cell& cell, int value) {
    Fault f = MakeFault("remote project change", 60s);
    // The Modbus client's override would race this one into the file.
    cell.modbus->HoldOverride(true);
    std::this_thread::sleep_for(200ms);
    {
        std::lock_guard<std::mutex> lock(cell.activeMutex);
        const uint64_t since = cell.active.Seq();
        cell.active.Send("CMD Override " + std::to_string(value));
        cell.active.WaitFor(since, "CMDACK", 10s);
    }
    // A rewrite comes at the earliest 3 s after its request.
    const uint64_t updated = cell.log->Count(ProjectUpdated);
    f.step = [&cell, updated, value](std::string& detail) {
        if (cell.log->Count(ProjectUpdated) <= updated) {
            detail = "project file not rewritten";
            return 0;
        }
        const float stored = ProjectOverride(cell.settings.projectFile);
        if (std::fabs(stored - static_cast<float>(value)) > 0.01f) {
            detail = "project file holds override " + std::to_string(stored) + ", not " + std::to_string(value);
            return 0;
        }
        cell.modbus->HoldOverride(false);
        return 1;
    };
    return f;
}

// ---------------------------------------------------------------- samples

struct Row {
    double t = 0.0;
    ProcessFigures process;
    ModbusPoller::Interval modbus;
    uint64_t cycles = 0;          // "Program done, restarting" seen by the active client
    uint64_t status[3] = {};      // status lines per client, in total
    uint64_t cameraResults = 0;   // camera result lines to the active client, in total
    int faults = 0;               // faults injected so far
    bool programHeld = false;     // a fault may have stopped the program during the interval
    bool faultPending = false;    // a fault had not yet recovered when the sample was taken
};

void PrintTable(const std::vector<Row>& rows, double idleWorkload) {
    std::printf("\n%7s %9s %5s %7s %9s %9s %8s %9s %7s %7s %7s %6s\n", "t [s]", "RSS [KiB]", "fds", "threads",
                "freq [Hz]", "min freq", "load [%]", "maxcycle", "cycles", "status", "camera", "faults");
    for (const Row& r : rows) {
        const double reads = static_cast<double>(std::max<uint64_t>(r.modbus.reads, 1));
        std::printf("%7.0f %9ld %5d %7d %9.1f %9.1f %8.1f %7.2fms %7llu %7llu %7llu %6d%s\n", r.t, r.process.rssKiB,
                    r.process.fds, r.process.threads, r.modbus.frequencySum / reads,
                    r.modbus.reads > 0 ? r.modbus.frequencyMin : 0.0, r.modbus.workloadSum / reads,
                    r.modbus.maxCycleMs, static_cast<unsigned long long>(r.cycles),
                    static_cast<unsigned long long>(r.status[0]), static_cast<unsigned long long>(r.cameraResults),
                    r.faults, r.programHeld ? "  (fault window)" : "");
    }
    std::printf("idle workload before the program started: %.1f %%\n", idleWorkload);
}

// A loopback port that was free a moment ago, for the script's servers.
int PrintFreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    close(fd);
    return 0;
}

// The files a restart reads, as a crash may have left them: each must parse
// whole with the root and values the controller needs. Prints the values
// for the caller to compare from one restart to the next.
int CheckFiles(const std::string& projectPath, const std::string& robotPath, const std::string& countersPath) {
    int broken = 0;
    const auto complain = [&](const std::string& what) {
        std::printf("broken: %s\n", what.c_str());
        ++broken;
    };
    const float override = ProjectOverride(projectPath);
    if (override < 0.0f || override > 100.0f) complain(projectPath + " (no readable override)");

    tinyxml2::XMLDocument robot;
    const tinyxml2::XMLElement* root = nullptr;
    if (robot.LoadFile(robotPath.c_str()) == tinyxml2::XML_SUCCESS) root = robot.FirstChildElement("Robot");
    int brakeDelay = -1;
    if (root == nullptr || root->FirstChildElement("BusConfiguration") == nullptr ||
        root->FirstChildElement("Kinematic") == nullptr || root->FirstChildElement("Brake") == nullptr ||
        root->FirstChildElement("Brake")->QueryIntAttribute("DelayMS", &brakeDelay) != tinyxml2::XML_SUCCESS)
        complain(robotPath);

    long upTime = -1;
    long starts = -1;
    long partsGood = -1;
    if (countersPath != "-") {
        tinyxml2::XMLDocument counters;
        const tinyxml2::XMLElement* system = nullptr;
        if (counters.LoadFile(countersPath.c_str()) == tinyxml2::XML_SUCCESS && counters.FirstChildElement("Data"))
            system = counters.FirstChildElement("Data")->FirstChildElement("SystemVariables");
        const tinyxml2::XMLElement* user =
            system != nullptr ? counters.FirstChildElement("Data")->FirstChildElement("UserVariables") : nullptr;
        int64_t a = -1;
        int64_t b = -1;
        int64_t c = -1;
        if (system == nullptr || user == nullptr ||
            system->QueryInt64Attribute("UpTimeComplete", &a) != tinyxml2::XML_SUCCESS ||
            system->QueryInt64Attribute("ProgramStarts", &b) != tinyxml2::XML_SUCCESS ||
            user->QueryInt64Attribute("PartsGood", &c) != tinyxml2::XML_SUCCESS) {
            complain(countersPath);
        } else {
            upTime = static_cast<long>(a);
            starts = static_cast<long>(b);
            partsGood = static_cast<long>(c);
        }
    }
    std::printf("override %.1f brake %d uptime %ld starts %ld good %ld\n", static_cast<double>(override), brakeDelay,
                upTime, starts, partsGood);
    return broken == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 2 && std::strcmp(argv[1], "--free-port") == 0) return PrintFreePort();
    if (argc == 5 && std::strcmp(argv[1], "--check-files") == 0) return CheckFiles(argv[2], argv[3], argv[4]);
    Cell cell;
    if (!ParseArgs(argc, argv, cell.settings)) return Usage();
    const Settings& s = cell.settings;
    std::mt19937 random(s.seed != 0 ? s.seed : std::random_device{}());
    cell.log = std::make_unique<LogWatch>(
        s.log, std::vector<std::string>{BusConnected, Referenced, CanStatusChanged, HxpClosed, ModbusBadHeader,
                                        MqttConnected, MqttLost, ProjectUpdated, MainLoopException, SeriousFailure,
                                        PlcPause, PlcContinue});
    std::vector<std::string> failures;

    // ---- start-up: the bus, three clients, the Modbus client, the program
    if (!cell.log->WaitCount(BusConnected, 1, 120s)) {
        std::printf("korvella-soak: the controller never connected its bus\n");
        return 1;
    }
    if (!cell.active.Connect(s.hxpPort) || !cell.active.WaitFor(0, "CMD Active true", 20s)) {
        std::printf("korvella-soak: the first client did not become active\n");
        return 1;
    }
    for (HxpClient* p : {&cell.passive1, &cell.passive2}) {
        if (!p->Connect(s.hxpPort) || !p->WaitFor(0, "CMD Active false", 20s)) {
            std::printf("korvella-soak: client %s was not accepted as passive\n", p->Name().c_str());
            return 1;
        }
    }
    cell.modbus = std::make_unique<ModbusPoller>(s.modbusPort);
    // The passive clients poll what they may ask.
    cell.poller = std::thread([&cell]() {
        while (!cell.stopPolling.load()) {
            for (HxpClient* p : {&cell.passive1, &cell.passive2}) {
                p->Send("CMD GetProgramInfo");
                p->Send("VAR GetSystemVariable 4");
            }
            for (int i = 0; i < 10 && !cell.stopPolling.load(); ++i) std::this_thread::sleep_for(100ms);
        }
    });

    std::this_thread::sleep_for(4s);
    const ModbusPoller::Interval idle = cell.modbus->Take();
    const double idleWorkload = idle.reads > 0 ? idle.workloadSum / static_cast<double>(idle.reads) : 0.0;
    Say("idle: %.1f Hz, workload %.1f %%, %llu Modbus reads", idle.reads ? idle.frequencySum / idle.reads : 0.0,
        idleWorkload, static_cast<unsigned long long>(idle.reads));

    std::string why;
    if (!EnableAndStart(cell, why)) {
        std::printf("korvella-soak: %s\n", why.c_str());
        return 1;
    }
    // The program counts each completed cycle as a good part.
    const double startVariable = ReadNumber(cell, PartsGood);
    Say("program running (%s %.0f)", PartsGood, startVariable);

    // ---- the faults, in random order at random moments: the whole set once
    // in every five minutes of the run, so that a long run shows whether one leaks
    const std::vector<std::function<Fault()>> faultSet = {
        [&]() { return DisconnectMidFrame(cell); },
        [&]() { return ModbusGarbage(cell); },
        [&]() { return SilenceJoint(cell); },
        [&]() { return PlcPauseAndContinue(cell); },
        [&]() { return RestartBroker(cell); },
        [&]() { return RemoteProjectChange(cell, 60 + static_cast<int>(random() % 30)); },
    };
    const int sets = std::max(1, s.seconds / 300);
    const double span = static_cast<double>(s.seconds) / sets;
    std::vector<std::pair<double, std::function<Fault()>>> schedule;
    for (int set = 0; set < sets; ++set) {
        std::uniform_real_distribution<double> when(set * span + 5.0, set * span + std::max(10.0, span * 0.8));
        for (const auto& kind : faultSet) schedule.emplace_back(when(random), kind);
    }
    std::sort(schedule.begin(), schedule.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    const Clock::time_point start = Clock::now();
    std::vector<Row> rows;
    std::vector<Fault> faults;
    std::size_t nextFault = 0;
    double nextSample = 10.0;
    bool heldSinceSample = false;
    auto anyPending = [&]() {
        return std::any_of(faults.begin(), faults.end(), [](const Fault& f) { return f.result == 0; });
    };
    auto sample = [&]() {
        Row r;
        r.t = Since(start);
        r.process = ReadProcess(s.pid);
        r.modbus = cell.modbus->Take();
        r.cycles = cell.active.Count(CycleDone);
        r.status[0] = cell.active.Count("STATUS");
        r.status[1] = cell.passive1.Count("STATUS");
        r.status[2] = cell.passive2.Count("STATUS");
        r.cameraResults = cell.active.Count(CameraResult);
        r.faults = static_cast<int>(nextFault);
        r.programHeld = heldSinceSample;
        r.faultPending = anyPending();
        rows.push_back(r);
        Say("RSS %ld KiB, %d fds, %d threads, %.1f Hz, load %.1f %%, max cycle %.2f ms, %llu cycles", r.process.rssKiB,
            r.process.fds, r.process.threads, r.modbus.frequencySum / std::max<double>(1.0, r.modbus.reads),
            r.modbus.workloadSum / std::max<double>(1.0, r.modbus.reads), r.modbus.maxCycleMs,
            static_cast<unsigned long long>(r.cycles));
    };
    // The run lasts its time, and longer while a fault has not yet recovered.
    const auto programHeld = [&]() {
        return std::any_of(faults.begin(), faults.end(), [](const Fault& f) { return f.holdsProgram && f.result == 0; });
    };
    // Two faults that hold the program would blur each other's recovery: the second waits.
    while ((Since(start) < s.seconds || anyPending() || nextFault < schedule.size()) &&
           Since(start) < s.seconds + 600.0) {
        if (!ReadProcess(s.pid).alive) break;
        if (nextFault < schedule.size() && Since(start) >= schedule[nextFault].first && !programHeld()) {
            faults.push_back(schedule[nextFault].second());
            Say("injected: %s", faults.back().name.c_str());
            ++nextFault;
        }
        for (Fault& f : faults) {
            if (f.result != 0) continue;
            if (f.holdsProgram) heldSinceSample = true;
            f.result = f.step(f.detail);
            if (f.result == 0 && Clock::now() > f.deadline) f.result = -1;
            if (f.result != 0) {
                f.seconds = Seconds(Clock::now() - f.start).count();
                Say("%s: %s after %.1f s%s%s", f.name.c_str(), f.result > 0 ? "recovered" : "FAILED", f.seconds,
                    f.result > 0 ? "" : ": ", f.result > 0 ? "" : f.detail.c_str());
            }
        }
        if (Since(start) >= nextSample) {
            sample();
            heldSinceSample = programHeld();
            nextSample += 10.0;
        }
        std::this_thread::sleep_for(200ms);
    }
    const ProcessFigures end = ReadProcess(s.pid);
    if (!end.alive) failures.push_back("the controller process ended during the run");
    if (rows.empty() || Since(start) - rows.back().t > 2.0) sample();

    // ---- the program's own count against what the clients saw
    std::this_thread::sleep_for(1s);
    const double endVariable = ReadNumber(cell, PartsGood);
    const uint64_t seen[3] = {cell.active.Count(CycleDone),
                              cell.passive1.Count(CycleDone),
                              cell.passive2.Count(CycleDone)};
    // The program fetches the simulated camera's target into its variable
    // (which it sets to where the robot stands at the top of each cycle).
    std::string cameraTarget;
    bool targetSeen = false;
    for (const auto end = Clock::now() + 30s; !targetSeen && Clock::now() < end;) {
        {
            std::lock_guard<std::mutex> lock(cell.activeMutex);
            const uint64_t since = cell.active.Seq();
            cell.active.Send("VAR GetPosVariable camtarget");
            cell.active.WaitFor(since, "VARINFO ValuePosVariable camtarget ", 10s, &cameraTarget);
        }
        double x = 0, y = 0, z = 0;
        const int read = std::sscanf(cameraTarget.c_str(), "VARINFO ValuePosVariable camtarget %lf %lf %lf", &x, &y, &z);
        targetSeen = read == 3 && std::fabs(x - 620) < 0.5 && std::fabs(y) < 0.5 && std::fabs(z - 400) < 0.5;
        if (!targetSeen) std::this_thread::sleep_for(200ms);
    }
    if (!targetSeen) failures.push_back("the program did not get the camera's target (" + cameraTarget + ")");
    cell.stopPolling = true;
    cell.poller.join();
    {
        std::lock_guard<std::mutex> lock(cell.activeMutex);
        cell.active.Send("CMD StopProgram");
    }
    cell.modbus.reset();

    PrintTable(rows, idleWorkload);
    std::printf("\nfaults:\n");
    for (const Fault& f : faults)
        std::printf("  %-32s %s (%.1f s)%s%s\n", f.name.c_str(), f.result > 0 ? "reported, recovered" : "FAILED",
                    f.seconds, f.result > 0 ? "" : ": ", f.result > 0 ? "" : f.detail.c_str());
    const double counted = endVariable - startVariable;
    std::printf("program cycles: %.0f counted by the program, %llu / %llu / %llu announced to the three clients\n",
                counted, static_cast<unsigned long long>(seen[0]), static_cast<unsigned long long>(seen[1]),
                static_cast<unsigned long long>(seen[2]));

    // ---- the verdict
    for (const Fault& f : faults)
        if (f.result <= 0) failures.push_back("fault not recovered: " + f.name + " (" + f.detail + ")");
    if (faults.size() < schedule.size()) failures.push_back("not every fault was injected");
    if (startVariable < 0 || endVariable < 0) failures.push_back("the cycle variable could not be read");
    // The program counts a cycle just before announcing it; one may be on its way.
    else if (counted < static_cast<double>(seen[0]) || counted > static_cast<double>(seen[0]) + 1)
        failures.push_back("program cycles lost: the program counted " + std::to_string(counted) + ", the client saw " +
                           std::to_string(seen[0]));
    if (seen[1] != seen[0] || seen[2] != seen[0]) failures.push_back("the clients saw different numbers of cycles");
    if (cell.log->Count(MainLoopException) > 0) failures.push_back("the main loop caught an exception");
    if (cell.log->Count(SeriousFailure) > 0) failures.push_back("the controller reported a serious failure");

    // Growth: the last sample against the first after warm-up (a quarter of the run, at least 20 s),
    // both taken with every fault recovered: a broker that is down holds one descriptor less.
    const double warmUp = std::max(20.0, s.seconds / 4.0);
    const Row* base = nullptr;
    const Row* lastSettled = nullptr;
    for (const Row& r : rows) {
        if (r.faultPending) continue;
        if (base == nullptr && r.t >= warmUp - 0.5) base = &r;
        lastSettled = &r;
    }
    if (base != nullptr && lastSettled != nullptr && base != lastSettled) {
        const Row& last = *lastSettled;
        // 1 %. A short run also gets room for the allocator's page-sized steps, which weigh
        // more the fewer samples follow them; from half an hour on, 1 % alone.
        const double stepRoomKiB = 256.0 * std::max(0.0, 1.0 - s.seconds / 1800.0);
        const double rssLimit = base->process.rssKiB * 1.01 + stepRoomKiB;
        if (last.process.rssKiB > rssLimit)
            failures.push_back("resident memory grew from " + std::to_string(base->process.rssKiB) + " to " +
                               std::to_string(last.process.rssKiB) + " KiB");
        if (last.process.fds > base->process.fds)
            failures.push_back("open descriptors grew from " + std::to_string(base->process.fds) + " to " +
                               std::to_string(last.process.fds));
        // Loader and planning threads come and go; a leak keeps climbing.
        if (last.process.threads > base->process.threads + 4)
            failures.push_back("threads grew from " + std::to_string(base->process.threads) + " to " +
                               std::to_string(last.process.threads));
    }
    // Stalls: every interval shows status lines, Modbus answers, robot cycles at their rate and program cycles.
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        const Row* prev = i > 0 ? &rows[i - 1] : nullptr;
        char at[32];
        std::snprintf(at, sizeof(at), "at %.0f s: ", r.t);
        for (int c = 0; c < 3; ++c)
            if (prev != nullptr && r.status[c] == prev->status[c])
                failures.push_back(std::string(at) + "a client got no status line");
        // Result lines come every 5 s or so, not on a fixed beat: two quiet intervals are a stall.
        if (i >= 2 && r.cameraResults == rows[i - 2].cameraResults)
            failures.push_back(std::string(at) + "no camera result reached the clients for 20 s");
        if (r.modbus.reads == 0) {
            failures.push_back(std::string(at) + "no Modbus answer");
            continue;
        }
        const double nominal = r.modbus.cycleTimeMs > 0 ? 1000.0 / r.modbus.cycleTimeMs : 0.0;
        const double frequency = r.modbus.frequencySum / static_cast<double>(r.modbus.reads);
        if (nominal > 0 && frequency < nominal * 0.8)
            failures.push_back(std::string(at) + "robot thread at " + std::to_string(frequency) + " Hz");
        const double workload = r.modbus.workloadSum / static_cast<double>(r.modbus.reads);
        // Percentage points: idle and running loads are both a few per cent.
        if (workload > idleWorkload + 20.0)
            failures.push_back(std::string(at) + "workload " + std::to_string(workload) + " % against idle " +
                               std::to_string(idleWorkload) + " %");
        if (r.modbus.maxCycleMs > 250.0)
            failures.push_back(std::string(at) + "a robot cycle took " + std::to_string(r.modbus.maxCycleMs) + " ms");
        // A cycle takes 6 to 9 s with the overrides the run sets: two intervals without one are a stall.
        if (i >= 1 && !r.programHeld && !prev->programHeld) {
            const uint64_t before = i >= 2 ? rows[i - 2].cycles : 0;
            if (r.cycles == before) failures.push_back(std::string(at) + "no program cycle completed in 20 s");
        }
    }

    if (failures.empty()) {
        std::printf("\nsoak: PASSED\n");
        return 0;
    }
    std::printf("\nsoak: FAILED\n");
    for (const std::string& f : failures) std::printf("  %s\n", f.c_str());
    return 1;
}
