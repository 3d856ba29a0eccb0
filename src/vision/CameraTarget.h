#pragma once
// The latest recognition result of a network camera: written by its
// connection thread, read by robot programs through GetTargetPos.

#include <mutex>

#include "datatypes/Vector3.h"

namespace Camera {

// An angle in degrees brought into range once: above 180 less 360, then
// below -180 plus 360 (540 stays 180).
double FoldAngle(double angle);

struct TargetResult {
    DataTypes::Vector3 position;
    double angle = 0.0;
    int modelClass = -1;  // -1: none
    bool valid = false;
};

// One result behind its own lock, so a reader never sees half a result.
class LatestTarget {
public:
    void Store(const TargetResult& result);
    void Invalidate();
    // Changes the held result in place under the lock.
    template <typename Change>
    void Update(Change&& change) {
        std::lock_guard<std::mutex> lock(mutex);
        change(result);
    }
    // Whether a result is held and counts as valid, whatever the connection.
    bool IsValid() const;
    // A camera's GetTargetPos: the held result, its angle as a float folded
    // into the first component, while it is valid and the camera connected;
    // else zeros, class -1 and false.
    bool Report(bool connected, DataTypes::Vector3& position, DataTypes::Vector3& orientation, int& modelClass) const;

private:
    mutable std::mutex mutex;
    TargetResult result;
};

}  // namespace Camera
