#include "controller/ProjectManager.h"

#include <chrono>
#include <utility>
#include <exception>
#include <fstream>
#include <thread>
#include <tinyxml2.h>

#include "common/LogSingleton.h"

using tinyxml2::XMLElement;

ProjectManager::ProjectManager(Cloud::MqttClient* cloud) : cloud(cloud) {}

ProjectManager::~ProjectManager() = default;

int ProjectManager::OpenProject(ProjectTarget* robotMaster) {
    std::string name;
    const int result = ReadFrontend(name);
    if (result != 0) return result;
    return ReadProjectFile(name, robotMaster);
}

int ProjectManager::ReadFrontend(std::string& name) {
    LogSingleton* log = LogSingleton::instance();
    const std::string path = GetRootPath() + "VQTFrontend.xml";
    try {
        log->add("Reading VQTFrontend.xml...");
        if (!std::ifstream(path).is_open()) {
            log->addError("File " + path + " not available! Aborting read()");
            log->set_seriousFailReason("1 VQTFrontend.xml missing");
            log->set_opMode(opModeSeriousFail);
            return 1;
        }
        tinyxml2::XMLDocument document;
        const XMLElement* module = nullptr;
        if (document.LoadFile(path.c_str()) == tinyxml2::XML_SUCCESS) {
            module = document.FirstChildElement("VQTModule");
        }
        // A file without its root element is as unusable as one that does not parse.
        if (module == nullptr) {
            log->addError("Could not read file VQTFrontend.xml correctly! Aborting! " + path);
            log->set_seriousFailReason("2 VQTFrontend.xml not valid");
            log->set_opMode(opModeSeriousFail);
            return 2;
        }

        bool named = false;
        for (const XMLElement* child = module->FirstChildElement(); child != nullptr;
             child = child->NextSiblingElement()) {
            const std::string element = child->Name();
            if (element == "StartUp") {
                const char* project = child->Attribute("Project");
                if (project == nullptr) continue;
                name = project;
                named = true;
                log->add("");
                log->addFormat("ProjectManager: loading project %s", name);
                log->add("");
            } else if (element == "Logging") {
                int value = 0;
                // A negative count would turn into a huge unsigned one.
                if (child->QueryIntAttribute("FileCount", &value) == tinyxml2::XML_SUCCESS) {
                    if (value >= 0) {
                        log->SetLogFileCount(static_cast<unsigned int>(value));
                    } else {
                        log->addErrorFormat("ProjectManager: negative FileCount %d in VQTFrontend.xml ignored", value);
                    }
                }
                if (child->QueryIntAttribute("EntryCount", &value) == tinyxml2::XML_SUCCESS) {
                    if (value >= 0) {
                        log->SetMaxEntries(static_cast<unsigned int>(value));
                    } else {
                        log->addErrorFormat("ProjectManager: negative EntryCount %d in VQTFrontend.xml ignored", value);
                    }
                }
            }
        }

        if (!named) {
            log->addError(
                "Error: File VQTFrontend.xml did not contain the project information, missing tag \"Project\" in "
                "line \"StartUp\"?.");
            log->set_seriousFailReason("3 Project not named");
            log->set_opMode(opModeSeriousFail);
            return 3;
        }
        return 0;
    } catch (const std::exception& e) {
        log->addError("Could not read " + path + ": " + e.what());
        return 4;
    } catch (...) {
        log->addError("Could not read " + path + "!");
        return 5;
    }
}

bool ProjectManager::TranslateXmlError(int code, std::string& text) {
    // By enumerator, so the texts stay right whatever numbers the library gives them.
    switch (code) {
        case tinyxml2::XML_SUCCESS: text.clear(); return true;
        case tinyxml2::XML_NO_ATTRIBUTE: text = "no attribute"; break;
        case tinyxml2::XML_WRONG_ATTRIBUTE_TYPE: text = "wrong attribute type"; break;
        case tinyxml2::XML_ERROR_FILE_NOT_FOUND: text = "file not found"; break;
        case tinyxml2::XML_ERROR_FILE_COULD_NOT_BE_OPENED: text = "file could not be opened"; break;
        case tinyxml2::XML_ERROR_FILE_READ_ERROR: text = "file read error"; break;
        case tinyxml2::XML_ERROR_PARSING_ELEMENT: text = "error parsing element"; break;
        case tinyxml2::XML_ERROR_PARSING_ATTRIBUTE: text = "error parsing attribute"; break;
        case tinyxml2::XML_ERROR_PARSING_TEXT: text = "error parsing text"; break;
        case tinyxml2::XML_ERROR_PARSING_CDATA: text = "error parsing data"; break;
        case tinyxml2::XML_ERROR_PARSING_COMMENT: text = "error parsing comment"; break;
        case tinyxml2::XML_ERROR_PARSING_DECLARATION: text = "error parsing declaration"; break;
        case tinyxml2::XML_ERROR_PARSING_UNKNOWN: text = "error parsing unknown"; break;
        case tinyxml2::XML_ERROR_EMPTY_DOCUMENT: text = "empty document"; break;
        case tinyxml2::XML_ERROR_MISMATCHED_ELEMENT: text = "mismatched element"; break;
        case tinyxml2::XML_ERROR_PARSING: text = "error parsing"; break;
        case tinyxml2::XML_CAN_NOT_CONVERT_TEXT: text = "can not convert text"; break;
        case tinyxml2::XML_NO_TEXT_NODE: text = "no text node"; break;
        default: text = "unknown error"; break;
    }
    return false;
}

int ProjectManager::QueryIntAttribOrDefault(const XMLElement* element, const char* name, int defaultValue) {
    int value = defaultValue;
    if (element == nullptr || element->QueryIntAttribute(name, &value) != tinyxml2::XML_SUCCESS) return defaultValue;
    return value;
}

void ProjectManager::QueueUpdateProjectFile() {
    const int64_t now = static_cast<int64_t>(Now());
    int64_t none = 0;
    firstRequestTime.compare_exchange_strong(none, now);
    lastRequestTime.store(now);
}

void ProjectManager::UpdateConfiguration(ProjectTarget* robotMaster, bool force) {
    const int64_t now = static_cast<int64_t>(Now());
    std::unique_lock<std::mutex> lock(rewriteMutex, std::defer_lock);
    if (force) {
        // Before a power-off the last change must reach the disk: wait for a rewrite in progress.
        lock.lock();
    } else if (!lock.try_lock()) {
        return;  // another rewrite runs; the request stays pending
    }
    const int64_t first = firstRequestTime.load();
    if (first == 0) return;
    const bool due = force || now - first > rewriteMaxDelay || now - lastRequestTime.load() > rewriteQuietTime;
    if (!due) return;
    // Cleared before writing, so a request made during the rewrite starts a new cycle.
    firstRequestTime.store(0);
    lastRequestTime.store(0);
    UpdateProjectFile(robotMaster);
}

ProjectCloudSettings ProjectManager::GetCloudSettings() const {
    std::lock_guard<std::mutex> lock(rewriteMutex);
    return cloudSettings;
}

void ProjectManager::SetCloudSettings(const ProjectCloudSettings& settings) {
    std::lock_guard<std::mutex> lock(rewriteMutex);
    cloudSettings = settings;
}

void ProjectManager::wait(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void ProjectManager::SetClock(Clock newClock) {
    clock = std::move(newClock);
}

void ProjectManager::SetRootPath(const std::string& path) {
    rootPath = path;
    if (!rootPath.empty() && rootPath.back() != '/') rootPath += '/';
}

std::string ProjectManager::GetRootPath() const {
    return rootPath.empty() ? LogSingleton::instance()->get_rootPath() : rootPath;
}

std::time_t ProjectManager::Now() const {
    return clock ? clock() : std::time(nullptr);
}
