// Timing of the robot thread: the six-axis sample on the simulated bus (six
// joint modules, DIO and main I/O module, in this process) running its start
// program in repeat mode at 10, 4, 2 and 1 ms cycles. Beside each run, bare
// loops that only wait for the next period show what the machine itself allows:
// one waits the way the robot thread does, one sleeps to absolute times.
//
//   KORVELLA_LOG_NO_WAIT=1 build/bench/bench_cycle_timing [--seconds N] [--cycles 10,4,2,1] [--plc] [--cell]
//                                                     [--bus Attribute=Value]...
//
// --bus sets an attribute of the robot file's BusConfiguration for the
// controller runs (TimingMode=1, PreciseTiming=true, ...); it may be repeated.
//
// With --plc each run is followed by one of the same length in which a PLC
// drives the program through the PLC interface's inputs on the DIO module
// (Play, Pause, Continue, Stop, every 250 ms): its longest cycle compares with
// the run's own idle one. With --cell one more run walks the injection-moulding
// cell through its phases (the machine's signals on a second DIO module).
//
// Per run: achieved frequency; the deviation of each cycle start from one
// period after the one before (median, 99th percentile, maximum, in µs); the
// work of a cycle, everything but the wait (median, 99th percentile, maximum,
// in µs, and its share of the time), as elapsed time and as the robot thread's
// processor time: the difference is time the thread was not on a processor
// (preempted on a loaded machine, or switched out in a socket write). The
// controller's log goes to a file in the scratch directory, named at the end.
//
// Processor use, in percent of one core over the recorded span: the measured
// thread's (the robot thread, or the bare loop's own) and the whole process's.
// The process holds the simulated bus and its devices as well, so only the
// thread's figure is the controller's own; the difference to the bare loop is
// what the wait costs.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <utility>
#include <vector>

#include "common/LogSingleton.h"
#include "common/PLCInterfaceSettings.h"
#include "PkgProgram/StateMachineDIZ.h"
#include "controller/CycleWait.h"
#include "controller/RobotMaster.h"
#include "hardware/CANInterfaceSocketCAN.h"
#include "hardware/HardwareProtocol.h"
#include "korvella-cansim/Hub.h"
#include "korvella-cansim/SimFaultChannel.h"
#include "korvella-cansim/SimRobotConfig.h"

namespace {

namespace fs = std::filesystem;

FILE* g_Report = stdout;

// PLC inputs on the first DIO module (channels 20..26).
constexpr int PlayInput = 22, PauseInput = 23;
constexpr uint64_t PlayBit = 1u << (PlayInput - 20), PauseBit = 1u << (PauseInput - 20);

uint64_t NowUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// Processor time of the calling thread.
uint64_t ThreadCpuUs() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

// Processor time of the whole process, user and system.
uint64_t ProcessCpuUs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto us = [](const timeval& t) {
        return static_cast<uint64_t>(t.tv_sec) * 1000000u + static_cast<uint64_t>(t.tv_usec);
    };
    return us(usage.ru_utime) + us(usage.ru_stime);
}

// Cycle starts and busy times, written by the measured thread only while open;
// with each start the processor time of that thread and of the process so far.
class Recorder {
public:
    explicit Recorder(std::size_t capacity)
        : starts(capacity), busy(capacity), busyCpu(capacity), threadCpu(capacity), processCpu(capacity) {}
    void Add(uint64_t startUs, uint64_t busyUs, uint64_t busyCpuUs = 0) {
        if (!open.load(std::memory_order_acquire)) return;
        const std::size_t n = count.load(std::memory_order_relaxed);
        if (n >= starts.size()) return;
        starts[n] = startUs;
        busy[n] = busyUs;
        busyCpu[n] = busyCpuUs;
        threadCpu[n] = ThreadCpuUs();
        processCpu[n] = ProcessCpuUs();
        count.store(n + 1, std::memory_order_release);
    }
    void Open() { open.store(true, std::memory_order_release); }
    void Close() { open.store(false, std::memory_order_release); }
    std::size_t Count() const { return count.load(std::memory_order_acquire); }

    std::vector<uint64_t> starts;
    std::vector<uint64_t> busy;
    std::vector<uint64_t> busyCpu;
    std::vector<uint64_t> threadCpu;
    std::vector<uint64_t> processCpu;

private:
    std::atomic<bool> open{false};
    std::atomic<std::size_t> count{0};
};

struct Spread {
    double median = 0, p99 = 0, max = 0;
};

Spread SpreadOf(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) {
        const std::size_t i = static_cast<std::size_t>(std::ceil(q * static_cast<double>(values.size()))) - 1;
        return values[std::min(i, values.size() - 1)];
    };
    s.median = at(0.5);
    s.p99 = at(0.99);
    s.max = values.back();
    return s;
}

struct Result {
    std::string name;
    int periodMs = 0;
    std::size_t cycles = 0;
    double frequency = 0;
    Spread deviation;  // |start[i] - start[i-1] - period|, µs
    bool hasWork = false;
    Spread work;     // µs
    Spread workCpu;  // µs of processor time
    double workShare = 0;
    double threadCpuShare = 0;   // processor time of the measured thread / elapsed
    double processCpuShare = 0;  // of the whole process
};

// The cycle starts and busy times of the first `n` recorded cycles.
Result Evaluate(const std::string& name, int periodMs, const Recorder& r, std::size_t n, bool hasWork) {
    Result result;
    result.name = name;
    result.periodMs = periodMs;
    result.cycles = n;
    result.hasWork = hasWork;
    if (n < 2) return result;
    const double period = periodMs * 1000.0;
    std::vector<double> deviations;
    std::vector<double> work;
    std::vector<double> workCpu;
    double workSum = 0;
    for (std::size_t i = 1; i < n; ++i) {
        deviations.push_back(std::fabs(static_cast<double>(r.starts[i] - r.starts[i - 1]) - period));
        work.push_back(static_cast<double>(r.busy[i]));
        workCpu.push_back(static_cast<double>(r.busyCpu[i]));
        workSum += static_cast<double>(r.busy[i]);
    }
    const double span = static_cast<double>(r.starts[n - 1] - r.starts[0]);
    result.frequency = span > 0 ? static_cast<double>(n - 1) * 1e6 / span : 0;
    result.deviation = SpreadOf(deviations);
    result.work = SpreadOf(work);
    result.workCpu = SpreadOf(workCpu);
    result.workShare = span > 0 ? workSum / span : 0;
    result.threadCpuShare = span > 0 ? static_cast<double>(r.threadCpu[n - 1] - r.threadCpu[0]) / span : 0;
    result.processCpuShare = span > 0 ? static_cast<double>(r.processCpu[n - 1] - r.processCpu[0]) / span : 0;
    return result;
}

void Print(const Result& r) {
    std::fprintf(g_Report, "%-26s %3d ms %8zu %9.2f Hz   %8.1f %8.1f %9.1f   %6.1f %6.1f", r.name.c_str(),
                 r.periodMs, r.cycles, r.frequency, r.deviation.median, r.deviation.p99, r.deviation.max,
                 100.0 * r.threadCpuShare, 100.0 * r.processCpuShare);
    if (r.hasWork) {
        std::fprintf(g_Report, "   %7.1f %7.1f %8.1f %6.2f %%   %6.1f %6.1f %7.1f", r.work.median, r.work.p99,
                     r.work.max, 100.0 * r.workShare, r.workCpu.median, r.workCpu.p99, r.workCpu.max);
    }
    std::fprintf(g_Report, "\n");
    std::fflush(g_Report);
}

// ---------------------------------------------------------------- bare loops

// Waits like the robot thread's timing mode 2, through its own wait: a sleep to
// the default margin before one period after the previous start, then a spin.
Result SpinLoop(int periodMs, double seconds) {
    const std::size_t n = static_cast<std::size_t>(seconds * 1000.0 / periodMs) + 1;
    Recorder r(n);
    r.Open();
    const CycleWait wait;
    uint64_t start = NowUs();
    r.Add(start, 0);
    while (r.Count() < n) {
        start = wait.Until(start + static_cast<uint64_t>(periodMs) * 1000u);
        r.Add(start, 0);
    }
    return Evaluate("bare loop, same wait", periodMs, r, r.Count(), false);
}

// Sleeps to absolute times one period apart: the timer latency alone.
Result SleepLoop(int periodMs, double seconds) {
    const std::size_t n = static_cast<std::size_t>(seconds * 1000.0 / periodMs) + 1;
    Recorder r(n);
    r.Open();
    timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    uint64_t previous = NowUs();
    r.Add(previous, 0);
    while (r.Count() < n) {
        next.tv_nsec += periodMs * 1000000L;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr) == EINTR) {
        }
        // Measured like the robot thread: from one start to the next.
        r.Add(NowUs(), 0);
    }
    return Evaluate("bare loop, clock_nanosleep", periodMs, r, r.Count(), false);
}

// ---------------------------------------------------------------- the controller

bool WaitUntil(const std::function<bool()>& condition, int seconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

class ControllerRun {
public:
    explicit ControllerRun(const std::string& scratch) : root(scratch) {}

    // The sample at the cycle time, connected, enabled, referenced, its start program repeating.
    bool Start(int periodMs, const std::vector<std::pair<std::string, std::string>>& busAttributes,
               std::string& error) {
        fs::copy(std::string(KORVELLA_SAMPLES_DIR) + "/six-axis", root,
                 fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        const std::string robotFile = root + "/Data/Robots/KorvellaSix/KorvellaSix.xml";
        tinyxml2::XMLDocument doc;
        if (doc.LoadFile(robotFile.c_str()) != tinyxml2::XML_SUCCESS) {
            error = "cannot read " + robotFile;
            return false;
        }
        tinyxml2::XMLElement* bus = doc.RootElement()->FirstChildElement("BusConfiguration");
        bus->SetAttribute("CycleTimeMS", periodMs);
        for (const auto& attribute : busAttributes) bus->SetAttribute(attribute.first.c_str(), attribute.second.c_str());
        doc.SaveFile(robotFile.c_str());

        LogSingleton* log = LogSingleton::instance();
        log->SetRootPath(root + "/");
        PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
        plc = PLCInterfaceSettings{};
        plc.JointToRef0 = 0;
        plc.JointToRef1 = 1;
        plc.JointToRef2 = 2;
        plc.JointToRef3 = 3;
        plc.JointToRef4 = 4;
        plc.JointToRef5 = 5;
        plc.RefDelay0 = plc.RefDelay1 = plc.RefDelay2 = plc.RefDelay3 = plc.RefDelay4 = plc.RefDelay5 = 0;
        // Play and Pause on inputs of DIO module 112, driven by PlcSequence.
        plc.Active = true;
        plc.PlayNumber = PlayInput;
        plc.PauseNumber = PauseInput;

        const std::string socket = root + "/can.sock";
        if (!hub.Start(socket, std::string(), &error)) return false;
        CanSim::SimRobotConfig config;
        config.dioModuleIds.push_back(112);
        config.dioModuleIds.push_back(113);
        sim = std::make_unique<CanSim::SimFaultChannel>(hub);
        if (!CanSim::SimRobotConfig::Load(robotFile, config, error) || !sim->Populate(config, error)) return false;
        setenv(CANInterfaceSocketCAN::SimulatedBusVariable, socket.c_str(), 1);

        rm = std::make_unique<RobotMaster>();
        rm->Init("Sample", "KorvellaSix", "KorvellaSix/KorvellaSix.xml");
        if (rm->GetHardware() == nullptr || log->get_opMode() != opModeNormal) {
            error = "robot master did not initialise: " + log->get_seriousFailReason();
            return false;
        }
        rm->InitDIOModule(112);
        rm->InitDIOModule(113);
        rm->SetCycleObserver([this](uint64_t startUs, uint64_t busyUs, uint64_t busyCpuUs) {
            if (Recorder* r = recorder.load()) r->Add(startUs, busyUs, busyCpuUs);
        });
        rm->FinishInit();
        if (!rm->GetHardware()->Connect()) {
            error = "no connection to the simulated bus";
            return false;
        }
        if (!WaitUntil([&]() { return rm->GetRobotState().errorText.find("_MNE") != std::string::npos; }, 20)) {
            error = "modules not seen: " + rm->GetRobotState().errorText;
            return false;
        }
        rm->Reset();
        rm->EnableMotors(true);
        if (!WaitUntil([&]() { return rm->GetRobotState().errorText == "NoError"; }, 20)) {
            error = "not enabled: " + rm->GetRobotState().errorText;
            return false;
        }
        rm->ReferenceAllJoints();
        if (!WaitUntil(
                [&]() {
                    const DataTypes::RobotState s = rm->GetRobotState();
                    for (int j = 0; j < 6; ++j)
                        if (!s.jointsReferenced[j]) return false;
                    return !rm->IsReferenceSequenceActive();
                },
                60)) {
            error = "not referenced";
            return false;
        }
        if (rm->ipoMain.LoadProgramSynchronous("Demo.xml", true) != 0) {
            error = "Demo.xml did not load";
            return false;
        }
        rm->ipoMain.replayMode = IPO::ReplayRepeat;
        rm->StartProgram();
        if (!rm->ipoMain.IsReplayRunning()) {
            error = "the program did not start";
            return false;
        }
        return true;
    }

    // Phase programs of the cell: each switches an output on and waits 0.2 s.
    void WriteCellPrograms() {
        const int outputs[6] = {20, 21, 22, 23, 24, 26};
        for (int phase = 0; phase < 6; ++phase) {
            std::ofstream out(root + "/Data/Programs/" + TavixStateMachine::StateMachineDIZ::ProgramFiles[phase]);
            out << "<Program><Output Nr=\"1\" Channel=\"DOut" << outputs[phase] + 1
                << "\" State=\"true\"/><Wait Nr=\"2\" Type=\"Time\" Seconds=\"0.2\"/></Program>";
        }
    }
    // The machine's answer to the cell's state (second module, channels 30..34).
    void CellStep() {
        using TavixStateMachine::StateMachineDIZ;
        constexpr uint64_t In31 = 1u << 1, Auto = 1u << 2, In33 = 1u << 3, In34 = 1u << 4;
        switch (rm->stateMachine.GetState()) {
            case StateMachineDIZ::StateInMould: machine = Auto | In31 | In34; break;
            case StateMachineDIZ::StateEjectorFront: machine = Auto | In31 | In33; break;
            case StateMachineDIZ::StateEjectorBack: machine = Auto | In31 | In34; break;
            case StateMachineDIZ::StateOutOfMould: machine = Auto | In31; break;
            default: break;
        }
        sim->SetDigitalInputs(113, machine);
    }
    bool StartCell() {
        WriteCellPrograms();
        rm->StopProgram(IPO::USER);
        machine = (1u << 1) | (1u << 2);
        sim->SetDigitalInputs(113, machine);
        if (!WaitUntil([&]() { return rm->GetRobotState().digitalInputs[32]; }, 10)) return false;
        rm->StartStopEM67FSM();
        return rm->fsmActive.load();
    }
    int CellPhasesLogged() const { return cellPhases; }

    Result Measure(int periodMs, double seconds, bool plcSequence = false, bool cell = false) {
        const std::size_t n = static_cast<std::size_t>(seconds * 1000.0 / periodMs) + 1;
        auto r = std::make_unique<Recorder>(n);
        recorder.store(r.get());
        // Settle for a second, then record.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        r->Open();
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds * 3 + 10);
        int step = 0;
        int lastState = -1;
        while (r->Count() < n && std::chrono::steady_clock::now() < end) {
            if (cell) {
                CellStep();
                const int state = rm->stateMachine.GetState();
                if (state != lastState) ++cellPhases;
                lastState = state;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            } else if (plcSequence) {
                PlcStep(step++);
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
        }
        r->Close();
        const bool running = rm->ipoMain.IsReplayRunning();
        Result result = Evaluate(cell          ? "Korvella, cell cycle"
                                 : plcSequence ? "Korvella, PLC play/pause/stop"
                                 : running   ? "Korvella, program running"
                                             : "Korvella, program ENDED",
                                 periodMs, *r, r->Count(), true);
        if (plcSequence) {
            // Leave it running, as the next run expects.
            SetInputs(0);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!rm->ipoMain.IsReplayRunning()) rm->StartProgram();
        }
        recorder.store(nullptr);
        // The robot thread may be inside Add; it checks `open` first and the recorder outlives this cycle.
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * periodMs + 5));
        return result;
    }

    // One PLC action per call, each a rising edge: Play stops the running program,
    // Play starts it, Pause pauses, Pause continues.
    void PlcStep(int step) {
        switch (step % 8) {
            case 0: SetInputs(PlayBit); break;
            case 2: SetInputs(PlayBit); break;
            case 4: SetInputs(PauseBit); break;
            case 6: SetInputs(PauseBit); break;
            default: SetInputs(0); break;
        }
    }
    void SetInputs(uint64_t bits) { sim->SetDigitalInputs(112, bits); }

    void Stop() {
        if (rm) {
            if (rm->ipoMain.IsReplayRunning()) rm->StopProgram(IPO::USER);
            rm.reset();
        }
        hub.Stop();
        unsetenv(CANInterfaceSocketCAN::SimulatedBusVariable);
    }
    ~ControllerRun() { Stop(); }

private:
    std::string root;
    CanSim::Hub hub;
    std::unique_ptr<CanSim::SimFaultChannel> sim;
    std::unique_ptr<RobotMaster> rm;
    std::atomic<Recorder*> recorder{nullptr};
    uint64_t machine = 0;
    int cellPhases = 0;
};

std::vector<int> ParseCycles(const char* text) {
    std::vector<int> cycles;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const int v = std::atoi(item.c_str());
        if (v > 0 && v <= 1000) cycles.push_back(v);
    }
    return cycles;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10.0;
    std::vector<int> cycles = {10, 4, 2, 1};
    std::vector<std::pair<std::string, std::string>> busAttributes;
    bool plcRuns = false;
    bool cellRuns = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc) {
            seconds = std::atof(argv[++i]);
        } else if (arg == "--cycles" && i + 1 < argc) {
            cycles = ParseCycles(argv[++i]);
        } else if (arg == "--plc") {
            plcRuns = true;
        } else if (arg == "--cell") {
            cellRuns = true;
        } else if (arg == "--bus" && i + 1 < argc && std::strchr(argv[i + 1], '=') != nullptr) {
            const std::string setting = argv[++i];
            const std::size_t eq = setting.find('=');
            busAttributes.emplace_back(setting.substr(0, eq), setting.substr(eq + 1));
        } else {
            std::fprintf(stderr,
                         "usage: %s [--seconds N] [--cycles 10,4,2,1] [--plc] [--cell] [--bus Attribute=Value]...\n",
                         argv[0]);
            return 2;
        }
    }
    if (!(seconds > 0.0) || cycles.empty()) {
        std::fprintf(stderr, "bench_cycle_timing: nothing to measure\n");
        return 2;
    }

    char dirTemplate[] = "/tmp/korvella-cycle-XXXXXX";
    if (mkdtemp(dirTemplate) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string scratch = dirTemplate;
    // The controller logs to standard output and error; the report keeps the terminal.
    const std::string logFile = scratch + "/controller-log.txt";
    g_Report = fdopen(dup(STDOUT_FILENO), "w");
    const int logFd = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (g_Report == nullptr || logFd < 0) {
        std::perror("bench_cycle_timing");
        return 1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(logFd, STDOUT_FILENO);
    dup2(logFd, STDERR_FILENO);
    close(logFd);

    std::fprintf(g_Report, "Robot thread timing, %u cores, load average %s, %.0f s per run\n",
                 std::thread::hardware_concurrency(), LoadAverage().c_str(), seconds);
    for (const auto& attribute : busAttributes)
        std::fprintf(g_Report, "BusConfiguration %s=\"%s\"\n", attribute.first.c_str(), attribute.second.c_str());
    std::fprintf(g_Report, "%-26s %6s %8s %12s   %-28s   %-13s   %-33s   %s\n", "", "period", "cycles", "frequency",
                 "start deviation µs med/p99/max", "CPU % thr/proc", "cycle work µs med/p99/max, share",
                 "processor µs med/p99/max");
    int failures = 0;
    for (int periodMs : cycles) {
        Print(SleepLoop(periodMs, seconds));
        Print(SpinLoop(periodMs, seconds));
        const std::string root = scratch + "/run-" + std::to_string(periodMs) + "ms";
        fs::create_directories(root);
        ControllerRun run(root);
        std::string error;
        if (!run.Start(periodMs, busAttributes, error)) {
            std::fprintf(g_Report, "%-26s %3d ms   failed: %s\n", "Korvella", periodMs, error.c_str());
            ++failures;
            continue;
        }
        Print(run.Measure(periodMs, seconds));
        if (plcRuns) Print(run.Measure(periodMs, seconds, true));
        if (cellRuns) {
            if (!run.StartCell()) {
                std::fprintf(g_Report, "%-26s %3d ms   failed: the cell did not start\n", "Korvella", periodMs);
                ++failures;
                continue;
            }
            Print(run.Measure(periodMs, seconds, false, true));
            std::fprintf(g_Report, "%-26s cell states passed: %d\n", "", run.CellPhasesLogged());
        }
    }
    std::fprintf(g_Report, "load average afterwards %s; controller log %s\n", LoadAverage().c_str(),
                 logFile.c_str());
    return failures == 0 ? 0 : 1;
}
