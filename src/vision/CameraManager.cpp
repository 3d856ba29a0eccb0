#include "vision/CameraManager.h"

#include <sstream>

#include <tinyxml2.h>

#include "common/LogSingleton.h"
#include "controller/ProjectManager.h"
#include "vision/CameraBinPicking.h"
#include "vision/CameraIFMO2D.h"
#include "vision/CameraSimulated.h"
#include "vision/CameraUSB.h"

namespace Camera {

std::string CameraManager::Key(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

CameraManager* CameraManager::Instance() {
    static CameraManager instance;
    return &instance;
}

CameraManager::CameraManager(std::chrono::milliseconds pause, MonotonicClock monotonicClock)
    : updaterPause(pause), clock(std::move(monotonicClock)) {
    updaterThread = std::thread(&CameraManager::Updater, this);
}

CameraManager::~CameraManager() {
    {
        std::lock_guard<std::mutex> lock(wakeMutex);
        running = false;
    }
    wake.notify_all();
    if (updaterThread.joinable()) updaterThread.join();
}

void CameraManager::SetProjectManager(ProjectManager* manager) { projectManager = manager; }

ProjectManager* CameraManager::GetProjectManager() const { return projectManager; }

void CameraManager::Queue(ActionRequest request) {
    std::lock_guard<std::mutex> lock(queueMutex);
    requests.push_back(std::move(request));
}

void CameraManager::Add(CameraInterface* camera) {
    if (camera == nullptr) return;
    ActionRequest request;
    request.type = ActionRequest::Add;
    request.camera.reset(camera);
    Queue(std::move(request));
}

void CameraManager::Remove(const std::string& name) {
    ActionRequest request;
    request.type = ActionRequest::Remove;
    request.name = name;
    Queue(std::move(request));
}

void CameraManager::Clear() { Queue(ActionRequest()); }

std::shared_ptr<CameraInterface> CameraManager::Get(const std::string& name) {
    const std::string key = Key(name);
    std::shared_ptr<CameraInterface> result;
    std::lock_guard<std::mutex> mapLock(mapMutex);
    std::lock_guard<std::mutex> queueLock(queueMutex);
    auto found = cameras.find(key);
    if (found != cameras.end()) result = found->second;
    for (const ActionRequest& request : requests) {
        switch (request.type) {
            case ActionRequest::Clear: result.reset(); break;
            case ActionRequest::Remove:
                if (Key(request.name) == key) result.reset();
                break;
            case ActionRequest::Add:
                if (Key(request.camera->GetName()) == key) result = request.camera;
                break;
            default: break;
        }
    }
    return result;
}

std::shared_ptr<CameraInterface> CameraManager::GetNoLock(const std::string& name) {
    auto found = cameras.find(Key(name));
    return found == cameras.end() ? nullptr : found->second;
}

CameraManager::CameraMap CameraManager::GetCamerasAfterChanges() {
    CameraMap copy;
    std::deque<ActionRequest> pending;
    {
        std::lock_guard<std::mutex> mapLock(mapMutex);
        std::lock_guard<std::mutex> queueLock(queueMutex);
        copy = cameras;
        pending = requests;
    }
    for (const ActionRequest& request : pending) {
        switch (request.type) {
            case ActionRequest::Clear: copy.clear(); break;
            case ActionRequest::Remove: copy.erase(Key(request.name)); break;
            case ActionRequest::Add: copy[Key(request.camera->GetName())] = request.camera; break;
            default: break;
        }
    }
    return copy;
}

void CameraManager::Updater() {
    bool changed = false;
    // Waits first: requests queued at start-up are applied together.
    {
        std::unique_lock<std::mutex> lock(wakeMutex);
        wake.wait_for(lock, updaterPause, [this] { return !running; });
    }
    while (running) {
        ActionRequest request;
        bool pending = false;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            if (!requests.empty()) {
                request = requests.front();
                pending = true;
            }
        }
        if (pending) {
            Apply(request);
            // Taken off only now, so Get sees either the request or its result.
            std::lock_guard<std::mutex> lock(queueMutex);
            requests.pop_front();
            if (!request.fromProjectFile) changed = true;
            continue;
        }
        if (changed) {
            if (ProjectManager* manager = projectManager) manager->QueueUpdateProjectFile();
            changed = false;
        }
        std::unique_lock<std::mutex> lock(wakeMutex);
        wake.wait_for(lock, updaterPause, [this] { return !running; });
    }
}

void CameraManager::Apply(const ActionRequest& request) {
    LogSingleton* log = LogSingleton::instance();
    switch (request.type) {
        case ActionRequest::Add: {
            const std::shared_ptr<CameraInterface>& camera = request.camera;
            log->addFormat("Adding camera %s", camera->GetName());
            std::shared_ptr<CameraInterface> replaced;
            {
                std::lock_guard<std::mutex> lock(mapMutex);
                std::shared_ptr<CameraInterface>& slot = cameras[Key(camera->GetName())];
                replaced = slot;
                slot = camera;
                mapCount = cameras.size();
            }
            // The old camera's threads end before the new one starts (they may share a device).
            if (replaced && replaced != camera) replaced->Stop();
            replaced.reset();
            camera->Start();
            log->addFormat("Camera %s added", camera->GetName());
            break;
        }
        case ActionRequest::Clear: {
            log->add("Clearing cameras");
            CameraMap taken;
            {
                std::lock_guard<std::mutex> lock(mapMutex);
                taken.swap(cameras);
                mapCount = 0;
            }
            for (auto& entry : taken) entry.second->Stop();
            log->add("Cameras cleared");
            break;
        }
        case ActionRequest::Remove: {
            std::shared_ptr<CameraInterface> camera;
            {
                std::lock_guard<std::mutex> lock(mapMutex);
                camera = GetNoLock(request.name);
                if (camera) {
                    log->addFormat("Removing camera %s", request.name);
                    cameras.erase(Key(request.name));
                    mapCount = cameras.size();
                }
            }
            if (camera) {
                camera->Stop();
                log->addFormat("Camera %s removed", request.name);
            }
            break;
        }
        default: break;
    }
}

void CameraManager::Read(const tinyxml2::XMLElement* element) {
    if (element == nullptr) return;
    LogSingleton* log = LogSingleton::instance();
    ActionRequest clear;
    clear.fromProjectFile = true;
    Queue(std::move(clear));
    for (const tinyxml2::XMLElement* entry = element->FirstChildElement("HwCamera"); entry != nullptr;
         entry = entry->NextSiblingElement()) {
        const char* type = entry->Attribute("Type");
        const char* name = entry->Attribute("Name");
        if (type == nullptr || name == nullptr) {
            log->addError("Camera manager: Could not read camera, invalid tag");
            continue;
        }
        const std::string typeText = type;
        std::unique_ptr<CameraInterface> camera;
        if (typeText == CameraSimulated::TYPE_ID) {
            camera = std::make_unique<CameraSimulated>(name);
        } else if (typeText == CameraUSB::TYPE_ID) {
            camera = std::make_unique<CameraUSB>(name, 0);
        } else if (typeText == CameraIFMO2D::TYPE_ID) {
            camera = std::make_unique<CameraIFMO2D>(name);
        } else if (typeText == CameraBinPicking::TYPE_ID) {
            camera = std::make_unique<CameraBinPicking>(name);
        } else {
            log->addError(std::string("Camera manager: Could not read camera '") + name + "': unknown type '" +
                          typeText + "'");
            continue;
        }
        // The cameras read their element but never change it.
        if (camera->Read(const_cast<tinyxml2::XMLElement&>(*entry)) != 0) {
            log->addError(std::string("Camera manager: Could not read camera '") + name + "'");
            continue;
        }
        ActionRequest add;
        add.type = ActionRequest::Add;
        add.camera.reset(camera.release());
        add.fromProjectFile = true;
        Queue(std::move(add));
    }
}

tinyxml2::XMLElement* CameraManager::Write(tinyxml2::XMLDocument& document) {
    tinyxml2::XMLElement* section = document.NewElement("Cameras");
    for (auto& entry : GetCamerasAfterChanges()) {
        if (tinyxml2::XMLElement* camera = entry.second->Write(document)) section->InsertEndChild(camera);
    }
    return section;
}

std::vector<std::string> CameraManager::GetHXPResultStrings() {
    std::vector<std::string> lines;
    if (Count() == 0) return lines;
    const int32_t now = static_cast<int32_t>(clock().tv_sec);
    std::lock_guard<std::mutex> lock(mapMutex);
    for (auto& entry : cameras) {
        CameraInterface& camera = *entry.second;
        if (!camera.newResult && now - camera.lastResultLine <= resultInterval) continue;
        camera.newResult = false;
        camera.lastResultLine = now;
        DataTypes::Vector3 position, orientation;
        int modelClass = -1;
        camera.GetTargetPos(position, orientation, modelClass);
        std::ostringstream line;
        line << "CAMINFO CameraResult " << camera.GetTypeId() << ' ' << camera.GetName() << ' '
             << camera.GetStatusString() << ' ' << position.x << ' ' << position.y << ' ' << position.z << ' '
             << orientation.x << ' ' << orientation.y << ' ' << orientation.z << ' ' << modelClass;
        lines.push_back(line.str());
    }
    return lines;
}

std::vector<std::string> CameraManager::GetHXPImageStrings() {
    std::vector<std::string> lines;
    if (Count() == 0) return lines;
    const int64_t now = ToMilliseconds(clock());
    std::lock_guard<std::mutex> lock(mapMutex);
    for (auto& entry : cameras) {
        CameraInterface& camera = *entry.second;
        if (!camera.newEncodedImage || static_cast<uint64_t>(now - camera.lastImageLine) <=
                                           static_cast<uint64_t>(imageInterval))
            continue;
        std::ostringstream line;
        line << "CAMINFO CameraImage " << camera.GetName() << ' ';
        const std::size_t length = camera.GetEncodedImage(line);
        camera.newEncodedImage = false;
        camera.lastImageLine = now;
        if (length == 0) line << "NOIMAGE";
        lines.push_back(line.str());
    }
    return lines;
}

std::vector<std::string> CameraManager::GetHXPConfigStrings() {
    std::vector<std::string> lines;
    const CameraMap all = GetCamerasAfterChanges();
    const int count = static_cast<int>(Count());
    for (const auto& entry : all) {
        if (entry.second) lines.push_back(entry.second->GetHXPConfigString(count));
    }
    return lines;
}

std::string CameraManager::GetCLIStateString() {
    if (Count() == 0) return std::string();
    std::string text;
    std::lock_guard<std::mutex> lock(mapMutex);
    for (auto& entry : cameras) {
        DataTypes::Vector3 position, orientation;
        int modelClass = 0;
        entry.second->GetTargetPos(position, orientation, modelClass);
        text += "   Cam: " + entry.second->GetStatusString() + " Pos " + position.ToString() + ", Ori " +
                orientation.ToString() + " Mod " + std::to_string(modelClass);
    }
    return text;
}

}  // namespace Camera
