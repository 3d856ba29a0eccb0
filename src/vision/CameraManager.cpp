#include "vision/CameraManager.h"

#include <cctype>

namespace Camera {

namespace {

std::string Key(const std::string& name) {
    std::string key = name;
    for (char& c : key)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return key;
}

}  // namespace

CameraManager* CameraManager::Instance() {
    static CameraManager instance;
    return &instance;
}

CameraManager::~CameraManager() = default;

void CameraManager::SetProjectManager(ProjectManager* projectManager) {
    std::lock_guard<std::mutex> lock(m_MapMutex);
    m_ProjectManager = projectManager;
}

ProjectManager* CameraManager::GetProjectManager() const {
    std::lock_guard<std::mutex> lock(m_MapMutex);
    return m_ProjectManager;
}

void CameraManager::Add(CameraInterface* camera) {
    if (camera == nullptr) return;
    std::shared_ptr<CameraInterface> owned(camera);
    std::lock_guard<std::mutex> lock(m_MapMutex);
    m_Cameras[Key(owned->GetName())] = owned;
}

void CameraManager::Remove(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_MapMutex);
    m_Cameras.erase(Key(name));
}

void CameraManager::Clear() {
    std::lock_guard<std::mutex> lock(m_MapMutex);
    m_Cameras.clear();
}

std::shared_ptr<CameraInterface> CameraManager::Get(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_MapMutex);
    auto it = m_Cameras.find(Key(name));
    return it == m_Cameras.end() ? nullptr : it->second;
}

std::size_t CameraManager::Count() const {
    std::lock_guard<std::mutex> lock(m_MapMutex);
    return m_Cameras.size();
}

void CameraManager::Read(const tinyxml2::XMLElement* /*element*/) {
    // Building the configured cameras joins here with the camera drivers.
}

tinyxml2::XMLElement* CameraManager::Write(tinyxml2::XMLDocument& /*document*/) { return nullptr; }

std::vector<std::string> CameraManager::GetHXPResultStrings() { return {}; }

std::vector<std::string> CameraManager::GetHXPImageStrings() { return {}; }

std::vector<std::string> CameraManager::GetHXPConfigStrings() { return {}; }

std::string CameraManager::GetCLIStateString() { return std::string(); }

}  // namespace Camera
