// Cycle time of whole programs: each program of the sample and of the motion
// tests runs through the interpreter under both path generators, one 10 ms
// robot cycle after the other, the planning waited for in every cycle as the
// tests do. The counters tell the program's duration in simulated cycles and
// seconds and whether it ran to its end; wall-clock time only measures the
// planning and sampling: planning_s is the time the cycles waited for the
// planner, first_motion_s the time from the start to the first set-point that
// moved. The programs that are not part of the sample are the
// test programs of the motion tests and a few known hard cases.
// Run with KORVELLA_LOG_NO_WAIT=1 to skip the log's start-up wait.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <tinyxml2.h>
#include <vector>

#include "PkgProgram/IPO.h"
#include "PkgProgram/PathGenerator.h"
#include "PkgProgram/ProgramMemory.h"
#include "common/LogSingleton.h"
#include "datatypes/RobotState.h"
#include "kinematics/KinematicFactory.h"
#include "kinematics/RobotKinematic.h"

namespace {

constexpr int CycleMs = 10;

// The project's folder, from its samples folder.
std::string Here() { return std::string(KORVELLA_SAMPLES_DIR) + "/.."; }

// The arms: the sample robot with its own limits, and the robot of the motion tests with limits
// that differ from joint to joint.
struct ArmSetup {
    const char* robotFile;  // in the project's folder
    float vel[9];
    float acc[9];
};
const ArmSetup SampleArm = {"/samples/six-axis/Data/Robots/KorvellaSix/KorvellaSix.xml",
                            {90, 90, 90, 120, 120, 120, 100, 100, 100},
                            {500, 500, 500, 500, 500, 500, 500, 500, 500}};
const ArmSetup TestArm = {"/tests/fixtures/prog-sixaxis-robot.xml",
                          {90, 75, 100, 120, 110, 130, 100, 100, 100},
                          {500, 400, 600, 700, 650, 800, 500, 500, 500}};

std::unique_ptr<RobotKinematic> Kinematic(const std::string& path) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) return nullptr;
    const tinyxml2::XMLElement* kin = doc.FirstChildElement("Robot")->FirstChildElement("Kinematic");
    std::unique_ptr<RobotKinematic> arm = KinematicFactory::Create(kin->Attribute("Type"));
    if (arm) {
        arm->Init("Bench", kin->Attribute("Type"), path, -1);
        arm->cycleTimeMs = CycleMs;
    }
    return arm;
}

std::string Joint(const float* a, float velPercent, float acc, float smooth) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "<Joint Nr=\"1\" a1=\"%g\" a2=\"%g\" a3=\"%g\" a4=\"%g\" a5=\"%g\" a6=\"%g\" velPercent=\"%g\" "
                  "acc=\"%g\" smooth=\"%g\" AbortCondition=\"false\"/>\n",
                  a[0], a[1], a[2], a[3], a[4], a[5], velPercent, acc, smooth);
    return text;
}

std::string Linear(float x, float y, float z, float a, float b, float c, float vel, float acc, float smooth) {
    char text[512];
    std::snprintf(text, sizeof(text),
                  "<Linear Nr=\"1\" x=\"%g\" y=\"%g\" z=\"%g\" a=\"%g\" b=\"%g\" c=\"%g\" vel=\"%g\" acc=\"%g\" "
                  "smooth=\"%g\" AbortCondition=\"false\"/>\n",
                  x, y, z, a, b, c, vel, acc, smooth);
    return text;
}

std::string Down(float x, float y, float z, float vel, float acc, float smooth) {
    return Linear(x, y, z, 180, 0, 180, vel, acc, smooth);
}

struct Program {
    std::string name;
    const ArmSetup* arm;
    float start[6];
    std::string body;  // empty: the file of the sample
    const char* sampleFile;
    int lookAhead = 3;
};

// Four joint moves whose joints 1 and 6 reverse at every corner, blended by `smooth`.
std::string Reversing(float smooth) {
    const float a[6] = {60, 20, 30, 0, 60, 100};
    const float b[6] = {-60, 25, 35, 0, 55, -100};
    const float c[6] = {60, 30, 40, 0, 50, 100};
    const float d[6] = {-60, 20, 30, 0, 60, -100};
    return Joint(a, 100, 100, smooth) + Joint(b, 100, 100, smooth) + Joint(c, 100, 100, smooth) + Joint(d, 100, 100, 0);
}

// Three joint moves on in the same direction, blended by `smooth`.
std::string Sweep(float smooth) {
    const float a[6] = {30, 25, 20, 10, 50, 20};
    const float b[6] = {70, 35, 30, 20, 40, 50};
    const float c[6] = {110, 40, 45, 30, 30, 80};
    return Joint(a, 80, 100, smooth) + Joint(b, 80, 100, smooth) + Joint(c, 80, 100, 0);
}

// A pick and place: down, up and across by joints, blended, with lines to the part.
std::string PickAndPlace(float smooth) {
    const float across[6] = {-30, 15, 35, 10, 45, -40};
    const float back[6] = {20, 10, 40, -10, 50, 60};
    const float home[6] = {0, 17.8f, 10.7f, 0, 61.4f, 0};
    return Down(500, 150, 350, 150, 80, 0) + Down(500, 150, 300, 100, 80, 0) + Down(500, 150, 350, 150, 80, 0) +
           Joint(across, 90, 80, smooth) + Joint(back, 90, 80, smooth) + Joint(home, 90, 80, 0);
}

// A chain of `count` joint moves whose joints 1 and 6 reverse at every corner, blended by `smooth`.
std::string ReversingChain(int count, float smooth) {
    const float a[6] = {60, 20, 30, 0, 60, 100};
    const float b[6] = {-60, 25, 35, 0, 55, -100};
    std::string body;
    for (int i = 0; i < count; ++i) body += Joint(i % 2 == 0 ? a : b, 100, 100, i + 1 < count ? smooth : 0);
    return body;
}

// Two hundred short lines round a star of eight points, each corner blended by `smooth`.
std::string Star(float smooth) {
    std::string body;
    for (int i = 0; i < 200; ++i) {
        const double t = (i + 1) * 3.0 * 3.14159265358979 / 4.0;
        body += Down(static_cast<float>(520 + 60 * std::cos(t)), static_cast<float>(60 * std::sin(t)),
                     static_cast<float>(320 + 20 * std::sin(2 * t)), 250, 100, i + 1 < 200 ? smooth : 0);
    }
    return body;
}

// A line of 1000 mm at full speed, blended into a short one across.
std::string LongLine(float smooth) {
    return Down(450, -500, 350, 250, 100, 0) + Down(450, 500, 350, 250, 100, smooth) + Down(300, 350, 350, 250, 100, 0);
}

// Nine parts from one place onto a pallet of three by three near the base: above, down, up, across.
std::string Pallet(float smooth) {
    std::string body;
    for (int i = 0; i < 9; ++i) {
        const float x = 250.0f + 60.0f * static_cast<float>(i % 3);
        const float y = -60.0f + 60.0f * static_cast<float>(i / 3);
        body += Down(300, -220, 290, 250, 100, smooth) + Down(300, -220, 250, 250, 100, 0) +
                Down(300, -220, 290, 250, 100, smooth) + Down(x, y, 290, 250, 100, smooth) + Down(x, y, 250, 250, 100, 0) +
                Down(x, y, 290, 250, 100, i < 8 ? smooth : 0);
    }
    return body;
}

std::vector<Program> Programs() {
    const float arc[6] = {0, 17.827632f, 100.7325f, 0, 61.445f, 0};
    const float blendA[6] = {60, 30, 40, 50, 40, 70};
    const float blendB[6] = {-40, 20, 60, -40, 70, -60};
    const float fast[6] = {60, -30, 100, 90, -60, 120};
    const float p1[6] = {60, 30, -40, 0, 0, 0};
    const float p2[6] = {-30, 60, 20, 30, 0, 0};
    const float p3[6] = {20, -20, 50, 0, 40, 0};
    const float zero[6] = {0, 0, 0, 0, 0, 0};
    const float ja[6] = {30, -20, 40, 10, -30, 60};
    const float jb[6] = {-10, 15, 5, -20, 25, -40};
    const float c1[6] = {40, 0, 0, 0, 0, 0};
    const float c2[6] = {40, 40, 0, 0, 0, 0};
    const float wristStart[6] = {60, 10, 80, 0, 90, 100};
    const std::string circle =
        "<Circular Nr=\"2\" AbortCondition=\"false\" vel=\"100\" acc=\"0\" smooth=\"0\" useAngle=\"false\" angle=\"0\" "
        "Source=\"numbers\" p1x=\"530\" p1y=\"30\" p1z=\"400\" p2x=\"500\" p2y=\"60\" p2z=\"400\" a=\"180\" b=\"0\" "
        "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n";
    const std::string blendedArc =
        "<Circular Nr=\"3\" AbortCondition=\"false\" vel=\"120\" acc=\"80\" smooth=\"30\" useAngle=\"false\" angle=\"0\" "
        "Source=\"numbers\" p1x=\"570\" p1y=\"10\" p1z=\"300\" p2x=\"540\" p2y=\"-20\" p2z=\"300\" a=\"180\" b=\"0\" "
        "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n";
    const std::string cartesianProgram =
        Down(480, 0, 300, 200, 100, 0) + Down(540, 40, 300, 200, 100, 40) +
        "<Circular Nr=\"3\" AbortCondition=\"false\" vel=\"150\" acc=\"80\" smooth=\"30\" useAngle=\"false\" angle=\"0\" "
        "Source=\"numbers\" p1x=\"570\" p1y=\"10\" p1z=\"300\" p2x=\"540\" p2y=\"-20\" p2z=\"300\" a=\"180\" b=\"0\" "
        "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n" +
        Down(460, -40, 320, 200, 100, 0) +
        "<Circular Nr=\"5\" AbortCondition=\"false\" vel=\"200\" acc=\"100\" smooth=\"0\" useAngle=\"true\" angle=\"-120\" "
        "Source=\"numbers\" p1x=\"470\" p1y=\"-20\" p1z=\"330\" p2x=\"480\" p2y=\"0\" p2z=\"300\" a=\"180\" b=\"0\" "
        "c=\"180\" e1=\"0\" e2=\"0\" e3=\"0\" VariableHelperName=\"\" VariableEndName=\"\"/>\n";
    std::vector<Program> list = {
        {"sample Demo.xml", &SampleArm, {0, 0, 90, 0, 90, 0}, "", "Demo.xml"},
        {"chained lines smooth 50", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0},
         Down(550, 0, 450, 150, 100, 0) + Down(600, 150, 400, 150, 100, 50) + Down(500, 150, 300, 150, 100, 50) +
             Down(450, -50, 350, 150, 100, 0),
         nullptr},
        {"joint blend 80 %", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0},
         Joint(blendA, 80, 100, 50) + Joint(blendB, 80, 100, 0), nullptr},
        {"joint blend 80 % smooth 0", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0},
         Joint(blendA, 80, 100, 0) + Joint(blendB, 80, 100, 0), nullptr},
        {"velPercent 400", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Joint(fast, 400, 100, 0), nullptr},
        {"line near the base axis", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0},
         Down(110, -250, 400, 100, 100, 0) + Down(110, 250, 400, 250, 100, 0), nullptr},
        {"circle acc 0", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Down(500, 0, 400, 100, 0, 0) + circle, nullptr},
        {"joint corners smooth 10", &SampleArm, {0, 0, 0, 0, 0, 0},
         Joint(p1, 100, 50, 10) + Joint(p2, 100, 50, 10) + Joint(p3, 100, 50, 10) + Joint(zero, 100, 50, 0),
         nullptr},
        {"joint corners smooth 0", &SampleArm, {0, 0, 0, 0, 0, 0},
         Joint(p1, 100, 50, 0) + Joint(p2, 100, 50, 0) + Joint(p3, 100, 50, 0) + Joint(zero, 100, 50, 0),
         nullptr},
        {"joint sweep smooth 50", &SampleArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Sweep(50), nullptr},
        {"joint sweep smooth 0", &SampleArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Sweep(0), nullptr},
        {"blended lines and arc", &SampleArm, {0, 0, 0, 0, 0, 0},
         Joint(arc, 80, 80, 0) + Down(540, 40, 300, 150, 80, 40) + blendedArc + Linear(470, -40, 320, 170, 5, 180, 150, 80, 30) +
             Linear(479.9869f, 0, 299.9355f, 180, -0.0051f, 180, 150, 80, 0),
         nullptr},
        {"lines and arcs", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, cartesianProgram, nullptr},
        {"joint targets with an output", &SampleArm, {0, 0, 0, 0, 0, 0},
         Joint(ja, 80, 50, 0) + "<Output Nr=\"2\" Channel=\"DOut1\" State=\"true\"/>\n" + Joint(jb, 50, 50, 0) +
             Joint(zero, 100, 50, 0),
         nullptr},
        {"one smoothed corner", &SampleArm, {0, 0, 0, 0, 0, 0}, Joint(c1, 100, 50, 10) + Joint(c2, 100, 50, 0), nullptr},
        {"reversing joints smooth 0", &SampleArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Reversing(0), nullptr},
        {"reversing joints smooth 10", &SampleArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Reversing(10), nullptr},
        {"reversing joints smooth 50", &SampleArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Reversing(50), nullptr},
        {"reversing joints smooth 100", &SampleArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Reversing(100), nullptr},
        {"pick and place smooth 0", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, PickAndPlace(0), nullptr},
        {"pick and place smooth 50", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, PickAndPlace(50), nullptr},
        {"wrist turning line", &SampleArm, {0, 0, 90, 0, 90, 0},
         Joint(wristStart, 50, 100, 0) + Linear(230.4f, -399, 508.1f, -120, 0, -180, 100, 100, 20) +
             Linear(250.4f, -399, 508.1f, 90, 0, 180, 100, 100, 0),
         nullptr},
        {"wrist turning line smooth 0", &SampleArm, {0, 0, 90, 0, 90, 0},
         Joint(wristStart, 50, 100, 0) + Linear(230.4f, -399, 508.1f, -120, 0, -180, 100, 100, 0) +
             Linear(250.4f, -399, 508.1f, 90, 0, 180, 100, 100, 0),
         nullptr},
        {"line through the base axis", &SampleArm, {0, 0, 90, 0, 90, 0},
         Down(300, 200, 400, 100, 100, 0) + Down(-300, -200, 400, 250, 100, 0), nullptr},
        {"200 lines round a star smooth 50", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Star(50), nullptr},
        {"200 lines round a star smooth 0", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Star(0), nullptr},
        {"1000 mm line blended smooth 50", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, LongLine(50), nullptr},
        {"1000 mm line blended smooth 0", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, LongLine(0), nullptr},
        {"pallet of nine smooth 50", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Pallet(50), nullptr},
        {"pallet of nine smooth 0", &TestArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, Pallet(0), nullptr},
    };
    // Long chains planned at once: the time to the first motion shows how planning grows with the chain.
    for (int count : {5, 10, 20, 50, 100}) {
        for (int smooth : {50, 0}) {
            list.push_back({std::to_string(count) + " reversing joints smooth " + std::to_string(smooth) + ", look-ahead " +
                                std::to_string(count),
                            &SampleArm, {0, 17.8f, 10.7f, 0, 61.4f, 0}, ReversingChain(count, static_cast<float>(smooth)),
                            nullptr, count});
        }
    }
    return list;
}

std::atomic<int>& Errors() {
    static std::atomic<int> errors{0};
    return errors;
}

struct Outcome {
    long cycles = 0;
    bool done = false;
    bool error = false;
    double planning = 0.0;     // wall-clock seconds the cycles waited for the planner
    double firstMotion = -1.0; // wall-clock seconds from the start to the first set-point that moved
};

// Runs one program to its end (or its error) and counts the cycles from the start.
Outcome Run(const Program& program, int generator) {
    char dirTemplate[] = "/tmp/korvella-cycles-XXXXXX";
    Outcome outcome;
    if (mkdtemp(dirTemplate) == nullptr) return outcome;
    const std::string dir = dirTemplate;
    std::filesystem::create_directories(dir + "/Data/Programs");
    const std::string samples = Here() + "/samples/six-axis/Data/Programs/";
    for (const char* file : {"Demo.xml", "DemoTally.xml"})
        std::filesystem::copy_file(samples + file, dir + "/Data/Programs/" + file);
    if (program.sampleFile == nullptr)
        std::ofstream(dir + "/Data/Programs/bench.xml") << "<?xml version=\"1.0\"?>\n<Program>\n"
                                                        << program.body << "</Program>\n";
    char cwd[4096];
    const bool haveCwd = getcwd(cwd, sizeof(cwd)) != nullptr;
    if (chdir(dir.c_str()) != 0) return outcome;
    LogSingleton* log = LogSingleton::instance();
    const std::string previousRoot = log->get_rootPath();
    log->SetRootPath(dir + "/");
    {
        Programs::ProgramMemory memory;
        DataTypes::RobotState state;
        IPO ipo(IPO::IpoTypeMain);
        ipo.SetMemory(&memory);
        memory.SetRobotState(&state);
        ipo.hxpCallback = [](HXPEventType event, int, int, const std::string&) {
            if (event == HXPEventError) ++Errors();
        };
        const int errorsBefore = Errors();
        ipo.replayMode = IPO::ReplaySingle;
        ipo.InitPathGen(generator, 100.0f, 10.0f, program.lookAhead);
        const float jerk[9] = {2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000, 2000};
        ipo.InitJointMaxValues(program.arm->vel, program.arm->acc, jerk, 250.0f, 1000.0f, 3000.0f, 90.0, 1000.0,
                               3000.0);
        ipo.SetKinematic(Kinematic(Here() + program.arm->robotFile).release());
        for (int i = 0; i < 6; ++i) state.jointSetPoint[i] = program.start[i];
        const std::string file = program.sampleFile != nullptr ? program.sampleFile : "bench.xml";
        if (ipo.LoadProgramSynchronous(file, true) == 0) {
            using Clock = std::chrono::steady_clock;
            const auto started = Clock::now();
            ipo.Start();
            PathGenerator& pathGenerator = *ipo.GetPathGenerator();
            // Twenty minutes of simulated time at most.
            for (long cycle = 0; cycle < 120000 && ipo.IsReplayRunning(); ++cycle) {
                const auto waitFrom = Clock::now();
                const auto end = waitFrom + std::chrono::seconds(120);
                while (pathGenerator.IsPathGenWorking() && Clock::now() < end)
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                outcome.planning += std::chrono::duration<double>(Clock::now() - waitFrom).count();
                ipo.GetNextPosition(CycleMs, 100.0f, &state);
                ++outcome.cycles;
                if (outcome.firstMotion < 0.0) {
                    for (int i = 0; i < 6; ++i)
                        if (state.jointSetPoint[i] != program.start[i])
                            outcome.firstMotion = std::chrono::duration<double>(Clock::now() - started).count();
                }
            }
            outcome.done = !ipo.IsReplayRunning();
            outcome.error = Errors() > errorsBefore;
        }
    }
    log->SetRootPath(previousRoot);
    if (haveCwd && chdir(cwd) != 0) {
        // The next run sets its own directory.
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return outcome;
}

void BM_ProgramCycles(benchmark::State& state, Program program, int generator) {
    Outcome outcome;
    for (auto _ : state) outcome = Run(program, generator);
    state.counters["cycles"] = static_cast<double>(outcome.cycles);
    state.counters["seconds"] = static_cast<double>(outcome.cycles) * CycleMs / 1000.0;
    state.counters["ended"] = outcome.done ? 1.0 : 0.0;
    state.counters["error"] = outcome.error ? 1.0 : 0.0;
    state.counters["planning_s"] = outcome.planning;
    state.counters["first_motion_s"] = outcome.firstMotion;
}

const int Registered = [] {
    for (const Program& p : Programs()) {
        for (int generator : {0, 1}) {
            const std::string name = p.name + (generator == 1 ? " / 02Linear" : " / 01");
            benchmark::RegisterBenchmark(name.c_str(), BM_ProgramCycles, p, generator)
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond);
        }
    }
    return 0;
}();

}  // namespace

BENCHMARK_MAIN();
