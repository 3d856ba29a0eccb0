#pragma once
// Stands in for a vision system: always connected, returns the target pose of
// its configuration, and with pictures enabled sets a plain 640 x 480 YUYV
// picture once a second (for the cloud; it encodes nothing for the clients).

#include <chrono>

#include "vision/CameraInterface.h"
#include "vision/CameraThread.h"

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
    bool IsRunning() const { return pictureThread.IsRunning(); }
    // Time between pictures (1 s).
    void SetPicturePeriod(std::chrono::milliseconds period) { picturePeriod = period; }

private:
    void Updater();

    DataTypes::Vector3 targetPosition;
    DataTypes::Vector3 targetOrientation;
    int modelClass = 1;
    std::atomic<bool> picturesEnabled{false};

    std::chrono::milliseconds picturePeriod{1000};  // set before Start
    CameraThread pictureThread;
};

}  // namespace Camera
