#include "vision/CameraSimulated.h"

#include <cstdio>
#include <vector>

#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "vision/CameraTarget.h"
#include "vision/CameraXml.h"
#include "vision/ImageYUV.h"

namespace Camera {

const char* const CameraSimulated::TYPE_ID = "Sim";

namespace {

constexpr unsigned kWidth = 640;
constexpr unsigned kHeight = 480;

std::string Number(float value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.8g", static_cast<double>(value));
    return text;
}

}  // namespace

CameraSimulated::CameraSimulated(const std::string& cameraName) : CameraInterface(TYPE_ID, cameraName) {}

CameraSimulated::~CameraSimulated() { Stop(); }

int CameraSimulated::Read(tinyxml2::XMLElement& element) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Camera Sim: Loading configuration");
    if (const char* text = element.Attribute("Name")) name = text;
    QueryFiniteFloat(element, "X", &targetPosition.x);
    QueryFiniteFloat(element, "Y", &targetPosition.y);
    QueryFiniteFloat(element, "Z", &targetPosition.z);
    QueryFiniteFloat(element, "A", &targetOrientation.x);
    QueryFiniteFloat(element, "B", &targetOrientation.y);
    QueryFiniteFloat(element, "C", &targetOrientation.z);
    bool enabled = picturesEnabled;
    if (QueryBoolAnyCase(element, "ImageEnabled", &enabled)) picturesEnabled = enabled;
    log->add("Camera Simulated '" + name + "': Configuration loaded:" + " Pos=" + targetPosition.ToString() +
             " Ori=" + targetOrientation.ToString());
    return 0;
}

tinyxml2::XMLElement* CameraSimulated::Write(tinyxml2::XMLDocument& document) {
    tinyxml2::XMLElement* element = document.NewElement("HwCamera");
    element->SetAttribute("Type", TYPE_ID);
    element->SetAttribute("Name", name.c_str());
    element->SetAttribute("X", Number(targetPosition.x).c_str());
    element->SetAttribute("Y", Number(targetPosition.y).c_str());
    element->SetAttribute("Z", Number(targetPosition.z).c_str());
    element->SetAttribute("A", Number(targetOrientation.x).c_str());
    element->SetAttribute("B", Number(targetOrientation.y).c_str());
    element->SetAttribute("C", Number(targetOrientation.z).c_str());
    element->SetAttribute("ImageEnabled", picturesEnabled ? "True" : "False");
    return element;
}

bool CameraSimulated::GetTargetPos(DataTypes::Vector3& position, DataTypes::Vector3& orientation,
                                   int& model) const {
    position = targetPosition;
    auto fold = [](float angle) { return static_cast<float>(FoldAngle(angle)); };
    orientation = DataTypes::Vector3(fold(targetOrientation.x), fold(targetOrientation.y), fold(targetOrientation.z));
    model = modelClass;
    return true;
}

std::string CameraSimulated::GetHXPConfigString(int cameraCount) const {
    char text[512];
    std::snprintf(text, sizeof(text), "CONFIG Camera %d %s %s", cameraCount, typeId.c_str(), name.c_str());
    return text;
}

void CameraSimulated::Start() {
    if (!picturesEnabled) return;
    pictureThread.Start([this] { Updater(); });
}

void CameraSimulated::Stop() { pictureThread.Stop(); }

void CameraSimulated::Updater() {
    const std::vector<unsigned char> frame(2 * kWidth * kHeight, 0);
    do {
        SetImage(std::make_shared<Imaging::ImageYUV>(frame.data(), static_cast<unsigned>(frame.size()), kWidth,
                                                     kHeight));
    } while (pictureThread.Pause(picturePeriod));
}

}  // namespace Camera
