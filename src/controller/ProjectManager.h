#pragma once
// Finds the current project through the front-end file, reads the project
// file once at start-up and writes changed settings back. Rewrites are
// coalesced: any thread may queue one; the main loop performs it once the
// requests have settled (or at once when forced).

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "controller/ProjectCloudSettings.h"

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}  // namespace tinyxml2
namespace Cloud {
class MqttClient;
}  // namespace Cloud
namespace Modbus {
class ModbusServer;
}  // namespace Modbus
class ProjectTarget;

class ProjectManager {
public:
    // Wall-clock seconds, like time(); replaceable so tests need not sleep.
    using Clock = std::function<std::time_t()>;

    explicit ProjectManager(Cloud::MqttClient* cloud = nullptr);
    ~ProjectManager();
    ProjectManager(const ProjectManager&) = delete;
    ProjectManager& operator=(const ProjectManager&) = delete;

    // Front-end file, then the project file it names; 0 on success.
    int OpenProject(ProjectTarget* robotMaster);
    // 0, or 1 missing, 2 not valid, 3 no project named, 4/5 exception caught.
    int ReadFrontend(std::string& name);
    // 0, or 1 to 6 (the serious-fail reason tells which line failed).
    int ReadProjectFile(const std::string& projectName, ProjectTarget* robotMaster);

    // Marks the project file dirty; no lock, callable from any thread.
    void QueueUpdateProjectFile();
    // Rewrites when a request is pending and forced, or its time has come.
    // Unforced, it returns at once when another rewrite holds the lock;
    // forced, it waits for that rewrite and then writes what is still pending.
    void UpdateConfiguration(ProjectTarget* robotMaster, bool force);
    // Writes the current settings into the project file; call with the rewrite lock held.
    void UpdateProjectFile(ProjectTarget* robotMaster);

    static bool TranslateXmlError(int code, std::string& text);
    static int QueryIntAttribOrDefault(const tinyxml2::XMLElement* element, const char* name, int defaultValue);
    static void wait(int ms);

    // ---- Seams ----
    void SetClock(Clock clock);
    // Root directory with a trailing slash; empty uses the log's root path.
    void SetRootPath(const std::string& rootPath);
    std::string GetRootPath() const;

    const std::string& GetProjectFile() const { return projectFile; }
    bool IsRewritePending() const { return firstRequestTime.load() != 0; }
    Cloud::MqttClient* GetCloudClient() const { return cloud; }

    // ---- Values of the project file that main and the servers use ----
    std::string startProgram;
    std::string logicStartFile;
    float startOverride = 40.0f;
    bool startRepeat = false;
    std::atomic<bool> modbusActive{false};
    // Handed to the Modbus server at start-up; the server keeps them current.
    std::atomic<int32_t> modbusPort{502};
    std::atomic<int32_t> modbusMaxConnections{5};
    // The server whose current port and limit a rewrite writes (a remote
    // change included); without one the values read at start-up are written.
    void SetModbusServer(Modbus::ModbusServer* server) { modbusServer = server; }
    // Cloud link settings: filled by the reader for the cloud client, which
    // hands changed values back here and queues a rewrite; the rewrite writes
    // what is stored here. Guarded by the rewrite lock, so not to be called
    // from inside a rewrite. (The cameras live in the camera manager, which
    // reads and writes their element itself.)
    ProjectCloudSettings GetCloudSettings() const;
    void SetCloudSettings(const ProjectCloudSettings& settings);

private:
    std::time_t Now() const;
    void CommitProjectFile(tinyxml2::XMLDocument& document);

    std::string projectFile;
    int32_t rewriteMaxDelay = 15;
    int32_t rewriteQuietTime = 3;
    std::atomic<int64_t> firstRequestTime{0};
    std::atomic<int64_t> lastRequestTime{0};
    // Held during a rewrite; also guards cloudSettings.
    mutable std::mutex rewriteMutex;
    Cloud::MqttClient* cloud;
    ProjectCloudSettings cloudSettings;
    std::atomic<Modbus::ModbusServer*> modbusServer{nullptr};

    Clock clock;
    std::string rootPath;
};
