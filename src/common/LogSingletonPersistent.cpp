// Persistent counters of the log singleton and their file "variableStorage.xml".

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <tinyxml2.h>

#include "common/LogSingleton.h"

#include "common/Filesystem.h"

namespace {

// A whole decimal 32-bit number, nothing else but surrounding blanks.
bool ParseInt(const char* text, int32_t* value) {
    if (text == nullptr) return false;
    errno = 0;
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE) return false;
    while (std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (*end != '\0') return false;
    if (parsed < INT32_MIN || parsed > INT32_MAX) return false;
    *value = static_cast<int32_t>(parsed);
    return true;
}

// Adds milliseconds to an accumulator and carries one full minute per call.
void AddMilliseconds(std::atomic<int32_t>& accumulator, std::atomic<int32_t>& minutes, int amount) {
    int32_t value = accumulator.load(std::memory_order_relaxed) + amount;
    if (value > 59999) {
        minutes.fetch_add(1, std::memory_order_relaxed);
        value -= 60000;
    }
    accumulator.store(value, std::memory_order_relaxed);
}

}  // namespace

void LogSingleton::ReadVariablesFromStorage() {
    std::lock_guard<std::mutex> storageLock(m_StorageMutex);
    const std::string path = get_rootPath() + m_PersistentFileName;
    addFormat("Reading persistent variables from %s", path);

    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        addError("ERROR - variable Storage file not found - reseting persistent variables!");
        return;
    }
    std::fclose(file);

    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        addError("Could not read file storage file correctly! Reseting persistent variables!");
        return;
    }
    const tinyxml2::XMLElement* data = doc.FirstChildElement("Data");
    if (data == nullptr) {
        addError("LogSingleton: line Data not found in variableStorage file!");
        return;
    }
    const tinyxml2::XMLElement* system = data->FirstChildElement("SystemVariables");
    if (system == nullptr) {
        addError("LogSingleton: line SystemVariables not found in variableStorage file!");
        return;
    }

    struct UpTime {
        const char* name;
        const char* line;
        std::atomic<int32_t>* counter;
    };
    const UpTime upTimes[] = {
        {"UpTimeComplete", "System Variable: UpTimeComplete = %s", &m_UpTimeComplete},
        {"UpTimeLast", "System Variable: UpTimeLast =     %s", &m_UpTimeLast},
        {"UpTimeEnabled", "System Variable: UpTimeEnabled =  %s", &m_UpTimeEnabled},
        {"UpTimeMotion", "System Variable: UpTimeMotion =   %s", &m_UpTimeMotion},
    };
    for (const UpTime& upTime : upTimes) {
        int32_t value = 0;
        if (ParseInt(system->Attribute(upTime.name), &value)) {
            upTime.counter->store(value);
            addFormat(upTime.line, GetHourString(value));
        } else {
            upTime.counter->store(0);
            addErrorFormat("SystemVariable %s not found: reset to 0!", upTime.name);
        }
    }
    // The stored value was the previous run's; this run counts from 0.
    m_UpTimeLast.store(0);

    int32_t programStarts = 0;
    if (ParseInt(system->Attribute("ProgramStarts"), &programStarts)) {
        m_ProgramStarts.store(programStarts);
        add("System Variable: ProgramStarts =   ", static_cast<int>(programStarts));
    } else {
        m_ProgramStarts.store(0);
        addError("SystemVariable ProgramStarts not found: reset to 0!");
    }

    const tinyxml2::XMLElement* user = data->FirstChildElement("UserVariables");
    if (user != nullptr) {
        int32_t value = 0;
        if (ParseInt(user->Attribute("PartsGood"), &value)) PartsGood.store(value);
        if (ParseInt(user->Attribute("PartsBad"), &value)) PartsBad.store(value);
    } else {
        addError("LogSingleton: line UserVariables not found in variableStorage file!");
    }

    const tinyxml2::XMLElement* joints = data->FirstChildElement("JointDirChanges");
    if (joints != nullptr) {
        for (int j = 0; j < 9; ++j) {
            const std::string name = "J" + std::to_string(j + 1);
            int32_t value = 0;
            if (ParseInt(joints->Attribute(name.c_str()), &value)) m_JointDirChanges[j].store(value);
        }
        addFormat("System Variable: DirectionChanges = %d %d %d %d %d %d %d %d %d", m_JointDirChanges[0],
                  m_JointDirChanges[1], m_JointDirChanges[2], m_JointDirChanges[3], m_JointDirChanges[4],
                  m_JointDirChanges[5], m_JointDirChanges[6], m_JointDirChanges[7], m_JointDirChanges[8]);
    } else {
        addError("LogSingleton: line JointDirChanges not found in variableStorage file!");
    }
}

void LogSingleton::WriteVariablesToStorage() { WriteVariables(false); }

void LogSingleton::ForceWriteVariablesToStorage() { WriteVariables(true); }

void LogSingleton::WriteVariables(bool force) {
    std::lock_guard<std::mutex> storageLock(m_StorageMutex);
    const timespec now = Now(CLOCK_REALTIME);
    if (!force && now.tv_sec - m_LastWriteTime.tv_sec < m_StorageIntervalS) return;
    m_LastWriteTime = now;

    std::string content;
    char line[1024];
    content += "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    content += "<!-- Storage for Korvella persistent system and user variable -->\n";
    content += "<Data>\n";
    std::snprintf(line, sizeof(line),
                  "<SystemVariables UpTimeComplete=\"%d\" UpTimeLast=\"%d\" UpTimeEnabled=\"%d\" "
                  "UpTimeMotion=\"%d\" ProgramStarts=\"%d\"/>\n",
                  m_UpTimeComplete.load(), m_UpTimeLast.load(), m_UpTimeEnabled.load(), m_UpTimeMotion.load(),
                  m_ProgramStarts.load());
    content += line;
    std::snprintf(line, sizeof(line),
                  "<JointDirChanges J1=\"%d\" J2=\"%d\" J3=\"%d\" J4=\"%d\" J5=\"%d\" J6=\"%d\" J7=\"%d\" "
                  "J8=\"%d\" J9=\"%d\"/>\n",
                  m_JointDirChanges[0].load(), m_JointDirChanges[1].load(), m_JointDirChanges[2].load(),
                  m_JointDirChanges[3].load(), m_JointDirChanges[4].load(), m_JointDirChanges[5].load(),
                  m_JointDirChanges[6].load(), m_JointDirChanges[7].load(), m_JointDirChanges[8].load());
    content += line;
    content += "<UserVariables   ";
    for (int i = 1; i <= 10; ++i) content += "User" + std::to_string(i) + "=\"1.0\" ";
    std::snprintf(line, sizeof(line), "PartsGood=\"%d\" PartsBad=\"%d\"/>\n", PartsGood.load(), PartsBad.load());
    content += line;
    content += "</Data>\n";

    // Written beside the file and renamed over it, so a crash mid-write
    // leaves the previous counters whole.
    const std::string path = get_rootPath() + m_PersistentFileName;
    const Filesystem::AtomicWriteResult written = Filesystem::WriteAtomically(
        path, [&](std::FILE* file) { return std::fwrite(content.data(), 1, content.size(), file) == content.size(); });
    if (!written.ok) {
        addErrorFormat("LogSingleton: Could not write persistent variables to %s: %s", path,
                       std::strerror(written.error));
        return;
    }
    sync();
}

void LogSingleton::IncreaseSystemVariables(int id, int amount) {
    switch (id) {
        case sysVarUpTimeComplete:
            AddMilliseconds(m_AccuComplete, m_UpTimeComplete, amount);
            AddMilliseconds(m_AccuLast, m_UpTimeLast, amount);
            break;
        case sysVarUpTimeEnabled:
            AddMilliseconds(m_AccuEnabled, m_UpTimeEnabled, amount);
            break;
        case sysVarUpTimeMotion:
            AddMilliseconds(m_AccuMotion, m_UpTimeMotion, amount);
            break;
        case sysVarProgramStarts:
            m_ProgramStarts.fetch_add(amount, std::memory_order_relaxed);
            break;
        default:
            if (id >= sysVarJ1 && id <= sysVarJ9) {
                m_JointDirChanges[id - sysVarJ1].fetch_add(1, std::memory_order_relaxed);
            }
            break;
    }
}

int LogSingleton::GetSystemVar(SystemVar id) const {
    switch (id) {
        case sysVarUpTimeComplete: return m_UpTimeComplete.load();
        case sysVarUpTimeLast: return m_UpTimeLast.load();
        case sysVarUpTimeEnabled: return m_UpTimeEnabled.load();
        case sysVarUpTimeMotion: return m_UpTimeMotion.load();
        case sysVarProgramStarts: return m_ProgramStarts.load();
        default:
            if (id >= sysVarJ1 && id <= sysVarJ9) return m_JointDirChanges[id - sysVarJ1].load();
            return -1;
    }
}
