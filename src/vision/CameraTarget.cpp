#include "vision/CameraTarget.h"

namespace Camera {

double FoldAngle(double angle) {
    if (angle > 180.0) angle -= 360.0;
    if (angle < -180.0) angle += 360.0;
    return angle;
}

void LatestTarget::Store(const TargetResult& stored) {
    std::lock_guard<std::mutex> lock(mutex);
    result = stored;
}

void LatestTarget::Invalidate() {
    std::lock_guard<std::mutex> lock(mutex);
    result.valid = false;
}

bool LatestTarget::IsValid() const {
    std::lock_guard<std::mutex> lock(mutex);
    return result.valid;
}

bool LatestTarget::Report(bool connected, DataTypes::Vector3& position, DataTypes::Vector3& orientation,
                          int& modelClass) const {
    TargetResult copy;
    {
        std::lock_guard<std::mutex> lock(mutex);
        copy = result;
    }
    if (!copy.valid || !connected) {
        position = DataTypes::Vector3();
        orientation = DataTypes::Vector3();
        modelClass = -1;
        return false;
    }
    position = copy.position;
    orientation = DataTypes::Vector3(static_cast<float>(FoldAngle(static_cast<float>(copy.angle))), 0.0f, 0.0f);
    modelClass = copy.modelClass;
    return true;
}

}  // namespace Camera
