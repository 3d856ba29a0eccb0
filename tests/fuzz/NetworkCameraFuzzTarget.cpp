// Fuzz entry point of the network cameras' receiving halves: the bytes an IFM
// O2D camera or a bin-picking computer sends, cut into reads. Any bytes must
// give results and pictures or be dropped; never read outside the bytes,
// crash, hang or grow the buffers beyond their bounds.
//
// First byte: bit 0 the bin-picking computer (else the O2D camera), bit 1
// pictures enabled, bit 2 robot coordinates, bits 3 to 7 the largest read
// (1 + 37 times their value bytes). The rest is the stream.

#include <tinyxml2.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "datatypes/Vector3.h"
#include "vision/CameraBinPicking.h"
#include "vision/CameraIFMO2D.h"

namespace {

std::string Configuration(bool pictures, bool robotCoordinates) {
    std::string xml = "<HwCamera Name=\"fuzz\" ScaleX=\"0.5\" ScaleY=\"0.5\" OriginX=\"10\" UpX=\"1\" LookZ=\"1\" "
                      "ZDistance=\"3\"";
    if (pictures) xml += " ImageEnabled=\"True\"";
    if (robotCoordinates) xml += " CoordinateType=\"RobotCoordinates\"";
    return xml + "/>";
}

void CheckTarget(const Camera::CameraInterface& camera) {
    DataTypes::Vector3 position, orientation;
    int modelClass = 0;
    if (!camera.GetTargetPos(position, orientation, modelClass)) return;
    for (const float value : {position.x, position.y, position.z, orientation.x, orientation.y, orientation.z}) {
        if (!std::isfinite(value)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    const bool binPicking = (mode & 1) != 0;
    const std::size_t largest = 1 + 37 * static_cast<std::size_t>(mode >> 3);
    const char* stream = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    tinyxml2::XMLDocument document;
    document.Parse(Configuration((mode & 2) != 0, (mode & 4) != 0).c_str());

    if (binPicking) {
        Camera::CameraBinPicking camera("fuzz");
        camera.Read(*document.RootElement());
        camera.SetConnectedForTest(true);
        for (std::size_t at = 0; at < length; at += largest) {
            camera.Collect(stream + at, std::min(largest, length - at));
            if (camera.CollectedBytes() > Camera::CameraBinPicking::kMessageCapacity) std::abort();
        }
        CheckTarget(camera);
        return 0;
    }

    Camera::CameraIFMO2D camera("fuzz");
    camera.Read(*document.RootElement());
    camera.CreateTransferMatrix();
    camera.SetConnectedForTest(true);
    std::size_t at = 0;
    while (at < length) {
        const std::size_t n = std::min({camera.NextReadSize(), largest, length - at});
        camera.HandleRead(stream + at, n);
        if (camera.MessageBufferFill() > Camera::CameraIFMO2D::kMessageBufferSize) std::abort();
        at += n;
    }
    CheckTarget(camera);
    return 0;
}
