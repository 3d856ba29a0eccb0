#include "vision/PluginManager.h"

#include <stdexcept>

#include "common/LogSingleton.h"

namespace PluginFramework {

PluginManager::PluginManager() = default;

PluginManager::~PluginManager() { StopPlugins(); }

void PluginManager::StartPlugins() {
    if (!camera.IsConnected()) {
        camera.Start();
    } else {
        camera.ReadConfigFile();
    }
    if (!lidar.IsConnected()) lidar.StartAutodetectSerial();
}

void PluginManager::StopPlugins() {
    // Also a client still connecting: its thread is joined either way.
    camera.Stop();
    if (lidar.IsConnected()) lidar.Stop();
}

int PluginManager::ExecutePluginCmdTarget(const std::string& name, int* modelClass, float* /*unused*/, float* matrix,
                                          float* orientation, bool* /*inputs*/, bool* /*outputs*/) {
    LogSingleton* log = LogSingleton::instance();
    if (name != "pluginsmartcameraifmo2d") {
        const std::string text = "Error! Plugin not available: " + name;
        log->addError(text);
        log->DisplayAndServerSetMessage(text);
        throw std::runtime_error("PluginManager - Plugin not available!");
    }
    // Still connecting right after a program start: no target yet, ask again.
    if (!camera.IsConnected() && camera.IsThreadRunning()) {
        *modelClass = -1;
        return 0;
    }
    if (!camera.IsConnected()) {
        const std::string text = "Error! IFM-O2D not connected!";
        log->addError(text);
        log->DisplayAndServerSetMessage(text);
        throw std::runtime_error("PluginManager - Camera not connected!");
    }
    float position[3] = {matrix[3], matrix[7], matrix[11]};
    float rotation = orientation[0];
    int model = -1;
    const bool received = camera.GetTargetPos(position, &rotation, &model);
    matrix[3] = position[0];
    matrix[7] = position[1];
    matrix[11] = position[2];
    orientation[0] = rotation;
    *modelClass = model;
    if (!received) return 0;
    log->addFormat("PluginManager received target: x=%.1lf  y=%.1lf  z=%.1lf -  A=%.2lf  B=%.2lf  C=%.2lf - modelclass %d",
                   static_cast<double>(matrix[3]), static_cast<double>(matrix[7]), static_cast<double>(matrix[11]),
                   static_cast<double>(orientation[0]), static_cast<double>(orientation[1]),
                   static_cast<double>(orientation[2]), model);
    return 1;
}

}  // namespace PluginFramework
