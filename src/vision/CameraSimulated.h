#pragma once
// Stands in for a vision system: always connected, returns the target pose of
// its configuration, and with pictures enabled sets a plain 640 x 480 YUYV
// picture once a second (for the cloud; it encodes nothing for the clients).

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "vision/CameraInterface.h"

namespace Camera {

class CameraSimulated : public CameraInterface {
public:
    static const char* const TYPE_ID;

    explicit CameraSimulated(const std::string& name);
    // Ends and joins the picture thread.
    ~CameraSimulated() override;

    void Start() override;
    // Ends the picture thread and waits for it.
    void Stop() override;
    bool GetTargetPos(DataTypes::Vector3& position, DataTypes::Vector3& orientation, int& modelClass) const override;
    int Read(tinyxml2::XMLElement& element) override;
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document) override;
    std::string GetHXPConfigString(int cameraCount) const override;
    int GetStatus() const override { return 2; }

    bool IsPictureEnabled() const { return picturesEnabled; }
    bool IsRunning() const { return running; }
    // Time between pictures (1 s).
    void SetPicturePeriod(std::chrono::milliseconds period) { picturePeriod = period; }

private:
    void Updater();

    DataTypes::Vector3 targetPosition;
    DataTypes::Vector3 targetOrientation;
    int modelClass = 1;
    std::atomic<bool> running{false};
    std::atomic<bool> picturesEnabled{false};

    std::chrono::milliseconds picturePeriod{1000};
    std::mutex threadMutex;
    std::condition_variable wake;
    std::thread pictureThread;
};

}  // namespace Camera
