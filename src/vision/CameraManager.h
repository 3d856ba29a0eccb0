#pragma once
// The cameras of the cell, by name. Configuring, starting and serving the
// cameras join this class later; until then it holds no camera and starts no
// thread.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vision/CameraInterface.h"

class ProjectManager;
namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace Camera {

class CameraManager {
public:
    static CameraManager* Instance();

    ~CameraManager();
    CameraManager(const CameraManager&) = delete;
    CameraManager& operator=(const CameraManager&) = delete;

    // Used to ask for project-file rewrites when camera settings change.
    void SetProjectManager(ProjectManager* projectManager);
    ProjectManager* GetProjectManager() const;

    void Add(CameraInterface* camera);
    void Remove(const std::string& name);
    void Clear();
    // The camera of that name (compared without case), or an empty pointer.
    std::shared_ptr<CameraInterface> Get(const std::string& name);
    std::size_t Count() const;

    // Configures the cameras from the project file's "Cameras" element.
    void Read(const tinyxml2::XMLElement* element);
    // A new "Cameras" element of the document, or null.
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document);

    std::vector<std::string> GetHXPResultStrings();
    std::vector<std::string> GetHXPImageStrings();
    std::vector<std::string> GetHXPConfigStrings();
    // Console status of the cameras; empty when there is none.
    std::string GetCLIStateString();

private:
    CameraManager() = default;

    mutable std::mutex m_MapMutex;
    std::map<std::string, std::shared_ptr<CameraInterface>> m_Cameras;
    ProjectManager* m_ProjectManager = nullptr;
};

}  // namespace Camera
