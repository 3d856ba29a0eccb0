#pragma once
// The cameras of the cell, by name (compared without case). Additions,
// removals and clearing are queued and applied by the manager's own updater
// thread, which starts and stops the cameras, so callers never wait for a
// camera. Builds the cameras' remote-protocol lines and their part of the
// project file.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "vision/CameraInterface.h"
#include "vision/MonotonicClock.h"

class ProjectManager;
namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2

namespace Camera {

class CameraManager {
public:
    using CameraMap = std::map<std::string, std::shared_ptr<CameraInterface>>;

    struct ActionRequest {
        enum Type : int { Clear = 0, Remove = 1, Add = 2 };
        int type = Clear;
        std::string name;                        // remove: as the caller gave it
        std::shared_ptr<CameraInterface> camera;  // add
        // Queued by Read: the file already holds it, so no rewrite is asked for.
        bool fromProjectFile = false;
    };

    static CameraManager* Instance();

    // The process uses Instance(); tests build their own with a short updater
    // pause (1 s) and their own clock.
    explicit CameraManager(std::chrono::milliseconds updaterPause = std::chrono::milliseconds(1000),
                           MonotonicClock clock = MonotonicNow);
    // Ends and joins the updater.
    ~CameraManager();
    CameraManager(const CameraManager&) = delete;
    CameraManager& operator=(const CameraManager&) = delete;

    // Asked for a project-file rewrite after changes; null asks nobody.
    void SetProjectManager(ProjectManager* projectManager);
    ProjectManager* GetProjectManager() const;

    // Takes ownership of the camera at once and queues it; a camera already
    // stored under the same name is stopped and replaced when it is applied.
    void Add(CameraInterface* camera);
    void Remove(const std::string& name);
    void Clear();
    // The camera the name denotes once the pending requests are applied, or empty.
    std::shared_ptr<CameraInterface> Get(const std::string& name);
    // The stored camera, without a lock (for the updater, which holds the map lock).
    std::shared_ptr<CameraInterface> GetNoLock(const std::string& name);
    CameraMap GetCamerasAfterChanges();
    // Cameras in the map; pending requests are not counted.
    std::size_t Count() const { return mapCount; }

    // Configures the cameras from the project file's "Cameras" element.
    void Read(const tinyxml2::XMLElement* element);
    // A new "Cameras" element of the document; the caller inserts it.
    tinyxml2::XMLElement* Write(tinyxml2::XMLDocument& document);

    // "CAMINFO CameraResult" lines of the cameras that are due.
    std::vector<std::string> GetHXPResultStrings();
    // "CAMINFO CameraImage" lines, at most one a second per camera.
    std::vector<std::string> GetHXPImageStrings();
    // One "CONFIG Camera" line per camera.
    std::vector<std::string> GetHXPConfigStrings();
    // Console status of the cameras; empty when there is none.
    std::string GetCLIStateString();

    static std::string Key(const std::string& name);

private:
    void Updater();
    void Apply(const ActionRequest& request);
    void Queue(ActionRequest request);

    int resultInterval = 5;      // s
    int64_t imageInterval = 1000;  // ms
    std::atomic<ProjectManager*> projectManager{nullptr};

    mutable std::mutex mapMutex;
    CameraMap cameras;
    std::atomic<std::size_t> mapCount{0};

    std::mutex queueMutex;
    std::deque<ActionRequest> requests;

    std::chrono::milliseconds updaterPause;
    MonotonicClock clock;
    std::atomic<bool> running{true};
    std::mutex wakeMutex;
    std::condition_variable wake;
    std::thread updaterThread;
};

}  // namespace Camera
