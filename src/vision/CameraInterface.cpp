#include "vision/CameraInterface.h"

#include <chrono>
#include <vector>

namespace Camera {

CameraInterface::CameraInterface(const std::string& type, const std::string& cameraName)
    : typeId(type), name(cameraName) {}

CameraInterface::~CameraInterface() { StopEncoding(); }

std::string CameraInterface::GetStatusString() const {
    switch (GetStatus()) {
        case 0: return "INACTIVE";
        case 1: return "NOTCONNECTED";
        case 2: return "CONNECTED";
        default: return "ERROR";
    }
}

void CameraInterface::SetImage(std::shared_ptr<Imaging::Image const> newPicture) {
    std::lock_guard<std::mutex> lock(imageMutex);
    if (newPicture == image) return;
    image = std::move(newPicture);
    newImage = true;
}

std::shared_ptr<Imaging::Image const> CameraInterface::GetImage() const {
    std::lock_guard<std::mutex> lock(imageMutex);
    return image;
}

std::size_t CameraInterface::GetEncodedImage(std::ostream& out) const {
    std::lock_guard<std::mutex> lock(bufferMutex);
    const std::string& current = selector ? encodedA : encodedB;
    out << current;
    return current.size();
}

void CameraInterface::EncodeHXPImage() {
    std::lock_guard<std::mutex> lock(imageMutex);
    if (!image) return;
    std::vector<char> text;
    image->EncodeHXP(text, true);
    if (text.empty()) return;
    // The NUL ends the text for C readers; the picture line carries the text alone.
    if (text.back() == '\0') text.pop_back();
    bool writeB;
    {
        std::lock_guard<std::mutex> bufferLock(bufferMutex);
        writeB = selector;
    }
    // Only this pass (under imageMutex) writes; readers are on the other buffer.
    (writeB ? encodedB : encodedA).assign(text.begin(), text.end());
    std::lock_guard<std::mutex> bufferLock(bufferMutex);
    selector = !selector;
}

void CameraInterface::CheckEncodeHXPImage() {
    // Cleared first: a picture set while this pass runs is encoded by the next one.
    if (!newImage.exchange(false)) return;
    EncodeHXPImage();
    newEncodedImage = true;
}

void CameraInterface::StartEncoding() {
    encoding.Start([this] { EncodingThread(); });
}

void CameraInterface::StopEncoding() { encoding.Stop(); }

void CameraInterface::EncodingThread() {
    do {
        CheckEncodeHXPImage();
    } while (encoding.Pause(std::chrono::milliseconds(50)));
}

}  // namespace Camera
