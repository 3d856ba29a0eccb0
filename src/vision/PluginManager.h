#pragma once
// The camera plug-ins of an interpreter. The smart-camera client and its
// configuration join this class later; until then no plug-in is connected and
// asking one for a target fails like an unconnected camera.

#include <string>

namespace PluginFramework {

class PluginManager {
public:
    PluginManager();
    ~PluginManager();
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    void StartPlugins();
    void StopPlugins();
    // Asks the named plug-in for a target: 1 when one was received. Throws
    // std::runtime_error while the camera is not connected or for an unknown name.
    int ExecutePluginCmdTarget(const std::string& name, int* modelClass, float* unused, float* matrix,
                               float* orientation, bool* inputs, bool* outputs);
};

}  // namespace PluginFramework
