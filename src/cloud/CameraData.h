#pragma once
// One picture slot of the cloud client: the named camera's newest picture in
// its cloud encoding, collected only when the camera holds a newer one.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace Cloud {

class CameraData {
public:
    CameraData() = default;
    ~CameraData() = default;
    CameraData(const CameraData&) = delete;
    CameraData& operator=(const CameraData&) = delete;

    std::string GetCameraName() const;
    // A different name is reported once by the next collection.
    void SetCameraName(const std::string& name);
    // True when the slot changed: a new name, a newer picture or a lost picture.
    bool CollectData();
    bool HasImage() const { return hasImage; }

    // Read by the cloud client's updater only.
    std::vector<unsigned char> imageData;
    int64_t lastPublished = 0;

private:
    // The name is set by the settings threads and read by the updater.
    mutable std::mutex nameMutex;
    std::string cameraName;
    bool nameChanged = true;

    bool hasImage = false;
    int64_t lastImageTime = 0;
};

}  // namespace Cloud
