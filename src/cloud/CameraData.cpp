#include "cloud/CameraData.h"

#include <exception>
#include <memory>

#include "common/LogSingleton.h"
#include "vision/CameraManager.h"
#include "vision/Image.h"

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
    try {
        const std::shared_ptr<Camera::CameraInterface> camera = Camera::CameraManager::Instance()->Get(name);
        if (!camera) return changed;
        const std::shared_ptr<Imaging::Image const> picture = camera->GetImage();
        if (picture) {
            // Only a newer picture is worth encoding again.
            const int64_t time = static_cast<int64_t>(picture->GetTimestamp());
            if (time > lastImageTime) {
                picture->EncodeCloud(imageData);
                lastImageTime = time;
                hasImage = true;
                changed = true;
            }
        } else if (hasImage) {
            hasImage = false;
            changed = true;
        }
    } catch (const std::exception& e) {
        LogSingleton::instance()->addFormat("Cloud: Exception while converting camera image: %s", e.what());
    }
    return changed;
}

}  // namespace Cloud
