#include "kinematics/Tool.h"

#include <cmath>
#include <fstream>
#include <tinyxml2.h>

#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "common/StringHelper.h"

namespace {

void SeriousFail(const std::string& reason) {
    LogSingleton::instance()->set_opMode(opModeSeriousFail);
    LogSingleton::instance()->set_seriousFailReason(reason);
}

// Missing, unparsable or non-finite values leave `value` as it was.
bool QueryFloat(const tinyxml2::XMLElement* e, const char* name, float& value) {
    float v = 0;
    if (e->QueryFloatAttribute(name, &v) != tinyxml2::XML_SUCCESS || !std::isfinite(v)) return false;
    value = v;
    return true;
}

bool QueryInt(const tinyxml2::XMLElement* e, const char* name, int& value) {
    int v = 0;
    if (e->QueryIntAttribute(name, &v) != tinyxml2::XML_SUCCESS) return false;
    value = v;
    return true;
}

float Clamp(float v, float lo, float hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

}  // namespace

bool Tool::IsSafeName(const std::string& name) {
    if (name.empty() || name[0] == '/') return false;
    // Refuse any ".." path component; plain dots inside names are fine.
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return false;
        start = end + 1;
    }
    return true;
}

bool Tool::CheckConfigFileExists(const std::string& name) const {
    if (!IsSafeName(name)) return false;
    return Filesystem::IsFile(LogSingleton::instance()->get_rootPath() + "Data/Tools/" + name);
}

void Tool::Init(const std::string& name) {
    LogSingleton* log = LogSingleton::instance();
    busId = 112;
    gearScale = -10;
    gearZero = 210;
    targetOpening = 30;
    currentOpening = 0;
    motionVel = defaultMotionVel;
    motionMin = 0;
    motionMax = 70;
    hwPosition = 0;
    channelEnable = -1;
    channelOpenClose = -1;

    const std::string path = log->get_rootPath() + "Data/Tools/" + name;
    if (IsSafeName(name)) {
        ReadConfigFile(path);
    } else {
        log->addErrorFormat("Tool: tool file name refused, it must stay inside Data/Tools/: \"%s\"", name);
        SeriousFail("41 Tool Ini file not found");
    }

    // toolMatrix = Trans(offset) . Rz(C) . Ry(B) . Rx(A)
    DataTypes::Matrix44 m;
    m.SetRotationABCDeg2(rotationOffset.z, rotationOffset.y, rotationOffset.x);
    m.SetTranslation(offset);
    toolMatrix = m;
    inverseToolMatrix = m.Inverse();
    hwScale = (motionMax - motionMin) / 100.0f;

    log->addFormat("   Offsets: x: %.1lf  y: %.1lf  z: %.1lf  -   a: %.1lf  b: %.1lf  c: %.1lf",
                   offset.x, offset.y, offset.z, rotationOffset.x, rotationOffset.y, rotationOffset.z);
    if (motion == "rotationaltwofinger") {
        log->addFormat("  RotationalTwoFinger : motionVel %.1lf - motionMin %.1lf - motionMax %.1lf",
                       motionVel, motionMin, motionMax);
    }
}

void Tool::ReadConfigFile(const std::string& path) {
    LogSingleton* log = LogSingleton::instance();
    log->add("Tool: reading ini file \"" + path + "\"");

    std::ifstream probe(path);
    if (!probe.is_open() || !Filesystem::IsFile(path)) {
        log->addError("Tool: could not find tool ini file: " + path);
        SeriousFail("41 Tool Ini file not found");
        return;
    }
    probe.close();

    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        log->addError("Tool: could not read tool ini file XML code correctly: " + path);
        SeriousFail("42 Tool Ini file not valid");
        return;
    }
    tinyxml2::XMLElement* root = doc.FirstChildElement("Tool");
    if (root == nullptr) {
        log->addError("Tool: line \"Tool\" not found in tool ini file!");
        SeriousFail("43 Tool Ini file not complete");
        return;
    }

    tinyxml2::XMLElement* e = root->FirstChildElement("OFFSET");
    if (e == nullptr) {
        log->addError("Tool: line \"OFFSET\" not found in .ini file!");
        SeriousFail("44 Tool Ini file not complete");
        return;
    }
    offset = DataTypes::Vector3();
    rotationOffset = DataTypes::Vector3();
    QueryFloat(e, "OffsetX", offset.x);
    QueryFloat(e, "OffsetY", offset.y);
    QueryFloat(e, "OffsetZ", offset.z);
    QueryFloat(e, "OffsetA", rotationOffset.x);
    QueryFloat(e, "OffsetB", rotationOffset.y);
    QueryFloat(e, "OffsetC", rotationOffset.z);

    e = root->FirstChildElement("KINEMATIC");
    if (e == nullptr) {
        log->addError("Tool: line \"KINEMATIC\" not found in ini file!");
        SeriousFail("45 Tool Ini file not complete");
        return;
    }
    const char* text = e->Attribute("Motion");
    if (text == nullptr) {
        motion = "none";
        log->addError("Tool: attribute \"Motion\" not found in line \"Kinematic\" of tool file!");
        SeriousFail("46 Tool Ini file not complete");
        return;
    }
    motion = StringHelper::ToLower(text);
    float vel = motionVel;
    if (motion == "rotationaltwofinger" || motion == "rotational" || motion == "linear") {
        QueryFloat(e, "MotionMin", motionMin);
        QueryFloat(e, "MotionMax", motionMax);
        QueryFloat(e, "MotionVel", vel);
    } else if (motion == "digital") {
        QueryFloat(e, "MotionVel", vel);
    }
    // A step of 0 or less would never reach (or run away from) the target.
    if (vel > 0) {
        motionVel = vel;
    } else {
        log->addFormat("Tool: MotionVel %.1lf is not above 0, using %.1lf", vel, motionVel);
    }

    e = root->FirstChildElement("INTERFACE");
    if (e == nullptr) {
        log->addError("Tool: line \"INTERFACE\" not found in ini file!");
        SeriousFail("47 Tool Ini file not complete");
        return;
    }
    text = e->Attribute("Protocol");
    if (text == nullptr) {
        protocol = "none";
        log->addError("Tool: attribute \"Protocol\" not found in line \"INTERFACE\" of tool file!");
        SeriousFail("48 Tool Ini file not complete");
        return;
    }
    protocol = StringHelper::ToLower(text);
    if (protocol == "bus") {
        QueryInt(e, "BusID", busId);
        QueryFloat(e, "GearScale", gearScale);
        QueryFloat(e, "GearZero", gearZero);
    } else if (protocol == "digital") {
        // Counted from 1 in the file, from 0 in the system.
        if (QueryInt(e, "ChannelEnable", channelEnable) && channelEnable > 0) --channelEnable;
        if (QueryInt(e, "ChannelOpenClose", channelOpenClose) && channelOpenClose > 0) --channelOpenClose;
    }
}

void Tool::SetTargetValue(float opening) {
    if (std::isnan(opening)) return;
    targetOpening = Clamp(opening, 0.0f, 100.0f);
}

void Tool::JogGripper(float factor) {
    if (std::isnan(factor)) return;
    targetOpening = Clamp(targetOpening + motionVel * factor, 0.0f, 100.0f);
}

void Tool::Update() {
    const float diff = targetOpening - currentOpening;
    if (std::fabs(diff) < motionVel) {
        currentOpening = targetOpening;
    } else if (diff > 0) {
        currentOpening += motionVel;
    } else if (diff < 0) {
        currentOpening -= motionVel;
    }
    hwPosition = motionMin + hwScale * currentOpening;
}

void Tool::UpdateNoVel() {
    hwPosition = motionMin + hwScale * currentOpening;
}

void Tool::SetHWPosition(float hw) {
    hwPosition = hw;
    if (hwScale > 0) {
        currentOpening = (hw - motionMin) / hwScale;
        targetOpening = currentOpening;
    }
}
