#pragma once
// The camera plug-in of robot programs: a client of an IFM O2D smart camera
// that pushes its result messages. Pixel positions become robot positions
// through a geometry read from "ConfigSmartCameraIFMO2D.xml" under
// "Data/Plugins/". The client thread is started by the first program start
// that uses the plug-in and ends when the connection closes or fails, so a
// later start connects again; it is joined before the plug-in goes away.

#include <atomic>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "datatypes/Matrix44.h"
#include "datatypes/Vector3.h"

namespace PluginFramework {

// Sleeps the given milliseconds.
void wait(int milliseconds);

class CameraIFMO2D {
public:
    using WallClock = std::function<time_t()>;

    CameraIFMO2D();
    // Stops and joins the client thread.
    virtual ~CameraIFMO2D();
    CameraIFMO2D(const CameraIFMO2D&) = delete;
    CameraIFMO2D& operator=(const CameraIFMO2D&) = delete;

    // Reads the configuration, then starts the client thread unless one runs.
    void Start();
    // Ends the client thread and waits for it.
    int Stop();
    // False when the file was missing or incomplete; the previous values stay.
    bool ReadConfigFile();
    // 0 an object, -1 a FAIL message, -2 anything else.
    int ParseMessage(const std::string& text);
    // 0 when the target was stored.
    int TransformPixelToMM(int x, int y, int rotation);
    // Position (three floats), rotation and model class of the last object; false without one.
    bool GetTargetPos(float* position, float* rotation, int* modelClass) const;
    // Tells the remote clients about the current state: a change at once, the same state every 5 s.
    void logObjectInfo();

    bool IsConnected() const { return connected; }
    bool IsThreadRunning() const { return threadRunning; }
    // Wall-clock seconds of the reports; replaceable for tests.
    void SetWallClock(WallClock clock);
    std::string GetConfigFilePath() const;
    std::string GetIP() const;
    int GetPort() const;

private:
    void ClientThread();

    std::atomic<bool> connected{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> threadRunning{false};

    // Configuration and target; updates and transforms share it.
    mutable std::mutex mutex;
    const int pixelCentreX = 320;
    const int pixelCentreY = 240;
    std::string ip;
    int port = 0;
    float maxWaitTime = 0.0f;
    float scaleX = 1.0f;
    float scaleY = 1.0f;
    DataTypes::Vector3 origin, look, up;
    float zDistance = 0.0f;
    DataTypes::Matrix44 transferMatrix;
    DataTypes::Vector3 targetPosition;
    int pixelX = 0;
    int pixelY = 0;
    float rotation = 0.0f;
    int modelClass = 0;
    bool targetValid = false;
    const std::string configFileName = "ConfigSmartCameraIFMO2D.xml";

    std::mutex reportMutex;
    bool lastReportedState = false;
    time_t lastReportTime = 0;
    const int reportInterval = 5;
    WallClock wallClock;

    std::mutex startMutex;
    std::thread thread;
};

}  // namespace PluginFramework
