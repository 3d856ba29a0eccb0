#pragma once
// For the driver benchmarks: a scratch directory holding a robot file, and an
// in-process simulated bus with that file's devices on it. Both go away with
// the object.

#include "korvella-cansim/Hub.h"
#include "korvella-cansim/SimFaultChannel.h"
#include "korvella-cansim/SimRobotConfig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

class BenchSimBus {
public:
    explicit BenchSimBus(const char* robotXml) {
        char dirTemplate[] = "/tmp/korvella-bench-XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr) {
            error = "mkdtemp failed";
            return;
        }
        dir = dirTemplate;
        robotFile = dir + "/robot.xml";
        socket = dir + "/bus.sock";
        std::ofstream(robotFile) << robotXml;
        if (!hub.Start(socket, std::string(), &error)) return;
        CanSim::SimRobotConfig config;
        sim = std::make_unique<CanSim::SimFaultChannel>(hub);
        ok = CanSim::SimRobotConfig::Load(robotFile, config, error) && sim->Populate(config, error);
    }
    ~BenchSimBus() {
        hub.Stop();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    BenchSimBus(const BenchSimBus&) = delete;
    BenchSimBus& operator=(const BenchSimBus&) = delete;

    bool ok = false;
    std::string error;
    std::string dir;
    std::string robotFile;
    std::string socket;
    CanSim::Hub hub;
    std::unique_ptr<CanSim::SimFaultChannel> sim;
};
