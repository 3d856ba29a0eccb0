#pragma once
// Base of every camera: start and stop, the latest recognised target, the
// camera's configuration element and its status. The picture handling and
// the drivers join later.

#include <string>

#include "datatypes/Vector3.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace Camera {

class CameraInterface {
public:
    CameraInterface(const std::string& typeId, const std::string& name) : typeId(typeId), name(name) {}
    virtual ~CameraInterface() = default;
    CameraInterface(const CameraInterface&) = delete;
    CameraInterface& operator=(const CameraInterface&) = delete;

    virtual void Start() = 0;
    virtual void Stop() = 0;
    // The latest recognised target: position in mm, orientation A, B, C in degrees.
    virtual bool GetTargetPos(DataTypes::Vector3& position, DataTypes::Vector3& orientation,
                              int& modelClass) const = 0;
    // The camera's "HwCamera" element; 0 on success.
    virtual int Read(tinyxml2::XMLElement& element) = 0;
    virtual tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document) = 0;
    // Starts a recognition and returns at once.
    virtual void TriggerImageRecognition() {}
    virtual std::string GetHXPConfigString(int cameraCount) const = 0;
    // 0 inactive, 1 not connected, 2 connected, anything else an error.
    virtual int GetStatus() const = 0;

    std::string GetStatusString() const {
        switch (GetStatus()) {
            case 0: return "INACTIVE";
            case 1: return "NOTCONNECTED";
            case 2: return "CONNECTED";
            default: return "ERROR";
        }
    }

    const std::string& GetTypeId() const { return typeId; }
    const std::string& GetName() const { return name; }

protected:
    std::string typeId;
    std::string name;
    std::string description;
    bool active = false;
    bool imageEnabled = false;
};

}  // namespace Camera
