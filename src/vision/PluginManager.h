#pragma once
// The plug-ins of one interpreter: the smart-camera client and the lidar
// search. Programs ask the camera plug-in for targets through
// ExecutePluginCmdTarget; the interpreter starts the plug-ins when a program
// that uses them starts.

#include <string>

#include "vision/LidarHokuyoURG.h"
#include "vision/PluginCameraIFMO2D.h"

namespace PluginFramework {

class PluginManager {
public:
    PluginManager();
    // Stops and joins the plug-ins' threads.
    virtual ~PluginManager();
    PluginManager(const PluginManager&) = delete;
    PluginManager& operator=(const PluginManager&) = delete;

    // Starts the camera client, or re-reads its configuration while it is
    // connected; then searches the lidar.
    void StartPlugins();
    void StopPlugins();
    // Asks the named plug-in for a target: 1 when one was received (the pose's
    // elements 3, 7, 11, the first orientation angle and the model class are
    // written), else 0. Throws std::runtime_error for an unknown name or while
    // the camera is not connected.
    int ExecutePluginCmdTarget(const std::string& name, int* modelClass, float* unused, float* matrix,
                               float* orientation, bool* inputs, bool* outputs);

    CameraIFMO2D& GetCamera() { return camera; }
    LidarHokuyoURG& GetLidar() { return lidar; }

private:
    CameraIFMO2D camera;
    LidarHokuyoURG lidar;
};

}  // namespace PluginFramework
