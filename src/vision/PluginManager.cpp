#include "vision/PluginManager.h"

#include <stdexcept>

#include "common/LogSingleton.h"

namespace PluginFramework {

PluginManager::PluginManager() = default;

PluginManager::~PluginManager() = default;

void PluginManager::StartPlugins() {
    // Starting the smart-camera client joins here.
}

void PluginManager::StopPlugins() {}

int PluginManager::ExecutePluginCmdTarget(const std::string& name, int*, float*, float*, float*, bool*, bool*) {
    if (name != "pluginsmartcameraifmo2d") throw std::runtime_error("PluginManager - unknown plugin " + name);
    LogSingleton::instance()->addError("Error! IFM-O2D not connected!");
    throw std::runtime_error("PluginManager - Camera not connected!");
}

}  // namespace PluginFramework
