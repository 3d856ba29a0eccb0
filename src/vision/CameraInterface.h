#pragma once
// Base of every camera: start and stop, the latest recognised target, the
// camera's configuration element and its status; the latest picture, and its
// encoding for the remote clients into two alternating buffers.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>

#include "datatypes/Vector3.h"
#include "vision/CameraThread.h"
#include "vision/Image.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace Camera {

class CameraManager;

class CameraInterface {
public:
    CameraInterface(const std::string& typeId, const std::string& name);
    // Waits for the encoding thread.
    virtual ~CameraInterface();
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

    std::string GetStatusString() const;

    // Stores a new latest picture (an empty pointer drops it); the same
    // pointer again changes nothing.
    void SetImage(std::shared_ptr<Imaging::Image const> image);
    std::shared_ptr<Imaging::Image const> GetImage() const;
    // Appends the latest encoded picture (Base64 text, no NUL); returns its
    // length, 0 while there is none.
    std::size_t GetEncodedImage(std::ostream& out) const;

    void StartEncoding();
    void StopEncoding();
    // Encodes the picture if one arrived since the last pass.
    void CheckEncodeHXPImage();
    // One encoding pass of the stored picture.
    void EncodeHXPImage();

    const std::string& GetTypeId() const { return typeId; }
    const std::string& GetName() const { return name; }
    const std::string& GetDescription() const { return description; }
    void SetDescription(const std::string& text) { description = text; }
    bool IsActive() const { return active; }
    void SetActive(bool value) { active = value; }
    bool IsImageEnabled() const { return imageEnabled; }
    void SetImageEnabled(bool value) { imageEnabled = value; }
    bool HasNewResult() const { return newResult; }
    bool HasNewEncodedImage() const { return newEncodedImage; }

protected:
    void EncodingThread();

    std::string typeId;
    std::string name;
    std::string description;
    std::atomic<bool> active{false};
    std::atomic<bool> imageEnabled{false};
    std::atomic<bool> newResult{false};
    std::atomic<bool> newEncodedImage{false};

private:
    friend class CameraManager;

    // Monotonic seconds and milliseconds of the manager's last lines for this camera.
    std::atomic<int32_t> lastResultLine{0};
    std::atomic<int64_t> lastImageLine{0};

    mutable std::mutex imageMutex;
    std::shared_ptr<Imaging::Image const> image;
    std::atomic<bool> newImage{false};

    // The encoder fills the buffer readers are not directed to, then flips the
    // selector under bufferMutex; readers copy under it, so a buffer is never
    // written while a reader copies it.
    mutable std::mutex bufferMutex;
    std::string encodedA;
    std::string encodedB;
    bool selector = false;

    CameraThread encoding;
};

}  // namespace Camera
