#include "korvella-cansim/SimRobotConfig.h"

#include <cmath>
#include <cstdlib>
#include <sstream>
#include <tinyxml2.h>

namespace CanSim {

bool SimRobotConfig::Load(const std::string& path, SimRobotConfig& out, std::string& error) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        error = "cannot read robot file '" + path + "': " + doc.ErrorStr();
        return false;
    }
    const tinyxml2::XMLElement* robot = doc.FirstChildElement("Robot");
    const tinyxml2::XMLElement* bus = robot ? robot->FirstChildElement("BusConfiguration") : nullptr;
    if (bus == nullptr) {
        error = "robot file '" + path + "' has no Robot/BusConfiguration";
        return false;
    }
    SimRobotConfig cfg;
    const char* protocol = bus->Attribute("Protocol");
    cfg.protocol = protocol ? protocol : "";
    const tinyxml2::XMLElement* jointsElement = bus->FirstChildElement("Joints");
    int count = 0;
    if (jointsElement == nullptr || jointsElement->QueryIntAttribute("NrOfJoints", &count) != tinyxml2::XML_SUCCESS ||
        count < 0 || count > 16) {
        error = "robot file '" + path + "' has no valid Joints NrOfJoints";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const std::string name = "Joint" + std::to_string(i);
        const tinyxml2::XMLElement* j = bus->FirstChildElement(name.c_str());
        Joint joint;
        if (j == nullptr || j->QueryIntAttribute("ID", &joint.canId) != tinyxml2::XML_SUCCESS || joint.canId < 0 ||
            joint.canId > 0x7FC) {
            error = "robot file '" + path + "': " + name + " has no valid ID";
            return false;
        }
        float v = 0.0f;
        if (j->QueryFloatAttribute("GearScale", &v) == tinyxml2::XML_SUCCESS && std::isfinite(v)) joint.gearScale = v;
        if (j->QueryFloatAttribute("GearZero", &v) == tinyxml2::XML_SUCCESS && std::isfinite(v)) joint.gearZero = v;
        cfg.joints.push_back(joint);
    }
    // What the arm's joints are built to do: the drives' motors keep up with it.
    if (const tinyxml2::XMLElement* acc = robot->FirstChildElement("JointAccelerations")) {
        for (std::size_t i = 0; i < cfg.joints.size(); ++i) {
            float v = 0.0f;
            const std::string name = "A" + std::to_string(i + 1);
            if (acc->QueryFloatAttribute(name.c_str(), &v) == tinyxml2::XML_SUCCESS && std::isfinite(v) && v > 0.0f)
                cfg.joints[i].acceleration = v;
        }
    }
    cfg.dioModuleIds = out.dioModuleIds;
    cfg.mainIOModule = out.mainIOModule;
    cfg.home = out.home;
    out = cfg;
    return true;
}

bool SimRobotConfig::LoadHome(const std::string& projectPath, SimRobotConfig& out, std::string& error) {
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(projectPath.c_str()) != tinyxml2::XML_SUCCESS) {
        error = "cannot read project file '" + projectPath + "': " + doc.ErrorStr();
        return false;
    }
    const tinyxml2::XMLElement* project = doc.FirstChildElement("ProjectFile");
    const tinyxml2::XMLElement* robot = project ? project->FirstChildElement("Robot") : nullptr;
    if (robot == nullptr) {
        error = "project file '" + projectPath + "' has no ProjectFile/Robot";
        return false;
    }
    std::vector<float> home;
    if (const char* text = robot->Attribute("Homepos")) {
        std::istringstream pieces(text);
        std::string piece;
        while (home.size() < 9 && pieces >> piece) {
            char* end = nullptr;
            const float value = std::strtof(piece.c_str(), &end);
            home.push_back(end != piece.c_str() && *end == '\0' && std::isfinite(value) ? value : 0.0f);
        }
    }
    out.home = home;
    return true;
}

}  // namespace CanSim
