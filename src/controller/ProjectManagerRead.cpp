// Reading the project file.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tinyxml2.h>
#include <vector>

#include "common/LogSingleton.h"
#include "common/StringHelper.h"
#include "controller/ProjectManager.h"
#include "controller/ProjectManagerPaths.h"
#include "controller/ProjectTarget.h"
#include "vision/CameraManager.h"

using tinyxml2::XML_SUCCESS;
using tinyxml2::XMLElement;

namespace {

// Non-finite numbers count as not parsed.
bool QueryFiniteFloat(const XMLElement* element, const char* name, float& value) {
    float parsed = 0.0f;
    if (element->QueryFloatAttribute(name, &parsed) != XML_SUCCESS || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool QueryFiniteDouble(const XMLElement* element, const char* name, double& value) {
    double parsed = 0.0;
    if (element->QueryDoubleAttribute(name, &parsed) != XML_SUCCESS || !std::isfinite(parsed)) return false;
    value = parsed;
    return true;
}

bool IsTrueText(const char* text) {
    return text != nullptr && StringHelper::ToLower(text) == "true";
}

std::string TextOrEmpty(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

int ProjectManager::ReadProjectFile(const std::string& projectName, ProjectTarget* robotMaster) {
    using namespace ProjectManagerPaths;
    LogSingleton* log = LogSingleton::instance();
    auto fail = [log](const std::string& message, const std::string& reason, int result) {
        log->addError(message);
        log->set_seriousFailReason(reason);
        log->set_opMode(opModeSeriousFail);
        return result;
    };

    // ---- File ----
    if (projectName.empty()) return fail("Project: empty project file name", "4 project file not found", 1);
    std::string name = Slashes(projectName);
    if (!name.empty() && name.front() == '/') name.erase(0, 1);
    if (!StaysInside(name) || name.compare(0, 5, "Data/") != 0) {
        return fail("Project: project file must lie below Data/: " + projectName, "4 project file not found", 1);
    }
    const std::string path = GetRootPath() + name;
    if (!std::ifstream(path).is_open()) {
        return fail("Project: Could not find project file " + path, "4 project file not found", 1);
    }
    projectFile = path;

    tinyxml2::XMLDocument document;
    if (document.LoadFile(path.c_str()) != XML_SUCCESS) {
        return fail("Project: Could not parse xml project file correctly: " + path, "5 .prj not valid", 2);
    }
    XMLElement* root = document.FirstChildElement("ProjectFile");
    if (root == nullptr) {
        return fail("Project: Line \"ProjectFile\" not found in project file!", "6 .prj file not complete", 3);
    }

    // ---- Robot ----
    const XMLElement* robot = root->FirstChildElement("Robot");
    if (robot == nullptr) {
        return fail("Project: Line \"Robot\" not found in project file!", "7 .prj file not complete", 4);
    }
    const char* robotName = robot->Attribute("Name");
    if (robotName == nullptr) {
        return fail("Project: Attribute \"Name\" not found in line Robot of project file!", "8 .prj file not complete",
                    5);
    }
    const char* robotTypeText = robot->Attribute("Type");
    if (robotTypeText == nullptr) {
        return fail("Project: Attribute \"Type\" not found in line Robot of project file!", "9 .prj file not complete",
                    6);
    }
    const std::string robotType = Slashes(robotTypeText);
    // The type names a folder below Data/Robots/.
    if (robotType.empty() || !StaysInside(robotType)) {
        return fail("Project: Attribute \"Type\" in line Robot of project file is not a robot folder: " + robotType,
                    "9 .prj file not complete", 6);
    }
    std::string gripper;
    if (const char* tool = robot->Attribute("Tool")) {
        gripper = tool;
    } else {
        log->addError("Project: Attribute \"Tool\" not found - gripper not available!");
    }

    double home[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};
    int homeCount = 0;
    if (const char* homeText = robot->Attribute("Homepos")) {
        std::istringstream pieces(homeText);
        std::string piece;
        while (homeCount < 9 && pieces >> piece) {
            char* end = nullptr;
            const float value = std::strtof(piece.c_str(), &end);
            if (end == piece.c_str() || *end != '\0' || !std::isfinite(value)) {
                log->addError("Project: Homepos value '" + piece + "' is not a number, taken as 0");
            } else {
                home[homeCount] = value;
            }
            ++homeCount;
        }
        log->addFormat("Project: Read %d home position values: %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f %.2f",
                       homeCount, home[0], home[1], home[2], home[3], home[4], home[5], home[6], home[7], home[8]);
    }

    int velocitySetting = robotMaster != nullptr ? robotMaster->GetVelocitySetting() : 0;
    robot->QueryIntAttribute("VelocitySetting", &velocitySetting);
    if (robotMaster != nullptr) robotMaster->SetVelocitySetting(velocitySetting);
    log->set_robotName(robotName);
    log->set_robotType(robotType);
    log->set_robotGripper(gripper);
    log->add("");
    log->add("*************************** ROBOT TYPE "
             "******************************************************************");
    log->addFormat("Project:    robotName: %s, robotType: %s, gripper: %s", robotName, robotType, gripper);
    if (velocitySetting == 2) {
        log->addFormat("            Configured for 48V open loop (VelocitySetting %d)", velocitySetting);
    } else {
        log->addFormat("            Configured for 24V open loop (VelocitySetting %d)", velocitySetting);
    }

    // ---- Program ----
    const XMLElement* program = root->FirstChildElement("Program");
    if (program == nullptr) {
        log->addError("Project: Line \"Program\" not found in project file!");
    } else {
        if (const char* file = program->Attribute("File")) {
            const std::string start = Slashes(file);
            if (StaysInside(start)) {
                startProgram = start;
            } else {
                log->addError("Project: Attribute \"File\" in line Program of project file leaves the programs "
                              "folder: " + start);
            }
        } else {
            log->addError("Project: Attribute \"File\" not found in line Program of project file!");
        }
        float override = -1.0f;
        QueryFiniteFloat(program, "Override", override);
        if (override <= -1.0f) {
            log->addError("Project: Attribute \"Override\" not found in line Program of project file!");
        } else {
            startOverride = std::min(100.0f, std::max(0.0f, override));
        }
        bool repeat = false;
        program->QueryBoolAttribute("Repeat", &repeat);
        startRepeat = repeat;
        const int defaultState = QueryIntAttribOrDefault(program, "DefaultState", 0);
        if (robotMaster != nullptr) robotMaster->SetProgramDefaultState(defaultState != 0 ? 1 : 0);
        char line[256];
        std::snprintf(line, sizeof(line),
                      startRepeat ? "Project: Program:       %s  override %.1lf  mode: repeat"
                                  : "Project: Program:       %s  override %.1lf  mode: single play",
                      startProgram.c_str(), static_cast<double>(startOverride));
        log->add(line);
        if (const char* logic = program->Attribute("FileLogic")) {
            const std::string logicFile = Slashes(logic);
            if (StaysInside(logicFile)) {
                logicStartFile = logicFile;
            } else {
                log->addError("Project: Attribute \"FileLogic\" in line Program of project file leaves the "
                              "programs folder: " + logicFile);
            }
        } else {
            log->addError("Project: Attribute \"FileLogic\" not found in line Program of project file!");
        }
        log->addFormat("Project: Logic program: %s", logicStartFile);
        log->add("");
    }

    // ---- Virtual box, kept until the robot master is set up ----
    bool boxActive = false;
    DataTypes::Vector3 boxMin;
    DataTypes::Vector3 boxMax;
    if (const XMLElement* box = root->FirstChildElement("VirtualBox")) {
        QueryFiniteFloat(box, "xMin", boxMin.x);
        QueryFiniteFloat(box, "xMax", boxMax.x);
        QueryFiniteFloat(box, "yMin", boxMin.y);
        QueryFiniteFloat(box, "yMax", boxMax.y);
        QueryFiniteFloat(box, "zMin", boxMin.z);
        QueryFiniteFloat(box, "zMax", boxMax.z);
        boxActive = IsTrueText(box->Attribute("active"));
    } else {
        log->add("Project: Line \"VirtualBox\" not found in project file! VirtualBox is not active!");
    }

    // ---- Robot master set-up ----
    const std::string robotFile = robotType + "/" + StringHelper::SplitGetLast(robotType, "/") + ".xml";
    if (robotMaster != nullptr) {
        robotMaster->Init(robotName, robotType, robotFile);
        if (homeCount > 0) robotMaster->SetHomePos(home);
        robotMaster->SetVirtualBox(boxActive, boxMin, boxMax);
    }

    // ---- External axes ----
    const XMLElement* axisElement = root->FirstChildElement("ExternalAxis");
    if (axisElement == nullptr) log->add("Project: No ExternalAxis found in project file!");
    for (; axisElement != nullptr; axisElement = axisElement->NextSiblingElement("ExternalAxis")) {
        const char* type = axisElement->Attribute("Type");
        if (type == nullptr) {
            return fail("Project: Attribute \"Type\" not found in line \"ExternalAxis\" of project file!",
                        "10 .prj file not complete", 6);
        }
        const int number = QueryIntAttribOrDefault(axisElement, "Number", 0);
        const char* motionMode = axisElement->Attribute("MotionMode");
        const Hardware::JointMode mode = motionMode != nullptr && StringHelper::ToLower(motionMode) == "velocity"
                                             ? Hardware::JointModeVelocity
                                             : Hardware::JointModePosition;
        ExternalAxis axis(number, Slashes(type), mode);
        if (const char* kinematic = axisElement->Attribute("Kinematic")) {
            axis.kinematic = ExternalAxis::KinematicFromString(kinematic);
        }
        axisElement->QueryIntAttribute("ID", &axis.canId);
        QueryFiniteDouble(axisElement, "GearScale", axis.gearScale);
        QueryFiniteDouble(axisElement, "Min", axis.min);
        QueryFiniteDouble(axisElement, "Max", axis.max);
        QueryFiniteDouble(axisElement, "VelMax", axis.velMax);
        QueryFiniteDouble(axisElement, "Acc", axis.acc);
        QueryFiniteDouble(axisElement, "AccInc", axis.accInc);
        axisElement->QueryIntAttribute("DirectionAngleToY", &axis.directionAngleToY);
        QueryFiniteDouble(axisElement, "lz0", axis.lz0);
        QueryFiniteDouble(axisElement, "Dir", axis.dir);
        QueryFiniteDouble(axisElement, "Offset", axis.offset);
        if (robotMaster != nullptr) robotMaster->SetExternalAxis(axis);
    }
    if (robotMaster != nullptr) robotMaster->InitExternalJoints();
    log->add("");
    log->add("");

    // ---- Digital I/O modules ----
    const XMLElement* dio = root->FirstChildElement("DIOModule");
    if (dio == nullptr) log->addError("Project: Line \"DIOModule\" not found in project file!");
    for (; dio != nullptr; dio = dio->NextSiblingElement("DIOModule")) {
        const int id = QueryIntAttribOrDefault(dio, "ID", -1);
        if (id < 0) {
            log->addError("Project: CAN ID not found in DIOModule tag!");
        } else if (robotMaster != nullptr) {
            robotMaster->InitDIOModule(id);
        }
    }

    // ---- Output states on reset and error ----
    for (const XMLElement* dout = root->FirstChildElement("DOut"); dout != nullptr;
         dout = dout->NextSiblingElement("DOut")) {
        const char* numberText = dout->Attribute("Number");
        if (numberText == nullptr) continue;
        char* end = nullptr;
        const long number = std::strtol(numberText, &end, 10);
        // The output tables hold 64 entries.
        if (end == numberText || *end != '\0' || number < 0 || number > 63) {
            log->addErrorFormat("Project: DOut number '%s' is not an output 0..63, line skipped", numberText);
            continue;
        }
        if (robotMaster == nullptr) continue;
        const int channel = static_cast<int>(number);
        if (const char* reset = dout->Attribute("ResetState")) {
            robotMaster->SetDOutOnReset(channel, DOutTargetStateFromString(reset));
        }
        if (const char* error = dout->Attribute("ErrorState")) {
            robotMaster->SetDOutOnError(channel, DOutTargetStateFromString(error));
        }
    }

    // ---- PLC interface ----
    PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
    const XMLElement* plcInterface = root->FirstChildElement("PLCInterface");
    if (plcInterface == nullptr) {
        log->addError("Project: Line \"PLCInterface\" not found in project file! PLCInterface is not active!");
    } else {
        bool value = false;
        plcInterface->QueryBoolAttribute("Active", &value);
        plc.Active = value;
        value = false;
        plcInterface->QueryBoolAttribute("AutoConnect", &value);
        plc.AutoConnect = value;

        auto section = [&](const char* elementName) {
            const XMLElement* element = root->FirstChildElement(elementName);
            if (element == nullptr) {
                log->addErrorFormat("Project: Line \"%s\" not found in project file! PLCInterface is not active!",
                                    elementName);
                plc.Active = false;
            }
            return element;
        };
        if (const XMLElement* in = section("PLCInterfaceIn")) {
            plc.RequestReferenceNumber = QueryIntAttribOrDefault(in, "RequestReferenceNumber", -1);
            plc.EnableNumber = QueryIntAttribOrDefault(in, "EnableNumber", -1);
            plc.PlayNumber = QueryIntAttribOrDefault(in, "PlayNumber", -1);
            plc.PauseNumber = QueryIntAttribOrDefault(in, "PauseNumber", -1);
            plc.StartMissionNumber = QueryIntAttribOrDefault(in, "StartMissionNumber", -1);
            plc.ShutdownNumber = QueryIntAttribOrDefault(in, "ShutdownNumber", -1);
            plc.AltStartNumber = QueryIntAttribOrDefault(in, "AltStartNumber", -1);
            plc.AltStopNumber = QueryIntAttribOrDefault(in, "AltStopNumber", -1);
            plc.AddJointNumber = QueryIntAttribOrDefault(in, "AddJointNumber", -1);
            plc.AddLinearNumber = QueryIntAttribOrDefault(in, "AddLinearNumber", -1);
        }
        if (const XMLElement* out = section("PLCInterfaceOut")) {
            plc.NoFaultNumber = QueryIntAttribOrDefault(out, "NoFaultNumber", -1);
            plc.RobotIsReferenced = QueryIntAttribOrDefault(out, "RobotIsReferenced", -1);
            plc.MissionRunningNumber = QueryIntAttribOrDefault(out, "MissionRunningNumber", -1);
            plc.FaultNumber = QueryIntAttribOrDefault(out, "FaultNumber", -1);
            plc.ProgramNotRunningNumber = QueryIntAttribOrDefault(out, "ProgramNotRunningNumber", -1);
            plc.ProgramRunningNumber = QueryIntAttribOrDefault(out, "ProgramRunningNumber", -1);
        }
        if (const XMLElement* sequence = section("PLCInterfaceRefSequence")) {
            int32_t* joints[9] = {&plc.JointToRef0, &plc.JointToRef1, &plc.JointToRef2,
                                  &plc.JointToRef3, &plc.JointToRef4, &plc.JointToRef5,
                                  &plc.JointToRef6, &plc.JointToRef7, &plc.JointToRef8};
            int32_t* delays[9] = {&plc.RefDelay0, &plc.RefDelay1, &plc.RefDelay2, &plc.RefDelay3, &plc.RefDelay4,
                                  &plc.RefDelay5, &plc.RefDelay6, &plc.RefDelay7, &plc.RefDelay8};
            for (int step = 0; step < 9; ++step) {
                *joints[step] = QueryIntAttribOrDefault(sequence, ("JointToRef" + std::to_string(step)).c_str(), -1);
                *delays[step] = QueryIntAttribOrDefault(sequence, ("RefDelay" + std::to_string(step)).c_str(), 5);
            }
        }
    }

    // ---- PLC triggers ----
    std::vector<PLCTrigger::PLCInterfaceTrigger> readTriggers;
    for (const XMLElement* element = root->FirstChildElement("PLCTrigger"); element != nullptr;
         element = element->NextSiblingElement("PLCTrigger")) {
        using Trigger = PLCTrigger::PLCInterfaceTrigger;
        bool active = true;
        Trigger::SignalType signalType = Trigger::DIn;
        int channel = -1;
        Trigger::TargetType targetType = Trigger::Program;
        std::string file;
        element->QueryBoolAttribute("Active", &active);
        const bool hasDIn = element->Attribute("DIn") != nullptr;
        const bool hasGSig = element->Attribute("GSig") != nullptr;
        if (hasDIn && hasGSig) {
            log->addError("Error in Project: PLCTrigger defines both DIn and GSig! Disabling trigger.");
            active = false;
            channel = -1;
        } else if (hasDIn) {
            channel = QueryIntAttribOrDefault(element, "DIn", -1);
        } else if (hasGSig) {
            signalType = Trigger::GSig;
            channel = QueryIntAttribOrDefault(element, "GSig", -1);
        }
        if (const char* type = element->Attribute("Type")) {
            const std::string lower = StringHelper::ToLower(type);
            if (lower == "program") {
                targetType = Trigger::Program;
            } else if (lower == "mission") {
                targetType = Trigger::Mission;
            } else {
                log->addError("Error in Project: PLCTrigger type is invalid! Disabling trigger.");
                active = false;
            }
        } else {
            log->addError("Error in Project: PLCTrigger type not defined! Disabling trigger.");
            active = false;
        }
        if (const char* target = element->Attribute("Name")) {
            file = target;
        } else {
            log->addError("Error in Project: PLCTrigger program not defined! Disabling trigger.");
            active = false;
        }
        Trigger trigger(active, signalType, channel, targetType, file);
        if (robotMaster != nullptr) {
            robotMaster->AddPLCTrigger(trigger);
        } else {
            readTriggers.push_back(trigger);
        }
    }
    const std::vector<PLCTrigger::PLCInterfaceTrigger> triggers =
        robotMaster != nullptr ? robotMaster->GetPLCTriggers() : readTriggers;
    log->addFormat("Project: %d PLC triggers loaded:", static_cast<int>(triggers.size()));
    for (size_t i = 0; i < triggers.size(); ++i) {
        log->addFormat("   Trigger %d: %s", static_cast<int>(i), triggers[i].ToString());
    }

    // ---- Operation modes ----
    const XMLElement* modes = root->FirstChildElement("OperationModes");
    if (modes == nullptr) {
        log->addError("Project: Line \"OperationModes\" not found in project file! OperationModes is not active!");
    } else {
        float maxVel = 0.0f;
        if (QueryFiniteFloat(modes, "ManualMaxVelMMPerSec", maxVel)) {
            log->ManualMaxVelMMPerSec = maxVel;
        } else {
            log->add("RobotMaster: attribute \"ManualMaxVelMMPerSec\" not found in line \"OperationModes\" of robot "
                     "ini file!");
        }
        int channel = 0;
        if (modes->QueryIntAttribute("DInOpModeAuto", &channel) == XML_SUCCESS) {
            log->DInOpModeAuto = channel;
        } else {
            log->add("RobotMaster: attribute \"DInOpModeAuto\" not found in line \"OperationModes\" of robot ini "
                     "file!");
        }
        if (modes->QueryIntAttribute("DInEnableMotionInManualMode", &channel) == XML_SUCCESS) {
            log->DInEnableMotionInManualMode = channel;
        } else {
            log->add("RobotMaster: attribute \"DInEnableMotionInManualMode\" not found in line \"OperationModes\" of "
                     "robot ini file!");
        }
        bool active = false;
        if (modes->QueryBoolAttribute("Active", &active) == XML_SUCCESS) {
            log->Active = active;
        } else {
            log->addError("RobotMaster: attribute \"Active\" not found in line \"OperationModes\" of robot ini file!");
        }
    }

    // ---- Cameras ----
    if (const XMLElement* cameras = root->FirstChildElement("Cameras")) {
        Camera::CameraManager::Instance()->Read(cameras);
    } else {
        log->addError("Project: Line \"Cameras\" not found in project file! Cameras not active!");
    }

    log->addFormat("PLC-Interface: Active = %d", plc.Active);
    log->addFormat("PLC-Interface: Inputs:  Enable=%d, Reference=%d, Play=%d, Pause=%d", plc.EnableNumber,
                   plc.RequestReferenceNumber, plc.PlayNumber, plc.PauseNumber);
    log->addFormat("PLC-Interface: Inputs: AltStart=%d, AltStop=%d", plc.AltStartNumber, plc.AltStopNumber);
    log->addFormat("PLC-Interface: Inputs: AddJoint=%d, AddLinear=%d, StartMission=%d", plc.AddJointNumber,
                   plc.AddLinearNumber, plc.StartMissionNumber);
    log->addFormat("PLC-Interface: Outputs: Fault=%d, NoFault=%d, Running=%d, NotRunning=%d, Referenced=%d",
                   plc.FaultNumber, plc.NoFaultNumber, plc.ProgramRunningNumber, plc.ProgramNotRunningNumber,
                   plc.RobotIsReferenced);
    log->addFormat("PLC-Interface: Outputs: PltfMissionRunning=%d", plc.MissionRunningNumber);
    log->addFormat("PLC-Interface: RefSequence: %d %d %d %d %d %d %d %d %d", plc.JointToRef0, plc.JointToRef1,
                   plc.JointToRef2, plc.JointToRef3, plc.JointToRef4, plc.JointToRef5, plc.JointToRef6,
                   plc.JointToRef7, plc.JointToRef8);
    log->addFormat("PLC-Interface: RefDelay: %d %d %d %d %d %d %d %d %d", plc.RefDelay0, plc.RefDelay1,
                   plc.RefDelay2, plc.RefDelay3, plc.RefDelay4, plc.RefDelay5, plc.RefDelay6, plc.RefDelay7,
                   plc.RefDelay8);

    // ---- Environment: Modbus server and cloud link ----
    const XMLElement* environment = root->FirstChildElement("Environment");
    if (environment == nullptr) return 0;

    if (const XMLElement* modbus = environment->FirstChildElement("ModbusServer")) {
        if (const char* active = modbus->Attribute("Active")) modbusActive = IsTrueText(active);
        modbusPort = QueryIntAttribOrDefault(modbus, "Port", 502);
        modbusMaxConnections = QueryIntAttribOrDefault(modbus, "MaxConnections", 5);
        log->add(modbusActive ? "Project: ModbusServer enabled" : "Project: ModbusServer not enabled");
    } else {
        log->addError("Project: Line \"ModbusServer\" not found in project file! ModbusServer not active!");
    }

    const XMLElement* cloudElement = environment->FirstChildElement("Cloud");
    if (cloudElement == nullptr) {
        log->add("Project: Line \"Cloud\" not found in project file! Cloud connection is not active!");
    } else if (cloudElement->Attribute("Credentials") == nullptr || cloudElement->Attribute("ClientID") == nullptr ||
               cloudElement->Attribute("RobotName") == nullptr || cloudElement->Attribute("RobotOwner") == nullptr) {
        log->add("Project: Line \"Cloud\" is incomplete! Cloud connection is not enabled!");
    } else {
        ProjectCloudSettings settings;
        settings.enabled = IsTrueText(cloudElement->Attribute("Active"));
        settings.encryptedCredentials = cloudElement->Attribute("Credentials");
        settings.clientId = cloudElement->Attribute("ClientID");
        settings.robotName = cloudElement->Attribute("RobotName");
        settings.robotOwner = cloudElement->Attribute("RobotOwner");
        settings.cameraEnvironment = TextOrEmpty(cloudElement->Attribute("CameraEnvironmentName"));
        settings.cameraWorkarea = TextOrEmpty(cloudElement->Attribute("CameraWorkareaName"));
        log->addFormat(
            "Project: Cloud connection: enabled='%s', clientID='%s', robotName='%s', robotOwner='%s', cam "
            "environment='%s', cam workarea='%s'",
            settings.enabled ? "true" : "false", settings.clientId, settings.robotName, settings.robotOwner,
            settings.cameraEnvironment, settings.cameraWorkarea);
        SetCloudSettings(settings);
    }
    return 0;
}
