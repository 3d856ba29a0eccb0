// Writing the current settings back into the project file.

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <tinyxml2.h>
#include <unistd.h>
#include <vector>

#include "cloud/MqttClient.h"
#include "common/Filesystem.h"
#include "common/LogSingleton.h"
#include "controller/ProjectManager.h"
#include "controller/ProjectTarget.h"
#include "server/ModbusServer.h"
#include "vision/CameraManager.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

namespace {

const char* TrueFalse(bool value) {
    return value ? "True" : "False";
}

// The named child of parent; when missing, a new one inserted after `after`
// (first child when `after` is null).
XMLElement* FindOrInsertAfter(XMLDocument& document, XMLElement* parent, const char* name, XMLNode* after) {
    if (XMLElement* found = parent->FirstChildElement(name)) return found;
    XMLElement* created = document.NewElement(name);
    if (after == nullptr) {
        parent->InsertFirstChild(created);
    } else {
        parent->InsertAfterChild(after, created);
    }
    return created;
}

XMLElement* FindOrAppend(XMLDocument& document, XMLElement* parent, const char* name) {
    if (XMLElement* found = parent->FirstChildElement(name)) return found;
    return parent->InsertEndChild(document.NewElement(name))->ToElement();
}

void DeleteAll(XMLElement* parent, const char* name) {
    while (XMLElement* element = parent->FirstChildElement(name)) parent->DeleteChild(element);
}

XMLElement* LastOf(XMLElement* parent, const char* name) {
    return parent->LastChildElement(name);
}

}  // namespace

void ProjectManager::UpdateProjectFile(ProjectTarget* robotMaster) {
    LogSingleton* log = LogSingleton::instance();
    // Without a project there is nothing to update; parsing an empty path would
    // replace the reason the project could not be opened.
    if (projectFile.empty()) {
        log->addError("ProjectManager: No project file loaded, project file not updated");
        return;
    }
    wait(100);
    try {
        XMLDocument document;
        const tinyxml2::XMLError parsed = document.LoadFile(projectFile.c_str());
        if (parsed != tinyxml2::XML_SUCCESS) {
            std::string text;
            TranslateXmlError(parsed, text);
            log->addError("Updating project: Could not parse project file '" + projectFile + "' correctly: " + text);
            log->set_seriousFailReason("10 .prj file corrupt");
            log->set_opMode(opModeSeriousFail);
            return;
        }
        XMLElement* root = document.FirstChildElement("ProjectFile");
        if (root == nullptr) {
            log->addError("ProjectManager: Line ProjectFile not found in project file!");
            log->set_seriousFailReason("11 .prj file corrupt");
            log->set_opMode(opModeSeriousFail);
            return;
        }

        // ---- Robot, Program, VirtualBox ----
        XMLElement* robot = FindOrInsertAfter(document, root, "Robot", nullptr);
        robot->SetAttribute("Tool", log->get_robotGripper().c_str());
        XMLNode* insertionPoint = robot;

        if (robotMaster != nullptr) {
            XMLElement* program = FindOrInsertAfter(document, root, "Program", robot);
            const std::string file = robotMaster->GetProgramFile();
            if (!file.empty()) {
                program->SetAttribute("File", file.c_str());
                log->addFormat("ProjectManager: Start program set to %s, override %.1lf, repeat %d", file,
                               robotMaster->GetOverride(), robotMaster->GetReplayMode());
            } else {
                program->SetAttribute("File", "");
                log->addError("ProjectManager: No start file set");
            }
            program->SetAttribute("FileLogic", robotMaster->GetLogicProgramFile().c_str());
            program->SetAttribute("Repeat", TrueFalse(robotMaster->GetReplayMode() == 1));
            program->SetAttribute("Override", robotMaster->GetOverride());
            program->SetAttribute("DefaultState", robotMaster->GetProgramDefaultState() != 0 ? 1 : 0);
            insertionPoint = program;

            bool boxActive = false;
            DataTypes::Vector3 boxMin;
            DataTypes::Vector3 boxMax;
            if (robotMaster->GetVirtualBox(boxActive, boxMin, boxMax)) {
                XMLElement* box = FindOrInsertAfter(document, root, "VirtualBox", program);
                box->SetAttribute("active", TrueFalse(boxActive));
                box->SetAttribute("xMin", boxMin.x);
                box->SetAttribute("xMax", boxMax.x);
                box->SetAttribute("yMin", boxMin.y);
                box->SetAttribute("yMax", boxMax.y);
                box->SetAttribute("zMin", boxMin.z);
                box->SetAttribute("zMax", boxMax.z);
            }
        } else if (XMLElement* program = root->FirstChildElement("Program")) {
            insertionPoint = program;
        }
        if (XMLElement* box = root->FirstChildElement("VirtualBox")) insertionPoint = box;

        // ---- External axes ----
        if (robotMaster != nullptr) {
            DeleteAll(root, "ExternalAxis");
            for (int slot = 0; slot < 3; ++slot) {
                if (!robotMaster->HasExternalAxis(slot)) continue;
                const ExternalAxis axis = robotMaster->GetExternalAxis(slot);
                XMLElement* element = document.NewElement("ExternalAxis");
                root->InsertAfterChild(insertionPoint, element);
                insertionPoint = element;
                if (axis.flag) element->SetAttribute("Name", axis.text.c_str());
                element->SetAttribute("Type", axis.name.c_str());
                element->SetAttribute("Kinematic", ExternalAxis::KinematicToString(axis.kinematic).c_str());
                // Written for named axes too: the reader takes the slot and the limits from these.
                element->SetAttribute("Number", axis.index);
                element->SetAttribute("ID", axis.canId);
                element->SetAttribute("MotionMode", ExternalAxis::MotionModeToString(axis.motionMode).c_str());
                element->SetAttribute("GearScale", axis.gearScale);
                element->SetAttribute("Min", axis.min);
                element->SetAttribute("Max", axis.max);
                element->SetAttribute("VelMax", axis.velMax);
                element->SetAttribute("Acc", axis.acc);
                element->SetAttribute("AccInc", axis.accInc);
                element->SetAttribute("DirectionAngleToY", axis.directionAngleToY);
                element->SetAttribute("lz0", axis.lz0);
                element->SetAttribute("Dir", axis.dir);
                element->SetAttribute("Offset", axis.offset);
            }
        } else if (XMLElement* last = LastOf(root, "ExternalAxis")) {
            insertionPoint = last;
        }

        // ---- Digital I/O modules ----
        uint8_t ids[3] = {0, 0, 0};
        if (robotMaster != nullptr && robotMaster->GetDIOModuleIDs(ids[0], ids[1], ids[2])) {
            std::vector<XMLElement*> modules;
            for (XMLElement* e = root->FirstChildElement("DIOModule"); e != nullptr;
                 e = e->NextSiblingElement("DIOModule")) {
                modules.push_back(e);
            }
            for (size_t k = 0; k < 3; ++k) {
                XMLElement* element = k < modules.size() ? modules[k] : nullptr;
                if (ids[k] == 0) {
                    if (element != nullptr) root->DeleteChild(element);
                    continue;
                }
                if (element == nullptr) {
                    element = document.NewElement("DIOModule");
                    root->InsertAfterChild(insertionPoint, element);
                }
                element->SetAttribute("ID", static_cast<unsigned int>(ids[k]));
                insertionPoint = element;
            }
        } else if (XMLElement* last = LastOf(root, "DIOModule")) {
            insertionPoint = last;
        }

        // ---- Output states ----
        if (robotMaster != nullptr) {
            DeleteAll(root, "DOut");
            for (int channel = 0; channel < 64; ++channel) {
                const DOutTargetState onReset = robotMaster->GetDOutOnReset(channel);
                const DOutTargetState onError = robotMaster->GetDOutOnError(channel);
                if (onReset == DOutTargetState::NoChange && onError == DOutTargetState::NoChange) continue;
                XMLElement* element = document.NewElement("DOut");
                root->InsertAfterChild(insertionPoint, element);
                // Moving on keeps the outputs in number order.
                insertionPoint = element;
                element->SetAttribute("Number", channel);
                element->SetAttribute("Name", "");
                element->SetAttribute("ResetState", DOutTargetStateToString(onReset).c_str());
                element->SetAttribute("ErrorState", DOutTargetStateToString(onError).c_str());
            }
        } else if (XMLElement* last = LastOf(root, "DOut")) {
            insertionPoint = last;
        }

        // ---- PLC interface ----
        const PLCInterfaceSettings& plc = log->get_plcInterfaceNr();
        XMLElement* plcInterface = FindOrInsertAfter(document, root, "PLCInterface", insertionPoint);
        plcInterface->SetAttribute("Active", plc.Active ? "true" : "false");
        plcInterface->SetAttribute("AutoConnect", plc.AutoConnect ? "true" : "false");
        XMLElement* in = FindOrInsertAfter(document, root, "PLCInterfaceIn", plcInterface);
        in->SetAttribute("EnableNumber", plc.EnableNumber);
        in->SetAttribute("PlayNumber", plc.PlayNumber);
        in->SetAttribute("PauseNumber", plc.PauseNumber);
        in->SetAttribute("AltStartNumber", plc.AltStartNumber);
        in->SetAttribute("AltStopNumber", plc.AltStopNumber);
        in->SetAttribute("RequestReferenceNumber", plc.RequestReferenceNumber);
        in->SetAttribute("ShutdownNumber", plc.ShutdownNumber);
        in->SetAttribute("AddJointNumber", plc.AddJointNumber);
        in->SetAttribute("AddLinearNumber", plc.AddLinearNumber);
        in->SetAttribute("StartMissionNumber", plc.StartMissionNumber);
        XMLElement* out = FindOrInsertAfter(document, root, "PLCInterfaceOut", in);
        out->SetAttribute("NoFaultNumber", plc.NoFaultNumber);
        out->SetAttribute("FaultNumber", plc.FaultNumber);
        out->SetAttribute("ProgramRunningNumber", plc.ProgramRunningNumber);
        out->SetAttribute("ProgramNotRunningNumber", plc.ProgramNotRunningNumber);
        out->SetAttribute("RobotIsReferenced", plc.RobotIsReferenced);
        out->SetAttribute("MissionRunningNumber", plc.MissionRunningNumber);
        insertionPoint = out;

        // ---- PLC triggers ----
        if (robotMaster != nullptr) {
            DeleteAll(root, "PLCTrigger");
            for (const PLCTrigger::PLCInterfaceTrigger& trigger : robotMaster->GetPLCTriggers()) {
                XMLElement* element = document.NewElement("PLCTrigger");
                root->InsertAfterChild(insertionPoint, element);
                insertionPoint = element;
                element->SetAttribute("Active", TrueFalse(trigger.IsActive()));
                element->SetAttribute(
                    trigger.GetSignalType() == PLCTrigger::PLCInterfaceTrigger::GSig ? "GSig" : "DIn",
                    trigger.GetChannel());
                element->SetAttribute(
                    "Type", trigger.GetTargetType() == PLCTrigger::PLCInterfaceTrigger::Mission ? "Mission" : "Program");
                element->SetAttribute("Name", trigger.GetTargetFileRelative().c_str());
            }
        }

        // ---- Cameras, Modbus server and cloud link ----
        // The caller holds the rewrite lock, which guards the cloud settings.
        ProjectCloudSettings cloudValues = cloudSettings;
        // The cloud client holds the values changed at run time.
        if (cloud != nullptr) {
            cloudValues.enabled = cloud->IsEnabled();
            cloudValues.encryptedCredentials = cloud->GetEncryptedCredentials();
            cloudValues.clientId = cloud->GetClientId();
            cloudValues.robotName = cloud->GetRobotName();
            cloudValues.robotOwner = cloud->GetRobotOwner();
            cloudValues.cameraEnvironment = cloud->GetCameraEnvironment();
            cloudValues.cameraWorkarea = cloud->GetCameraWorkarea();
        }
        DeleteAll(root, "Cameras");
        // The cameras as they stand now, changes made at run time included.
        if (XMLElement* cameras = Camera::CameraManager::Instance()->Write(document)) root->InsertEndChild(cameras);

        XMLElement* environment = FindOrAppend(document, root, "Environment");
        XMLElement* modbus = FindOrAppend(document, environment, "ModbusServer");
        modbus->SetAttribute("Active", TrueFalse(modbusActive));
        // From the server itself, so a port changed at run time is not put back.
        const Modbus::ModbusServer* server = modbusServer.load();
        modbus->SetAttribute("Port", server != nullptr ? server->GetPort() : modbusPort.load());
        modbus->SetAttribute("MaxConnections",
                             server != nullptr ? static_cast<int>(server->GetMaxConnections()) : modbusMaxConnections.load());
        XMLElement* cloudElement = FindOrAppend(document, environment, "Cloud");
        cloudElement->SetAttribute("Active", TrueFalse(cloudValues.enabled));
        cloudElement->SetAttribute("Credentials", cloudValues.encryptedCredentials.c_str());
        cloudElement->SetAttribute("ClientID", cloudValues.clientId.c_str());
        cloudElement->SetAttribute("RobotName", cloudValues.robotName.c_str());
        cloudElement->SetAttribute("RobotOwner", cloudValues.robotOwner.c_str());
        cloudElement->SetAttribute("CameraEnvironmentName", cloudValues.cameraEnvironment.c_str());
        cloudElement->SetAttribute("CameraWorkareaName", cloudValues.cameraWorkarea.c_str());

        CommitProjectFile(document);
        log->addFormat("ProjectManager: Project file %s updated", projectFile);
    } catch (const std::exception& e) {
        log->addError(std::string("ProjectManager: Error while updating project file: ") + e.what());
    }
}

void ProjectManager::CommitProjectFile(XMLDocument& document) {
    // The old file stays in place until the complete new one is renamed over
    // it, so a crash or a failed write never leaves the project without a file.
    const Filesystem::AtomicWriteResult written = Filesystem::WriteAtomically(
        projectFile, [&](std::FILE* file) { return document.SaveFile(file, false) == tinyxml2::XML_SUCCESS; });
    if (!written.ok) {
        throw std::runtime_error(written.moveFailed ? "Could not move temporary file" : "Could not write temporary file");
    }
    sync();
}
