// korvella-cansim: the simulated CAN bus that stands in for "can0" on a
// machine without SocketCAN. Controllers connect with KORVELLA_CAN_SIM=PATH.

#include "korvella-cansim/Hub.h"
#include "korvella-cansim/SimFaultChannel.h"
#include "korvella-cansim/SimRobotConfig.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<bool> g_Stop{false};

void OnSignal(int) { g_Stop = true; }

int Usage(const char* self) {
    std::fprintf(stderr, "usage: %s --socket PATH [--log FILE] [--robot ROBOTFILE [--dio ID]... [--project PRJFILE]]\n",
                 self);
    std::fprintf(stderr, "  with --robot, fault commands are read from standard input (\"help\" lists them)\n");
    std::fprintf(stderr, "  with --project, the joint modules (protocol v2/v3) start at the project's Homepos\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath;
    std::string logPath;
    std::string robotPath;
    std::string projectPath;
    CanSim::SimRobotConfig robotConfig;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (arg == "--log" && i + 1 < argc) {
            logPath = argv[++i];
        } else if (arg == "--robot" && i + 1 < argc) {
            robotPath = argv[++i];
        } else if (arg == "--project" && i + 1 < argc) {
            projectPath = argv[++i];
        } else if (arg == "--dio" && i + 1 < argc) {
            char* end = nullptr;
            const long id = std::strtol(argv[++i], &end, 0);
            if (end == argv[i] || *end != '\0' || id < 0 || id > 0x7FF) return Usage(argv[0]);
            robotConfig.dioModuleIds.push_back(static_cast<int>(id));
        } else if (arg == "--help" || arg == "-h") {
            Usage(argv[0]);
            return 0;
        } else {
            return Usage(argv[0]);
        }
    }
    if (socketPath.empty() || (!projectPath.empty() && robotPath.empty())) return Usage(argv[0]);

    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    CanSim::Hub hub;
    std::string error;
    if (!hub.Start(socketPath, logPath, &error)) {
        std::fprintf(stderr, "korvella-cansim: %s\n", error.c_str());
        return 1;
    }
    std::printf("korvella-cansim: bus on %s\n", socketPath.c_str());
    std::fflush(stdout);

    // The modules of the robot file, and their fault channel on stdin.
    std::unique_ptr<CanSim::SimFaultChannel> faults;
    if (!robotPath.empty()) {
        faults = std::make_unique<CanSim::SimFaultChannel>(hub);
        if ((!projectPath.empty() && !CanSim::SimRobotConfig::LoadHome(projectPath, robotConfig, error)) ||
            !CanSim::SimRobotConfig::Load(robotPath, robotConfig, error) || !faults->Populate(robotConfig, error)) {
            std::fprintf(stderr, "korvella-cansim: %s\n", error.c_str());
            hub.Stop();
            return 1;
        }
        if (robotConfig.IsCANopen()) {
            std::printf("korvella-cansim: %zu CANopen drives, %zu CANopen I/O nodes\n", robotConfig.joints.size(),
                        robotConfig.dioModuleIds.size());
        } else if (robotConfig.IsVQTCAN()) {
            std::printf("korvella-cansim: %zu v1 joint modules\n", robotConfig.joints.size());
        } else {
            std::printf("korvella-cansim: %zu joint modules, %zu DIO modules, main I/O module\n",
                        robotConfig.joints.size(), robotConfig.dioModuleIds.size());
        }
        std::fflush(stdout);
    }
    // "quit" on the fault channel ends the program; its end of input does not.
    bool serveFaults = faults != nullptr;
    while (!g_Stop.load() && hub.IsRunning()) {
        if (!serveFaults) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else {
            const auto input = faults->ServeAvailable(STDIN_FILENO, 100, std::cout);
            if (input == CanSim::SimFaultChannel::Input::Quit) g_Stop = true;
            if (input != CanSim::SimFaultChannel::Input::Open) serveFaults = false;
        }
    }
    hub.Stop();
    std::printf("korvella-cansim: stopped, %llu frames carried, %llu refused\n",
                static_cast<unsigned long long>(hub.FramesCarried()),
                static_cast<unsigned long long>(hub.FramesRefused()));
    return 0;
}
