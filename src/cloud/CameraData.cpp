#include "cloud/CameraData.h"

namespace Cloud {

std::string CameraData::GetCameraName() const {
    std::lock_guard<std::mutex> lock(nameMutex);
    return cameraName;
}

void CameraData::SetCameraName(const std::string& name) {
    std::lock_guard<std::mutex> lock(nameMutex);
    if (name == cameraName) return;
    cameraName = name;
    nameChanged = true;
}

bool CameraData::CollectData() {
    bool changed = false;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(nameMutex);
        if (nameChanged) {
            nameChanged = false;
            hasImage = false;
            changed = true;
        }
        name = cameraName;
    }
    if (name.empty()) return changed;
    // The camera's pictures join here with the picture classes.
    return changed;
}

}  // namespace Cloud
